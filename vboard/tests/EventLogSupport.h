// Helpers of the event-log tests: the event-log protocol driven from the
// host, records laid into the flash directly, the Type 15 structure, and the
// next boot on a saved flash image checked with dmidecode.
#pragma once

#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace vboard::test {

constexpr uint64_t kGpnvBase = 0x930000, kGpnvSize = 0x10000, kGpnvEnd = kGpnvBase + kGpnvSize;
constexpr size_t kEraseOptionOffset = 82;   // EraseEventLogWhenFull in SystemSetupConfig

// GPNV_EVENT_LOG_PROTOCOL: WriteEventLog, EraseEventLog, GetNextEventLog, LogFull.
struct EventLogClient {
  Board &B;
  uint64_t Interface = 0;

  explicit EventLogClient (Board &Board) : B (Board) {}
  uint64_t Start (const std::string &Image = ModuleImage ("Tallyvault")) {
    uint64_t Status = B.Run (Image);
    Interface = B.Fw.FindProtocol (platform::kGpnvEventLogProtocol).value_or (0);
    return Status;
  }
  uint64_t Time (uint16_t Year = 2024, uint8_t Month = 12, uint8_t Day = 7, uint8_t Hour = 23, uint8_t Minute = 59,
                 uint8_t Second = 58) {
    EfiTime T;
    T.Year = Year, T.Month = Month, T.Day = Day, T.Hour = Hour, T.Minute = Minute, T.Second = Second;
    T.Nanosecond = 123456789, T.TimeZone = -60, T.Daylight = 1;   // not stored
    return B.Fw.HostCopy (&T, sizeof (T));
  }
  uint64_t Bytes (const std::vector<uint8_t> &Data) { return B.Fw.HostCopy (Data.data (), Data.size ()); }
  uint64_t Write (uint8_t Type, uint64_t DataSize = 0, uint64_t Data = 0, uint64_t TimePtr = ~0ULL, uint32_t Post0 = 0,
                  uint32_t Post1 = 0) {
    if (TimePtr == ~0ULL) TimePtr = Time ();
    return B.Fw.CallGuest (B.M.Load<uint64_t> (Interface), {Interface, Type, Post0, Post1, DataSize, Data, TimePtr});
  }
  uint64_t WriteData (uint8_t Type, const std::vector<uint8_t> &Data) { return Write (Type, Data.size (), Bytes (Data)); }
  uint64_t Erase () { return B.Fw.CallGuest (B.M.Load<uint64_t> (Interface + 8), {Interface}); }
  uint64_t Next (uint64_t &Record) {   // GetNextEventLog; Record 0 starts the walk
    uint64_t Cell = B.Fw.HostCopy (&Record, 8);
    uint64_t Status = B.Fw.CallGuest (B.M.Load<uint64_t> (Interface + 16), {Interface, Cell});
    Record = B.M.Load<uint64_t> (Cell);
    return Status;
  }
  std::vector<uint64_t> Walk () {   // every record from the start, the end marker included
    std::vector<uint64_t> Out;
    for (uint64_t R = 0; Next (R) == efi::Success && Out.size () <= kGpnvSize;) Out.push_back (R);
    return Out;
  }
  bool LogFull () { return B.M.Load<uint8_t> (Interface + 24) != 0; }
};

// Lays records of the given lengths (type 10h) into the flash from the
// area's start; returns where the next one would go.
inline uint64_t LayRecords (Board &B, const std::vector<uint8_t> &Lengths) {
  std::vector<uint8_t> Image;
  for (uint8_t L : Lengths) {
    std::vector<uint8_t> R (L, 0x5C);
    R[0] = 0x10, R[1] = L;
    Image.insert (Image.end (), R.begin (), R.end ());
  }
  EXPECT_TRUE (B.Flash.Program (kGpnvBase, Image));
  return kGpnvBase + Image.size ();
}
inline std::vector<uint8_t> Repeat (size_t Count, uint8_t Length) { return std::vector<uint8_t> (Count, Length); }
inline std::vector<uint8_t> LengthsSummingTo (uint64_t Total) {
  std::vector<uint8_t> Lengths (Total / 254, 254);
  if (Total % 254 != 0) Lengths.push_back (static_cast<uint8_t> (Total % 254));
  return Lengths;
}

// The 33-byte Type 15 structure Ledgermark adds, for a runtime copy at Copy.
inline std::vector<uint8_t> ExpectedType15 (uint16_t Handle, uint8_t Status, uint32_t Copy) {
  std::vector<uint8_t> S = {15, 31, static_cast<uint8_t> (Handle), static_cast<uint8_t> (Handle >> 8), 0xFF, 0xFF, 0, 0, 0, 0,
                            3, Status, 1, 0, 0, 0, static_cast<uint8_t> (Copy), static_cast<uint8_t> (Copy >> 8),
                            static_cast<uint8_t> (Copy >> 16), static_cast<uint8_t> (Copy >> 24),
                            0, 4, 2, 0x08, 0x04, 0x13, 0x00, 0x10, 0x00, 0x12, 0x00, 0, 0};
  return S;
}
inline uint32_t CopyAddress (const SmbiosRecord &R) {
  uint32_t A;
  std::memcpy (&A, R.Bytes.data () + 0x10, 4);
  return A;
}

// What dmidecode prints for the Type 15 structure Ledgermark adds.
inline std::string DecodedType15 (uint16_t Handle, uint32_t Copy, const char *Status) {
  char Text[1024];
  std::snprintf (Text, sizeof (Text),
                 "Handle 0x%04X, DMI type 15, 31 bytes\nSystem Event Log\n\tArea Length: 65535 bytes\n"
                 "\tHeader Start Offset: 0x0000\n\tData Start Offset: 0x0000\n"
                 "\tAccess Method: Memory-mapped physical 32-bit address\n\tAccess Address: 0x%08X\n"
                 "\tStatus: %s\n\tChange Token: 0x00000001\n\tHeader Format: No Header\n"
                 "\tSupported Log Type Descriptors: 4\n\tDescriptor 1: POST error\n\tData Format 1: POST results bitmap\n"
                 "\tDescriptor 2: Hard disk information\n\tData Format 2: None\n\tDescriptor 3: System limit exceeded\n"
                 "\tData Format 3: None\n\tDescriptor 4: System configuration information\n\tData Format 4: None\n",
                 Handle, Copy, Status);
  return Text;
}

// The next boot: the default boot of both drivers on the saved flash image;
// the platform installs the trigger once every driver has started.
inline void NextBoot (Board &B, const std::string &Flash) {
  ASSERT_TRUE (B.Flash.LoadIfPresent (Flash));
  for (const auto &R : B.DefaultBoot ({ModuleImage ("Tallyvault"), ModuleImage ("Ledgermark")})) {
    ASSERT_EQ (R.Status, efi::Success) << R.Image << "\n" << B.FaultReport ();
  }
  ASSERT_FALSE (B.M.Stopped ()) << B.FaultReport ();
  ASSERT_EQ (B.Smbios.OfType (15).size (), 1u);
}

inline void ExpectDmidecodeShows (Board &B, const char *Status) {
  TempFile Dump ("dmi");
  std::string Output;
  B.Smbios.WriteDump (Dump.Path);
  ASSERT_EQ (RunCommand ("dmidecode --from-dump " + Dump.Path + " -t 15", Output), 0) << Output;
  const SmbiosRecord &R = *B.Smbios.OfType (15)[0];
  EXPECT_NE (Output.find (DecodedType15 (R.Handle, CopyAddress (R), Status)), std::string::npos) << Output;
}

}  // namespace vboard::test
