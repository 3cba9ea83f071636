// The board's DXE dispatcher on the volumes the package build wrote: which
// drivers start, in what order, what the never-ready ones wait for, the FV2
// protocol as a module sees it, and EDK II's VolInfo reading the same volume.
#include "fuzz/FuzzTargets.h"
#include "tests/TestSupport.h"
#include "uefi/GuidNames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <sstream>

namespace vboard {
namespace {

using platform::kSystemSetupConfig;

std::vector<std::string> Dispatched (const Board &B) { return B.Fw.Dxe.Order (); }

size_t Position (const std::vector<std::string> &Order, const std::string &Name) {
  for (size_t I = 0; I < Order.size (); I++) {
    if (Order[I] == Name) return I;
  }
  return Order.size ();
}

TEST (Dispatcher, PackageVolumeStartsEveryDriverOnceItsExpressionHolds) {
  Board B;
  B.BootVolumes ({test::PackageVolume ()});
  ASSERT_FALSE (B.M.Faulted ()) << B.FaultReport ();
  const auto &Drivers = B.Fw.Dxe.Drivers ();
  // Every file is a driver but the extra ACPI tables (a FREEFORM file of RAW
  // sections) and the one application (Wirelaunch), which the boot manager
  // starts, not the dispatcher.
  size_t DriverFiles = 0;
  for (const FfsFile &F : B.Fw.Dxe.Volumes ()[0].Fv->Files ()) {
    DriverFiles += F.Type == ffs::FileTypeDriver;
    if (F.Type == ffs::FileTypeFreeform) {
      EXPECT_EQ (F.Name, names::Named ("gExtraAcpiTableFileGuid"));
    } else if (F.Type != ffs::FileTypeDriver) {
      EXPECT_EQ (F.Type, ffs::FileTypeApplication);
      EXPECT_EQ (F.UiName, "Wirelaunch");
    }
  }
  ASSERT_EQ (Drivers.size (), DriverFiles);
  ASSERT_EQ (DriverFiles + 2, B.Fw.Dxe.Volumes ()[0].Fv->Files ().size ());
  EXPECT_EQ (B.Fw.Dxe.Find ("Wirelaunch"), nullptr);
  for (const auto &D : Drivers) {
    EXPECT_EQ (D.State, Dispatcher::DriverState::Dispatched) << D.Name << ": " << B.Fw.Dxe.WaitingFor (D);
  }
  EXPECT_EQ (Dispatched (B).size (), Drivers.size ());
  // With no setup variables, Logsweep has nothing to do and is unloaded.
  EXPECT_TRUE (B.Fw.Dxe.Find ("Logsweep")->Image->Unloaded);
  EXPECT_TRUE (B.Fw.Dxe.Volumes ()[0].Fv->Notes ().empty ());
}

TEST (Dispatcher, DriversWhoseProtocolsNeverComeAreReportedAndNotStarted) {
  // Without the IPMI transport (a BMC-less board) the two IPMI drivers wait
  // for it for the whole boot; without the variable services nothing that
  // reads setup starts.
  Board B;
  B.Fw.UninstallProtocol (B.Fw.HandlesWith (platform::kIpmiTransportProtocol).at (0), platform::kIpmiTransportProtocol,
                          *B.Fw.FindProtocol (platform::kIpmiTransportProtocol));
  B.BootVolumes ({test::PackageVolume ()});
  ASSERT_FALSE (B.M.Faulted ()) << B.FaultReport ();
  for (const char *Name : {"Logsweep", "Mainsrestore"}) {
    const auto *D = B.Fw.Dxe.Find (Name);
    ASSERT_NE (D, nullptr);
    EXPECT_EQ (D->State, Dispatcher::DriverState::Dormant);
    EXPECT_EQ (B.Fw.Dxe.WaitingFor (*D), "waits for gIpmiTransportProtocolGuid") << Name;
    EXPECT_EQ (B.Fw.ImageNamed (Name), nullptr) << Name << " was loaded";
  }
  EXPECT_NE (B.Fw.Dxe.Report ().find ("Mainsrestore: not dispatched: waits for gIpmiTransportProtocolGuid\n"), std::string::npos);

  Board NoVariables;
  const Guid Arch = names::Named ("gEfiVariableArchProtocolGuid");
  uint64_t Handle = NoVariables.Fw.HandlesWith (Arch).at (0);
  NoVariables.Fw.UninstallProtocol (Handle, Arch, 0);
  NoVariables.BootVolumes ({test::PackageVolume ()});
  std::set<std::string> Started (NoVariables.Fw.Dxe.Order ().begin (), NoVariables.Fw.Dxe.Order ().end ());
  for (const char *Name : {"Redirwarden", "Logsweep", "Mainsrestore", "Vfswitch", "Gatewarden"}) {
    EXPECT_EQ (Started.count (Name), 0u) << Name;
    EXPECT_NE (NoVariables.Fw.Dxe.WaitingFor (*NoVariables.Fw.Dxe.Find (Name)).find ("gEfiVariableArchProtocolGuid"), std::string::npos);
  }
  EXPECT_EQ (Started.count ("Tallyvault"), 1u);
}

// What Gatewarden should install for a setup record, and so which probes run.
struct GateCase {
  const char *What;
  std::map<size_t, uint8_t> Bytes;          // SystemSetupConfig offsets set
  std::vector<std::string> InstallOrder;   // marker GUID names installed, in this order
  std::set<std::string> Ran;                // probes dispatched
};

const char *const kProbes[] = {"GatedMode1",        "GatedMode2",     "GatedOptionA",     "GatedOptionB",    "GatedUndi",
                               "GatedMode1OptionA", "DepexAnyOption", "DepexOptionAOnly", "DepexAfterMode1", "DepexBeforeUndi",
                               "DepexNotOptionB"};

TEST (Dispatcher, GatewardenGatesTheProbesByTheirRealDependencyExpressions) {
  const GateCase Cases[] = {
      {"mode 0", {{64, 0}, {65, 1}, {67, 1}}, {}, {}},
      {"mode 1, options off", {{64, 1}},
       {"gNetworkMode1DepexProtocolGuid", "gNetworkUndiDepexProtocolGuid"},
       {"GatedMode1", "GatedUndi", "DepexAfterMode1", "DepexBeforeUndi"}},
      {"mode 1, A and B", {{64, 1}, {65, 1}, {67, 1}},
       {"gNetworkMode1DepexProtocolGuid", "gNetworkOptionADepexProtocolGuid", "gNetworkOptionBDepexProtocolGuid", "gNetworkUndiDepexProtocolGuid"},
       {"GatedMode1", "GatedOptionA", "GatedOptionB", "GatedUndi", "GatedMode1OptionA", "DepexAnyOption", "DepexAfterMode1", "DepexBeforeUndi"}},
      {"mode 1, A only", {{64, 1}, {65, 1}, {68, 1}},
       {"gNetworkMode1DepexProtocolGuid", "gNetworkOptionADepexProtocolGuid", "gNetworkUndiDepexProtocolGuid"},
       {"GatedMode1", "GatedOptionA", "GatedUndi", "GatedMode1OptionA", "DepexAnyOption", "DepexOptionAOnly", "DepexAfterMode1", "DepexBeforeUndi"}},
      {"mode 2, only the mode-1 byte of A set", {{64, 2}, {65, 1}, {66, 0}, {68, 1}},
       {"gNetworkMode2DepexProtocolGuid", "gNetworkOptionBDepexProtocolGuid", "gNetworkUndiDepexProtocolGuid"},
       {"GatedMode2", "GatedOptionB", "GatedUndi", "DepexAnyOption", "DepexBeforeUndi"}},
      {"mode 2, option bytes of 2 are off", {{64, 2}, {66, 2}, {68, 2}},
       {"gNetworkMode2DepexProtocolGuid", "gNetworkUndiDepexProtocolGuid"},
       {"GatedMode2", "GatedUndi", "DepexBeforeUndi"}},
      {"mode 3", {{64, 3}, {65, 1}, {66, 1}, {67, 1}, {68, 1}},
       {"gNetworkUndiDepexProtocolGuid"},
       {"GatedUndi", "DepexBeforeUndi"}},
  };
  for (const GateCase &C : Cases) {
    SCOPED_TRACE (C.What);
    Board B;
    std::vector<uint8_t> Record (184, 0);
    for (const auto &Byte : C.Bytes) Record[Byte.first] = Byte.second;
    B.SetSetup (kSystemSetupConfig, Record);
    B.BootVolumes ({test::TestVolume ()});
    ASSERT_FALSE (B.M.Faulted ()) << B.FaultReport ();

    std::vector<std::string> Installed;
    for (const auto &P : B.Fw.Published) {
      if (P.Image == "Gatewarden") {
        Installed.push_back (names::NameOf (P.Protocol));
        EXPECT_EQ (P.Interface, 0u);
      }
    }
    EXPECT_EQ (Installed, C.InstallOrder);
    std::set<uint64_t> Handles;
    for (const std::string &Marker : C.InstallOrder) {
      for (uint64_t H : B.Fw.HandlesWith (names::Named (Marker))) Handles.insert (H);
    }
    EXPECT_LE (Handles.size (), 1u) << "the markers are not on one handle";
    bool Message = B.UartText ().find ("intel GigUndiDxe.efi and XGigUndiDxe.efi install\r\n") != std::string::npos;
    EXPECT_EQ (Message, !C.InstallOrder.empty ());

    std::vector<std::string> Order = Dispatched (B);
    std::set<std::string> Ran;
    for (const char *Probe : kProbes) {
      const auto *D = B.Fw.Dxe.Find (Probe);
      ASSERT_NE (D, nullptr) << Probe;
      if (D->State == Dispatcher::DriverState::Dispatched) {
        Ran.insert (Probe);
        EXPECT_EQ (D->Status, efi::Success);
        EXPECT_NE (B.UartText ().find (std::string (Probe) + " started: Success"), std::string::npos);
        EXPECT_GT (Position (Order, Probe), Position (Order, "Gatewarden")) << Probe;
      } else {
        EXPECT_FALSE (B.Fw.Dxe.WaitingFor (*D).empty ());
      }
    }
    // DepexNotOptionB (NOT option B) sits behind Gatewarden in the volume:
    // the first scan queues both, so it runs even when Gatewarden installs
    // option B before it starts, as a DXE core dispatches it.
    std::set<std::string> Expected = C.Ran;
    Expected.insert ("DepexNotOptionB");
    EXPECT_EQ (Ran, Expected);
    // BEFORE and AFTER place their drivers next to the file they name, not
    // where the volume has them.
    if (Ran.count ("GatedUndi")) {
      EXPECT_EQ (Position (Order, "DepexBeforeUndi") + 1, Position (Order, "GatedUndi"));
    }
    if (Ran.count ("GatedMode1")) {
      EXPECT_EQ (Position (Order, "GatedMode1") + 1, Position (Order, "DepexAfterMode1"));
    }
  }
}

TEST (Dispatcher, NeverReadyProbesNameWhatTheyWaitFor) {
  Board B;   // no SystemSetupConfig: Gatewarden installs nothing
  B.BootVolumes ({test::TestVolume ()});
  ASSERT_FALSE (B.M.Faulted ()) << B.FaultReport ();
  const Dispatcher &D = B.Fw.Dxe;
  EXPECT_EQ (D.WaitingFor (*D.Find ("GatedMode1OptionA")), "waits for gNetworkMode1DepexProtocolGuid, gNetworkOptionADepexProtocolGuid");
  EXPECT_EQ (D.WaitingFor (*D.Find ("DepexAnyOption")), "waits for gNetworkOptionADepexProtocolGuid, gNetworkOptionBDepexProtocolGuid");
  EXPECT_EQ (D.WaitingFor (*D.Find ("DepexAfterMode1")), "AFTER GatedMode1, which was never dispatched");
  EXPECT_EQ (D.WaitingFor (*D.Find ("DepexBeforeUndi")), "BEFORE GatedUndi, which was never dispatched");
  EXPECT_NE (D.Report ().find ("GatedUndi: not dispatched: waits for gNetworkUndiDepexProtocolGuid\n"), std::string::npos);
  EXPECT_EQ (B.Setup (kSystemSetupConfig).size (), 0u);
}

TEST (Dispatcher, ExpressionRulesBeyondWhatTheBuildEmits) {
  auto Push = [] (std::vector<uint8_t> &C, const Guid &G) {
    C.push_back (depex::Push);
    C.insert (C.end (), G.Bytes.begin (), G.Bytes.end ());
  };
  const Guid A = names::Named ("gNetworkOptionADepexProtocolGuid");
  const Guid Bg = names::Named ("gNetworkOptionBDepexProtocolGuid");
  std::set<Guid> Present = {A};
  auto Has = [&] (const Guid &G) { return Present.count (G) != 0; };

  std::vector<uint8_t> Sor = {depex::Sor};
  Push (Sor, A);
  Sor.push_back (depex::End);
  Depex S (Sor);
  EXPECT_TRUE (S.Valid ());
  EXPECT_TRUE (S.ScheduleOnRequest ());
  EXPECT_TRUE (S.Evaluate (Has));

  std::vector<uint8_t> Logic;
  Push (Logic, A);
  Push (Logic, Bg);
  Logic.insert (Logic.end (), {depex::Not, depex::And, depex::False, depex::Or, depex::End});
  EXPECT_TRUE (Depex (Logic).Evaluate (Has));   // A AND NOT B OR FALSE
  Present.insert (Bg);
  EXPECT_FALSE (Depex (Logic).Evaluate (Has));
  EXPECT_TRUE (Depex ({depex::True, depex::End}).Evaluate (Has));
  EXPECT_FALSE (Depex ({depex::False, depex::End}).Evaluate (Has));

  // Malformed expressions are never satisfied.
  const std::vector<std::vector<uint8_t>> Bad = {
      {},                                            // empty
      {depex::True},                                 // no END
      {depex::And, depex::End},                      // underflow
      {depex::True, depex::Sor, depex::End},         // SOR not first
      {depex::Push, 1, 2, 3},                        // truncated GUID
      {0x42, depex::End},                            // unknown opcode
      {depex::Before, depex::End},                   // BEFORE without its GUID
      {depex::End},                                  // END on an empty stack
      {depex::Not, depex::True, depex::End},         // NOT on an empty stack
  };
  for (const auto &Code : Bad) {
    Depex E (Code);
    EXPECT_FALSE (E.Valid ()) << E.Text (names::NameOf);
    EXPECT_FALSE (E.Evaluate ([] (const Guid &) { return true; }));
  }

  // END yields the top of the stack whatever lies under it, and what
  // follows END is never read.
  EXPECT_TRUE (Depex ({depex::False, depex::True, depex::End}).Evaluate (Has));
  EXPECT_FALSE (Depex ({depex::True, depex::False, depex::End}).Evaluate (Has));
  EXPECT_TRUE (Depex ({depex::True, depex::End, depex::False, 0x42}).Evaluate (Has));
  std::vector<uint8_t> Trailing;
  Push (Trailing, A);
  Trailing.insert (Trailing.end (), {depex::End, depex::And});
  EXPECT_TRUE (Depex (Trailing).Valid ());
  // BEFORE/AFTER take the GUID after the opcode; the rest is not looked at.
  std::vector<uint8_t> BeforeA = {depex::Before};
  BeforeA.insert (BeforeA.end (), A.Bytes.begin (), A.Bytes.end ());
  EXPECT_EQ (Depex (BeforeA).BeforeFile (), A);

  // A PUSH found true stays true for that driver: A AND B with A present
  // first, then only B, holds.
  std::vector<uint8_t> Both;
  Push (Both, A);
  Push (Both, Bg);
  Both.insert (Both.end (), {depex::And, depex::End});
  Depex Latching (Both);
  Present = {A};
  EXPECT_FALSE (Latching.Evaluate (Has));
  Present = {Bg};
  EXPECT_EQ (Latching.Unsatisfied (Has), std::vector<Guid> {});
  EXPECT_TRUE (Latching.Evaluate (Has));
  Present = {};
  EXPECT_TRUE (Latching.Evaluate (Has));
  EXPECT_FALSE (Depex (Both).Evaluate (Has));   // a fresh copy latched nothing
  // A latched PUSH in the section itself (the rewritten opcode) pushes TRUE.
  std::vector<uint8_t> Rewritten = Both;
  Rewritten[0] = depex::ReplaceTrue;
  Rewritten[17] = depex::ReplaceTrue;
  EXPECT_TRUE (Depex (Rewritten).Evaluate (Has));
}

TEST (Dispatcher, ProtocolsSeenOnceStaySeenAcrossDispatches) {
  // GatedMode1OptionA needs mode 1 AND option A. Mode 1 is there at one
  // dispatch, gone and replaced by option A at the next: the DXE core
  // remembers the first and starts the driver.
  Board B;
  B.Fw.Dxe.AddVolume (test::TestVolume ());
  const Guid Mode1 = names::Named ("gNetworkMode1DepexProtocolGuid");
  const Guid OptionA = names::Named ("gNetworkOptionADepexProtocolGuid");
  uint64_t Handle = 0;
  B.Fw.InstallProtocol (Handle, Mode1, 0);
  B.Fw.Dxe.Dispatch ();
  ASSERT_FALSE (B.M.Faulted ()) << B.FaultReport ();
  const auto *Both = B.Fw.Dxe.Find ("GatedMode1OptionA");
  EXPECT_EQ (Both->State, Dispatcher::DriverState::Dormant);
  EXPECT_EQ (B.Fw.Dxe.Find ("GatedMode1")->State, Dispatcher::DriverState::Dispatched);
  B.Fw.UninstallProtocol (Handle, Mode1, 0);
  EXPECT_EQ (B.Fw.Dxe.WaitingFor (*Both), "waits for gNetworkOptionADepexProtocolGuid");
  uint64_t Other = 0;
  B.Fw.InstallProtocol (Other, OptionA, 0);
  B.Fw.Dxe.Dispatch ();
  ASSERT_FALSE (B.M.Faulted ()) << B.FaultReport ();
  EXPECT_EQ (Both->State, Dispatcher::DriverState::Dispatched);
  EXPECT_EQ (Both->Status, efi::Success);
  // The never-seen mode 2 still holds its driver back.
  EXPECT_EQ (B.Fw.Dxe.WaitingFor (*B.Fw.Dxe.Find ("GatedMode2")), "waits for gNetworkMode2DepexProtocolGuid");
}

TEST (Dispatcher, DxeServicesDispatchScheduleAndTrustAnswerAsTheDxeCoreDoes) {
  // EDK II's CoreDispatcher: "If the dispatcher is running don't let it be
  // restarted" (EFI_ALREADY_STARTED); EFI_NOT_FOUND when "No DXE Drivers
  // were dispatched"; and after each round it has started a driver in, it
  // signals the gEfiEventDxeDispatchGuid event group "so that SMM
  // Dispatcher get chance to dispatch SMM Drivers which depend on UEFI
  // protocols". CoreTrust moves a driver "from the Untrusted to the
  // Scheduled state", but the image keeps the status its load got, so its
  // start still answers Security Violation. CoreSchedule finds only a
  // driver waiting for its SOR request.
  Board B;
  const Guid Mode1 = names::Named ("gNetworkMode1DepexProtocolGuid");
  const Guid Group = names::Named ("gEfiEventDxeDispatchGuid");
  uint64_t Volume = B.Fw.Dxe.AddVolume (test::TestVolume ());
  const Dispatcher::Driver *Gated = B.Fw.Dxe.Find ("GatedMode1");
  ASSERT_NE (Gated, nullptr);
  // GatedMode1's load meets a security violation; everything else loads.
  B.Fw.ImageSecurity = [&] (const std::vector<uint8_t> &FilePath, const std::vector<uint8_t> &, bool) {
    const Guid &Name = Gated->File->Name;
    bool Held = std::search (FilePath.begin (), FilePath.end (), Name.Bytes.begin (), Name.Bytes.end ()) != FilePath.end ();
    return Held ? efi::SecurityViolation : efi::Success;
  };
  auto Ds = [&] (unsigned Index, const std::vector<uint64_t> &Args) {
    return B.Fw.CallGuest (B.M.Load<uint64_t> (B.Fw.DxeServices + 24 + 8 * Index), Args);
  };
  constexpr unsigned kDispatch = 13, kSchedule = 14, kTrust = 15;
  // A notify function in the group counts its signals and asks for a
  // dispatch from inside the running one.
  unsigned Signals = 0;
  std::vector<uint64_t> Nested;
  uint64_t Notify = B.M.AddTrap ("dispatch-group notify", [&] (CallArgs &) -> uint64_t {
    Signals++;
    Nested.push_back (B.Fw.Dxe.Dispatch ());
    return 0;
  });
  B.Fw.Events.Create (0x200, 8, Notify, 0, &Group);   // EVT_NOTIFY_SIGNAL, TPL_CALLBACK

  EXPECT_EQ (Ds (kDispatch, {}), efi::Success);
  ASSERT_FALSE (B.M.Faulted ()) << B.FaultReport ();
  EXPECT_GE (Signals, 1u);
  EXPECT_EQ (Nested, std::vector<uint64_t> (Signals, efi::AlreadyStarted));
  EXPECT_EQ (Gated->State, Dispatcher::DriverState::Dormant);
  // Nothing more is ready: no driver started, no signal.
  unsigned Before = Signals;
  EXPECT_EQ (Ds (kDispatch, {}), efi::NotFound);
  EXPECT_EQ (Signals, Before);

  uint64_t Handle = 0;
  B.Fw.InstallProtocol (Handle, Mode1, 0);
  EXPECT_EQ (Ds (kDispatch, {}), efi::Success);
  EXPECT_EQ (Gated->State, Dispatcher::DriverState::Untrusted);
  uint64_t File = B.Fw.HostCopy (Gated->File->Name.Bytes.data (), 16);
  // Not waiting for a Schedule request, and not in this volume: not found.
  EXPECT_EQ (Ds (kSchedule, {Volume, File}), efi::NotFound);
  EXPECT_EQ (Ds (kTrust, {Volume + 1, File}), efi::NotFound);
  Before = Signals;
  EXPECT_EQ (Ds (kTrust, {Volume, File}), efi::Success);
  EXPECT_EQ (Ds (kTrust, {Volume, File}), efi::NotFound) << "trusted once";
  EXPECT_EQ (Ds (kDispatch, {}), efi::Success);
  EXPECT_EQ (Signals, Before + 1);
  EXPECT_EQ (Gated->State, Dispatcher::DriverState::Dispatched);
  EXPECT_EQ (Gated->Status, efi::SecurityViolation);
  EXPECT_FALSE (Gated->Image->Started);
  EXPECT_EQ (Position (Dispatched (B), "GatedMode1"), Dispatched (B).size ());
  EXPECT_EQ (Ds (kDispatch, {}), efi::NotFound);
  EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
}

TEST (Dispatcher, Fv2ProtocolServesFilesAndSectionsAsGetSectionFromAnyFvReadsThem) {
  Board B;
  B.BootVolumes ({test::PackageVolume ()});
  ASSERT_FALSE (B.M.Faulted ()) << B.FaultReport ();
  const Dispatcher::Volume &V = B.Fw.Dxe.Volumes ().at (0);
  const Guid Fv2 = names::Named ("gEfiFirmwareVolume2ProtocolGuid");
  EXPECT_EQ (B.Fw.InterfaceOn (V.Handle, Fv2), V.Interface);
  // The loaded image names its volume and file, as the DXE core sets them.
  const auto *Wattkeep = B.Fw.Dxe.Find ("Wattkeep");
  EXPECT_EQ (B.M.Load<uint64_t> (Wattkeep->Image->LoadedImage + 24), V.Handle);
  uint64_t FilePath = B.M.Load<uint64_t> (Wattkeep->Image->LoadedImage + 32);
  EXPECT_EQ (B.M.Load<uint32_t> (FilePath), 0x00140604u);   // MEDIA, PIWG file, 20 bytes
  Guid Named;
  B.M.Read (FilePath + 4, Named.Bytes.data (), 16);
  EXPECT_EQ (Named, Wattkeep->File->Name);
  // EDK II's CoreLoadImageCommon installs EFI_LOADED_IMAGE_DEVICE_PATH_PROTOCOL
  // on the image handle with a copy of the path it loaded from ("otherwise
  // Loaded Image Device Path Protocol is installed with a NULL interface
  // pointer"): here the volume's Fv() node, the file's FvFile() node, the end.
  const Guid ImagePath = names::Named ("gEfiLoadedImageDevicePathProtocolGuid");
  ASSERT_TRUE (V.Fv->Name ().has_value ());
  std::optional<uint64_t> Dp = B.Fw.InterfaceOn (Wattkeep->Image->Handle, ImagePath);
  ASSERT_TRUE (Dp.has_value () && *Dp != 0);
  EXPECT_EQ (B.M.Load<uint32_t> (*Dp), 0x00140704u);        // MEDIA, PIWG volume, 20 bytes
  B.M.Read (*Dp + 4, Named.Bytes.data (), 16);
  EXPECT_EQ (Named, *V.Fv->Name ());
  EXPECT_EQ (B.M.Load<uint32_t> (*Dp + 20), 0x00140604u);   // MEDIA, PIWG file
  B.M.Read (*Dp + 24, Named.Bytes.data (), 16);
  EXPECT_EQ (Named, Wattkeep->File->Name);
  EXPECT_EQ (B.M.Load<uint32_t> (*Dp + 40), 0x0004FF7Fu);   // end of the path
  // A driver the DXE core unloads (its entry failed) loses both protocols.
  const auto *Logsweep = B.Fw.Dxe.Find ("Logsweep");
  ASSERT_TRUE (Logsweep->Image->Unloaded);
  EXPECT_FALSE (B.Fw.InterfaceOn (Logsweep->Image->Handle, ImagePath).has_value ());
  // An image loaded from a file name alone (no device path): NULL interface.
  ImageRecord &Bare = B.Load (test::ModuleImage ("Wattkeep"));
  EXPECT_EQ (B.Fw.InterfaceOn (Bare.Handle, ImagePath), std::optional<uint64_t> (0));

  auto Member = [&] (unsigned Offset) { return B.M.Load<uint64_t> (V.Interface + Offset); };
  uint64_t Args = B.Scratch (256);
  uint64_t NameAt = B.Fw.HostCopy (Wattkeep->File->Name.Bytes.data (), 16);

  // ReadSection of the UI section into a pool buffer it allocates.
  B.M.Store<uint64_t> (Args, 0);
  uint64_t Status = B.Fw.CallGuest (Member (24), {V.Interface, NameAt, ffs::SectionUserInterface, 0, Args, Args + 8, Args + 16});
  ASSERT_EQ (Status, efi::Success);
  uint64_t Buffer = B.M.Load<uint64_t> (Args);
  EXPECT_EQ (B.M.Load<uint64_t> (Args + 8), 18u);
  EXPECT_EQ (Narrow (std::u16string (reinterpret_cast<const char16_t *> (B.M.ReadBytes (Buffer, 16).data ()), 8)), "Wattkeep");
  // A caller's buffer that is too small gets what fits and a warning.
  uint64_t Small = B.Scratch (8);
  B.M.Store<uint64_t> (Args, Small);
  B.M.Store<uint64_t> (Args + 8, 4);
  EXPECT_EQ (B.Fw.CallGuest (Member (24), {V.Interface, NameAt, ffs::SectionUserInterface, 0, Args, Args + 8, Args + 16}), 4u);
  EXPECT_EQ (B.M.Load<uint32_t> (Small), 0x00610057u);   // "Wa"
  // Absent section instance and absent file.
  B.M.Store<uint64_t> (Args, 0);
  EXPECT_EQ (B.Fw.CallGuest (Member (24), {V.Interface, NameAt, ffs::SectionUserInterface, 1, Args, Args + 8, Args + 16}), efi::NotFound);
  uint64_t Nowhere = B.Fw.HostCopy (names::Named ("gSystemSetupConfigGuid").Bytes.data (), 16);
  EXPECT_EQ (B.Fw.CallGuest (Member (24), {V.Interface, Nowhere, ffs::SectionPe32, 0, Args, Args + 8, Args + 16}), efi::NotFound);

  // GetNextFile walks every driver file once, then says Not Found.
  B.M.Store<uint64_t> (Args + 32, 0);
  std::vector<Guid> Walked;
  for (int I = 0; I < 40; I++) {
    B.M.Store<uint8_t> (Args + 40, ffs::FileTypeDriver);
    uint64_t S = B.Fw.CallGuest (Member (40), {V.Interface, Args + 32, Args + 40, Args + 48, Args + 64, Args + 72});
    if (S == efi::NotFound) break;
    ASSERT_EQ (S, efi::Success);
    Guid G;
    B.M.Read (Args + 48, G.Bytes.data (), 16);
    Walked.push_back (G);
  }
  ASSERT_EQ (Walked.size (), B.Fw.Dxe.Drivers ().size ());
  for (size_t I = 0; I < Walked.size (); I++) EXPECT_EQ (Walked[I], B.Fw.Dxe.Drivers ()[I].File->Name);

  // A This that is not the volume's protocol is misuse.
  B.Fw.CallGuest (Member (24), {V.Interface + 8, NameAt, ffs::SectionPe32, 0, Args, Args + 8, Args + 16});
  EXPECT_TRUE (B.M.Faulted ());
}

TEST (Dispatcher, VolInfoAndTheBoardAgreeOnThePackageVolume) {
  // EDK II's own VolInfo lists the files and sections of the same volume.
  const std::string Tool = test::EdkTool ("VolInfo");
  std::unique_ptr<FILE, int (*) (FILE *)> Pipe (popen (("'" + Tool + "' '" + test::PackageVolume () + "' 2>&1").c_str (), "r"), pclose);
  ASSERT_TRUE (Pipe);
  std::string Text;
  std::array<char, 4096> Chunk;
  size_t N;
  while ((N = fread (Chunk.data (), 1, Chunk.size (), Pipe.get ())) > 0) Text.append (Chunk.data (), N);
  ASSERT_NE (Text.find ("Signature:        _FVH"), std::string::npos) << Text.substr (0, 400);

  // Files as VolInfo prints them: "File Name: GUID", "File Type: 0xNN",
  // then "Type:  EFI_SECTION_..." per section and "String: ..." for the UI.
  struct Listed {
    std::string Name;
    unsigned Type = 0;
    std::vector<std::string> Sections;
    std::string Ui;
  };
  std::vector<Listed> Files;
  std::istringstream In (Text);
  std::string Line;
  while (std::getline (In, Line)) {
    char Buf[64];
    unsigned Type;
    if (std::sscanf (Line.c_str (), "File Name: %63s", Buf) == 1) {
      Files.push_back ({Buf, 0, {}, ""});
    } else if (!Files.empty () && std::sscanf (Line.c_str (), "File Type: 0x%x", &Type) == 1) {
      Files.back ().Type = Type;
    } else if (!Files.empty () && std::sscanf (Line.c_str (), "  Type: %63s", Buf) == 1) {
      Files.back ().Sections.push_back (Buf);
    } else if (!Files.empty () && Line.rfind ("  String: ", 0) == 0) {
      Files.back ().Ui = Line.substr (10);
    }
  }
  std::vector<Listed> NotPad;
  for (const Listed &L : Files) {
    if (L.Type != ffs::FileTypePad) NotPad.push_back (L);
  }
  Board B;
  B.Fw.Dxe.AddVolume (test::PackageVolume ());
  const auto &Ours = B.Fw.Dxe.Volumes ()[0].Fv->Files ();
  ASSERT_EQ (NotPad.size (), Ours.size ());
  const std::map<uint8_t, std::string> kSectionNames = {
      {ffs::SectionPe32, "EFI_SECTION_PE32"}, {ffs::SectionDxeDepex, "EFI_SECTION_DXE_DEPEX"},
      {ffs::SectionUserInterface, "EFI_SECTION_USER_INTERFACE"}, {ffs::SectionRaw, "EFI_SECTION_RAW"}};
  for (size_t I = 0; I < Ours.size (); I++) {
    SCOPED_TRACE (Ours[I].UiName);
    std::string Guid = NotPad[I].Name;
    for (char &C : Guid) C = static_cast<char> (std::toupper (static_cast<unsigned char> (C)));
    EXPECT_EQ (Guid, Ours[I].Name.ToString ());
    EXPECT_EQ (NotPad[I].Type, Ours[I].Type);
    EXPECT_EQ (NotPad[I].Ui, Ours[I].UiName);
    std::vector<std::string> Sections;
    for (const FfsSection &S : Ours[I].Sections) Sections.push_back (kSectionNames.count (S.Type) ? kSectionNames.at (S.Type) : "?");
    EXPECT_EQ (NotPad[I].Sections, Sections);
  }
}

TEST (Dispatcher, DamagedVolumesAreRefusedOrTheirBadFilesSkipped) {
  std::vector<uint8_t> Good = ReadWholeFile (test::PackageVolume ());
  {
    std::vector<uint8_t> Bad = Good;
    Bad[50] ^= 1;   // header checksum
    EXPECT_THROW (FirmwareVolume (Bad, "bad"), std::runtime_error);
    Bad = Good;
    Bad.resize (Good.size () / 2);   // FvLength past the bytes
    EXPECT_THROW (FirmwareVolume (Bad, "short"), std::runtime_error);
  }
  FirmwareVolume Fv (Good, "good");
  ASSERT_GE (Fv.Files ().size (), 2u);
  std::vector<uint8_t> Bad = Good;
  Bad[Fv.Files ()[1].Offset + 16] ^= 0xFF;   // second file's header checksum
  FirmwareVolume Damaged (Bad, "damaged");
  EXPECT_EQ (Damaged.Files ().size (), Fv.Files ().size () - 1);
  EXPECT_EQ (Damaged.FindFile (Fv.Files ()[1].Name), nullptr);
  ASSERT_EQ (Damaged.Notes ().size (), 1u);
  Bad = Good;
  Bad[Fv.Files ()[1].Offset + 20] = 0xFF;   // a size that runs past the volume
  Bad[Fv.Files ()[1].Offset + 21] = 0xFF;
  Bad[Fv.Files ()[1].Offset + 22] = 0x7F;
  FirmwareVolume Cut (Bad, "cut");
  EXPECT_LT (Cut.Files ().size (), Fv.Files ().size ());
}

// The FFS state byte, read as EDK II's FV driver reads it (the highest bit
// set once inverted under erase polarity 1): a deleted file is passed over
// and the walk goes on behind it; a header that was never completed or was
// abandoned is stepped over by its header size alone, since its size field
// cannot be trusted; a file whose data was never completed makes the whole
// file system corrupt.
TEST (Dispatcher, FileStatesAreReadAsEdk2sFvDriverReadsThem) {
  std::vector<uint8_t> Good = ReadWholeFile (test::PackageVolume ());
  FirmwareVolume Fv (Good, "good");
  ASSERT_GE (Fv.Files ().size (), 3u);
  std::vector<uint8_t> Deleted = Good;
  EXPECT_EQ (MarkFileDeleted (Deleted, Fv.Files ()[1].Name), 1u);
  EXPECT_EQ (Deleted[Fv.Files ()[1].Offset + 23], Good[Fv.Files ()[1].Offset + 23] & ~0x10);
  FirmwareVolume Passed (Deleted, "deleted");
  EXPECT_EQ (Passed.Files ().size (), Fv.Files ().size () - 1);
  EXPECT_EQ (Passed.FindFile (Fv.Files ()[1].Name), nullptr);
  EXPECT_NE (Passed.FindFile (Fv.Files ()[2].Name), nullptr);
  EXPECT_TRUE (Passed.Notes ().empty ());
  EXPECT_EQ (MarkFileDeleted (Deleted, Fv.Files ()[1].Name), 0u);   // no longer a file to find

  // A header under construction (its size still erased) ahead of a good file.
  const std::vector<uint8_t> Name (16, 0x5A);
  std::vector<uint8_t> After = fuzz::RawSectionVolume (Name, {{1, 2, 3}});
  const size_t First = 0x48;
  std::vector<uint8_t> Torn (After.begin (), After.begin () + First);
  Torn.insert (Torn.end (), 24, 0xFF);
  Torn[First + 19] = 0x00;   // not a large file: a 24-byte header
  Torn[First + 23] = 0xFE;   // EFI_FILE_HEADER_CONSTRUCTION only
  Torn.insert (Torn.end (), After.begin () + First, After.end () - 24);
  FirmwareVolume StepsOver (Torn, "torn");
  EXPECT_TRUE (StepsOver.Notes ().empty ()) << StepsOver.Notes ().front ();
  ASSERT_EQ (StepsOver.Files ().size (), 1u);
  EXPECT_EQ (StepsOver.Files ()[0].Sections.at (0).Data, (std::vector<uint8_t>{1, 2, 3}));
  Torn[First + 23] = 0xDC;   // header valid, then abandoned (EFI_FILE_HEADER_INVALID)
  EXPECT_EQ (FirmwareVolume (Torn, "abandoned").Files ().size (), 1u);

  std::vector<uint8_t> Unfinished = After;
  Unfinished[First + 23] = 0xFC;   // header valid, data never completed
  FirmwareVolume Corrupt (Unfinished, "unfinished");
  EXPECT_TRUE (Corrupt.Files ().empty ());
  EXPECT_EQ (Corrupt.Notes ().size (), 1u);
}

}  // namespace
}  // namespace vboard
