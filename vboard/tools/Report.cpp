#include "tools/Report.h"

#include "board/BoardMap.h"
#include "board/FirmwareIdBlock.h"
#include "host/Files.h"
#include "images/FirmwareVolume.h"
#include "uefi/GuidNames.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
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

// What one image left behind, in a few words per item: protocols, PCDs,
// SMBIOS records, ACPI tables, variables, IPMI commands, callbacks, device
// registers driven, flash-access calls.
std::vector<std::string> WhatItDid (Board &B, const std::string &Image) {
  std::vector<std::string> Did;
  for (const auto &P : B.Fw.Published) {
    if (P.Image == Image) Did.push_back (Short (P.Protocol) + (P.Interface == 0 ? " (marker)" : ""));
  }
  for (const auto &S : B.Fw.PcdSets ()) {
    if (S.Caller != Image) continue;
    std::string Entry = S.Name + "=" + Hex (S.Value);
    if (std::find (Did.begin (), Did.end (), Entry) == Did.end ()) Did.push_back (Entry);
  }
  std::map<unsigned, unsigned> Types;
  for (const SmbiosRecord &Rec : B.Smbios.Records ()) {
    if (Rec.Producer == Image) Types[Rec.Type ()]++;
  }
  for (auto [Type, Count] : Types) Did.push_back ("SMBIOS type " + std::to_string (Type) + (Count > 1 ? " x" + std::to_string (Count) : ""));
  for (const AcpiTable &T : B.Acpi.Tables ()) {
    if (T.Installer == Image) Did.push_back ("ACPI " + T.Signature);
  }
  for (const auto &W : B.Fw.Vars.GuestWrites) {
    if (W.Caller == Image) Did.push_back ((W.Deleted ? "deleted " : "wrote ") + Ascii (W.Name));
  }
  std::map<std::string, unsigned> Ipmi;
  std::vector<std::string> IpmiOrder;
  for (const IpmiSent &S : B.Ipmi.Sent) {
    if (S.Caller != Image) continue;
    std::string T = IpmiText (S);
    if (Ipmi[T]++ == 0) IpmiOrder.push_back (T);
  }
  for (const std::string &T : IpmiOrder) Did.push_back ("IPMI " + T + (Ipmi[T] > 1 ? " x" + std::to_string (Ipmi[T]) : ""));
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
  if (IdInPlace) Did.push_back ("PcdFirmwareIdData (in place)");
  if (ReadyToBoot) Did.push_back ("ReadyToBoot callback");
  if (Periodic) Did.push_back ("periodic timer");
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

void WriteArtefacts (Board &B, const std::string &Dir) {
  B.Smbios.WriteDump (Dir + "/smbios.bin");
  fs::create_directories (Dir + "/acpi");
  B.Acpi.Dump (Dir + "/acpi");
  B.Flash.Save (Dir + "/flash.bin");
}

bool Print (Board &B, const Run &R, const std::string &Dir, std::ostream &Out) {
  bool Good = true;
  const Dispatcher &Dxe = B.Fw.Dxe;
  for (const auto &V : Dxe.Volumes ()) {
    std::map<std::string, unsigned> Kinds;
    for (const FfsFile &F : V.Fv->Files ()) {
      Kinds[F.Type == ffs::FileTypeDriver ? "drivers" : F.Type == ffs::FileTypeApplication ? "applications" : "other files"]++;
    }
    Out << "== firmware volume " << V.Fv->Origin () << ": " << V.Fv->Length () << " bytes, " << V.Fv->Files ().size ()
        << " files (" << Kinds["drivers"] << " drivers, " << Kinds["applications"] << " applications, "
        << Kinds["other files"] << " other)\n";
    for (const std::string &N : V.Fv->Notes ()) Out << "   note: " << N << "\n";
  }

  // Per driver: its entry status and what it left behind.
  Out << "== drivers, in dispatch order\n";
  std::vector<const Dispatcher::Driver *> Drivers;
  for (const std::string &Name : Dxe.Order ()) Drivers.push_back (Dxe.Find (Name));
  for (const auto &D : Dxe.Drivers ()) {
    if (D.State != Dispatcher::DriverState::Dispatched) Drivers.push_back (&D);
  }
  unsigned Dispatched = 0;
  for (const Dispatcher::Driver *D : Drivers) {
    std::vector<std::string> Did = WhatItDid (B, D->Name);
    std::string State;
    if (D->State == Dispatcher::DriverState::Dispatched) {
      Dispatched++;
      State = efi::StatusName (D->Status) + (D->Image != nullptr && D->Image->Unloaded ? " (unloaded)" : "");
    } else if (D->State == Dispatcher::DriverState::Failed) {
      State = "NOT LOADED: " + D->Note;
      Good = false;
    } else {
      State = "NOT DISPATCHED: " + Dxe.WaitingFor (*D);
      Good = false;
    }
    std::string Line = D->Name;
    Line.resize (std::max<size_t> (Line.size () + 1, 13), ' ');
    Line += State;
    Line.resize (std::max<size_t> (Line.size () + 1, 35), ' ');
    for (size_t I = 0; I < Did.size (); I++) Line += (I ? "; " : "") + Did[I];
    Out << "  " << Line << "\n";
  }
  Out << "  " << Dispatched << " of " << Dxe.Drivers ().size () << " drivers dispatched\n";

  if (!B.BootAttempts.empty () || B.RunsBootManager) {
    Out << "== boot manager (after ReadyToBoot)\n";
    for (const BootManager::Attempt &A : B.BootAttempts) {
      Out << "  Boot" << Hex (A.Number, 4).substr (2) << " \"" << Ascii (A.Description) << "\" " << A.Path << ": ";
      if (!A.Note.empty ()) {
        Out << A.Note << "\n";
      } else if (!A.Started) {
        Out << "not loaded, " << efi::StatusName (A.LoadStatus) << "\n";
      } else {
        Out << "started " << A.Image << ", " << (B.M.Halted () && &A == &B.BootAttempts.back () ? "did not return"
                                                                                          : "returned " + efi::StatusName (A.Status))
            << "\n";
      }
    }
    for (const auto &L : B.Boot.Loads) {
      if (L.Parent == "boot manager") continue;
      Out << "    " << L.Parent << ": LoadImage " << devpath::Text (L.DevicePath) << " -> " << efi::StatusName (L.Status)
          << (L.Image.empty () ? "" : " (" + L.Image + ")") << "\n";
    }
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
  if (PcdEntry *Id = B.Fw.LocalPcd ("PcdFirmwareIdData"); Id != nullptr && Id->MaxSize >= kFirmwareIdBlockSize) {
    std::vector<uint8_t> Bytes = B.M.ReadBytes (Id->Buffer, kFirmwareIdBlockSize);
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
  uint64_t Temperature = B.Fw.PcdValue (kThermalTokenSpace, kPcdCpuTemperature);
  unsigned TemperatureSets = 0;
  for (const auto &S : B.Fw.PcdSets ()) TemperatureSets += S.Name == "PcdCpuTemperature";
  char Buf[96];
  std::snprintf (Buf, sizeof (Buf), "%llu (%.3f C), set %u times", static_cast<unsigned long long> (Temperature),
                 static_cast<double> (Temperature) / 1000.0, TemperatureSets);
  Out << "  PcdCpuTemperature " << Buf << "; PcdSerialPortBaseAddress "
      << Hex (B.Fw.PcdValue (kPlatformTokenSpace, kPcdSerialPortBaseAddress)) << "\n";

  Out << "== end of boot\n";
  if (B.M.Faulted ()) {
    Out << B.FaultReport ();
    Good = false;
  } else {
    // An application that handed over (its boot program powered the board
    // off) still holds what it allocated: that is not a leak.
    auto Leaks = B.Fw.FindLeaks ();
    std::vector<std::string> Running = B.Boot.RunningImages ();
    Leaks.erase (std::remove_if (Leaks.begin (), Leaks.end (), [&] (const LeakReport &L) {
                   return std::find (Running.begin (), Running.end (), L.Owner) != Running.end ();
                 }), Leaks.end ());
    for (const auto &L : Leaks) Out << "  LEAK: " << L.Block.Size << "-byte pool block allocated at " << L.Where << "\n";
    if (!Leaks.empty ()) Good = false;
  }
  for (const std::string &M : B.Scp.Malformed ()) Out << "  SCMI request malformed: " << M << "\n";
  for (const std::string &S : B.Registers.Stray) Out << "  stray platform-register access: " << S << "\n";
  for (const std::string &F : B.Fw.Findings) Out << "  board noticed: " << F << "\n";
  if (B.M.Halted ()) {
    bool Off = !B.Fw.ResetCalls.empty () && B.Fw.ResetCalls.back () == 2;   // EfiResetShutdown
    Out << "  " << (Off ? "powered off: " : "halted: ") << B.M.HaltReason () << "\n";
  }
  std::snprintf (Buf, sizeof (Buf), "%.3f s wall", R.WallSeconds);
  Out << "  " << Buf << ", " << B.M.Instructions () << " instructions emulated, " << B.Fw.NowNs () / 1000000
      << " ms simulated; " << (Good ? "every driver dispatched, no fault, no leak" : "PROBLEMS ABOVE") << "\n";
  return Good;
}

std::string PublishedState (Board &B) {
  std::ostringstream Out;
  for (const auto &P : B.Fw.Published) Out << "protocol " << P.Image << " " << GuidName (P.Protocol) << (P.Interface ? "" : " marker") << "\n";
  for (const auto &S : B.Fw.PcdSets ()) Out << "pcd " << S.Caller << " " << S.Name << "=" << Hex (S.Value) << "\n";
  for (const SmbiosRecord &R : B.Smbios.Records ()) {
    Out << "smbios " << R.Producer << " type " << unsigned (R.Type ()) << " handle " << R.Handle << ":";
    for (uint8_t C : R.Bytes) Out << " " << Hex (C, 2).substr (2);
    Out << "\n";
  }
  for (const AcpiTable &T : B.Acpi.Tables ()) {
    Out << "acpi " << T.Installer << " " << T.Signature << ":";
    for (uint8_t C : B.Acpi.Bytes (T)) Out << " " << Hex (C, 2).substr (2);
    Out << "\n";
  }
  for (const VariableRecord &V : B.Fw.Variables ()) {
    Out << "variable " << Ascii (V.Name) << " " << Hex (V.Attributes) << ":";
    for (uint8_t C : V.Data) Out << " " << Hex (C, 2).substr (2);
    Out << "\n";
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
  Out << "temperature " << B.Fw.PcdValue (kThermalTokenSpace, kPcdCpuTemperature) << "\n";
  for (const BootManager::Attempt &A : B.BootAttempts) {
    Out << "boot " << A.Number << " " << A.Path << " " << A.Note << " " << A.Image << "\n";
  }
  Out << "halted " << B.M.Halted () << " faulted " << B.M.Faulted () << "\n";
  return Out.str ();
}

}  // namespace vboard::report
