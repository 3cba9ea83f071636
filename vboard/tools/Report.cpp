#include "tools/Report.h"

#include "board/BoardMap.h"
#include "board/FirmwareIdBlock.h"
#include "edk2/Edk2Dxe.h"
#include "host/Files.h"
#include "images/FirmwareVolume.h"
#include "uefi/GuidNames.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

namespace vboard::report {

namespace fs = std::filesystem;
using namespace platform;

namespace {

constexpr uint64_t kEventLogBase = 0x930000, kEventLogSize = 0x10000;

std::string Hex (uint64_t V, int Digits = 0) {
  char Buf[32];
  std::snprintf (Buf, sizeof (Buf), "0x%0*llX", Digits, static_cast<unsigned long long> (V));
  return Buf;
}

std::string Ascii (const std::u16string &S) {
  std::string Out;
  for (char16_t C : S) Out.push_back (C < 0x80 ? static_cast<char> (C) : '?');
  return Out;
}

// A short name for a GUID: its C name without the "g" and "Guid".
std::string Short (const Guid &G) {
  std::string N = GuidName (G);
  if (N.size () > 5 && N[0] == 'g' && N.compare (N.size () - 4, 4, "Guid") == 0) N = N.substr (1, N.size () - 5);
  if (N.size () > 8 && N.compare (N.size () - 8, 8, "Protocol") == 0) N = N.substr (0, N.size () - 8);
  return N;
}

// Runs a shell command; its standard output and error, and whether it ran
// and exited 0.
bool Capture (const std::string &Command, std::string &Output) {
  Output.clear ();
  FILE *P = ::popen ((Command + " 2>&1").c_str (), "r");
  if (P == nullptr) return false;
  char Buf[4096];
  size_t N;
  while ((N = std::fread (Buf, 1, sizeof (Buf), P)) > 0) Output.append (Buf, N);
  return ::pclose (P) == 0;
}

std::string Quote (const std::string &S) {
  std::string Out = "'";
  for (char C : S) Out += C == '\'' ? std::string ("'\\''") : std::string (1, C);
  return Out + "'";
}

const char *IpmiName (uint8_t NetFn, uint8_t Cmd) {
  if (NetFn == 0x0A && Cmd == 0x40) return "Get SEL Info";
  if (NetFn == 0x0A && Cmd == 0x42) return "Reserve SEL";
  if (NetFn == 0x0A && Cmd == 0x47) return "Clear SEL";
  if (NetFn == 0x00 && Cmd == 0x06) return "Set Power Restore Policy";
  if (NetFn == 0x00 && Cmd == 0x01) return "Get Chassis Status";
  return nullptr;
}

std::string IpmiText (const IpmiSent &S) {
  const char *Name = IpmiName (S.NetFn, S.Cmd);
  std::string Out = Name != nullptr ? Name : "netfn " + Hex (S.NetFn, 2) + " cmd " + Hex (S.Cmd, 2);
  if (!S.Delivered) return Out + " (not delivered: " + efi::StatusName (S.Status) + ")";
  return Out + (S.CompletionCode == 0 ? "" : " (cc " + Hex (S.CompletionCode, 2) + ")");
}

const char *PolicyName (uint8_t P) {
  switch (P & 7) {
    case 0: return "stay off";
    case 1: return "restore the previous state";
    case 2: return "always power up";
    default: return "no change";
  }
}

// Ranges of the flash the part refuses to change now, at 4 KiB granularity.
std::string LockMap (Board &B) {
  std::string Out;
  const uint64_t Step = 0x1000;
  uint64_t Start = 0;
  bool Run = false;
  for (uint64_t A = 0; A <= BootFlash::kSize; A += Step) {
    bool P = A < BootFlash::kSize && B.NorFlash.Protected (A);
    if (P && !Run) Start = A, Run = true;
    if (!P && Run) {
      Out += (Out.empty () ? "" : ", ") + Hex (Start, 6) + "-" + Hex (A - 1, 6);
      Run = false;
    }
  }
  return Out.empty () ? "none" : Out;
}

// The board map's name of the device holding Base ("NOR flash controller").
std::string DeviceName (uint64_t Base) {
  for (const boardmap::Device &D : boardmap::kDevices) {
    if (Base >= D.Base && Base - D.Base < D.Size) return D.Name;
  }
  // Socket 1's SCMI channel repeats socket 0's at +2^44.
  for (const boardmap::Device &D : boardmap::kDevices) {
    if (Base >= (D.Base | (1ULL << 44)) && Base - (D.Base | (1ULL << 44)) < D.Size) {
      std::string N = D.Name;
      size_t At = N.find ("socket 0");
      return At == std::string::npos ? N : N.replace (At, 8, "socket 1");
    }
  }
  return Hex (Base);
}

// iasl's "Field : Value" line of a disassembly, trimmed ("" when absent).
std::string DslField (const std::string &Dsl, const std::string &Field) {
  size_t At = Dsl.find (" " + Field + " : ");
  if (At == std::string::npos) return "";
  At = Dsl.find (" : ", At) + 3;
  std::string V = Dsl.substr (At, Dsl.find ('\n', At) - At);
  // iasl follows some values with a bracketed explanation.
  size_t Note = V.find ("  ");
  if (Note != std::string::npos) {
    std::string Rest = V.substr (Note);
    Rest.erase (0, Rest.find_first_not_of (' '));
    V = V.substr (0, Note) + (Rest.empty () ? "" : " " + Rest);
  }
  while (!V.empty () && (V.back () == ' ' || V.back () == '\r')) V.pop_back ();
  return V;
}

std::string ReadText (const std::string &Path) {
  try {
    std::vector<uint8_t> B = ReadWholeFile (Path);
    return std::string (B.begin (), B.end ());
  } catch (const std::exception &) {
    return "";
  }
}

// What the firmware left, as Print and PublishedState read it, gathered once.
struct Left {
  std::vector<Published::Protocol> Protocols;
  std::vector<PcdSet> Pcds;
  std::vector<Published::Structure> Smbios;
  std::vector<Published::Table> Acpi;
  std::vector<Published::VariableWrite> Writes;
  explicit Left (const Published &P)
      : Protocols (P.Protocols ()), Pcds (P.PcdSets ()), Smbios (P.Smbios ()), Acpi (P.Acpi ()), Writes (P.VariableWrites ()) {}
};

// What one image left behind, in a few words per item: protocols, PCDs,
// SMBIOS records, ACPI tables, variables, IPMI commands, callbacks, device
// registers driven, flash-access calls.
std::vector<std::string> WhatItDid (const Published &P, const Left &L, const std::string &Image) {
  Board &B = P.B;
  std::vector<std::string> Did;
  std::map<std::string, unsigned> Installed;
  std::vector<std::string> InstalledOrder;
  for (const auto &Pr : L.Protocols) {
    if (Pr.Image != Image) continue;
    std::string T = Short (Pr.Id) + (Pr.Marker ? " (marker)" : "");
    if (Installed[T]++ == 0) InstalledOrder.push_back (T);
  }
  for (const std::string &T : InstalledOrder) Did.push_back (T + (Installed[T] > 1 ? " x" + std::to_string (Installed[T]) : ""));
  for (const auto &S : L.Pcds) {
    if (S.Caller != Image) continue;
    std::string Entry = S.Name + "=" + Hex (S.Value);
    if (std::find (Did.begin (), Did.end (), Entry) == Did.end ()) Did.push_back (Entry);
  }
  std::map<unsigned, unsigned> Types;
  for (const auto &Rec : L.Smbios) {
    if (Rec.Producer == Image) Types[Rec.Bytes[0]]++;
  }
  for (auto [Type, Count] : Types) Did.push_back ("SMBIOS type " + std::to_string (Type) + (Count > 1 ? " x" + std::to_string (Count) : ""));
  for (const auto &T : L.Acpi) {
    if (T.Installer == Image) Did.push_back ("ACPI " + T.Signature);
  }
  for (const auto &W : L.Writes) {
    if (W.Image == Image) Did.push_back ((W.Deleted ? "deleted " : "wrote ") + Ascii (W.Name));
  }
  std::map<std::string, unsigned> Ipmi;
  std::vector<std::string> IpmiOrder;
  for (const IpmiSent &S : B.Ipmi.Sent) {
    if (S.Caller != Image) continue;
    std::string T = IpmiText (S);
    if (Ipmi[T]++ == 0) IpmiOrder.push_back (T);
  }
  for (const std::string &T : IpmiOrder) Did.push_back ("IPMI " + T + (Ipmi[T] > 1 ? " x" + std::to_string (Ipmi[T]) : ""));
  for (const std::string &M : P.MoreDid (Image)) Did.push_back (M);
  // Register accesses to the board's devices (the UARTs' are the logs below).
  std::map<std::string, std::pair<uint64_t, uint64_t>> Mmio;
  for (const auto &[Key, Count] : B.M.MmioAccesses) {
    std::string Device = DeviceName (Key.Address);
    if (Device.rfind ("UART", 0) == 0 || B.Fw.CallerName (Key.Pc) != Image) continue;
    // One entry per kind of device, both sockets together.
    if (Device.rfind ("SCMI", 0) == 0) Device = "SCMI mailboxes";
    if (Device.rfind ("SoC register", 0) == 0) Device = "SoC registers";
    (Key.Write ? Mmio[Device].second : Mmio[Device].first) += Count;
  }
  for (const auto &[Device, Counts] : Mmio) {
    Did.push_back (Device + " " + std::to_string (Counts.first) + "r/" + std::to_string (Counts.second) + "w");
  }
  unsigned Writes = 0, Erases = 0;
  for (const auto &Op : B.Flash.Operations) {
    if (Op.Caller == Image) (Op.Erase ? Erases : Writes)++;
  }
  if (Writes + Erases != 0) {
    Did.push_back ("flash " + std::to_string (Writes) + " writes, " + std::to_string (Erases) + " erases");
  }
  return Did;
}

// The SMBIOS table as dmidecode decodes the dump: one line per structure
// type, with how many and the first one's title and key fields. False when
// dmidecode fails or is missing.
bool PrintSmbios (const std::string &Dir, std::ostream &Out) {
  std::string Text;
  if (!Capture ("dmidecode --from-dump " + Quote (Dir + "/smbios.bin"), Text)) {
    Out << "  SMBIOS: dmidecode failed or is missing:\n" << Text;
    return false;
  }
  // One line per structure type: how many, and the first one's title and
  // key fields.
  std::istringstream In (Text);
  std::string Line;
  std::vector<std::pair<unsigned, std::vector<std::string>>> Structures;
  while (std::getline (In, Line)) {
    unsigned Handle, Type, Size;
    if (std::sscanf (Line.c_str (), "Handle 0x%x, DMI type %u, %u bytes", &Handle, &Type, &Size) == 3) {
      Structures.push_back ({Type, {}});
    } else if (!Structures.empty () && !Line.empty ()) {
      Structures.back ().second.push_back (Line);
    }
  }
  std::map<unsigned, unsigned> Count;
  for (auto &S : Structures) Count[S.first]++;
  Out << "  SMBIOS (dmidecode --from-dump): " << Structures.size () << " structures\n";
  std::map<unsigned, bool> Shown;
  for (auto &[Type, Lines] : Structures) {
    if (Shown[Type]) continue;
    Shown[Type] = true;
    std::string Detail;
    for (size_t I = 1; I < Lines.size (); I++) {
      std::string L = Lines[I];
      L.erase (0, L.find_first_not_of ("\t "));
      for (const char *Key : {"Area Length", "Access Address", "Status", "Header Format"}) {
        if (L.rfind (Key, 0) == 0) Detail += (Detail.empty () ? "" : ", ") + L;
      }
    }
    Out << "    type " << Type << (Count[Type] > 1 ? " x" + std::to_string (Count[Type]) : "") << ": "
        << (Lines.empty () ? "" : Lines[0]) << (Detail.empty () ? "" : " (" + Detail + ")") << "\n";
  }
  return true;
}

// The dumped ACPI tables as iasl disassembles them: each table's length and
// checksum state, and the SPCR's fields. False when iasl fails or is missing.
bool PrintAcpi (const std::string &Dir, std::ostream &Out) {
  std::string Text, Listing, Spcr;
  bool IaslOk = true;
  std::vector<fs::path> Dumped;
  for (const auto &Entry : fs::directory_iterator (Dir + "/acpi")) {
    if (Entry.path ().extension () == ".dat") Dumped.push_back (Entry.path ());
  }
  std::sort (Dumped.begin (), Dumped.end ());
  for (const fs::path &Path : Dumped) {
    std::string Dat = Path.string ();
    if (!Capture ("cd " + Quote (Dir + "/acpi") + " && iasl -d " + Quote (Path.filename ().string ()), Text)) {
      IaslOk = false;
      Listing += "\n    iasl -d " + Path.filename ().string () + " failed: " + Text.substr (0, 200);
      continue;
    }
    std::string Dsl = ReadText (Dat.substr (0, Dat.size () - 4) + ".dsl");
    std::string Sig = DslField (Dsl, "Signature").substr (0, 6);
    std::string Length = DslField (Dsl, "Table Length");
    Listing += " " + (Sig.size () >= 5 ? Sig.substr (1, 4) : Path.filename ().string ()) + " (" +
               std::to_string (std::strtoul (Length.c_str (), nullptr, 16)) + " bytes" +
               (Dsl.find ("Incorrect checksum") != std::string::npos ? ", BAD CHECKSUM" : "") + ")";
    if (Sig == "\"SPCR\"") Spcr = Dsl;
  }
  Out << "  ACPI (iasl -d):" << Listing << "\n";
  if (!Spcr.empty ()) {
    Out << "    SPCR: interface type " << DslField (Spcr, "Interface Type") << ", base address "
        << DslField (Spcr, "Address") << ", baud rate " << DslField (Spcr, "Baud Rate") << ", parity "
        << DslField (Spcr, "Parity") << ", stop bits " << DslField (Spcr, "Stop Bits") << ", terminal type "
        << DslField (Spcr, "Terminal Type") << "\n";
  } else {
    Out << "    SPCR: none\n";
  }
  return IaslOk;
}

// The package's PCDs the report shows, by name.
struct NamedPcd {
  const char *Name;
  const Guid *Space;
  uint64_t Token;
};
const NamedPcd kNamedPcds[] = {
    {"PcdSerialPortBaseAddress", &kPlatformTokenSpace, kPcdSerialPortBaseAddress},
    {"PcdCpuTemperature", &kThermalTokenSpace, kPcdCpuTemperature},
    {"PcdRecoveryParameter", &kRecoveryParamTokenSpace, kPcdRecoveryParameter},
};

std::string LeftNote (const BootManager::Attempt &A, bool Last, bool Halted) {
  if (!A.Note.empty ()) return A.Note;
  if (!A.Started) return "not loaded, " + efi::StatusName (A.LoadStatus);
  return "started " + A.Image + ", " + (Halted && Last ? "did not return" : "returned " + efi::StatusName (A.Status));
}

// The board's own core: its dispatcher, protocol database, PCD database,
// SMBIOS and ACPI services and variable store.
class BoardCore : public Published {
 public:
  using Published::Published;
  std::string Core () const override { return "board"; }
  std::vector<std::string> VolumeLines () const override {
    std::vector<std::string> Out;
    for (const auto &V : B.Fw.Dxe.Volumes ()) {
      std::map<std::string, unsigned> Kinds;
      for (const FfsFile &F : V.Fv->Files ()) {
        Kinds[F.Type == ffs::FileTypeDriver ? "drivers" : F.Type == ffs::FileTypeApplication ? "applications" : "other files"]++;
      }
      Out.push_back ("firmware volume " + V.Fv->Origin () + ": " + std::to_string (V.Fv->Length ()) + " bytes, " +
                     std::to_string (V.Fv->Files ().size ()) + " files (" + std::to_string (Kinds["drivers"]) + " drivers, " +
                     std::to_string (Kinds["applications"]) + " applications, " + std::to_string (Kinds["other files"]) +
                     " other)");
      for (const std::string &N : V.Fv->Notes ()) Out.push_back (" note: " + N);
    }
    return Out;
  }
  std::vector<Driver> Drivers () const override {
    const Dispatcher &Dxe = B.Fw.Dxe;
    std::vector<const Dispatcher::Driver *> All;
    for (const std::string &Name : Dxe.Order ()) All.push_back (Dxe.Find (Name));
    for (const auto &D : Dxe.Drivers ()) {
      if (D.State != Dispatcher::DriverState::Dispatched) All.push_back (&D);
    }
    std::vector<Driver> Out;
    for (const Dispatcher::Driver *D : All) {
      Driver R;
      R.Name = D->Name;
      if (D->State == Dispatcher::DriverState::Dispatched) {
        R.Dispatched = true;
        R.State = efi::StatusName (D->Status) + (D->Image != nullptr && D->Image->Unloaded ? " (unloaded)" : "");
      } else if (D->State == Dispatcher::DriverState::Failed) {
        R.State = "NOT LOADED: " + D->Note;
        R.Problem = true;
      } else {
        R.State = "NOT DISPATCHED: " + Dxe.WaitingFor (*D);
        R.Problem = true;
      }
      Out.push_back (R);
    }
    return Out;
  }
  std::vector<Protocol> Protocols () const override {
    std::vector<Protocol> Out;
    for (const auto &P : B.Fw.Published) Out.push_back ({P.Image, P.Protocol, P.Interface == 0});
    return Out;
  }
  std::vector<PcdSet> PcdSets () const override { return B.Fw.PcdSets (); }
  std::vector<Structure> Smbios () const override {
    std::vector<Structure> Out;
    for (const SmbiosRecord &R : B.Smbios.Records ()) Out.push_back ({R.Producer, R.Bytes});
    return Out;
  }
  std::vector<uint8_t> SmbiosDump () const override { return B.Smbios.DumpImage (); }
  std::vector<Table> Acpi () const override {
    std::vector<Table> Out;
    for (const AcpiTable &T : B.Acpi.Tables ()) Out.push_back ({T.Installer, T.Signature, B.Acpi.Bytes (T)});
    return Out;
  }
  std::vector<uint8_t> Xsdt () const override { return B.M.ReadBytes (B.Acpi.Xsdt (), B.M.Load<uint32_t> (B.Acpi.Xsdt () + 4)); }
  std::vector<VariableRecord> Variables () const override { return B.Fw.Variables (); }
  std::vector<VariableWrite> VariableWrites () const override {
    std::vector<VariableWrite> Out;
    for (const auto &W : B.Fw.Vars.GuestWrites) Out.push_back ({W.Caller, W.Name, W.Deleted});
    return Out;
  }
  std::optional<uint64_t> Pcd (const std::string &Name) const override {
    for (const NamedPcd &N : kNamedPcds) {
      if (Name == N.Name) return B.Fw.PcdValue (*N.Space, N.Token);
    }
    return std::nullopt;
  }
  std::vector<std::string> BootManager (bool &Ran) const override {
    Ran = !B.BootAttempts.empty () || B.RunsBootManager;
    std::vector<std::string> Out;
    for (const BootManager::Attempt &A : B.BootAttempts) {
      Out.push_back ("Boot" + Hex (A.Number, 4).substr (2) + " \"" + Ascii (A.Description) + "\" " + A.Path + ": " +
                     LeftNote (A, &A == &B.BootAttempts.back (), B.M.Halted ()));
    }
    for (const auto &L : B.Boot.Loads) {
      if (L.Parent == "boot manager") continue;
      Out.push_back ("  " + L.Parent + ": LoadImage " + devpath::Text (L.DevicePath) + " -> " + efi::StatusName (L.Status) +
                     (L.Image.empty () ? "" : " (" + L.Image + ")"));
    }
    return Out;
  }
  std::vector<std::string> BootedImages () const override {
    std::vector<std::string> Out;
    for (const BootManager::Attempt &A : B.BootAttempts) {
      if (A.Started) Out.push_back (A.Image);
    }
    // And what those images loaded in turn (a network-booted program).
    for (const auto &L : B.Boot.Loads) {
      if (L.Parent != "boot manager" && !L.Image.empty () && !efi::IsError (L.Status)) Out.push_back (L.Image);
    }
    return Out;
  }
  std::vector<std::string> MoreDid (const std::string &Image) const override {
    // Callbacks it registered (ReadyToBoot, periodic timers), and the
    // firmware-ID PCD, which is written through the pointer GetPtr hands out.
    bool ReadyToBoot = false, Periodic = false, IdInPlace = false;
    std::optional<uint64_t> IdToken = B.Fw.LocalToken ("PcdFirmwareIdData");
    for (const ServiceCall &C : B.Fw.Calls) {
      if (C.Caller != Image) continue;
      ReadyToBoot = ReadyToBoot || (C.Name == "BS.CreateEventEx" && C.GuidArg (4) == "gEfiEventReadyToBootGuid");
      Periodic = Periodic || (C.Name == "BS.SetTimer" && C.Arg (1) == 1);
      IdInPlace = IdInPlace || (IdToken && ((C.Name == "PCD.GetPtr" && C.Arg (0) == *IdToken) ||
                                            (C.Name == "PIPCD.GetPtr" && C.Arg (1) == *IdToken)));
    }
    std::vector<std::string> Did;
    if (IdInPlace) Did.push_back ("PcdFirmwareIdData (in place)");
    if (ReadyToBoot) Did.push_back ("ReadyToBoot callback");
    if (Periodic) Did.push_back ("periodic timer");
    return Did;
  }
  std::vector<uint8_t> FirmwareId () const override {
    PcdEntry *Id = B.Fw.LocalPcd ("PcdFirmwareIdData");
    if (Id == nullptr || Id->MaxSize < kFirmwareIdBlockSize) return {};
    return B.M.ReadBytes (Id->Buffer, kFirmwareIdBlockSize);
  }
  std::vector<std::string> Problems () const override {
    std::vector<std::string> Out;
    if (!B.M.Faulted ()) {
      // An application that handed over (its boot program powered the board
      // off) still holds what it allocated: that is not a leak.
      auto Leaks = B.Fw.FindLeaks ();
      std::vector<std::string> Running = B.Boot.RunningImages ();
      for (const auto &L : Leaks) {
        if (std::find (Running.begin (), Running.end (), L.Owner) != Running.end ()) continue;
        Out.push_back ("LEAK: " + std::to_string (L.Block.Size) + "-byte pool block allocated at " + L.Where);
      }
    }
    for (const std::string &F : B.Fw.Findings) Out.push_back ("board noticed: " + F);
    return Out;
  }
  std::string FaultText () const override { return B.FaultReport (); }
};

// EDK II's DXE phase: its images as the platform's PeCoffExtraActionLib
// reported them, the tables the OS finds through the system table, the
// variable store, and what the board saw the guest call.
class Edk2Core : public Published {
 public:
  // The volumes are the ones EDK II's core was handed, in order; one it
  // could not read (it booted without it) is listed as such.
  Edk2Core (Board &Brd, const Edk2Dxe &D) : Published (Brd), Dxe (D) {
    for (const Edk2Dxe::Volume &V : D.Volumes ()) {
      std::unique_ptr<FirmwareVolume> Fv;
      try {
        Fv = std::make_unique<FirmwareVolume> (V.Bytes, V.Origin);
      } catch (const std::exception &E) {
        Lines.push_back ("firmware volume " + V.Origin + ": not read (" + E.what () + ")");
        continue;
      }
      std::map<std::string, unsigned> Kinds;
      for (const FfsFile &F : Fv->Files ()) {
        Kinds[F.Type == ffs::FileTypeDriver ? "drivers" : F.Type == ffs::FileTypeApplication ? "applications" : "other files"]++;
      }
      Lines.push_back ("firmware volume " + Fv->Origin () + ": " + std::to_string (Fv->Length ()) + " bytes, " +
                       std::to_string (Fv->Files ().size ()) + " files (" + std::to_string (Kinds["drivers"]) + " drivers, " +
                       std::to_string (Kinds["applications"]) + " applications, " + std::to_string (Kinds["other files"]) +
                       " other), booted by EDK II's DXE core");
      Fvs.push_back (std::move (Fv));
    }
  }
  std::string Core () const override { return "edk2"; }
  std::vector<std::string> VolumeLines () const override { return Lines; }
  // The volumes' drivers by UI name (and the DXE core).
  bool IsDriver (const std::string &Name) const {
    if (Name == "DxeCore") return true;
    for (const auto &Fv : Fvs) {
      for (const FfsFile &F : Fv->Files ()) {
        if (F.Type == ffs::FileTypeDriver && F.UiName == Name) return true;
      }
    }
    return false;
  }
  std::vector<Driver> Drivers () const override {
    std::vector<Driver> Out;
    for (const Edk2Dxe::Image &I : Dxe.Images ()) {
      if (!IsDriver (I.Name)) continue;
      Driver R;
      R.Name = I.Name;
      R.Dispatched = I.Started;
      if (!I.Started) {
        R.State = "NOT DISPATCHED: loaded, not started";
        R.Problem = true;
      } else if (!I.Returned) {
        R.State = I.Name == "DxeCore" ? "running" : "did not return";
      } else {
        R.State = efi::StatusName (I.Status);
      }
      if (I.Unloaded) R.State += " (unloaded)";
      Out.push_back (R);
    }
    // Drivers the core never loaded: their dependencies never held.
    for (const auto &Fv : Fvs) {
      for (const FfsFile &F : Fv->Files ()) {
        if (F.Type != ffs::FileTypeDriver || F.UiName.empty () || Dxe.FindImage (F.UiName) != nullptr) continue;
        Out.push_back ({F.UiName, "NOT DISPATCHED: the core never loaded it", false, true});
      }
    }
    return Out;
  }
  std::vector<Protocol> Protocols () const override {
    std::vector<Protocol> Out;
    for (const auto &I : Dxe.Installs ()) Out.push_back ({I.Image, I.Protocol, I.Interface == 0});
    return Out;
  }
  std::vector<PcdSet> PcdSets () const override { return Dxe.PcdSets (); }
  std::vector<Structure> Smbios () const override {
    // The structures as SmbiosDxe's table holds them, each named by the
    // image whose Add gave it its handle; the end-of-table structure is the
    // table's own.
    std::vector<Structure> Out;
    for (std::vector<uint8_t> &Bytes : DumpStructures (Dxe.SmbiosDump ())) {
      if (Bytes[0] == 127) break;
      uint16_t Handle = static_cast<uint16_t> (Bytes[2] | (Bytes[3] << 8));
      std::string Producer = "?";
      for (const auto &A : Dxe.SmbiosAdds ()) {
        if (A.Handle == Handle) Producer = A.Image;
      }
      Out.push_back ({Producer, std::move (Bytes)});
    }
    return Out;
  }
  std::vector<uint8_t> SmbiosDump () const override { return Dxe.SmbiosDump (); }
  std::vector<Table> Acpi () const override {
    // The Nth table of a signature is the Nth the board saw installed.
    std::vector<Table> Out;
    std::map<std::string, unsigned> Seen;
    for (const auto &[Signature, Bytes] : Dxe.AcpiTables ()) {
      unsigned N = Seen[Signature]++;
      std::string Installer = "?";
      for (const auto &A : Dxe.AcpiInstalls ()) {
        if (A.Signature == Signature && N-- == 0) {
          Installer = A.Image;
          break;
        }
      }
      Out.push_back ({Installer, Signature, Bytes});
    }
    return Out;
  }
  std::vector<uint8_t> Xsdt () const override { return Dxe.Xsdt (); }
  std::vector<VariableRecord> Variables () const override { return Dxe.Variables (); }
  std::vector<VariableWrite> VariableWrites () const override {
    std::vector<VariableWrite> Out;
    for (const auto &W : Dxe.VariableWrites ()) Out.push_back ({W.Image, W.Name, W.Deleted});
    return Out;
  }
  std::optional<uint64_t> Pcd (const std::string &Name) const override { return Dxe.PcdValue (Name); }
  std::vector<std::string> MoreDid (const std::string &Image) const override {
    std::vector<std::string> Did;
    auto Id = Dxe.PcdPointers ().find ("PcdFirmwareIdData");
    if (Id != Dxe.PcdPointers ().end () && Id->second.first == Image) Did.push_back ("PcdFirmwareIdData (in place)");
    for (const char *What : {"ReadyToBoot callback", "periodic timer"}) {
      if (std::find (Dxe.Callbacks ().begin (), Dxe.Callbacks ().end (), std::make_pair (Image, std::string (What))) !=
          Dxe.Callbacks ().end ()) {
        Did.push_back (What);
      }
    }
    return Did;
  }
  std::vector<uint8_t> FirmwareId () const override {
    auto Id = Dxe.PcdPointers ().find ("PcdFirmwareIdData");
    if (Id == Dxe.PcdPointers ().end ()) return {};
    return B.M.ReadBytes (Id->second.second, kFirmwareIdBlockSize);
  }
  std::vector<std::string> BootManager (bool &Ran) const override {
    // BDS's own account of the boot options it tried, from its debug output,
    // and the images it started that no volume holds as a driver.
    std::vector<std::string> Out;
    std::istringstream In (B.Uart0.Text ());
    std::string Line;
    while (std::getline (In, Line)) {
      if (Line.rfind ("[Bds]Booting ", 0) == 0 || Line.rfind ("[Bds] ", 0) == 0) Out.push_back (Line);
    }
    for (const Edk2Dxe::Image &I : Dxe.Images ()) {
      if (IsDriver (I.Name) || !I.Started) continue;
      Out.push_back ("started " + I.Name + ", " + (I.Returned ? "returned " + efi::StatusName (I.Status) : "did not return"));
    }
    Ran = Dxe.FindImage ("BdsDxe") != nullptr && Dxe.FindImage ("BdsDxe")->Started;
    return Out;
  }
  std::vector<std::string> BootedImages () const override {
    std::vector<std::string> Out;
    for (const Edk2Dxe::Image &I : Dxe.Images ()) {
      if (!IsDriver (I.Name) && I.Started && I.Name != "UiApp") Out.push_back (I.Name);
    }
    return Out;
  }
  std::string FaultText () const override { return B.FaultReport () + Dxe.Where (B.M.LastFault ()); }
  bool GaveUp () const override {
    // PlatformBootManagerUnableToBoot's ResetSystem, called from BDS itself.
    return B.M.Halted () && B.M.HaltReason () == "ResetSystem (EfiResetShutdown) from BdsDxe";
  }

 private:
  const Edk2Dxe &Dxe;
  std::vector<std::unique_ptr<FirmwareVolume>> Fvs;
  std::vector<std::string> Lines;   // one per volume handed over
};

}  // namespace

std::vector<LogRecord> EventLog (Board &B, uint64_t &Used) {
  std::vector<uint8_t> Area = B.Flash.Read (kEventLogBase, kEventLogSize);
  std::vector<LogRecord> Out;
  uint64_t At = 0;
  while (At + 2 <= Area.size () && Area[At] != 0xFF && Area[At + 1] != 0xFF && Area[At + 1] != 0 &&
         At + Area[At + 1] <= Area.size ()) {
    Out.push_back ({At, std::vector<uint8_t> (Area.begin () + At, Area.begin () + At + Area[At + 1])});
    At += Area[At + 1];
  }
  Used = At;
  return Out;
}

std::unique_ptr<Published> OfBoardCore (Board &B) { return std::make_unique<BoardCore> (B); }

std::unique_ptr<Published> OfEdk2 (Board &B, const Edk2Dxe &Dxe) {
  return std::make_unique<Edk2Core> (B, Dxe);
}

void WriteArtefacts (const Published &P, const std::string &Dir) {
  WriteWholeFile (Dir + "/smbios.bin", P.SmbiosDump ());
  DumpAcpi (P, Dir + "/acpi");
  P.B.Flash.Save (Dir + "/flash.bin");
}

std::vector<std::string> DumpAcpi (const Published &P, const std::string &Dir) {
  fs::create_directories (Dir);
  std::vector<std::pair<std::string, std::vector<uint8_t>>> Tables;
  for (const Published::Table &T : P.Acpi ()) Tables.push_back ({T.Signature, T.Bytes});
  return WriteAcpiDump (Dir, Tables, P.Xsdt ());
}

void WriteArtefacts (Board &B, const std::string &Dir) { WriteArtefacts (*OfBoardCore (B), Dir); }

bool Print (Board &B, const Run &R, const std::string &Dir, std::ostream &Out) { return Print (*OfBoardCore (B), R, Dir, Out); }

bool Print (const Published &P, const Run &R, const std::string &Dir, std::ostream &Out) {
  Board &B = P.B;
  bool Good = true;
  for (const std::string &L : P.VolumeLines ()) Out << (L.rfind (" note: ", 0) == 0 ? "  " + L : "== " + L) << "\n";

  // Per driver: its entry status and what it left behind.
  Left Gathered (P);
  Out << "== drivers, in dispatch order\n";
  std::vector<Published::Driver> Drivers = P.Drivers ();
  unsigned Dispatched = 0;
  for (const Published::Driver &D : Drivers) {
    std::vector<std::string> Did = WhatItDid (P, Gathered, D.Name);
    Dispatched += D.Dispatched;
    if (D.Problem) Good = false;
    std::string Line = D.Name;
    Line.resize (std::max<size_t> (Line.size () + 1, 13), ' ');
    Line += D.State;
    Line.resize (std::max<size_t> (Line.size () + 1, 35), ' ');
    for (size_t I = 0; I < Did.size (); I++) Line += (I ? "; " : "") + Did[I];
    Out << "  " << Line << "\n";
  }
  Out << "  " << Dispatched << " of " << Drivers.size () << " drivers dispatched\n";

  bool Ran = false;
  std::vector<std::string> Boot = P.BootManager (Ran);
  if (Ran || !Boot.empty ()) {
    Out << "== boot manager (after ReadyToBoot)\n";
    for (const std::string &L : Boot) Out << "  " << L << "\n";
  }

  for (auto [Name, Uart] : {std::pair<const char *, Pl011 *>{"UART0 0x20000000", &B.Uart0}, {"UART1 0x20001000", &B.Uart1}}) {
    std::string Text = Uart->Text ();
    Out << "== " << Name << " (" << Text.size () << " bytes)\n" << Text;
    if (!Text.empty () && Text.back () != '\n') Out << "\n";
  }
  unsigned ScreenRows = 0;
  for (unsigned Row = 0; Row < TextConsole::kRows; Row++) {
    if (!B.Console.Row (Row).empty ()) ScreenRows = Row + 1;
  }
  if (ScreenRows != 0) {
    Out << "== console screen\n";
    for (unsigned Row = 0; Row < ScreenRows; Row++) Out << "  " << B.Console.Row (Row) << "\n";
  }

  Out << "== what the operating system finds\n";
  if (!PrintSmbios (Dir, Out)) Good = false;
  if (!PrintAcpi (Dir, Out)) Good = false;
  Out << "  flash: W25Q status registers " << Hex (B.NorFlash.Status (1), 2) << " " << Hex (B.NorFlash.Status (2), 2) << " "
      << Hex (B.NorFlash.Status (3), 2) << "; write-protected " << LockMap (B) << "\n";
  uint64_t Used = 0;
  std::vector<LogRecord> Log = EventLog (B, Used);
  Out << "  event log at " << Hex (kEventLogBase) << ": " << Log.size () << " records, " << Used << " of " << kEventLogSize
      << " bytes used\n";
  for (size_t I = Log.size () > 6 ? Log.size () - 6 : 0; I < Log.size (); I++) {
    const auto &Rec = Log[I].Bytes;
    char Buf[96];
    if (Rec.size () >= 8) {
      std::snprintf (Buf, sizeof (Buf), "type 0x%02X, %u bytes, 20%02x-%02x-%02x %02x:%02x:%02x", Rec[0], Rec[1], Rec[2], Rec[3],
                     Rec[4], Rec[5], Rec[6], Rec[7]);
    } else {
      std::snprintf (Buf, sizeof (Buf), "type 0x%02X, %u bytes", Rec[0], Rec[1]);
    }
    Out << "    +" << Hex (Log[I].Offset, 4) << " " << Buf << "\n";
  }
  Out << "  BMC: SEL " << B.Bmc.Sel.size () << " of " << B.Bmc.SelCapacity << " entries"
      << (B.Bmc.Overflow ? ", OVERFLOWED" : "") << "; power-restore policy " << unsigned (B.Bmc.PowerRestorePolicy & 7)
      << " (" << PolicyName (B.Bmc.PowerRestorePolicy) << "); " << B.Bmc.Log.size () << " commands received\n";
  if (std::vector<uint8_t> Bytes = P.FirmwareId (); Bytes.size () >= kFirmwareIdBlockSize) {
    auto Narrow = [&] (uint64_t At, uint64_t Size) {
      std::string S;
      for (uint64_t I = At; I < At + Size && Bytes[I] != 0; I++) S.push_back (Bytes[I] >= 0x20 && Bytes[I] < 0x7F ? static_cast<char> (Bytes[I]) : '?');
      return S;
    };
    std::string Wide;
    for (uint64_t I = kFirmwareIdUnicodeOffset; I + 1 < kFirmwareIdShortOffset && (Bytes[I] | Bytes[I + 1]) != 0; I += 2) {
      Wide.push_back (Bytes[I + 1] == 0 && Bytes[I] >= 0x20 && Bytes[I] < 0x7F ? static_cast<char> (Bytes[I]) : '?');
    }
    Out << "  firmware ID (PcdFirmwareIdData): \"" << Narrow (kFirmwareIdAsciiOffset, 32) << "\", \"" << Wide << "\", \""
        << Narrow (kFirmwareIdShortOffset, 20) << "\"\n";
  }
  uint64_t Temperature = P.Pcd ("PcdCpuTemperature").value_or (0);
  unsigned TemperatureSets = 0;
  for (const auto &S : Gathered.Pcds) TemperatureSets += S.Name == "PcdCpuTemperature";
  char Buf[96];
  std::snprintf (Buf, sizeof (Buf), "%llu (%.3f C), set %u times", static_cast<unsigned long long> (Temperature),
                 static_cast<double> (Temperature) / 1000.0, TemperatureSets);
  std::optional<uint64_t> Serial = P.Pcd ("PcdSerialPortBaseAddress");
  Out << "  PcdCpuTemperature " << Buf << "; PcdSerialPortBaseAddress " << (Serial ? Hex (*Serial) : "unknown") << "\n";

  Out << "== end of boot\n";
  if (B.M.Faulted ()) {
    Out << P.FaultText ();
    Good = false;
  }
  for (const std::string &L : P.Problems ()) {
    Out << "  " << L << "\n";
    if (L.rfind ("LEAK", 0) == 0) Good = false;
  }
  for (const std::string &M : B.Scp.Malformed ()) Out << "  SCMI request malformed: " << M << "\n";
  for (const std::string &S : B.Registers.Stray) Out << "  stray platform-register access: " << S << "\n";
  if (B.M.Halted ()) {
    bool Off = !B.Fw.ResetCalls.empty () && B.Fw.ResetCalls.back () == 2;   // EfiResetShutdown
    Out << "  " << (Off ? "powered off: " : "halted: ") << B.M.HaltReason () << "\n";
  }
  std::snprintf (Buf, sizeof (Buf), "%.3f s wall", R.WallSeconds);
  Out << "  " << Buf << ", " << B.M.Instructions () << " instructions emulated, " << B.Fw.NowNs () / 1000000
      << " ms simulated; " << (P.Core () == "edk2" ? "EDK II's DXE core; " : "")
      << (Good ? "every driver dispatched, no fault, no leak" : "PROBLEMS ABOVE") << "\n";
  return Good;
}

std::string PublishedState (Board &B) { return PublishedState (*OfBoardCore (B)); }

std::string PublishedState (const Published &P) {
  Board &B = P.B;
  std::ostringstream Out;
  auto Bytes = [&Out] (const std::vector<uint8_t> &V) {
    for (uint8_t C : V) Out << " " << Hex (C, 2).substr (2);
    Out << "\n";
  };
  for (const auto &Pr : P.Protocols ()) Out << "protocol " << Pr.Image << " " << GuidName (Pr.Id) << (Pr.Marker ? " marker" : "") << "\n";
  for (const auto &S : P.PcdSets ()) Out << "pcd " << S.Caller << " " << S.Name << "=" << Hex (S.Value) << "\n";
  for (const auto &R : P.Smbios ()) {
    Out << "smbios " << R.Producer << " type " << unsigned (R.Bytes[0]) << " handle " << (R.Bytes[2] | (R.Bytes[3] << 8)) << ":";
    Bytes (R.Bytes);
  }
  for (const auto &T : P.Acpi ()) {
    Out << "acpi " << T.Installer << " " << T.Signature << ":";
    Bytes (T.Bytes);
  }
  for (const VariableRecord &V : P.Variables ()) {
    Out << "variable " << Ascii (V.Name) << " " << Hex (V.Attributes) << ":";
    Bytes (V.Data);
  }
  for (const IpmiSent &S : B.Ipmi.Sent) Out << "ipmi " << Describe (S) << "\n";
  Out << "bmc sel " << B.Bmc.Sel.size () << " overflow " << B.Bmc.Overflow << " policy " << unsigned (B.Bmc.PowerRestorePolicy) << "\n";
  std::vector<uint8_t> Flash = B.Flash.Image ();
  uint64_t Digest = 1469598103934665603ULL;   // FNV-1a
  for (uint8_t C : Flash) Digest = (Digest ^ C) * 1099511628211ULL;
  Out << "flash digest " << Hex (Digest, 16) << " status " << Hex (B.NorFlash.Status (1), 2) << Hex (B.NorFlash.Status (2), 2)
      << Hex (B.NorFlash.Status (3), 2) << " protected " << LockMap (B) << "\n";
  for (uint64_t A : {PlatformRegisters::kReg2000A000, PlatformRegisters::kReg2000A004, PlatformRegisters::kReg380031D0}) {
    Out << "register " << Hex (A) << " = " << Hex (B.Registers.Value (A), 8) << "\n";
  }
  Out << "temperature " << P.Pcd ("PcdCpuTemperature").value_or (0) << "\n";
  bool Ran = false;
  for (const std::string &L : P.BootManager (Ran)) Out << "boot-manager " << L << "\n";
  for (const std::string &I : P.BootedImages ()) Out << "booted " << I << "\n";
  bool Off = B.M.Halted () && !B.Fw.ResetCalls.empty () && B.Fw.ResetCalls.back () == 2;
  Out << "halted " << B.M.Halted () << " powered-off " << Off << (P.GaveUp () ? " (no boot option booted)" : "") << " faulted "
      << B.M.Faulted () << "\n";
  return Out.str ();
}

}  // namespace vboard::report

namespace vboard::report {

namespace {

// The images only one core has: EDK II's DXE core and drivers, and the
// board platform's own (its CPU/timer, its ACPI tables, the board's device
// protocols), which under the board's core are the board itself.
const std::set<std::string> kEdk2OwnImages = {
    "DxeCore", "PcdDxe", "RuntimeDxe", "SecurityStubDxe", "VariableRuntimeDxe", "SmbiosDxe", "AcpiTableDxe",
    "HiiDatabase", "HiiDatabaseDxe", "WatchdogTimer", "MetronomeDxe", "Metronome", "MonotonicCounterRuntimeDxe",
    "CapsuleRuntimeDxe", "ResetSystemRuntimeDxe", "RealTimeClock", "RealTimeClockRuntimeDxe", "DevicePathDxe", "BdsDxe",
    "BoardArchDxe", "BoardServicesDxe", "UiApp", "DisplayEngine", "SetupBrowser", "ConPlatformDxe", "ConSplitterDxe",
    "GraphicsConsoleDxe", "TerminalDxe", "EmuVariableFvbRuntimeDxe", "FaultTolerantWriteDxe"};
// The platform's ACPI tables: the board installs them itself under its own
// core ("platform"), BoardAcpiDxe from the hand-off under EDK II's.
const std::set<std::string> kPlatformAcpi = {"platform", "BoardAcpiDxe"};
// Variables EDK II's BDS and drivers keep that the board's core has no
// driver for.
const std::set<std::string> kEdk2OwnVariables = {"Timeout", "Lang", "PlatformLang", "MTC", "VarErrorFlag",
                                                 "ConOut", "ConIn", "ErrOut", "PlatformLangCodes", "LangCodes",
                                                 "BootOptionSupport", "ConOutDev", "ConInDev", "ErrOutDev", "OsIndicationsSupported"};

std::vector<std::string> Fields (const std::string &Line) {
  std::vector<std::string> Out;
  std::istringstream In (Line);
  std::string F;
  while (In >> F) Out.push_back (F);
  return Out;
}

}  // namespace

std::string NormalisedState (const std::string &State, std::vector<std::string> *Rules) {
  std::map<std::string, unsigned> Applied;
  std::ostringstream Out;
  std::istringstream In (State);
  std::string Line;
  auto Rule = [&Applied] (const std::string &Name) { Applied[Name]++; };
  std::vector<std::string> Kept;
  while (std::getline (In, Line)) {
    std::vector<std::string> F = Fields (Line);
    if (F.empty ()) continue;
    const std::string &Kind = F[0];
    if ((Kind == "protocol" || Kind == "pcd" || Kind == "smbios") && F.size () > 1 && kEdk2OwnImages.count (F[1])) {
      Rule ("what EDK II's own and the board platform's drivers published");
      continue;
    }
    if (Kind == "acpi" && F.size () > 2) {
      if (kPlatformAcpi.count (F[1])) {
        Rule ("the platform's ACPI tables named \"platform\"");
        F[1] = "platform";
      } else if (kEdk2OwnImages.count (F[1])) {
        Rule ("the ACPI tables EDK II's table driver builds itself (FADT, DSDT, FACS)");
        continue;
      }
      // LPBT's address of Tablegraft's hand-off buffer (bytes 40-47), which
      // each core's allocator chooses, and the checksum (byte 9) over it.
      if (F[2] == "LPBT:" && F.size () >= 3 + 48) {
        Rule ("LPBT's hand-off buffer address and checksum");
        for (size_t I = 40; I < 48; I++) F[3 + I] = "**";
        F[3 + 9] = "**";
      }
    }
    if (Kind == "smbios" && F.size () >= 6 + 0x14 && F[3] == "15") {
      // "smbios PRODUCER type T handle H: bytes": Type 15's access-method
      // address, where the log's runtime copy landed.
      Rule ("SMBIOS Type 15's access-method address");
      for (size_t I = 0x10; I < 0x14; I++) F[6 + I] = "**";
    }
    if (Kind == "variable" && F.size () > 2) {
      std::string Name = F[1];
      uint64_t Attributes = std::strtoull (F[2].c_str (), nullptr, 16);
      if (kEdk2OwnVariables.count (Name)) {
        Rule ("the variables EDK II's own drivers keep");
        continue;
      }
      if ((Attributes & efi::VariableNonVolatile) == 0) {
        Rule ("volatile variables (the real core's store is read after the run, non-volatile only)");
        continue;
      }
      if (Name.size () == 8 && Name.rfind ("Boot", 0) == 0 && std::isxdigit (static_cast<unsigned char> (Name[4]))) {
        Rule ("boot options' device paths (each platform's own volume)");
        F.resize (3);
        F[2] += " <load option>";
      }
    }
    if (Kind == "halted" && Line.find (" (no boot option booted)") != std::string::npos) {
      Rule ("the power-off when no boot option booted (the board platform's BDS powers off, the board's core stops)");
      F = {"halted", "0", "powered-off", "0", "faulted", F.back ()};
    }
    if (Kind == "boot-manager") {
      Rule ("the boot manager's own account (the board's or BDS's)");
      continue;
    }
    std::string Joined;
    for (size_t I = 0; I < F.size (); I++) Joined += (I ? " " : "") + F[I];
    Kept.push_back (Joined);
  }
  // The order of publication: each core dispatches a driver once its
  // dependencies hold, and EDK II's own drivers change when that is (the
  // ACPI table protocol, say, comes with AcpiTableDxe); each variable store
  // keeps its own order. What was published, and how often, is compared.
  Applied["the order of the lines"] += static_cast<unsigned> (Kept.size ());
  std::stable_sort (Kept.begin (), Kept.end ());
  for (const std::string &L : Kept) Out << L << "\n";
  if (Rules != nullptr) {
    for (const auto &[Name, Count] : Applied) Rules->push_back (Name + " (" + std::to_string (Count) + " lines)");
  }
  return Out.str ();
}

}  // namespace vboard::report
