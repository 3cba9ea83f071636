// Helpers of the console-redirection tests: the policy record as its consumer
// reads it, SPCR byte comparisons, and iasl on a dumped table.
#pragma once

#include "board/PlatformAcpi.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

namespace vboard::test {

// CONSOLE_REDIRECTION_POLICY with natural alignment, as a separately built
// consumer reads it.
struct CrPolicy {
  uint8_t CrEnable, SerialPort, Parity, DataBits, StopBits, AuxSetting, TerminalType;
  uint64_t BaudRate;
  uint8_t DeviceType;
  uint64_t PortAddress;
  uint8_t Irq, PciBus, PciDevice, PciFunction, SpcrEnable, Reserved;
};
static_assert (sizeof (CrPolicy) == 40 && offsetof (CrPolicy, DeviceType) == 16 && offsetof (CrPolicy, SpcrEnable) == 36,
               "the policy layout of the interface");

inline auto Fields (const CrPolicy &P) {
  return std::make_tuple (+P.CrEnable, +P.SerialPort, +P.Parity, +P.DataBits, +P.StopBits, +P.AuxSetting, +P.TerminalType,
                          P.BaudRate, +P.DeviceType, P.PortAddress, +P.Irq, +P.PciBus, +P.PciDevice, +P.PciFunction,
                          +P.SpcrEnable, +P.Reserved);
}

inline CrPolicy ReadPolicy (Board &B, uint64_t Interface) {
  CrPolicy P;
  B.M.Read (Interface, &P, sizeof (P));
  return P;
}

// Publishes P as a producer would: a record in guest memory on a new handle.
inline void InstallPolicy (Board &B, const CrPolicy &P) {
  uint64_t Handle = 0;
  B.Fw.InstallProtocol (Handle, platform::kConsoleRedirectionPolicyProtocol, B.Fw.HostCopy (&P, sizeof (P)));
}

inline uint8_t Sum8 (const std::vector<uint8_t> &Bytes) {
  uint8_t S = 0;
  for (uint8_t B : Bytes) S = static_cast<uint8_t> (S + B);
  return S;
}

// Offset -> byte an update writes.
using ByteChanges = std::map<size_t, uint8_t>;
inline void Put64 (ByteChanges &C, size_t Offset, uint64_t Value) {
  for (size_t I = 0; I < 8; I++) C[Offset + I] = static_cast<uint8_t> (Value >> (8 * I));
}

// After must be Before with Changes (those inside the table) applied and a
// checksum that makes all its bytes sum to 0.
inline void ExpectPatched (const std::vector<uint8_t> &Before, const std::vector<uint8_t> &After, const ByteChanges &Changes) {
  ASSERT_EQ (After.size (), Before.size ());
  std::vector<uint8_t> Expected = Before;
  for (const auto &C : Changes) {
    if (C.first < Expected.size ()) Expected[C.first] = C.second;
  }
  Expected[platform::spcr::kChecksum] = After[platform::spcr::kChecksum];
  for (size_t I = 0; I < After.size (); I++) EXPECT_EQ (+After[I], +Expected[I]) << "SPCR byte " << I;
  EXPECT_EQ (Sum8 (After), 0) << "checksum over " << After.size () << " bytes";
}

inline std::string ReadText (const std::string &Path) {
  std::ifstream In (Path, std::ios::binary);
  std::ostringstream S;
  S << In.rdbuf ();
  return S.str ();
}

// Runs `iasl -d File` in Dir and returns the listing; a missing or failing
// iasl fails the test.
inline std::string Disassemble (const std::string &Dir, const std::string &File) {
  std::string Stem = File.substr (0, File.rfind ('.'));
  std::string Log = Dir + "/" + Stem + ".iasl.log";
  int Rc = std::system (("cd '" + Dir + "' && iasl -d '" + File + "' >'" + Log + "' 2>&1").c_str ());
  EXPECT_EQ (Rc, 0) << "iasl -d " << File << ": " << ReadText (Log);
  return Rc == 0 ? ReadText (Dir + "/" + Stem + ".dsl") : "";
}

}  // namespace vboard::test
