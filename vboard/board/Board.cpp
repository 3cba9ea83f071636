#include "board/Board.h"
#include "board/BoardMap.h"
#include "board/ExtraAcpiData.h"
#include "images/FirmwareVolume.h"
#include "board/FirmwareIdBlock.h"

#include "uefi/GuidNames.h"

#include "board/FlashLayout.h"

#include <cstdio>
#include <sstream>

namespace vboard {

using namespace platform;

Board::Board () : Fw (M) {
  // Boot flash, memory-mapped from 0 and read-only to plain stores; page 0
  // stays unmapped so that NULL accesses fault.
  // The parameter block's page is RAM of its own (ParameterBlock), so the
  // flash window is mapped around it.
  M.MapFilled (kFlashBase + 0x1000, ParameterBlock::kPage - 0x1000, 0xFF, false, false);
  M.MapFilled (ParameterBlock::kPage + ParameterBlock::kPageSize,
               kFlashSize - ParameterBlock::kPage - ParameterBlock::kPageSize, 0xFF, false, false);
  Params.Install (Flash);
  SetSockets (2);
  ConIn.Add ();
  ConIn.Add ();
  Console.Install (ConIn.Handles ().front ());
  Boot.Install ();
  Nic.Install ();
  M.MapDevice (kUart0, 0x1000, &Uart0);
  M.MapDevice (kUart1, 0x1000, &Uart1);
  for (Pl011 *Uart : {&Uart0, &Uart1}) {
    Uart->OnMisuse = [this] (const std::string &What) { M.RaiseFault (FaultKind::DeviceMisuse, What); };
  }
  M.MapDevice (NorFlashController::kBase, NorFlashController::kWindow, &NorController);
  NorController.OnMisuse = [this] (const std::string &What) { M.RaiseFault (FaultKind::DeviceMisuse, What); };
  WriteDefaultFirmwareId (Flash);
  WriteDefaultExtraAcpiData (Flash);

  Fw.DefinePcd (kPlatformTokenSpace, kPcdSerialPortBaseAddress, PcdType::U64, kUart0, 0, "PcdSerialPortBaseAddress");
  Fw.DefinePcd (kThermalTokenSpace, kPcdCpuTemperature, PcdType::U32, 0, 0, "PcdCpuTemperature");
  Fw.DefinePcd (kRecoveryParamTokenSpace, kPcdRecoveryParameter, PcdType::U64, 0, 0, "PcdRecoveryParameter");
  Fw.DefineLocalPcd ("PcdFirmwareIdData", PcdType::Ptr, 0, platform::kFirmwareIdPcdMaxSize, platform::kFirmwareIdPcdInitial.size ());
  M.Write (Fw.LocalPcd ("PcdFirmwareIdData")->Buffer, platform::kFirmwareIdPcdInitial.data (), platform::kFirmwareIdPcdInitial.size ());
  Fw.DefineLocalPcd ("PcdSrIovEnable", PcdType::Bool, 0);
  Fw.DefineLocalPcd ("PcdSrIovPlatformFlag", PcdType::Bool, 1);
  Fw.DefineLocalPcd ("PcdSrIovPlatformValue", PcdType::U32, 0);
  InstallArchitecturalProtocols ();
  SetPlatformSpcrCount (1);
  Ipmi.Install ();
  Flash.Install ();
  Smbios.Install ();
  AddBoardHobs (Hobs);
  OnAllDriversStarted.push_back ([this] { InstallEventLogTrigger (); });
}

void Board::InstallArchitecturalProtocols () {
  // The DXE core's architectural protocols, as the platform's core drivers
  // install them (markers for dependency expressions; the services behind
  // them are the board's tables).
  for (const std::string &Name : Dispatcher::ArchitecturalProtocols ()) {
    uint64_t Handle = 0;
    Fw.InstallProtocol (Handle, names::Named (Name), 0);
  }
}

std::vector<Board::BootResult> Board::BootVolumes (const std::vector<std::string> &Volumes, unsigned ReadyToBootSignals) {
  for (FurtherVolume &V : VolumesToBoot (Volumes)) {
    Fw.Dxe.AddVolume (std::move (V.Bytes), V.Origin);
  }
  Fw.Dxe.Dispatch ();
  std::vector<BootResult> Results;
  auto Collect = [&] {
    Results.clear ();
    for (const std::string &Name : Fw.Dxe.Order ()) {
      const Dispatcher::Driver *D = Fw.Dxe.Find (Name);
      Results.push_back ({Name, D->Status, D->Image->Unloaded});
    }
  };
  if (M.Stopped ()) {
    Collect ();
    return Results;
  }
  for (auto &Step : OnAllDriversStarted) {
    Step ();
    if (M.Stopped ()) break;
  }
  // What the platform installed at the end of dispatch may wake drivers that
  // wait for it; the DXE core dispatches again before it hands over to BDS.
  if (!M.Stopped ()) Fw.Dxe.Dispatch ();
  if (RunBeforeReadyToBootNs != 0 && !M.Stopped ()) {
    Fw.AdvanceTime (RunBeforeReadyToBootNs);
  }
  for (unsigned I = 0; I < ReadyToBootSignals && !M.Stopped (); I++) {
    SignalReadyToBoot ();
  }
  if (RunsBootManager && !M.Stopped ()) {
    RegisterVolumeApplication (boardmap::kNetworkBootApplication);
    BootAttempts = Boot.BootFromOrder ();
  }
  Collect ();
  return Results;
}

std::vector<Board::FurtherVolume> Board::VolumesToBoot (const std::vector<std::string> &Paths) const {
  std::vector<FurtherVolume> Out;
  for (const std::string &Path : Paths) {
    std::vector<uint8_t> Bytes = ReadWholeFile (Path);
    for (const Guid &File : DeletedFiles) MarkFileDeleted (Bytes, File);
    Out.push_back ({std::move (Bytes), Path});
  }
  Out.insert (Out.end (), FurtherVolumes.begin (), FurtherVolumes.end ());
  return Out;
}

bool Board::RegisterVolumeApplication (const std::string &UiName) {
  for (const auto &V : Fw.Dxe.Volumes ()) {
    if (!V.Fv->Name ()) continue;
    for (const FfsFile &F : V.Fv->Files ()) {
      if (F.Type != ffs::FileTypeApplication || F.UiName != UiName) continue;
      Boot.SetOption (0, LoadOption (kLoadOptionActive, Utf16 (UiName),
                                     devpath::Join ({devpath::Fv (*V.Fv->Name ()), devpath::FvFile (F.Name), devpath::End ()})));
      std::vector<uint16_t> Order = {0};
      if (VariableRecord *R = Fw.FindVariable (u"BootOrder", guids::GlobalVariable)) {
        for (size_t I = 0; I + 1 < R->Data.size (); I += 2) {
          uint16_t N = static_cast<uint16_t> (R->Data[I] | (R->Data[I + 1] << 8));
          if (N != 0) Order.push_back (N);
        }
      }
      Boot.SetBootOrder (Order);
      return true;
    }
  }
  return false;
}

uint64_t Board::InstallEventLogTrigger () {
  uint64_t Handle = 0;
  return Fw.InstallProtocol (Handle, kEventLogTriggerProtocol, 0);
}

void Board::SetSockets (unsigned Count) {
  Scp.SetCount (Count);
  Params.SetSocketCount (static_cast<uint8_t> (Count));
}

uint64_t Board::Start (ImageRecord &Image) { return Fw.StartImage (Image); }

uint64_t Board::Run (const std::string &Path) { return Start (Load (Path)); }

std::vector<Board::BootResult> Board::DefaultBoot (const std::vector<std::string> &Images, unsigned ReadyToBootSignals) {
  std::vector<BootResult> Results;
  for (const std::string &Path : Images) {
    ImageRecord &Image = Load (Path);
    uint64_t Status = Start (Image);
    Results.push_back ({Image.Name, Status, Image.Unloaded});
    if (M.Stopped ()) {
      return Results;
    }
  }
  for (auto &Step : OnAllDriversStarted) {
    Step ();
    if (M.Stopped ()) {
      return Results;
    }
  }
  if (RunBeforeReadyToBootNs != 0) {
    Fw.AdvanceTime (RunBeforeReadyToBootNs);
  }
  for (unsigned I = 0; I < ReadyToBootSignals && !M.Stopped (); I++) {
    SignalReadyToBoot ();
  }
  return Results;
}

void Board::InstallDebugMask (uint64_t Mask) {
  // EFI_DEBUG_MASK_PROTOCOL: Revision, GetDebugMask (This, *Mask), SetDebugMask (This, Mask).
  auto Value = std::make_shared<uint64_t> (Mask);
  uint64_t Iface = Fw.MakeHostInterface ("DebugMask",
      {{"GetDebugMask", [this, Value] (CallArgs &A) -> uint64_t {
          if (A[1] == 0) return efi::InvalidParameter;
          M.Store<uint64_t> (A[1], *Value);
          return efi::Success;
        }},
       {"SetDebugMask", [Value] (CallArgs &A) -> uint64_t {
          *Value = A[1];
          return efi::Success;
        }}},
      8);
  M.Store<uint64_t> (Iface, 0x10000);
  uint64_t Handle = 0;
  Fw.InstallProtocol (Handle, guids::DebugMaskProtocol, Iface);
}

void Board::SetSetup (const SetupVariable &V, std::vector<uint8_t> Bytes) {
  if (Bytes.empty ()) {
    Bytes.assign (V.Size, 0);
  }
  Fw.SetVariable (V.Name, V.VendorGuid (), kSetupAttributes, std::move (Bytes));
}

void Board::SetSetupByte (const SetupVariable &V, size_t Offset, uint8_t Value) {
  std::vector<uint8_t> Bytes = Setup (V);
  if (Bytes.empty ()) {
    Bytes.assign (V.Size, 0);
  }
  if (Offset >= Bytes.size ()) {
    Bytes.resize (Offset + 1, 0);
  }
  Bytes[Offset] = Value;
  SetSetup (V, Bytes);
}

std::vector<uint8_t> Board::Setup (const SetupVariable &V) {
  VariableRecord *R = Fw.FindVariable (V.Name, V.VendorGuid ());
  return R == nullptr ? std::vector<uint8_t>{} : R->Data;
}

uint64_t Board::FaultSite () {
  // Where the fault is best explained: the faulting instruction if it lies in
  // a module, else (a jump to nowhere, a misused service) the caller.
  const Fault &F = M.LastFault ();
  if (Fw.ImageAt (F.Pc) != nullptr) {
    return F.Pc;
  }
  return F.Lr;
}

std::optional<Board::AssertionText> Board::FailedAssertion () {
  // A failed assertion prints "ASSERT [Module] File(Line): Expression" and
  // then spins in CpuDeadLoop, which is what stopped the board.
  if (!M.Faulted () || M.LastFault ().Kind != FaultKind::DeadLoop) return std::nullopt;
  std::string Text = UartText ();
  size_t At = Text.rfind ("ASSERT [");
  size_t Close = Text.find (']', At), Open = Text.find ('(', At), Colon = Text.find ("):", At);
  if (At == std::string::npos || Close == std::string::npos || Open == std::string::npos || Colon == std::string::npos) {
    return std::nullopt;
  }
  AssertionText A;
  A.Module = Text.substr (At + 8, Close - At - 8);
  size_t Space = Text.rfind (' ', Open);
  std::string File = Text.substr (Space + 1, Open - Space - 1);
  size_t Pkg = File.rfind ("ArmServerFeaturePkg/");
  if (Pkg != std::string::npos) File = File.substr (Pkg + 20);
  A.Line = File + ":" + Text.substr (Open + 1, Colon - Open - 1);
  A.Message = Text.substr (At, Text.find_first_of ("\r\n", At) - At);
  return A;
}

std::string Board::FaultModule () {
  if (!M.Faulted ()) return "";
  if (auto A = FailedAssertion ()) return A->Module;
  return Fw.CallerName (FaultSite ());
}

std::string Board::FaultLine () {
  if (!M.Faulted ()) return "";
  if (auto A = FailedAssertion ()) return A->Line;
  const Fault &F = M.LastFault ();
  bool PcInImage = Fw.ImageAt (F.Pc) != nullptr;
  std::vector<uint64_t> Frames;
  if (PcInImage) Frames.push_back (F.Lr);
  Frames.insert (Frames.end (), F.Frames.begin (), F.Frames.end ());
  std::string Line = Fw.SiteLine (PcInImage ? F.Pc : F.Lr, Frames, PcInImage);
  return Line.empty () ? Fw.SourceLine (FaultSite ()) : Line;
}

std::string Board::FaultReport () {
  if (!M.Faulted ()) {
    return "";
  }
  const Fault &F = M.LastFault ();
  std::ostringstream Out;
  auto Assertion = FailedAssertion ();
  Out << "FAULT: " << (Assertion ? "assertion failed" : FaultKindName (F.Kind)) << " in " << FaultModule ();
  std::string Line = FaultLine ();
  if (!Line.empty ()) Out << " at " << Line;
  Out << "\n";
  if (Assertion) Out << "  " << Assertion->Message << "\n";
  if (!F.Detail.empty ()) Out << "  " << F.Detail << "\n";
  if (F.Kind == FaultKind::UnmappedRead || F.Kind == FaultKind::UnmappedWrite || F.Kind == FaultKind::ProtectedWrite) {
    Out << "  address: " << Fw.Describe (F.Address) << "\n";
  }
  Out << "  pc: " << Fw.Describe (F.Pc) << "\n";
  Out << "  lr: " << Fw.Describe (F.Lr) << "\n";
  return Out.str ();
}

std::string Board::PublishedSummary () {
  std::ostringstream Out;
  for (const auto &P : Fw.Published) {
    char Buf[32];
    std::snprintf (Buf, sizeof (Buf), "0x%llx", static_cast<unsigned long long> (P.Interface));
    Out << P.Image << ": installed " << GuidName (P.Protocol) << " (interface " << Buf << ")\n";
  }
  for (const auto &S : Fw.PcdSets ()) {
    char Buf[64];
    std::snprintf (Buf, sizeof (Buf), " (token 0x%llx) = 0x%llx", static_cast<unsigned long long> (S.Token),
                   static_cast<unsigned long long> (S.Value));
    Out << S.Caller << ": set PCD " << (S.Space ? GuidName (*S.Space) + "." : std::string ()) << S.Name << Buf << "\n";
  }
  for (const SmbiosRecord &R : Smbios.Records ()) {
    Out << R.Producer << ": added SMBIOS type " << unsigned (R.Type ()) << " (handle " << R.Handle << ", "
        << R.Bytes.size () << " bytes)\n";
  }
  return Out.str ();
}

}  // namespace vboard
