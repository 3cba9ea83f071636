// The board's ACPI table driver as a guest sees it through its two protocols:
// the copy InstallAcpiTable keeps, the keys, and GetAcpiTable's enumeration.
#include "board/PlatformAcpi.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

namespace vboard {
namespace {

TEST (AcpiTables, InstallEnumerateAndUninstallThroughTheProtocols) {
  Board B;
  B.SetPlatformSpcrCount (0);
  uint64_t Install = B.M.Load<uint64_t> (B.Acpi.TableProtocol), Uninstall = B.M.Load<uint64_t> (B.Acpi.TableProtocol + 8);
  uint64_t Get = B.M.Load<uint64_t> (B.Acpi.SdtProtocol + 8);
  std::vector<uint8_t> Table = platform::PlatformSpcr (platform::kUart1, platform::kUart1Gsiv);
  Table[platform::spcr::kChecksum] ^= 0x5A;   // the driver fixes it
  uint64_t Buffer = B.Fw.HostCopy (Table.data (), Table.size ()), Out = B.Scratch (24);

  EXPECT_EQ (B.Fw.CallGuest (Install, {B.Acpi.TableProtocol, Buffer, 79, Out}), efi::InvalidParameter) << "size != Length";
  ASSERT_EQ (B.Fw.CallGuest (Install, {B.Acpi.TableProtocol, Buffer, 80, Out}), efi::Success);
  uint64_t Key = B.M.Load<uint64_t> (Out);
  B.M.Store<uint8_t> (Buffer + platform::spcr::kBaudRate, 0);   // the installed table is a copy

  ASSERT_EQ (B.Fw.CallGuest (Get, {0, Out, Out + 8, Out + 16}), efi::Success);
  uint64_t Copy = B.M.Load<uint64_t> (Out);
  EXPECT_NE (Copy, Buffer);
  EXPECT_EQ (B.M.Load<uint64_t> (Out + 16), Key);
  std::vector<uint8_t> Installed = B.M.ReadBytes (Copy, 80);
  EXPECT_EQ (Installed[platform::spcr::kBaudRate], platform::spcr::kBaud115200);
  Table[platform::spcr::kChecksum] ^= 0x5A;
  EXPECT_EQ (Installed, Table) << "not a copy with its checksum fixed";
  EXPECT_EQ (B.M.Load<uint64_t> (B.Acpi.Xsdt () + 36), Copy) << "not listed in the XSDT";
  EXPECT_EQ (B.Fw.CallGuest (Get, {1, Out, Out + 8, Out + 16}), efi::NotFound);

  EXPECT_EQ (B.Fw.CallGuest (Uninstall, {B.Acpi.TableProtocol, Key + 1}), efi::NotFound);
  EXPECT_EQ (B.Fw.CallGuest (Uninstall, {B.Acpi.TableProtocol, Key}), efi::Success);
  EXPECT_EQ (B.Fw.CallGuest (Get, {0, Out, Out + 8, Out + 16}), efi::NotFound);
  EXPECT_FALSE (B.M.IsMapped (Copy)) << "a stale pointer to a removed table must fault";
  EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
}

}  // namespace
}  // namespace vboard
