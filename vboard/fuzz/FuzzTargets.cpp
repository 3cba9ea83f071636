#include "fuzz/FuzzTargets.h"

#include "board/Board.h"
#include "board/FlashLayout.h"
#include "uefi/GuidNames.h"

#include <cstdlib>
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

std::vector<Target> MakeTargets () {
  std::vector<Target> T;
  T.push_back ({"event-log", "the 64 KiB event-log area in flash, then the erase option",
                {"Tallyvault", "Ledgermark"}, [] (Board &B, Input &In) {
    std::vector<uint8_t> Area = In.Bytes (kGpnvSize);
    B.Flash.Program (kGpnvBase, Area);
    B.SetSetupByte (platform::kSystemSetupConfig, 82, In.U8 ());
    B.DefaultBoot ({Image ("Tallyvault"), Image ("Ledgermark")}, 0);
    if (B.M.Stopped ()) return;
    // An append through the protocol, as Heatwatch makes one.
    auto Iface = B.Fw.FindProtocol (platform::kGpnvEventLogProtocol);
    if (!Iface) return;
    EfiTime Now;
    uint64_t Time = B.Fw.HostCopy (&Now, sizeof (Now));
    B.Fw.CallGuest (B.M.Load<uint64_t> (*Iface), {*Iface, 0x0B, 0, 0, 0, 0, Time});
  }});
  T.push_back ({"setup-variables", "SystemSetupConfig, IpmiSetupData and CrSetupData at any size, then a boot of the package volume",
                {"Tallyvault", "Portplate", "Gatewarden", "Vfswitch", "Mainsrestore", "Logsweep", "Redirwarden", "Serialnote", "Heatwatch"},
                [] (Board &B, Input &In) {
    StoreSetup (B, platform::kSystemSetupConfig, In);
    StoreSetup (B, platform::kIpmiSetupData, In);
    StoreSetup (B, platform::kCrSetupData, In);
    B.BootVolumes ({PackageVolume ()});
  }});
  T.push_back ({"spcr", "the SPCR table the platform installs, patched by the console-redirection policy",
                {"Serialnote", "Redirwarden"}, [] (Board &B, Input &In) {
    B.SetPlatformSpcrCount (0);
    std::vector<uint8_t> Cr = In.Bytes (9);
    Cr.resize (9, 0);
    B.SetSetup (platform::kCrSetupData, Cr);
    std::vector<uint8_t> Table = In.Rest ();
    if (Table.size () >= 4) {
      Table[0] = 'S', Table[1] = 'P', Table[2] = 'C', Table[3] = 'R';
    }
    B.Acpi.Install (Table);
    RunImages (B, {"Redirwarden", "Serialnote"});
    if (!B.M.Stopped ()) B.SignalReadyToBoot ();
  }});
  T.push_back ({"bmc-replies", "IsBmcReady's value and the BMC's completion code and data for each IPMI command",
                {"Logsweep", "Mainsrestore"}, [] (Board &B, Input &In) {
    // Both live for this run only: no guest code runs after it.
    B.Ipmi.Uninstall ();
    InputBmc Link (In);
    IpmiTransport Transport (B.Fw, Link);
    Transport.Install ();
    std::vector<uint8_t> Ipmi (432, 0);
    Ipmi[428] = 1, Ipmi[429] = 1, Ipmi[430] = 1;
    B.SetSetup (platform::kIpmiSetupData, Ipmi);
    B.SetSetupByte (platform::kSystemSetupConfig, 128, 2);
    RunImages (B, {"Logsweep", "Mainsrestore"});
    Transport.Uninstall ();
  }});
  T.push_back ({"scmi-replies", "the words each system-control processor leaves in its channel after a reply",
                {"Heatwatch"}, [] (Board &B, Input &In) {
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
    RunImages (B, {"Tallyvault", "Heatwatch"});
    if (!B.M.Stopped ()) B.Fw.AdvanceTime (2500000000ULL);
  }});
  T.push_back ({"parameter-block", "the platform parameter block at 0xC8500 (signature, size, socket count)",
                {"Heatwatch"}, [] (Board &B, Input &In) {
    B.Params.SetBytes (0, In.Bytes (64));
    RunImages (B, {"Heatwatch"});
    if (!B.M.Stopped ()) B.Fw.AdvanceTime (1500000000ULL);
  }});
  T.push_back ({"hob-list", "the two flash-layout GUID HOBs (declared lengths and contents)",
                {"Mapplate"}, [] (Board &B, Input &In) {
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
    RunImages (B, {"Mapplate"});
  }});
  T.push_back ({"firmware-id", "bytes anywhere in the firmware-ID window of the flash",
                {"Stampread"}, [] (Board &B, Input &In) {
    uint32_t Offset = In.U32 () % kFirmwareIdWindowSize;
    std::vector<uint8_t> Bytes = In.Rest ();
    if (Offset + Bytes.size () > kFirmwareIdWindowSize) Bytes.resize (kFirmwareIdWindowSize - Offset);
    B.Flash.EraseBlock (kFirmwareIdWindow + (Offset & ~0xFFFFu));
    B.Flash.Program (kFirmwareIdWindow + Offset, Bytes);
    RunImages (B, {"Stampread"});
  }});
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

std::string RunOne (const Target &T, const uint8_t *Data, size_t Size, const BlockSink &Blocks) {
  Board B;
  B.M.SetBudget (50000000);
  if (Blocks) {
    B.M.OnBlock = [&B, &T, &Blocks] (uint64_t Address) {
      if (ImageRecord *I = B.Fw.ImageAt (Address)) {
        for (const std::string &M : T.Modules) {
          if (M == I->Name) {
            Blocks (M, Address - I->Base);
            return;
          }
        }
      }
    };
  }
  Input In (Data, Size);
  T.Run (B, In);
  B.M.OnBlock = nullptr;
  if (B.M.Faulted ()) return B.FaultReport ();
  std::ostringstream Leaks;
  for (const LeakReport &L : B.Fw.FindLeaks ()) {
    Leaks << "leak: " << L.Block.Size << "-byte pool block of " << L.Owner << " allocated at " << L.Where << "\n";
  }
  return Leaks.str ();
}

}  // namespace vboard::fuzz
