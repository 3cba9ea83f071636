#include "uefi/AcpiTables.h"

#include "host/Files.h"

#include <cctype>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>

namespace vboard {

namespace guids {
const Guid AcpiTableProtocol = Guid::Parse ("FFE06BDD-6107-46A6-7BB2-5A9C7EC5275C");
const Guid AcpiSdtProtocol = Guid::Parse ("EB97088E-CFDF-49C6-BE4B-D906A5B20E86");
const Guid Acpi20Table = Guid::Parse ("8868E871-E4F1-11D3-BC22-0080C73C8881");
}  // namespace guids

namespace {

constexpr uint64_t kPage = 0x1000;
constexpr uint32_t kHeaderSize = 36;          // the common ACPI description header
constexpr uint32_t kRsdpSize = 36;            // ACPI 2.0+ RSDP
constexpr uint64_t kXsdtCapacity = (kPage - kHeaderSize) / 8;
// The FADT's pointers to the FACS and the DSDT.
constexpr size_t kFadtFirmwareCtrl = 36, kFadtDsdt = 40, kFadtXFirmwareCtrl = 132, kFadtXDsdt = 140;
const char kOemId[6] = {'A', 'R', 'M', 'S', 'V', 'R'};
const char kOemTableId[8] = {'V', 'B', 'O', 'A', 'R', 'D', ' ', ' '};

uint8_t Sum (const uint8_t *Bytes, size_t Size) {
  uint8_t S = 0;
  for (size_t I = 0; I < Size; I++) S = static_cast<uint8_t> (S + Bytes[I]);
  return S;
}

uint32_t Le32 (const std::vector<uint8_t> &B, size_t Off) {
  uint32_t V;
  std::memcpy (&V, B.data () + Off, 4);
  return V;
}

// Tables the ACPI table driver keeps one of; a second install is refused.
bool Singleton (const std::string &Signature) {
  return Signature == "FACP" || Signature == "FACS" || Signature == "DSDT";
}

// The root tables belong to the driver itself.
bool RootTable (const std::string &Signature) {
  return Signature == "XSDT" || Signature == "RSDT" || Signature == "RSD ";
}

}  // namespace

AcpiTables::AcpiTables (Firmware &Fw) : mFw (Fw) {
  // RSDP on the first page, XSDT on the second, tables after a guard page.
  mFw.M.MapRam (kRegionBase, 2 * kPage, true, false);
  mRsdp = kRegionBase;
  mXsdt = kRegionBase + kPage;
  mNext = kRegionBase + 3 * kPage;
  RebuildRoots ();
  mFw.InstallConfigurationTable (guids::Acpi20Table, mRsdp);
  // The OS reaches every installed table, and through it whatever the table
  // points to; ACPI tables place 64-bit addresses at any byte offset.
  mFw.ExtraRoots.push_back ([this] (std::vector<uint64_t> &Roots) {
    for (const AcpiTable &T : mTables) {
      std::vector<uint8_t> Bytes = mFw.M.ReadBytes (T.Address, T.Size);
      for (size_t Off = 0; Off + 8 <= Bytes.size (); Off++) {
        uint64_t V;
        std::memcpy (&V, Bytes.data () + Off, 8);
        Roots.push_back (V);
      }
    }
  });

  TableProtocol = mFw.MakeHostInterface (
      "AcpiTable",
      {{"InstallAcpiTable",
        [this] (CallArgs &A) -> uint64_t {
          // The ACPI table driver finds its instance from This (a CR ()
          // lookup that checks a signature); any other This is misuse.
          if (A[0] != TableProtocol) {
            mFw.Misuse ("InstallAcpiTable called with a This that is not the installed instance");
            return efi::InvalidParameter;
          }
          uint64_t Buffer = A[1], Size = A[2], KeyPtr = A[3];
          if (Buffer == 0 || KeyPtr == 0 || Size < kHeaderSize || Size > 0xFFFFFFFFULL) {
            return efi::InvalidParameter;
          }
          if (Size > kRegionSize / 2) return efi::OutOfResources;
          std::vector<uint8_t> Table (Size);
          if (!mFw.M.Read (Buffer, Table.data (), Size)) {
            mFw.Misuse ("InstallAcpiTable: the table buffer is not readable memory");
            return efi::InvalidParameter;
          }
          if (Le32 (Table, 4) != Size) {
            return efi::InvalidParameter;   // buffer size and table Length disagree
          }
          // The driver clears the key before it tries the install, and
          // writes the key it gave the table even when it then refuses a
          // second FADT, FACS or DSDT.
          uint64_t Key = 0;
          if (!mFw.M.Write (KeyPtr, &Key, 8)) {
            mFw.Misuse ("InstallAcpiTable: TableKey is not writable memory");
            return efi::InvalidParameter;
          }
          if (FailInstall) return *FailInstall;
          uint64_t Status = DoInstall (Table, mFw.CallerName (A.Caller ()), Key);
          mFw.M.Write (KeyPtr, &Key, 8);
          return Status;
        }},
       {"UninstallAcpiTable",
        [this] (CallArgs &A) -> uint64_t {
          if (A[0] != TableProtocol) {
            mFw.Misuse ("UninstallAcpiTable called with a This that is not the installed instance");
            return efi::InvalidParameter;
          }
          if (FailUninstall) return *FailUninstall;
          return Uninstall (A[1]);
        }}});

  SdtProtocol = mFw.MakeHostInterface (
      "AcpiSdt",
      {{"GetAcpiTable",
        [this] (CallArgs &A) -> uint64_t {
          uint64_t Index = A[0], TablePtr = A[1], VersionPtr = A[2], KeyPtr = A[3];
          if (TablePtr == 0 || VersionPtr == 0 || KeyPtr == 0) {
            mFw.Misuse ("GetAcpiTable: a NULL output pointer");
            return efi::InvalidParameter;
          }
          if (Index >= mTables.size ()) {
            return efi::NotFound;
          }
          const AcpiTable &T = mTables[Index];
          uint32_t Version = kExposedVersions;
          if (!mFw.M.Write (TablePtr, &T.Address, 8) || !mFw.M.Write (VersionPtr, &Version, 4) ||
              !mFw.M.Write (KeyPtr, &T.Key, 8)) {
            mFw.Misuse ("GetAcpiTable: an output pointer is not writable memory");
            return efi::InvalidParameter;
          }
          return efi::Success;
        }},
       {"RegisterNotify", nullptr},
       {"Open", nullptr},
       {"OpenSdt", nullptr},
       {"Close", nullptr},
       {"GetChild", nullptr},
       {"GetOption", nullptr},
       {"SetOption", nullptr},
       {"FindPath", nullptr}},
      8);
  mFw.M.Store<uint32_t> (SdtProtocol, kExposedVersions);

  mFw.InstallProtocol (Handle, guids::AcpiTableProtocol, TableProtocol);
  mFw.InstallProtocol (Handle, guids::AcpiSdtProtocol, SdtProtocol);
}

uint64_t AcpiTables::Place (uint32_t Size) {
  // The table ends at (or, for a size that is not a multiple of 8, just
  // before) the end of its pages; the page after them stays unmapped.
  uint64_t Rounded = (static_cast<uint64_t> (Size) + 7) & ~7ULL;
  uint64_t MapSize = ((Rounded + kPage - 1) / kPage) * kPage;
  if (mNext + MapSize + kPage > kRegionBase + kRegionSize) {
    return 0;
  }
  uint64_t Base = mNext;
  mFw.M.MapRam (Base, MapSize, true, false);
  mNext = Base + MapSize + kPage;
  uint64_t At = Base + MapSize - Rounded;
  std::vector<uint8_t> Fill (MapSize, 0);
  std::memset (Fill.data () + (At - Base) + Size, kCanary, Rounded - Size);
  mFw.M.Write (Base, Fill.data (), Fill.size ());
  return At;
}

uint64_t AcpiTables::DoInstall (const std::vector<uint8_t> &Table, const std::string &Installer, uint64_t &Key) {
  if (Table.size () < kHeaderSize || Le32 (Table, 4) != Table.size ()) {
    return efi::InvalidParameter;
  }
  std::string Signature (Table.begin (), Table.begin () + 4);
  if (RootTable (Signature)) {
    return efi::InvalidParameter;
  }
  if (Singleton (Signature) && Count (Signature) != 0) {
    // The key is spent before the duplicate is noticed.
    Key = mNextKey++;
    return efi::AccessDenied;
  }
  if (mTables.size () + 1 >= kXsdtCapacity) {   // and the FADT's entry
    return efi::OutOfResources;
  }
  uint64_t At = Place (static_cast<uint32_t> (Table.size ()));
  if (At == 0) {
    return efi::OutOfResources;
  }
  // The driver owns the copy and makes its checksum valid; the FACS has no
  // checksum (its byte 9 is part of the hardware signature) and is copied
  // as given.
  bool ChecksumAsGiven = Sum (Table.data (), Table.size ()) == 0;
  std::vector<uint8_t> Copy = Table;
  if (Signature != "FACS") {
    Copy[9] = 0;
    Copy[9] = static_cast<uint8_t> (0x100 - Sum (Copy.data (), Copy.size ()));
  } else {
    ChecksumAsGiven = true;
  }
  mFw.M.Write (At, Copy.data (), Copy.size ());

  AcpiTable T;
  T.Key = mNextKey++;
  T.Address = At;
  T.Size = static_cast<uint32_t> (Copy.size ());
  T.Signature = Signature;
  T.Installer = Installer;
  T.ChecksumAsGiven = ChecksumAsGiven;
  mTables.push_back (T);
  if (Singleton (Signature)) FixFadt ();
  RebuildRoots ();
  Key = T.Key;
  return efi::Success;
}

uint64_t AcpiTables::Install (const std::vector<uint8_t> &Table, const std::string &Installer) {
  uint64_t Key = 0;
  return efi::IsError (DoInstall (Table, Installer, Key)) ? 0 : Key;
}

uint64_t AcpiTables::Uninstall (uint64_t Key) {
  for (auto It = mTables.begin (); It != mTables.end (); ++It) {
    if (It->Key != Key) continue;
    if (!Intact (*It)) {
      mFw.Findings.push_back ("ACPI table " + It->Signature + " (key " + std::to_string (Key) +
                              ") was written past its " + std::to_string (It->Size) + " bytes");
    }
    uint64_t Rounded = (static_cast<uint64_t> (It->Size) + 7) & ~7ULL;
    uint64_t MapSize = ((Rounded + kPage - 1) / kPage) * kPage;
    uint64_t Base = It->Address + Rounded - MapSize;
    mFw.M.Unmap (Base, MapSize);
    bool Fixed = Singleton (It->Signature);
    mTables.erase (It);
    if (Fixed) FixFadt ();
    RebuildRoots ();
    return efi::Success;
  }
  return efi::NotFound;
}

size_t AcpiTables::UninstallAll (const std::string &Signature) {
  size_t Removed = 0;
  while (const AcpiTable *T = Find (Signature)) {
    Uninstall (T->Key);
    Removed++;
  }
  return Removed;
}

const AcpiTable *AcpiTables::Find (const std::string &Signature, size_t Nth) const {
  for (const AcpiTable &T : mTables) {
    if (T.Signature == Signature && Nth-- == 0) {
      return &T;
    }
  }
  return nullptr;
}

size_t AcpiTables::Count (const std::string &Signature) const {
  size_t N = 0;
  for (const AcpiTable &T : mTables) N += T.Signature == Signature;
  return N;
}

std::vector<uint8_t> AcpiTables::Bytes (const AcpiTable &T) const {
  uint32_t Length = mFw.M.Load<uint32_t> (T.Address + 4);
  return mFw.M.ReadBytes (T.Address, Length < T.Size ? Length : T.Size);
}

bool AcpiTables::Intact (const AcpiTable &T) const {
  uint64_t Rounded = (static_cast<uint64_t> (T.Size) + 7) & ~7ULL;
  for (uint8_t B : mFw.M.ReadBytes (T.Address + T.Size, Rounded - T.Size)) {
    if (B != kCanary) return false;
  }
  return true;
}

void AcpiTables::FixFadt () {
  // The FADT points at the FACS and the DSDT that are installed now (0 for
  // one that is not): FIRMWARE_CTRL with X_FIRMWARE_CTRL cleared (every
  // table here lies below 4 GiB), and both DSDT and X_DSDT, as EDK II's
  // table driver sets them for "better compatibility as some OS may have
  // assumption to only consume X_DSDT"; then its checksum again.
  const AcpiTable *Fadt = Find ("FACP");
  if (Fadt == nullptr) return;
  const AcpiTable *Facs = Find ("FACS"), *Dsdt = Find ("DSDT");
  uint32_t FacsAt = Facs != nullptr ? static_cast<uint32_t> (Facs->Address) : 0;
  uint32_t DsdtAt = Dsdt != nullptr ? static_cast<uint32_t> (Dsdt->Address) : 0;
  std::vector<uint8_t> F = mFw.M.ReadBytes (Fadt->Address, Fadt->Size);
  auto Put = [&F] (size_t Offset, uint64_t Value, size_t Width) {
    if (Offset + Width <= F.size ()) std::memcpy (F.data () + Offset, &Value, Width);
  };
  Put (kFadtFirmwareCtrl, FacsAt, 4);
  Put (kFadtDsdt, DsdtAt, 4);
  Put (kFadtXFirmwareCtrl, 0, 8);
  Put (kFadtXDsdt, DsdtAt, 8);
  F[9] = 0;
  F[9] = static_cast<uint8_t> (0x100 - Sum (F.data (), F.size ()));
  mFw.M.Write (Fadt->Address, F.data (), F.size ());
}

void AcpiTables::RebuildRoots () {
  // XSDT: the header, then one 64-bit address per installed table, the
  // first entry kept for the FADT (some operating systems look for it only
  // near the start), NULL while there is none; the FACS and the DSDT are
  // reached through the FADT, not listed.
  std::vector<uint64_t> Listed;
  const AcpiTable *Fadt = Find ("FACP");
  Listed.push_back (Fadt != nullptr ? Fadt->Address : 0);
  for (const AcpiTable &T : mTables) {
    if (!Singleton (T.Signature)) Listed.push_back (T.Address);
  }
  std::vector<uint8_t> X (kHeaderSize + 8 * Listed.size (), 0);
  std::memcpy (X.data (), "XSDT", 4);
  uint32_t Length = static_cast<uint32_t> (X.size ());
  std::memcpy (X.data () + 4, &Length, 4);
  X[8] = 1;
  std::memcpy (X.data () + 10, kOemId, 6);
  std::memcpy (X.data () + 16, kOemTableId, 8);
  X[24] = 1;
  std::memcpy (X.data () + 28, "VBRD", 4);
  X[32] = 1;
  // With a FADT, the XSDT and the RSDP take its OEM identification (OEM ID,
  // OEM table ID, OEM revision), as EDK II's table driver copies them.
  std::vector<uint8_t> FadtHeader;
  if (Fadt != nullptr) {
    FadtHeader = mFw.M.ReadBytes (Fadt->Address, kHeaderSize);
    std::copy (FadtHeader.begin () + 10, FadtHeader.begin () + 28, X.begin () + 10);
  }
  for (size_t I = 0; I < Listed.size (); I++) {
    std::memcpy (X.data () + kHeaderSize + 8 * I, &Listed[I], 8);
  }
  X[9] = static_cast<uint8_t> (0x100 - Sum (X.data (), X.size ()));
  mFw.M.Write (mXsdt, X.data (), X.size ());

  // RSDP, revision 2: the first checksum covers the ACPI 1.0 part (20 bytes),
  // the extended one all 36. No RSDT: on AArch64 EDK II's table driver
  // exposes ACPI 5.0 tables only (PcdAcpiExposedTableVersions 0x20), so the
  // RSDP's RSDT address stays 0 and there is no ACPI 1.0 RSDP.
  uint8_t R[kRsdpSize] = {};
  std::memcpy (R, "RSD PTR ", 8);
  std::memcpy (R + 9, FadtHeader.empty () ? reinterpret_cast<const uint8_t *> (kOemId) : FadtHeader.data () + 10, 6);
  R[15] = 2;
  uint32_t RsdpLength = kRsdpSize;
  std::memcpy (R + 20, &RsdpLength, 4);
  std::memcpy (R + 24, &mXsdt, 8);
  R[8] = static_cast<uint8_t> (0x100 - Sum (R, 20));
  R[32] = static_cast<uint8_t> (0x100 - Sum (R, kRsdpSize));
  mFw.M.Write (mRsdp, R, kRsdpSize);
}

std::vector<std::string> AcpiTables::Dump (const std::string &Dir) const {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> Tables;
  for (const AcpiTable &T : mTables) Tables.push_back ({T.Signature, Bytes (T)});
  return WriteAcpiDump (Dir, Tables, mFw.M.ReadBytes (mXsdt, mFw.M.Load<uint32_t> (mXsdt + 4)));
}

std::vector<std::string> WriteAcpiDump (const std::string &Dir, const std::vector<std::pair<std::string, std::vector<uint8_t>>> &Tables,
                                        const std::vector<uint8_t> &Xsdt) {
  std::vector<std::string> Names;
  std::map<std::string, unsigned> Seen;
  for (const auto &[Signature, Bytes] : Tables) {
    std::string Base;
    for (char C : Signature) {
      Base.push_back (std::isalnum (static_cast<unsigned char> (C)) ? static_cast<char> (std::tolower (C)) : '_');
    }
    unsigned N = ++Seen[Base];
    Names.push_back (Base + (N == 1 ? "" : std::to_string (N)) + ".dat");
    WriteWholeFile (Dir + "/" + Names.back (), Bytes);
  }
  if (!Xsdt.empty ()) {
    WriteWholeFile (Dir + "/xsdt.dat", Xsdt);
    Names.push_back ("xsdt.dat");
  }
  return Names;
}

}  // namespace vboard
