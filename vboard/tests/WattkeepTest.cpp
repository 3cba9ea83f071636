// Wattkeep on the virtual board: the wake-alarm protocol it installs and what
// reaches the real-time clock's SetWakeupTime for each mode.
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

namespace vboard {
namespace {

using platform::kWakeAlarmProtocol;

class WattkeepTest : public ::testing::Test {
 protected:
  Board B;
  uint64_t Interface = 0;

  void Boot () {
    ASSERT_EQ (B.Run (test::ModuleImage ("Wattkeep")), efi::Success) << B.FaultReport ();
    auto I = B.Fw.FindProtocol (kWakeAlarmProtocol);
    ASSERT_TRUE (I.has_value ());
    Interface = *I;
  }
  // A WAKE_ALARM_TIME: Year, Month, Day, a byte the driver must not use, Hour, Minute, Second.
  uint64_t Record (uint16_t Year, uint8_t Month, uint8_t Day, uint8_t Hour, uint8_t Minute, uint8_t Second,
                   uint8_t Unused = 0x77) {
    uint64_t At = B.Scratch (8);
    uint8_t Bytes[8] = {static_cast<uint8_t> (Year), static_cast<uint8_t> (Year >> 8), Month, Day, Unused, Hour, Minute, Second};
    B.M.Write (At, Bytes, 8);
    return At;
  }
  uint64_t SetWakeAlarm (uint64_t This, uint64_t Mode, uint64_t Time) {
    return B.Fw.CallGuest (B.M.Load<uint64_t> (Interface), {This, Mode, Time});
  }
  uint64_t NoOp (const std::vector<uint64_t> &Args) { return B.Fw.CallGuest (B.M.Load<uint64_t> (Interface + 8), Args); }
};

TEST_F (WattkeepTest, InstallsTwoMemberInterfaceInBootServicesPool) {
  Boot ();
  const Allocation *A = B.Fw.Pool.Find (Interface);
  ASSERT_NE (A, nullptr) << "the interface is not a pool block of its own";
  EXPECT_EQ (A->Size, 16u);
  EXPECT_EQ (A->MemoryType, efi::BootServicesData);
  ImageRecord *Image = B.Fw.ImageNamed ("Wattkeep");
  for (uint64_t Slot : {Interface, Interface + 8}) {
    uint64_t Fn = B.M.Load<uint64_t> (Slot);
    EXPECT_TRUE (Fn >= Image->Base && Fn < Image->Base + Image->Size) << "member does not point into the driver";
  }
  EXPECT_NE (B.M.Load<uint64_t> (Interface), B.M.Load<uint64_t> (Interface + 8));
  // Installed on a handle of its own, not on the image handle.
  auto Handles = B.Fw.HandlesWith (kWakeAlarmProtocol);
  ASSERT_EQ (Handles.size (), 1u);
  EXPECT_NE (Handles[0], Image->Handle);
  EXPECT_TRUE (B.Fw.FindLeaks ().empty ());
  EXPECT_TRUE (B.Fw.WakeupCalls.empty ());
}

TEST_F (WattkeepTest, ArmingModesBuildAFreshEfiTime) {
  Boot ();
  struct Case {
    uint32_t Mode;
    uint8_t Day;
  } Cases[] = {{1, 15}, {2, 0x8F}, {3, 0x4F}};
  for (const Case &C : Cases) {
    B.Fw.WakeupCalls.clear ();
    EXPECT_EQ (SetWakeAlarm (0, C.Mode, Record (2027, 3, 15, 6, 30, 45)), efi::Success);
    ASSERT_EQ (B.Fw.WakeupCalls.size (), 1u) << "mode " << C.Mode;
    const WakeupCall &W = B.Fw.WakeupCalls[0];
    EXPECT_TRUE (W.Enable);
    ASSERT_TRUE (W.HasTime);
    EXPECT_EQ (W.Time.Year, 2027);
    EXPECT_EQ (W.Time.Month, 3);
    EXPECT_EQ (W.Time.Day, C.Day) << "mode " << C.Mode;
    EXPECT_EQ (W.Time.Hour, 6);
    EXPECT_EQ (W.Time.Minute, 30);
    EXPECT_EQ (W.Time.Second, 45);
    // Nothing else of the caller's record (its byte 4 is 0x77) reaches the clock.
    EXPECT_EQ (W.Time.Nanosecond, 0u);
    EXPECT_EQ (W.Time.TimeZone, 0);
    EXPECT_EQ (W.Time.Daylight, 0);
    EXPECT_EQ (W.Time.Pad1, 0);
    EXPECT_EQ (W.Time.Pad2, 0);
  }
  EXPECT_TRUE (B.Fw.WakeupEnabled);
}

TEST_F (WattkeepTest, ModeZeroDisablesWhateverTheRecordHolds) {
  Boot ();
  SetWakeAlarm (0, 1, Record (2027, 1, 2, 3, 4, 5));
  ASSERT_TRUE (B.Fw.WakeupEnabled);
  B.Fw.WakeupCalls.clear ();
  EXPECT_EQ (SetWakeAlarm (0x1234, 0, Record (0xFFFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF)), efi::Success);
  ASSERT_EQ (B.Fw.WakeupCalls.size (), 1u);
  EXPECT_FALSE (B.Fw.WakeupCalls[0].Enable);
  EXPECT_FALSE (B.Fw.WakeupCalls[0].HasTime) << "mode 0 must pass no time";
  EXPECT_FALSE (B.Fw.WakeupEnabled);
}

TEST_F (WattkeepTest, ModesAboveThreeDoNothing) {
  Boot ();
  for (uint64_t Mode : {4ULL, 5ULL, 0x80000000ULL, 0xFFFFFFFFULL}) {
    EXPECT_EQ (SetWakeAlarm (0, Mode, Record (2027, 1, 2, 3, 4, 5)), efi::Success) << Mode;
  }
  // The mode is a 32-bit argument: bits above 31 are not part of it.
  EXPECT_EQ (SetWakeAlarm (0, 0x100000001ULL, Record (2027, 1, 2, 3, 4, 5)), efi::Success);
  ASSERT_EQ (B.Fw.WakeupCalls.size (), 1u);
  EXPECT_TRUE (B.Fw.WakeupCalls[0].Enable);
}

TEST_F (WattkeepTest, NullTimeIsRefusedWhereItWouldBeRead) {
  Boot ();
  for (uint32_t Mode : {1u, 2u, 3u}) {
    EXPECT_EQ (SetWakeAlarm (0, Mode, 0), efi::InvalidParameter) << Mode;
  }
  EXPECT_TRUE (B.Fw.WakeupCalls.empty ());
  EXPECT_EQ (SetWakeAlarm (0, 7, 0), efi::Success);
  EXPECT_TRUE (B.Fw.WakeupCalls.empty ());
  EXPECT_EQ (SetWakeAlarm (0, 0, 0), efi::Success);
  ASSERT_EQ (B.Fw.WakeupCalls.size (), 1u);
  EXPECT_FALSE (B.Fw.WakeupCalls[0].Enable);
  EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
}

TEST_F (WattkeepTest, ClockRefusalReachesTheCaller) {
  Boot ();
  B.Fw.WakeupStatus = efi::DeviceError;
  EXPECT_EQ (SetWakeAlarm (0, 1, Record (2027, 1, 2, 3, 4, 5)), efi::DeviceError);
  B.Fw.WakeupStatus = efi::Success;
  // An impossible date is the clock's to refuse.
  EXPECT_EQ (SetWakeAlarm (0, 1, Record (2027, 2, 30, 3, 4, 5)), efi::InvalidParameter);
  EXPECT_FALSE (B.Fw.WakeupEnabled);
}

TEST_F (WattkeepTest, NoOpIgnoresItsArguments) {
  Boot ();
  // Arguments that fault when used (NULL, unmapped memory) and a record whose
  // bytes must stay as they are; a call after a fault would return at once,
  // so the board must still be running afterwards.
  uint64_t Record = B.Scratch (16);
  const std::vector<uint8_t> Pattern (16, 0xC3);
  B.M.Write (Record, Pattern.data (), Pattern.size ());
  size_t CallsBefore = B.Fw.Calls.size ();
  EXPECT_EQ (NoOp ({0, 0, 0}), efi::Success);
  EXPECT_EQ (NoOp ({0xDEAD0000, 0xFFFFFFFF, 0xDEAD0000}), efi::Success);
  EXPECT_EQ (NoOp ({Interface, 2, Record}), efi::Success);
  ASSERT_FALSE (B.M.Faulted ()) << B.FaultReport ();
  EXPECT_EQ (B.M.ReadBytes (Record, 16), Pattern);
  EXPECT_EQ (B.Fw.Calls.size (), CallsBefore) << "NoOp called a service";
  EXPECT_TRUE (B.Fw.WakeupCalls.empty ());
}

TEST_F (WattkeepTest, OutOfPoolInstallsNothing) {
  B.Fw.Pool.FailAfter (0);
  EXPECT_EQ (B.Run (test::ModuleImage ("Wattkeep")), efi::OutOfResources) << B.FaultReport ();
  EXPECT_FALSE (B.Fw.FindProtocol (kWakeAlarmProtocol).has_value ());
  EXPECT_TRUE (B.Fw.ImageNamed ("Wattkeep")->Unloaded);
}

TEST_F (WattkeepTest, FailedInstallFreesTheInterface) {
  B.Fw.FailInstallProtocol[kWakeAlarmProtocol] = efi::OutOfResources;
  EXPECT_EQ (B.Run (test::ModuleImage ("Wattkeep")), efi::OutOfResources) << B.FaultReport ();
  EXPECT_FALSE (B.Fw.FindProtocol (kWakeAlarmProtocol).has_value ());
  EXPECT_TRUE (B.Fw.Pool.Live ().empty ()) << "the interface was not freed";
  EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
}

}  // namespace
}  // namespace vboard
