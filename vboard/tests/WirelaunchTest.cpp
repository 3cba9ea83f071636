// Wirelaunch on the virtual board: started by the boot manager, it walks the
// Boot#### options in BootOrder order and boots the network ones through the
// network device's PXE Load File; what it did is read back from the screen,
// the boot manager's record of LoadImage/StartImage and the device's record
// of LoadFile calls.
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

namespace vboard {
namespace {

const Guid kProbeVariable = Guid::Parse ("C6B6BF2E-D469-4F77-B2DB-4E3984F75419");

class WirelaunchTest : public ::testing::Test {
 protected:
  Board B;

  void SetUp () override { Prepare (B); }
  // The network serves NetBootProbe, which returns Success.
  static void Prepare (Board &X) {
    X.Nic.State = NetworkDevice::Network::Serves;
    X.Nic.BootFile = test::TestImage ("NetBootProbe");
    ProbeMode (X, 1);
  }
  static void ProbeMode (Board &X, uint8_t Mode) {
    X.Fw.SetVariable (u"NetBootProbeMode", kProbeVariable, platform::kSetupAttributes, {Mode});
  }
  void ProbeMode (uint8_t Mode) { ProbeMode (B, Mode); }
  static uint64_t Run (Board &X) {
    uint64_t Status = X.Boot.Boot (test::ModuleImage ("Wirelaunch"));
    EXPECT_FALSE (X.M.Faulted ()) << X.FaultReport ();
    return Status;
  }
  uint64_t Run () { return Run (B); }
  std::vector<uint8_t> Pxe4 (uint32_t Attributes = kLoadOptionActive) {
    return LoadOption (Attributes, u"UEFI PXEv4 (MAC:525400123456)", B.Nic.Pxe4Path ());
  }
  std::vector<uint8_t> Disk () {
    return LoadOption (kLoadOptionActive, u"UEFI Disk",
                       devpath::Join ({devpath::PciRoot (0), devpath::Pci (3, 0), devpath::HardDrive (1),
                                       devpath::File (u"\\EFI\\BOOT\\BOOTAA64.EFI"), devpath::End ()}));
  }
  // The device paths LoadImage was given, in order.
  std::vector<std::vector<uint8_t>> LoadedPaths () {
    std::vector<std::vector<uint8_t>> Out;
    for (const auto &L : B.Boot.Loads) Out.push_back (L.DevicePath);
    return Out;
  }
  size_t Clears () {
    size_t N = 0;
    for (const auto &C : B.Console.Calls) N += C.What == "ClearScreen" && C.Caller == "Wirelaunch";
    return N;
  }
};

TEST_F (WirelaunchTest, PassesOverADiskOptionAndBootsThePxeOptionWithTheBannerOnTop) {
  B.Boot.SetBootOrder ({0x0003, 0x0001});
  B.Boot.SetOption (0x0003, Disk ());
  B.Boot.SetOption (0x0001, Pxe4 ());
  B.Console.Calls.clear ();

  EXPECT_EQ (Run (), efi::Success);

  ASSERT_EQ (B.Boot.Loads.size (), 1u);
  const auto &Load = B.Boot.Loads[0];
  EXPECT_TRUE (Load.BootPolicy);
  EXPECT_EQ (Load.Parent, "Wirelaunch");
  EXPECT_EQ (Load.DevicePath, B.Nic.Pxe4Path ()) << devpath::Text (Load.DevicePath);
  EXPECT_EQ (Load.Status, efi::Success);
  EXPECT_EQ (Load.Image, "NetBootProbe");
  // The PXE child was asked for the size first, then read into a buffer.
  ASSERT_EQ (B.Nic.LoadFileCalls.size (), 2u);
  EXPECT_EQ (B.Nic.LoadFileCalls[0].Status, efi::BufferTooSmall);
  EXPECT_EQ (B.Nic.LoadFileCalls[1].Status, efi::Success);

  // The started program ran, returned, and was unloaded as an application.
  ASSERT_EQ (B.Boot.Starts.size (), 2u);
  EXPECT_EQ (B.Boot.Starts[0].Image, "NetBootProbe");
  EXPECT_EQ (B.Boot.Starts[0].Caller, "Wirelaunch");
  EXPECT_EQ (B.Boot.Starts[1].Image, "Wirelaunch");
  EXPECT_TRUE (B.Fw.ImageNamed ("NetBootProbe")->Unloaded);

  // The banner sequence, then the program's own output below it.
  std::vector<std::string> Sequence;
  for (const auto &C : B.Console.Calls) {
    if (C.Caller == "Wirelaunch") Sequence.push_back (C.What);
  }
  EXPECT_EQ (Sequence, (std::vector<std::string>{"ClearScreen", "SetCursorPosition 0 0",
                                                 "OutputString " + std::string (22, ' ') + "\n\r",
                                                 "SetCursorPosition 0 0", "OutputString Boot From Network\n\r"}));
  EXPECT_EQ (B.Console.Row (0), "Boot From Network");
  EXPECT_EQ (B.Console.Row (1), "NetBootProbe: ran");
  // The device line is longer than a row and wraps at column 80.
  const std::string Device =
      "NetBootProbe: device PciRoot(0x0)/Pci(0x1,0x0)/MAC(525400123456,0x1)/IPv4(0.0.0.0,0x0,DHCP,0.0.0.0,0.0.0.0,0.0.0.0)";
  EXPECT_EQ (B.Console.Row (2), Device.substr (0, 80));
  EXPECT_EQ (B.Console.Row (3), Device.substr (80));
  EXPECT_EQ (B.Console.Row (4), "NetBootProbe: parent (none)");
  EXPECT_TRUE (B.Fw.FindLeaks ().empty ());
}

TEST_F (WirelaunchTest, TriesEveryNetworkOptionInOrderAndTheResultIsTheLastOnes) {
  // Boot0005 fails (no link on its path: nothing serves it); Boot002A
  // boots. Both are tried, in BootOrder order, with the screen cleared
  // before each; option 42 is read as Boot002A.
  auto Elsewhere = LoadOption (kLoadOptionActive, u"Other NIC",
                               devpath::Join ({devpath::PciRoot (0), devpath::Pci (9, 0),
                                               devpath::Mac ({2, 0, 0, 0, 0, 9}), devpath::Ipv4 (), devpath::End ()}));
  B.Boot.SetBootOrder ({5, 42});
  B.Boot.SetOption (5, Elsewhere);
  B.Boot.SetOption (42, Pxe4 ());
  EXPECT_EQ (Run (), efi::Success);
  ASSERT_EQ (B.Boot.Loads.size (), 2u);
  EXPECT_EQ (B.Boot.Loads[0].Status, efi::NotFound);
  EXPECT_EQ (B.Boot.Loads[1].DevicePath, B.Nic.Pxe4Path ());
  EXPECT_EQ (Clears (), 2u);
  EXPECT_EQ (B.Console.Row (0), "Boot From Network");

  // Reversed: the last option examined fails to load, so its LoadImage
  // status is the result, even though the program before it ran.
  Board C;
  Prepare (C);
  C.Boot.SetBootOrder ({42, 5});
  C.Boot.SetOption (5, Elsewhere);
  C.Boot.SetOption (42, Pxe4 ());
  EXPECT_EQ (Run (C), efi::NotFound);
  ASSERT_EQ (C.Boot.Starts.size (), 2u);
  EXPECT_EQ (C.Boot.Starts[0].Image, "NetBootProbe");
  // The failed option's banner stays on the screen.
  EXPECT_EQ (C.Console.Row (0), "Boot From Network");
  EXPECT_EQ (C.Console.Row (1), "");
}

TEST_F (WirelaunchTest, NetworkFailuresAreResultsAndTheNextOptionIsTried) {
  B.Boot.SetBootOrder ({1, 2});
  B.Boot.SetOption (1, Pxe4 ());
  B.Boot.SetOption (2, LoadOption (kLoadOptionActive, u"UEFI PXEv6", B.Nic.Pxe6Path ()));
  // The device's own answer stays between it and the DXE core, which
  // reports any file it could not read as Not Found.
  for (auto [State, Status] : {std::pair{NetworkDevice::Network::NoLink, efi::NoMedia},
                               std::pair{NetworkDevice::Network::NoServer, efi::Timeout},
                               std::pair{NetworkDevice::Network::NoFile, NetworkDevice::kTftpError}}) {
    B.Boot.Loads.clear ();
    B.Nic.LoadFileCalls.clear ();
    B.Nic.State = State;
    EXPECT_EQ (Run (), efi::NotFound);
    ASSERT_EQ (B.Boot.Loads.size (), 2u);
    EXPECT_EQ (B.Boot.Loads[0].Status, efi::NotFound);
    EXPECT_EQ (B.Boot.Loads[1].Status, efi::NotFound);
    ASSERT_FALSE (B.Nic.LoadFileCalls.empty ());
    EXPECT_EQ (B.Nic.LoadFileCalls[0].Status, Status);
  }
  EXPECT_TRUE (B.Fw.FindLeaks ().empty ());
}

TEST_F (WirelaunchTest, WhichOptionsCount) {
  // Inactive PXE option, an HTTP option (URI node, no MAC), a path with
  // IPv4 but no MAC, a missing option, and a two-instance path whose MAC
  // node is in the second instance: only the last is booted.
  auto NoMacIpv4 = devpath::Join ({devpath::PciRoot (0), devpath::Pci (1, 0), devpath::Ipv4 (), devpath::End ()});
  auto Http = devpath::Join ({devpath::PciRoot (0), devpath::Pci (1, 0), devpath::Uri ("http://10.0.2.2/boot.efi"), devpath::End ()});
  auto Pxe = B.Nic.Pxe4Path ();
  auto TwoInstances = devpath::Join ({devpath::PciRoot (0), devpath::Pci (3, 0), devpath::EndInstance (), Pxe});
  B.Boot.SetBootOrder ({1, 2, 3, 4, 6, 5});
  B.Boot.SetOption (1, Pxe4 (0));
  B.Boot.SetOption (2, LoadOption (kLoadOptionActive, u"UEFI HTTPv4", Http));
  B.Boot.SetOption (3, LoadOption (kLoadOptionActive, u"IPv4 only", NoMacIpv4));
  B.Boot.SetOption (5, LoadOption (kLoadOptionActive, u"Two instances", TwoInstances));
  B.Boot.SetOption (6, LoadOption (kLoadOptionActive | 0x8, u"Hidden but active", Pxe));
  EXPECT_EQ (Run (), efi::NotFound) << "the last active option was a network option that did not load";
  ASSERT_EQ (B.Boot.Loads.size (), 2u);
  EXPECT_EQ (B.Boot.Loads[0].DevicePath, Pxe);
  EXPECT_EQ (B.Boot.Loads[1].DevicePath, TwoInstances);
  EXPECT_EQ (B.Boot.Loads[1].Status, efi::NotFound) << "no device has the first instance's path";

  // Nothing but non-network options: nothing on the screen, Unsupported.
  Board Other;
  Prepare (Other);
  Other.Boot.SetBootOrder ({2, 3, 1});
  Other.Boot.SetOption (1, LoadOption (0, u"inactive", Pxe));
  Other.Boot.SetOption (2, LoadOption (kLoadOptionActive, u"UEFI HTTPv4", Http));
  Other.Boot.SetOption (3, LoadOption (kLoadOptionActive, u"IPv4 only", NoMacIpv4));
  EXPECT_EQ (Run (Other), efi::Unsupported);
  EXPECT_TRUE (Other.Console.Calls.empty ());
  EXPECT_TRUE (Other.Boot.Loads.empty ());
}

TEST_F (WirelaunchTest, MissingAndInactiveOptionsLeaveTheResultAlone) {
  // The last option examined decides the result; options that cannot be
  // read or are inactive are not examined. After a network option that did
  // not load, and after one that ran, come an inactive and a missing one.
  auto Unserved = LoadOption (kLoadOptionActive, u"Other NIC",
                              devpath::Join ({devpath::PciRoot (0), devpath::Pci (9, 0),
                                              devpath::Mac ({2, 0, 0, 0, 0, 9}), devpath::Ipv4 (), devpath::End ()}));
  B.Boot.SetBootOrder ({1, 2, 3});
  B.Boot.SetOption (1, Unserved);
  B.Boot.SetOption (2, Pxe4 (0));
  EXPECT_EQ (Run (), efi::NotFound);
  ASSERT_EQ (B.Boot.Loads.size (), 1u);

  Board C;
  Prepare (C);
  C.Boot.SetBootOrder ({1, 2, 3});
  C.Boot.SetOption (1, LoadOption (kLoadOptionActive, u"UEFI PXEv4", C.Nic.Pxe4Path ()));
  C.Boot.SetOption (3, LoadOption (0, u"inactive", Unserved));
  EXPECT_EQ (Run (C), efi::Success);
  EXPECT_EQ (C.Boot.Loads.size (), 1u);
}

TEST_F (WirelaunchTest, BootOrderShapes) {
  // No BootOrder: the error message and Invalid Parameter.
  EXPECT_EQ (Run (), efi::InvalidParameter);
  EXPECT_NE (B.UartText ().find ("BootOrder == NULL!!!!!!: "), std::string::npos);
  // Odd size: the trailing byte is no entry (0x01 would name Boot??01).
  B.Boot.SetOption (0x0101, Pxe4 ());
  B.Boot.SetOption (0x0002, Pxe4 ());
  B.Boot.SetBootOrderBytes ({0x02, 0x00, 0x01});
  EXPECT_EQ (Run (), efi::Success);
  EXPECT_EQ (B.Boot.Loads.size (), 1u);
  // A single byte: no entries at all.
  B.Boot.SetBootOrderBytes ({0x02});
  EXPECT_EQ (Run (), efi::Unsupported);
  EXPECT_EQ (B.Boot.Loads.size (), 1u);
  // Empty: nothing can be read.
  B.Boot.SetBootOrderBytes ({});
  EXPECT_EQ (Run (), efi::InvalidParameter);
  EXPECT_TRUE (B.Fw.FindLeaks ().empty ());
}

TEST_F (WirelaunchTest, MalformedOptionsAreNotNetworkOptions) {
  auto Pxe = B.Nic.Pxe4Path ();
  auto Good = Pxe4 ();
  std::vector<std::vector<uint8_t>> Bad;
  Bad.push_back ({0x01, 0x00, 0x00});                                  // shorter than Attributes
  Bad.push_back ({0x01, 0x00, 0x00, 0x00, 0x20});                      // no FilePathListLength
  auto NoTerminator = Good;                                            // description runs to the end
  NoTerminator.resize (6 + 10);
  for (size_t I = 6; I < NoTerminator.size (); I++) NoTerminator[I] = 'A' * (I % 2 == 0);
  Bad.push_back (NoTerminator);
  auto Truncated = Good;                                               // cut inside the MAC node
  Truncated.resize (Good.size () - Pxe.size () + 30);
  Bad.push_back (Truncated);
  auto ShortNode = devpath::Join ({devpath::PciRoot (0), devpath::Node (0x01, 0x01, {}), devpath::Mac (B.Nic.Mac ()), devpath::End ()});
  ShortNode[12 + 2] = 2;                                               // Pci node with Length 2
  Bad.push_back (LoadOption (kLoadOptionActive, u"short node", ShortNode));
  auto ZeroNode = Pxe;
  ZeroNode[2] = 0;                                                     // first node Length 0
  ZeroNode[3] = 0;
  Bad.push_back (LoadOption (kLoadOptionActive, u"zero node", ZeroNode));
  auto NoEnd = Pxe;                                                    // MAC node, then nothing
  NoEnd.resize (Pxe.size () - 4);
  Bad.push_back (LoadOption (kLoadOptionActive, u"no end", NoEnd, std::vector<uint8_t> (64, 0x55)));
  auto LyingLength = LoadOption (kLoadOptionActive, u"path longer than told", Pxe);
  LyingLength[4] = 20;                                                 // FilePathListLength cuts the MAC node
  LyingLength[5] = 0;
  Bad.push_back (LyingLength);

  std::vector<uint16_t> Order;
  for (size_t I = 0; I < Bad.size (); I++) {
    B.Boot.SetOption (static_cast<uint16_t> (0x10 + I), Bad[I]);
    Order.push_back (static_cast<uint16_t> (0x10 + I));
  }
  B.Boot.SetBootOrder (Order);
  EXPECT_EQ (Run (), efi::Unsupported) << "the last option examined was not a network option";
  EXPECT_TRUE (B.Boot.Loads.empty ());
  EXPECT_TRUE (B.Console.Calls.empty ());

  // A good option after all of them still boots.
  Order.push_back (0x0001);
  B.Boot.SetOption (1, Good);
  B.Boot.SetBootOrder (Order);
  EXPECT_EQ (Run (), efi::Success);
  EXPECT_EQ (B.Boot.Loads.size (), 1u);
  EXPECT_TRUE (B.Fw.FindLeaks ().empty ());
}

TEST_F (WirelaunchTest, ExitDataOfAReturningProgramIsReleased) {
  // The program leaves through Exit () with exit data; the DXE core keeps a
  // copy in a pool buffer of its own, which StartImage hands to Wirelaunch,
  // which owns and frees it. The program's own buffer stays allocated, as
  // it does under EDK II's core. A program that returns an error is tried
  // like any other.
  B.Boot.SetBootOrder ({1, 2});
  B.Boot.SetOption (1, Pxe4 ());
  B.Boot.SetOption (2, Pxe4 ());
  ProbeMode (2);
  EXPECT_EQ (Run (), efi::Success) << "a started program's status is not passed on";
  ASSERT_EQ (B.Boot.Starts.size (), 3u);
  EXPECT_EQ (B.Boot.Starts[0].Status, efi::Aborted);
  EXPECT_EQ (B.Boot.Starts[0].ExitData, u"NetBootProbe gave up");
  EXPECT_EQ (B.Boot.Starts[1].ExitData, u"NetBootProbe gave up");
  auto Leaks = B.Fw.FindLeaks ();
  ASSERT_EQ (Leaks.size (), 2u) << "the copies handed to Wirelaunch must be freed";
  for (const auto &L : Leaks) {
    EXPECT_EQ (L.Owner, "NetBootProbe");
    EXPECT_EQ (B.M.ReadUcs2 (L.Block.Address, 20), u"NetBootProbe gave up");
  }

  ProbeMode (3);
  B.Boot.Starts.clear ();
  EXPECT_EQ (Run (), efi::Success);
  ASSERT_EQ (B.Boot.Starts.size (), 3u);
  EXPECT_EQ (B.Boot.Starts[1].Status, efi::DeviceError);
}

TEST_F (WirelaunchTest, ProgramRefusedByTheSecurityPolicyIsUnloadedAndTheNextOptionTried) {
  // The platform's policy lets the first download load but forbids
  // starting it (LoadImage: Security Violation with a handle), then lets
  // the second one through.
  B.Boot.SetBootOrder ({1, 2});
  B.Boot.SetOption (1, Pxe4 ());
  B.Boot.SetOption (2, Pxe4 ());
  unsigned Calls = 0;
  B.Fw.ImageSecurity = [&] (const std::vector<uint8_t> &, const std::vector<uint8_t> &, bool) {
    return Calls++ == 0 ? efi::SecurityViolation : efi::Success;
  };
  EXPECT_EQ (Run (), efi::Success);
  ASSERT_EQ (B.Boot.Loads.size (), 2u);
  EXPECT_EQ (B.Boot.Loads[0].Status, efi::SecurityViolation);
  EXPECT_EQ (Clears (), 2u);
  // Only the second download ran; the refused one is gone, not resident.
  ASSERT_EQ (B.Boot.Starts.size (), 2u);
  EXPECT_EQ (B.Boot.Starts[0].Image, "NetBootProbe");
  size_t Probes = 0;
  for (const auto &I : B.Fw.Images ()) {
    if (I->Name != "NetBootProbe") continue;
    Probes++;
    EXPECT_TRUE (I->Unloaded);
  }
  EXPECT_EQ (Probes, 2u);
  EXPECT_TRUE (B.Fw.FindLeaks ().empty ());

  // Refused as the last option: its status is the result, and nothing of
  // it stays loaded. A denial (no handle at all) is the same to Wirelaunch.
  for (uint64_t Refusal : {efi::SecurityViolation, efi::AccessDenied}) {
    Board C;
    Prepare (C);
    C.Boot.SetBootOrder ({1});
    C.Boot.SetOption (1, Pxe4 ());
    C.Fw.ImageSecurity = [Refusal] (const std::vector<uint8_t> &, const std::vector<uint8_t> &, bool) { return Refusal; };
    EXPECT_EQ (Run (C), Refusal);
    ASSERT_EQ (C.Boot.Starts.size (), 1u);
    EXPECT_EQ (C.Boot.Starts[0].Image, "Wirelaunch");
    for (const auto &I : C.Fw.Images ()) EXPECT_TRUE (I->Unloaded) << I->Name;
    EXPECT_TRUE (C.Fw.FindLeaks ().empty ());
  }
}

TEST_F (WirelaunchTest, ProgramThatPowersOffEndsTheBoot) {
  B.Boot.SetBootOrder ({1, 2});
  B.Boot.SetOption (1, Pxe4 ());
  B.Boot.SetOption (2, Pxe4 ());
  B.Fw.DeleteVariable (u"NetBootProbeMode", kProbeVariable);
  B.Boot.Boot (test::ModuleImage ("Wirelaunch"));
  EXPECT_TRUE (B.M.Halted ());
  EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
  EXPECT_EQ (B.Fw.ResetCalls, std::vector<uint32_t>{2});
  EXPECT_EQ (B.Boot.Loads.size (), 1u) << "the second option is never reached";
  EXPECT_EQ (B.Console.Row (5), "NetBootProbe: powering off");
}

}  // namespace
}  // namespace vboard
