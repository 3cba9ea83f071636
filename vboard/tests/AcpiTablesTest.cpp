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
  // Listed after the entry kept for a FADT (NULL: there is none).
  EXPECT_EQ (B.M.Load<uint64_t> (B.Acpi.Xsdt () + 36), 0u);
  EXPECT_EQ (B.M.Load<uint64_t> (B.Acpi.Xsdt () + 44), Copy) << "not listed in the XSDT";
  EXPECT_EQ (B.Fw.CallGuest (Get, {1, Out, Out + 8, Out + 16}), efi::NotFound);

  EXPECT_EQ (B.Fw.CallGuest (Uninstall, {B.Acpi.TableProtocol, Key + 1}), efi::NotFound);
  EXPECT_EQ (B.Fw.CallGuest (Uninstall, {B.Acpi.TableProtocol, Key}), efi::Success);
  EXPECT_EQ (B.Fw.CallGuest (Get, {0, Out, Out + 8, Out + 16}), efi::NotFound);
  EXPECT_FALSE (B.M.IsMapped (Copy)) << "a stale pointer to a removed table must fault";
  EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
}

TEST (AcpiTables, KeysAsTheTableDriverHandsThemOut) {
  // The key cell is cleared before an install is tried; a second FADT is
  // refused but has spent a key, which the caller gets and which is then
  // never valid; the next table gets the key after it.
  Board B;
  B.SetPlatformSpcrCount (0);
  uint64_t Install = B.M.Load<uint64_t> (B.Acpi.TableProtocol), Uninstall = B.M.Load<uint64_t> (B.Acpi.TableProtocol + 8);
  auto Table = [&] (const char *Signature) {
    std::vector<uint8_t> T (36, 0);
    std::copy (Signature, Signature + 4, T.begin ());
    T[4] = 36;
    return B.Fw.HostCopy (T.data (), T.size ());
  };
  uint64_t Key = B.Scratch (8);
  ASSERT_EQ (B.Fw.CallGuest (Install, {B.Acpi.TableProtocol, Table ("FACP"), 36, Key}), efi::Success);
  uint64_t First = B.M.Load<uint64_t> (Key);
  EXPECT_EQ (B.Fw.CallGuest (Install, {B.Acpi.TableProtocol, Table ("FACP"), 36, Key}), efi::AccessDenied);
  uint64_t Spent = B.M.Load<uint64_t> (Key);
  EXPECT_EQ (Spent, First + 1);
  EXPECT_EQ (B.Fw.CallGuest (Uninstall, {B.Acpi.TableProtocol, Spent}), efi::NotFound);
  ASSERT_EQ (B.Fw.CallGuest (Install, {B.Acpi.TableProtocol, Table ("OEM1"), 36, Key}), efi::Success);
  EXPECT_EQ (B.M.Load<uint64_t> (Key), First + 2);
  B.Acpi.FailInstall = efi::OutOfResources;
  B.M.Store<uint64_t> (Key, 0x77);
  EXPECT_EQ (B.Fw.CallGuest (Install, {B.Acpi.TableProtocol, Table ("OEM2"), 36, Key}), efi::OutOfResources);
  EXPECT_EQ (B.M.Load<uint64_t> (Key), 0u);
  EXPECT_EQ (B.Acpi.Count ("FACP"), 1u);
  EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
}

}  // namespace
}  // namespace vboard
