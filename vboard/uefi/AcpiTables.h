// The platform's ACPI table driver, served from the host: EFI_ACPI_TABLE_PROTOCOL
// (InstallAcpiTable keeps its own copy, fixes its checksum and returns a
// table key; UninstallAcpiTable removes the table with that key) and
// EFI_ACPI_SDT_PROTOCOL.GetAcpiTable, which enumerates the installed tables
// from index 0 and hands out the installed copy itself, so that a write
// through that pointer changes what the OS will see. Both members of the
// table protocol take the instance from This and stop the board (misuse)
// when This is not the installed instance, as the real driver's signature
// check would.
//
// The copies live in guest memory in a region of their own. Each table sits
// at the end of its own pages with an unmapped page after it, so a write past
// the end of the table faults at the instruction that does it; the few slack
// bytes between a table whose size is not a multiple of 8 and its page end
// hold a canary that is checked when the table is removed or dumped. A
// removed table's pages are unmapped, so a stale pointer faults too. The
// RSDP (published as the ACPI 2.0 configuration table) and the XSDT are kept
// up to date with every change, as the OS would find them: the FADT listed
// first (a NULL entry while there is none), the FACS and the DSDT not
// listed but reached through the FADT's pointers, which follow whatever FACS
// and DSDT are installed. There is no RSDT (ACPI 5.0 tables only, as on
// AArch64). Memory an
// installed table points to (a runtime buffer it hands to the OS) is owned
// through the table, for the leak check.
#pragma once

#include "uefi/Firmware.h"

#include <optional>
#include <string>
#include <vector>

namespace vboard {

namespace guids {
extern const Guid AcpiTableProtocol;   // EFI_ACPI_TABLE_PROTOCOL
extern const Guid AcpiSdtProtocol;     // EFI_ACPI_SDT_PROTOCOL
extern const Guid Acpi20Table;         // configuration table holding the RSDP
}  // namespace guids

struct AcpiTable {
  uint64_t Key = 0;            // what InstallAcpiTable returned
  uint64_t Address = 0;        // the installed copy in guest memory
  uint32_t Size = 0;           // bytes installed (the Length at install time)
  std::string Signature;       // "SPCR"
  std::string Installer;       // image name, or "platform" for board code
  bool ChecksumAsGiven = false;   // the bytes handed in already summed to 0
};

class AcpiTables {
 public:
  static constexpr uint64_t kRegionBase = 0x0C000000;
  static constexpr uint64_t kRegionSize = 0x01000000;
  // ACPI 5.0 only, as EDK II's table driver exposes them on AArch64
  // (PcdAcpiExposedTableVersions): the SDT protocol's AcpiVersion and the
  // version GetAcpiTable gives every table.
  static constexpr uint32_t kExposedVersions = 0x20;
  static constexpr uint8_t kCanary = 0xCB;

  explicit AcpiTables (Firmware &Fw);
  AcpiTables (const AcpiTables &) = delete;
  AcpiTables &operator= (const AcpiTables &) = delete;

  // What the platform's own ACPI code installs, with the protocol's rules.
  // Returns the table key, or 0 when the table is refused.
  uint64_t Install (const std::vector<uint8_t> &Table, const std::string &Installer = "platform");
  uint64_t Uninstall (uint64_t Key);   // EFI status
  // Removes every table with this signature; returns how many there were.
  size_t UninstallAll (const std::string &Signature);

  const std::vector<AcpiTable> &Tables () const { return mTables; }
  // The Nth installed table (in enumeration order) with this signature.
  const AcpiTable *Find (const std::string &Signature, size_t Nth = 0) const;
  size_t Count (const std::string &Signature) const;
  // The table's current bytes: its header Length, never more than was installed.
  std::vector<uint8_t> Bytes (const AcpiTable &T) const;
  // Writes every installed table to DIR/<signature>.dat (a second table with
  // the same signature to <signature>2.dat, and so on), then the XSDT to
  // xsdt.dat; returns the file names written, in that order.
  std::vector<std::string> Dump (const std::string &Dir) const;

  // False when bytes after the table's installed size were written.
  bool Intact (const AcpiTable &T) const;

  uint64_t Rsdp () const { return mRsdp; }
  uint64_t Xsdt () const { return mXsdt; }

  // Fault injection for the guest-facing calls.
  std::optional<uint64_t> FailInstall, FailUninstall;

  uint64_t Handle = 0;           // carries both protocols
  uint64_t TableProtocol = 0;    // EFI_ACPI_TABLE_PROTOCOL instance
  uint64_t SdtProtocol = 0;      // EFI_ACPI_SDT_PROTOCOL instance

 private:
  uint64_t DoInstall (const std::vector<uint8_t> &Table, const std::string &Installer, uint64_t &Key);
  uint64_t Place (uint32_t Size);
  void RebuildRoots ();
  void FixFadt ();

  Firmware &mFw;
  uint64_t mNext = 0;
  uint64_t mNextKey = 1;
  uint64_t mRsdp = 0, mXsdt = 0;
  std::vector<AcpiTable> mTables;
};

// Writes each (signature, bytes) table to DIR/<signature>.dat, lowercase,
// with a second table of the same signature in <signature>2.dat and so on,
// then the XSDT (when given) to xsdt.dat; returns the file names written,
// in that order. Throws std::runtime_error when a file cannot be written.
std::vector<std::string> WriteAcpiDump (const std::string &Dir, const std::vector<std::pair<std::string, std::vector<uint8_t>>> &Tables,
                                        const std::vector<uint8_t> &Xsdt);

}  // namespace vboard
