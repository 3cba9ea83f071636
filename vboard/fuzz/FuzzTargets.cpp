#include "fuzz/FuzzTargets.h"

#include "board/Board.h"
#include "board/FlashLayout.h"
#include "host/Files.h"
#include "uefi/GuidNames.h"
#include "uefi/BootManager.h"

#include <array>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

namespace vboard::fuzz {

namespace {

constexpr uint64_t kGpnvBase = 0x930000, kGpnvSize = 0x10000;
constexpr uint64_t kFirmwareIdWindow = 0x500000, kFirmwareIdWindowSize = 0x150090;

std::string Image (const std::string &Name) { return ImagesDir () + "/" + Name + ".efi"; }
std::string PackageVolume () { return ImagesDir () + "/../FV/ARMSERVERFEATUREFV.Fv"; }

// A setup variable of the size the input asks for (0..1023 bytes, 0: absent).
void StoreSetup (Board &B, const platform::SetupVariable &V, Input &In) {
  size_t Size = In.U16 () % 1024;
  if (Size == 0) {
    B.Fw.DeleteVariable (V.Name, V.VendorGuid ());
    return;
  }
  std::vector<uint8_t> Bytes = In.Bytes (Size);
  Bytes.resize (Size, 0);
  B.SetSetup (V, Bytes);
}

// The BMC of the fuzzer: IsBmcReady's value and every reply come from the
// input; when it runs out the BMC stops answering.
class InputBmc : public IpmiLink {
 public:
  explicit InputBmc (Input &In) : mIn (In), mReady (In.U32 ()) {}
  uint32_t ReadyValue () override { return mReady; }
  std::optional<IpmiReply> Exchange (uint8_t, uint8_t, uint8_t, const std::vector<uint8_t> &) override {
    if (mIn.Empty ()) return std::nullopt;
    IpmiReply R;
    R.CompletionCode = mIn.U8 ();
    R.Data = mIn.Bytes (mIn.U8 () % 40);
    return R;
  }

 private:
  Input &mIn;
  uint32_t mReady;
};

void RunImages (Board &B, const std::vector<std::string> &Names) {
  for (const std::string &N : Names) {
    B.Run (Image (N));
    if (B.M.Stopped ()) return;
  }
}

// The setup-variables target's input: the three setup variables, on a board
// that has booted before. Its flash part then has WPS set, as every boot
// after the first finds it: the first boot's write of that non-volatile
// status bit keeps the part busy for 10 ms of simulated time, about a
// quarter of the boot's instructions spent polling BUSY, and no setup
// variable decides anything about it. The first boot's write is what the
// flash-protection tests and the board's boots check.
void PlaceSetup (Board &B, Input &In) {
  std::array<uint8_t, 3> Sr = B.NorFlash.NonVolatileStatus ();
  Sr[2] |= SpiNorFlash::kSr3Wps;
  B.NorFlash.SetNonVolatileStatus (Sr);
  StoreSetup (B, platform::kSystemSetupConfig, In);
  StoreSetup (B, platform::kIpmiSetupData, In);
  StoreSetup (B, platform::kCrSetupData, In);
}

std::vector<Target> MakeTargets () {
  std::vector<Target> T;
  auto PlaceEventLog = [] (Board &B, Input &In) {
    std::vector<uint8_t> Area = In.Bytes (kGpnvSize);
    B.Flash.Program (kGpnvBase, Area);
    B.SetSetupByte (platform::kSystemSetupConfig, 82, In.U8 ());
  };
  T.push_back ({"event-log", "the 64 KiB event-log area in flash, then the erase option",
                {"Tallyvault", "Ledgermark"}, [PlaceEventLog] (Board &B, Input &In) {
    PlaceEventLog (B, In);
    B.DefaultBoot ({Image ("Tallyvault"), Image ("Ledgermark")}, 0);
    if (B.M.Stopped ()) return;
    // An append through the protocol, as Heatwatch makes one.
    auto Iface = B.Fw.FindProtocol (platform::kGpnvEventLogProtocol);
    if (!Iface) return;
    EfiTime Now;
    uint64_t Time = B.Fw.HostCopy (&Now, sizeof (Now));
    B.Fw.CallGuest (B.M.Load<uint64_t> (*Iface), {*Iface, 0x0B, 0, 0, 0, 0, Time});
  }});
  T.back ().Place = PlaceEventLog;
  T.push_back ({"setup-variables", "SystemSetupConfig, IpmiSetupData and CrSetupData at any size, then a boot of the package volume",
                {"Tallyvault", "Portplate", "Gatewarden", "Vfswitch", "Mainsrestore", "Logsweep", "Redirwarden", "Serialnote", "Heatwatch"},
                [] (Board &B, Input &In) {
    PlaceSetup (B, In);
    B.BootVolumes ({PackageVolume ()});
  }});
  T.back ().Place = PlaceSetup;
  auto PlaceSpcr = [] (Board &B, Input &In) {
    B.SetPlatformSpcrCount (0);
    std::vector<uint8_t> Cr = In.Bytes (9);
    Cr.resize (9, 0);
    B.SetSetup (platform::kCrSetupData, Cr);
    std::vector<uint8_t> Table = In.Rest ();
    if (Table.size () >= 4) {
      Table[0] = 'S', Table[1] = 'P', Table[2] = 'C', Table[3] = 'R';
    }
    B.Acpi.Install (Table);
  };
  T.push_back ({"spcr", "the SPCR table the platform installs, patched by the console-redirection policy",
                {"Serialnote", "Redirwarden"}, [PlaceSpcr] (Board &B, Input &In) {
    PlaceSpcr (B, In);
    RunImages (B, {"Redirwarden", "Serialnote"});
    if (!B.M.Stopped ()) B.SignalReadyToBoot ();
  }});
  T.back ().Place = PlaceSpcr;
  // The board's IPMI transport answers from the input instead of its BMC:
  // the same protocol instance serves the package's drivers under either
  // DXE core (EDK II's gets it through the board-services HOB).
  auto PlaceBmc = [] (Board &B, Input &In) {
    B.Ipmi.ServeFrom (std::make_shared<InputBmc> (In));
    std::vector<uint8_t> Ipmi (432, 0);
    Ipmi[428] = 1, Ipmi[429] = 1, Ipmi[430] = 1;
    B.SetSetup (platform::kIpmiSetupData, Ipmi);
    B.SetSetupByte (platform::kSystemSetupConfig, 128, 2);
  };
  T.push_back ({"bmc-replies", "IsBmcReady's value and the BMC's completion code and data for each IPMI command",
                {"Logsweep", "Mainsrestore"}, [PlaceBmc] (Board &B, Input &In) {
    PlaceBmc (B, In);
    RunImages (B, {"Logsweep", "Mainsrestore"});
  }});
  T.back ().Place = PlaceBmc;
  auto PlaceScmi = [] (Board &B, Input &In) {
    std::vector<uint8_t> Words = In.Rest ();
    for (unsigned S = 0; S < B.Scp.Count (); S++) {
      B.Scp[S].ReplyOverride = [Words, S] (uint32_t *Shared, size_t Count) {
        // Each socket takes its own half of the input; word 0 (the
        // channel status) stays the SCP's.
        size_t Half = Words.size () / 2, From = S * Half;
        for (size_t W = 1; W < Count && (W - 1) * 4 + 3 < Half; W++) {
          const uint8_t *P = Words.data () + From + (W - 1) * 4;
          Shared[W] = P[0] | (P[1] << 8) | (P[2] << 16) | (static_cast<uint32_t> (P[3]) << 24);
        }
      };
    }
  };
  T.push_back ({"scmi-replies", "the words each system-control processor leaves in its channel after a reply",
                {"Heatwatch"}, [PlaceScmi] (Board &B, Input &In) {
    PlaceScmi (B, In);
    RunImages (B, {"Tallyvault", "Heatwatch"});
    if (!B.M.Stopped ()) B.Fw.AdvanceTime (2500000000ULL);
  }});
  T.back ().Place = PlaceScmi;
  auto PlaceParams = [] (Board &B, Input &In) { B.Params.SetBytes (0, In.Bytes (64)); };
  T.push_back ({"parameter-block", "the platform parameter block at 0xC8500 (signature, size, socket count)",
                {"Heatwatch"}, [PlaceParams] (Board &B, Input &In) {
    PlaceParams (B, In);
    RunImages (B, {"Heatwatch"});
    if (!B.M.Stopped ()) B.Fw.AdvanceTime (1500000000ULL);
  }});
  T.back ().Place = PlaceParams;
  auto PlaceHobs = [] (Board &B, Input &In) {
    B.Hobs.RemoveGuid (platform::kFlashLayoutInfoHob);
    B.Hobs.RemoveGuid (platform::kFlashLayoutGlobalHob);
    for (const Guid &G : {platform::kFlashLayoutInfoHob, platform::kFlashLayoutGlobalHob}) {
      if (In.U8 () % 4 == 0) continue;   // this HOB absent
      Hob H;
      H.Type = HobList::kGuidExtension;
      H.Body.assign (G.Bytes.begin (), G.Bytes.end ());
      std::vector<uint8_t> Data = In.Bytes (In.U8 ());
      H.Body.insert (H.Body.end (), Data.begin (), Data.end ());
      uint16_t Declared = In.U16 ();
      if (Declared % 3 == 0) H.Length = static_cast<uint16_t> (Declared % 512);   // a lying length
      B.Hobs.Add (H);
    }
  };
  T.push_back ({"hob-list", "the two flash-layout GUID HOBs (declared lengths and contents)",
                {"Mapplate"}, [PlaceHobs] (Board &B, Input &In) {
    PlaceHobs (B, In);
    RunImages (B, {"Mapplate"});
  }});
  T.back ().Place = PlaceHobs;
  auto PlaceFirmwareId = [] (Board &B, Input &In) {
    uint32_t Offset = In.U32 () % kFirmwareIdWindowSize;
    std::vector<uint8_t> Bytes = In.Rest ();
    if (Offset + Bytes.size () > kFirmwareIdWindowSize) Bytes.resize (kFirmwareIdWindowSize - Offset);
    B.Flash.EraseBlock (kFirmwareIdWindow + (Offset & ~0xFFFFu));
    B.Flash.Program (kFirmwareIdWindow + Offset, Bytes);
  };
  T.push_back ({"firmware-id", "bytes anywhere in the firmware-ID window of the flash",
                {"Stampread"}, [PlaceFirmwareId] (Board &B, Input &In) {
    PlaceFirmwareId (B, In);
    RunImages (B, {"Stampread"});
  }});
  T.back ().Place = PlaceFirmwareId;
  // The extra-ACPI-table file made of the input's RAW sections, in a volume
  // of its own.
  auto AcpiSectionVolume = [] (Input &In) {
    std::vector<std::vector<uint8_t>> Sections;
    for (unsigned N = In.U8 () % 4 + 1; N > 0 && !In.Empty (); N--) Sections.push_back (In.Bytes (In.U16 () % 600));
    Guid File = names::Named ("gExtraAcpiTableFileGuid");
    return RawSectionVolume (std::vector<uint8_t> (File.Bytes.begin (), File.Bytes.end ()), Sections);
  };
  // On a whole platform the flash's own extra-ACPI file is retired and the
  // input's volume, holding its replacement, follows the given volumes.
  auto PlaceAcpiSections = [AcpiSectionVolume] (Board &B, Input &In) {
    B.DeletedFiles.push_back (names::Named ("gExtraAcpiTableFileGuid"));
    B.FurtherVolumes.push_back ({AcpiSectionVolume (In), "fuzz input"});
  };
  T.push_back ({"acpi-sections", "the RAW sections of the extra-ACPI-table file, in a volume of their own",
                {"Tablegraft"}, [AcpiSectionVolume] (Board &B, Input &In) {
    B.Fw.Dxe.AddVolume (AcpiSectionVolume (In), "fuzz input");
    RunImages (B, {"Tablegraft"});
  }, [] {
    // OSDM (241 bytes) and LPBT (59 bytes) headers of the right lengths.
    auto Table = [] (const char *Sig, uint32_t Length) {
      std::vector<uint8_t> T (Length, 0);
      for (int I = 0; I < 4; I++) T[I] = Sig[I];
      T[4] = Length & 0xFF, T[5] = Length >> 8, T[8] = 1;
      return T;
    };
    std::vector<uint8_t> In = {1};
    for (const auto &T : {Table ("OSDM", 241), Table ("LPBT", 59)}) {
      In.push_back (T.size () & 0xFF), In.push_back (T.size () >> 8);
      In.insert (In.end (), T.begin (), T.end ());
    }
    return std::vector<std::vector<uint8_t>>{In};
  }});
  T.back ().Place = PlaceAcpiSections;
  auto PlaceBootOptions = [] (Board &B, Input &In) {
    B.Nic.State = NetworkDevice::Network::Serves;
    B.Nic.BootFile = TestImagesDir () + "/NetBootProbe.efi";
    B.Fw.SetVariable (u"NetBootProbeMode", names::Named ("gNetBootProbeVariableGuid"), platform::kSetupAttributes, {1});
    B.Boot.SetBootOrderBytes (In.Bytes (In.U8 () % 16));
    for (unsigned N = 0; N < 4 && !In.Empty (); N++) {
      uint16_t Number = In.U16 () % 8;
      B.Boot.SetOption (Number, In.Bytes (In.U16 () % 400));
    }
  };
  T.push_back ({"boot-options", "BootOrder and up to four Boot#### load options",
                {"Wirelaunch"}, [PlaceBootOptions] (Board &B, Input &In) {
    PlaceBootOptions (B, In);
    B.Boot.Boot (Image ("Wirelaunch"));
  }, [] {
    Board B;
    std::vector<uint8_t> Option = LoadOption (kLoadOptionActive, u"UEFI PXEv4 (MAC:525400123456)", B.Nic.Pxe4Path ());
    std::vector<uint8_t> In = {4, 1, 0, 2, 0, 1, 0};
    In.push_back (Option.size () & 0xFF), In.push_back (Option.size () >> 8);
    In.insert (In.end (), Option.begin (), Option.end ());
    return std::vector<std::vector<uint8_t>>{In};
  }});
  T.back ().Place = PlaceBootOptions;
  auto PlaceRecords = [] (Board &B, Input &In) {
    B.Fw.SetVariable (u"PlantedRecord", names::Named ("gPlantedRecordVariableGuid"), platform::kSetupAttributes, In.Bytes (512));
  };
  T.push_back ({"planted", "records of a test-only parser with a planted off-by-one (must be found)",
                {"PlantedOverrun"}, [PlaceRecords] (Board &B, Input &In) {
    PlaceRecords (B, In);
    B.Run (TestImagesDir () + "/PlantedOverrun.efi");
  }, [] { return std::vector<std::vector<uint8_t>>{{0x10, 4, 'a', 'b', 'c', 'd', 0x20, 2, 1, 2}}; }});
  // On a whole platform the parser comes in a volume of its own after the
  // given ones (neither platform volume holds a test-only image).
  T.back ().Place = [PlaceRecords] (Board &B, Input &In) {
    PlaceRecords (B, In);
    B.FurtherVolumes.push_back ({ReadWholeFile (PlantedVolume ()), PlantedVolume ()});
  };
  return T;
}

}  // namespace

std::vector<uint8_t> Input::Bytes (size_t Count) {
  size_t Take = std::min (Count, mSize - std::min (mPos, mSize));
  std::vector<uint8_t> Out (mData + mPos, mData + mPos + Take);
  mPos += Take;
  return Out;
}

const std::vector<Target> &Targets () {
  static const std::vector<Target> kTargets = MakeTargets ();
  return kTargets;
}

const Target *FindTarget (const std::string &Name) {
  for (const Target &T : Targets ()) {
    if (Name == T.Name) return &T;
  }
  return nullptr;
}

std::string ImagesDir () {
  const char *Override = std::getenv ("ASFP_FUZZ_IMAGES");
  return Override != nullptr ? Override : ASFP_FUZZ_IMAGES;
}

std::string TestImagesDir () {
  std::string Dir = ImagesDir ();
  size_t At = Dir.rfind ("/ArmServerFeaturePkg/");
  return At == std::string::npos ? Dir : Dir.substr (0, At) + "/ArmServerFeaturePkgTest/" + Dir.substr (At + 21);
}

std::string PlantedVolume () { return TestImagesDir () + "/../FV/PLANTEDBOARDFV.Fv"; }

std::vector<uint8_t> RawSectionVolume (const std::vector<uint8_t> &FileGuid, const std::vector<std::vector<uint8_t>> &Sections) {
  auto Put = [] (std::vector<uint8_t> &V, size_t At, uint64_t Value, int Bytes) {
    for (int I = 0; I < Bytes; I++) V[At + I] = static_cast<uint8_t> (Value >> (8 * I));
  };
  std::vector<uint8_t> Body;   // the sections, each 4-byte aligned
  for (const auto &S : Sections) {
    while (Body.size () % 4 != 0) Body.push_back (0);
    size_t Size = 4 + S.size ();
    Body.push_back (Size & 0xFF), Body.push_back ((Size >> 8) & 0xFF), Body.push_back ((Size >> 16) & 0xFF);
    Body.push_back (0x19);   // EFI_SECTION_RAW
    Body.insert (Body.end (), S.begin (), S.end ());
  }
  std::vector<uint8_t> File (24, 0);
  std::copy (FileGuid.begin (), FileGuid.end (), File.begin ());
  File[18] = 0x02;   // EFI_FV_FILETYPE_FREEFORM
  Put (File, 20, 24 + Body.size (), 3);
  uint8_t Sum = 0;
  for (uint8_t B : File) Sum = static_cast<uint8_t> (Sum + B);
  File[16] = static_cast<uint8_t> (0x100 - Sum);   // header checksum (State and file checksum count as 0)
  File[17] = 0xAA;                                  // no data checksum
  File[23] = 0xF8;                                  // EFI_FILE_DATA_VALID under erase polarity 1
  File.insert (File.end (), Body.begin (), Body.end ());

  const size_t HeaderLength = 0x48;
  size_t Length = (HeaderLength + File.size () + 0xFFF) & ~size_t (0xFFF);
  std::vector<uint8_t> Fv (Length, 0xFF);
  std::fill (Fv.begin (), Fv.begin () + HeaderLength, 0);
  const uint8_t kFfs2[] = {0x78, 0xE5, 0x8C, 0x8C, 0x3D, 0x8A, 0x1C, 0x4F, 0x99, 0x35, 0x89, 0x61, 0x85, 0xC3, 0x2D, 0xD3};
  std::copy (std::begin (kFfs2), std::end (kFfs2), Fv.begin () + 16);
  Put (Fv, 32, Length, 8);
  Put (Fv, 40, 0x4856465F, 4);   // "_FVH"
  Put (Fv, 44, 0x0004FEFF, 4);   // attributes as the package's volumes have them (erase polarity 1)
  Put (Fv, 48, HeaderLength, 2);
  Fv[55] = 2;                    // revision
  Put (Fv, 56, Length / 0x1000, 4);
  Put (Fv, 60, 0x1000, 4);
  uint16_t Sum16 = 0;
  for (size_t I = 0; I < HeaderLength; I += 2) Sum16 = static_cast<uint16_t> (Sum16 + (Fv[I] | (Fv[I + 1] << 8)));
  Put (Fv, 50, static_cast<uint16_t> (0x10000 - Sum16), 2);
  std::copy (File.begin (), File.end (), Fv.begin () + HeaderLength);
  return Fv;
}

namespace {

// Guest code blocks entered, counted per 4-byte offset of each of the
// target's images: a block hook that costs an array increment, with the
// image looked up only when execution moves to another image.
class BlockCounts {
 public:
  BlockCounts (Board &B, const Target &T) : mBoard (B), mTarget (T) {}

  void Enter (uint64_t Address) {
    if (Address - mLo >= mSize) Find (Address);
    if (mCounts != nullptr) (*mCounts)[(Address - mLo) / 4]++;
  }

  // Hands every block entered to Sink.
  void Report (const BlockSink &Sink) const {
    for (const auto &[Image, Entry] : mImages) {
      for (size_t I = 0; I < Entry.Counts.size (); I++) {
        if (Entry.Counts[I] != 0) Sink (Entry.Module, I * 4, Entry.Counts[I]);
      }
    }
  }

 private:
  struct Entry {
    std::string Module;
    std::vector<uint64_t> Counts;
  };
  void Find (uint64_t Address) {
    mCounts = nullptr;
    ImageRecord *I = mBoard.Fw.ImageAt (Address);
    if (I == nullptr) {
      mLo = Address, mSize = 1;   // not an image (a service trap): this address only
      return;
    }
    mLo = I->Base, mSize = I->Size;
    for (const std::string &M : mTarget.Modules) {
      if (M != I->Name) continue;
      Entry &E = mImages[I];
      if (E.Counts.empty ()) E.Module = M, E.Counts.assign ((I->Size + 3) / 4, 0);
      mCounts = &E.Counts;
      return;
    }
  }
  Board &mBoard;
  const Target &mTarget;
  uint64_t mLo = 1, mSize = 0;
  std::vector<uint64_t> *mCounts = nullptr;
  std::map<const ImageRecord *, Entry> mImages;
};

}  // namespace

std::string RunOne (const Target &T, const uint8_t *Data, size_t Size, const BlockSink &Blocks) {
  // A fresh board for every run: building one costs less than a copy of a
  // saved one (host/Snapshot.h) on the hosts measured, and no run can see
  // another's changes. It takes over the last run's emulator engine with
  // the code translated there (cpu/Machine.h), so only code that ran
  // nowhere before is translated.
  Board B;
  B.M.SetBudget (50000000);
  std::optional<BlockCounts> Counts;
  if (Blocks) {
    Counts.emplace (B, T);
    B.M.OnBlock = [&Counts] (uint64_t Address) { Counts->Enter (Address); };
  }
  Input In (Data, Size);
  T.Run (B, In);
  B.M.OnBlock = nullptr;
  if (Counts) Counts->Report (Blocks);
  if (B.M.Faulted ()) return B.FaultReport ();
  std::ostringstream Leaks;
  for (const LeakReport &L : B.Fw.FindLeaks ()) {
    Leaks << "leak: " << L.Block.Size << "-byte pool block of " << L.Owner << " allocated at " << L.Where << "\n";
  }
  return Leaks.str ();
}

}  // namespace vboard::fuzz
