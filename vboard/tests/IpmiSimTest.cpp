// The IPMI drivers against a BMC nobody here wrote: OpenIPMI's ipmi_sim,
// started by the test on loopback ports, reached by the board's IPMI
// transport over its serial "VM" interface and inspected with ipmitool over
// its LAN interface. Also the VM codec itself, on bytes ipmi_sim sent.
#include "board/IpmiVmTransport.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <regex>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vboard {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// --- the VM codec ---------------------------------------------------------

TEST (IpmiVmCodec, RequestFramingEscapesEveryReservedByteAndTheChecksum) {
  // Data bytes A0 A1 AA must be escaped; this request's checksum is A1 too.
  std::vector<uint8_t> Want = {0x05, 0x28, 0x47, 0xAA, 0xB0, 0xAA, 0xB1, 0xAA, 0xBA, 0x00, 0xAA, 0xB1, 0xA0};
  EXPECT_EQ (vmcodec::EncodeRequest (0x05, 0x0A, 0, 0x47, {0xA0, 0xA1, 0xAA, 0x00}), Want);
  // LUN in bits 1..0 of the netfn byte; an empty request is seq, netfn, cmd, checksum.
  EXPECT_EQ (vmcodec::EncodeRequest (0x01, 0x00, 3, 0x06, {}), (std::vector<uint8_t>{0x01, 0x03, 0x06, 0xF6, 0xA0}));
  EXPECT_EQ (vmcodec::EncodeHwOp ({0xFF, 0x01}), (std::vector<uint8_t>{0xFF, 0x01, 0xA1}));
}

TEST (IpmiVmCodec, DecoderSplitsWhatIpmiSimSends) {
  // As captured from ipmi_sim: version and no-attention operations, then the
  // Reserve SEL response (seq 2, netfn 0x0B, cmd 0x42, cc 0, ID 0x0001),
  // arriving in pieces; the last frame has an escaped byte split across reads.
  const uint8_t Stream[] = {0xFF, 0x01, 0xA1, 0x00, 0xA1, 0x02, 0x2C, 0x42, 0x00, 0x01, 0x00, 0x8F, 0xA0,
                            0x03, 0x2C, 0x47, 0x00, 0xAA};
  const uint8_t Tail[] = {0xB1, 0xE9, 0xA0};   // data byte A1, checksum E9
  vmcodec::Decoder D;
  D.Feed (Stream, 4);
  D.Feed (Stream + 4, sizeof (Stream) - 4);
  std::vector<vmcodec::Frame> Frames;
  while (auto F = D.Next ()) Frames.push_back (*F);
  ASSERT_EQ (Frames.size (), 3u) << "the escape must carry over to the next read";
  D.Feed (Tail, sizeof (Tail));
  Frames.push_back (*D.Next ());

  EXPECT_TRUE (Frames[0].HwOp);
  EXPECT_EQ (Frames[0].Bytes, (std::vector<uint8_t>{0xFF, 0x01}));
  EXPECT_TRUE (Frames[1].HwOp);
  auto R = vmcodec::ParseResponse (Frames[2].Bytes);
  ASSERT_TRUE (R.has_value ());
  EXPECT_EQ (R->Seq, 2);
  EXPECT_EQ (R->NetFn, 0x0B);
  EXPECT_EQ (R->Cmd, 0x42);
  EXPECT_EQ (R->CompletionCode, 0);
  EXPECT_EQ (R->Data, (std::vector<uint8_t>{0x01, 0x00}));
  auto Escaped = vmcodec::ParseResponse (Frames[3].Bytes);
  ASSERT_TRUE (Escaped.has_value ());
  EXPECT_EQ (Escaped->Data, (std::vector<uint8_t>{0xA1}));

  // A damaged checksum, or a message too short to hold a completion code.
  std::vector<uint8_t> Bad = Frames[2].Bytes;
  Bad[4] ^= 0x01;
  EXPECT_FALSE (vmcodec::ParseResponse (Bad).has_value ());
  EXPECT_FALSE (vmcodec::ParseResponse ({0x02, 0x2C, 0x42, 0x90}).has_value ());
}

// --- ipmi_sim ---------------------------------------------------------------

// A free loopback port of the given socket type (the kernel's choice).
uint16_t FreePort (int Type) {
  int Fd = ::socket (AF_INET, Type, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
  socklen_t Len = sizeof (A);
  uint16_t Port = 0;
  if (Fd >= 0 && ::bind (Fd, reinterpret_cast<sockaddr *> (&A), sizeof (A)) == 0 &&
      ::getsockname (Fd, reinterpret_cast<sockaddr *> (&A), &Len) == 0) {
    Port = ntohs (A.sin_port);
  }
  if (Fd >= 0) ::close (Fd);
  return Port;
}

std::string ReadFile (const fs::path &P) {
  std::ifstream In (P);
  std::stringstream S;
  S << In.rdbuf ();
  return S.str ();
}

// One ipmi_sim process with its own configuration and state directory.
class IpmiSim {
 public:
  ~IpmiSim () { Stop (); }

  ::testing::AssertionResult Start () {
    std::string Why;
    for (int Attempt = 0; Attempt < 3; Attempt++) {   // a port taken meanwhile: try others
      if (StartOnce (Why)) return ::testing::AssertionSuccess ();
      Stop ();
    }
    return ::testing::AssertionFailure () << "ipmi_sim did not come up: " << Why;
  }

  void Stop () {
    if (mPid > 0) {
      ::kill (mPid, SIGTERM);
      auto Deadline = std::chrono::steady_clock::now () + 3s;
      while (::waitpid (mPid, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now () > Deadline) {
          ::kill (mPid, SIGKILL);
          ::waitpid (mPid, nullptr, 0);
          break;
        }
        std::this_thread::sleep_for (20ms);
      }
      mPid = -1;
    }
    if (!Dir.empty ()) {
      std::error_code Ignored;
      fs::remove_all (Dir, Ignored);
      Dir.clear ();
    }
  }

  // ipmitool over the LAN interface, bounded in time; stdout and stderr in Output.
  int Ipmitool (const std::string &Args, std::string &Output) {
    std::string Command = "timeout -k 2 20 ipmitool -I lan -H 127.0.0.1 -p " + std::to_string (LanPort) +
                          " -U vboard -P vboard-test -N 1 -R 3 " + Args + " 2>&1";
    Output.clear ();
    FILE *P = ::popen (Command.c_str (), "r");
    if (P == nullptr) return -1;
    char Buf[512];
    size_t N;
    while ((N = std::fread (Buf, 1, sizeof (Buf), P)) > 0) Output.append (Buf, N);
    int Status = ::pclose (P);
    return WIFEXITED (Status) ? WEXITSTATUS (Status) : -1;
  }
  std::string Ipmitool (const std::string &Args) {
    std::string Out;
    int Rc = Ipmitool (Args, Out);
    EXPECT_EQ (Rc, 0) << "ipmitool " << Args << ":\n" << Out;
    return Out;
  }

  uint16_t LanPort = 0, SerialPort = 0;
  std::string Dir;

 private:
  bool StartOnce (std::string &Why) {
    char Template[] = "/tmp/vboard-ipmisim-XXXXXX";
    if (::mkdtemp (Template) == nullptr) {
      Why = "mkdtemp failed";
      return false;
    }
    Dir = Template;
    fs::create_directory (fs::path (Dir) / "state");
    LanPort = FreePort (SOCK_DGRAM);
    SerialPort = FreePort (SOCK_STREAM);
    std::string Conf = ReadFile (fs::path (ASFP_IPMI_SIM_DIR) / "lan.conf");
    for (auto [Key, Value] : {std::pair<std::string, std::string>{"@LAN_PORT@", std::to_string (LanPort)},
                              {"@SERIAL_PORT@", std::to_string (SerialPort)},
                              {"@POWER_RESTORE_MODULE@", ASFP_IPMI_SIM_MODULE}}) {
      for (size_t At; (At = Conf.find (Key)) != std::string::npos;) Conf.replace (At, Key.size (), Value);
    }
    std::ofstream (fs::path (Dir) / "lan.conf") << Conf;
    std::string ConfPath = Dir + "/lan.conf", Emu = std::string (ASFP_IPMI_SIM_DIR) + "/bmc.emu";
    std::string State = Dir + "/state", Log = Dir + "/ipmi_sim.log";

    pid_t Parent = ::getpid ();
    mPid = ::fork ();
    if (mPid == 0) {
      // The simulator must not outlive the test process.
      ::prctl (PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid () != Parent) ::_exit (127);
      int Fd = ::open (Log.c_str (), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (Fd >= 0) {
        ::dup2 (Fd, 1);
        ::dup2 (Fd, 2);
      }
      ::execlp ("ipmi_sim", "ipmi_sim", "-c", ConfPath.c_str (), "-f", Emu.c_str (), "-s", State.c_str (), "-n",
                static_cast<char *> (nullptr));
      ::_exit (127);
    }
    if (mPid < 0) {
      Why = "fork failed";
      return false;
    }
    auto Deadline = std::chrono::steady_clock::now () + 20s;
    while (std::chrono::steady_clock::now () < Deadline) {
      if (::waitpid (mPid, nullptr, WNOHANG) == mPid) {
        mPid = -1;
        Why = "ipmi_sim exited: " + ReadFile (Log);
        return false;
      }
      std::string Out;
      if (Ipmitool ("mc info", Out) == 0) return true;
      Why = "no answer on the LAN port: " + Out;
      std::this_thread::sleep_for (100ms);
    }
    return false;
  }

  pid_t mPid = -1;
};

// One boot of the IPMI drivers on a fresh board whose transport talks to ipmi_sim.
struct SimBoot {
  Board B;
  IpmiVmTransport Link;
  IpmiTransport Transport{B.Fw, Link};

  ::testing::AssertionResult Connect (const IpmiSim &Sim) {
    B.Ipmi.Uninstall ();
    std::string Why;
    if (!Link.Connect ("127.0.0.1", Sim.SerialPort, 10000, &Why)) return ::testing::AssertionFailure () << Why;
    Transport.Install ();
    return ::testing::AssertionSuccess ();
  }
  size_t Sent (uint8_t NetFn, uint8_t Cmd) const {
    size_t N = 0;
    for (const IpmiSent &S : Transport.Sent) N += S.NetFn == NetFn && S.Cmd == Cmd;
    return N;
  }
};

class IpmiSimTest : public ::testing::Test {
 protected:
  IpmiSim Sim;

  void SetUp () override { ASSERT_TRUE (Sim.Start ()); }

  int SelEntries () {
    std::smatch M;
    std::string Info = Sim.Ipmitool ("sel info");
    if (!std::regex_search (Info, M, std::regex ("Entries +: ([0-9]+)"))) {
      ADD_FAILURE () << "no entry count in:\n" << Info;
      return -1;
    }
    return std::stoi (M[1]);
  }
  std::string RestorePolicy () {
    std::smatch M;
    std::string Status = Sim.Ipmitool ("chassis status");
    return std::regex_search (Status, M, std::regex ("Power Restore Policy +: ([a-z-]+)")) ? M[1].str () : Status;
  }
  // A system event record (record type 0x02) as Add SEL Entry takes it.
  void AddSelEntry (int N) {
    Sim.Ipmitool ("raw 0x0a 0x44 0x00 0x00 0x02 0x00 0x00 0x00 0x00 0x20 0x00 0x04 0x01 " + std::to_string (N) +
                  " 0x6f 0x01 0xff 0xff");
  }
};

TEST_F (IpmiSimTest, SelEraseRequestIsDoneOnceAndThePolicyReachesTheBmc) {
  for (int I = 1; I <= 3; I++) AddSelEntry (I);
  ASSERT_EQ (SelEntries (), 3);
  ASSERT_EQ (RestorePolicy (), "always-off");

  std::vector<std::string> Images = {test::ModuleImage ("Logsweep"), test::ModuleImage ("Mainsrestore")};
  std::vector<uint8_t> IpmiSetup (432, 0), SystemSetup (184, 0);
  IpmiSetup[428] = 1;   // SelEnable
  IpmiSetup[429] = 1;   // EraseSel: once
  SystemSetup[128] = 3; // always power up

  auto First = std::make_unique<SimBoot> ();
  ASSERT_TRUE (First->Connect (Sim));
  First->B.SetSetup (platform::kIpmiSetupData, IpmiSetup);
  First->B.SetSetup (platform::kSystemSetupConfig, SystemSetup);
  for (const auto &R : First->B.DefaultBoot (Images)) {
    EXPECT_EQ (R.Status, efi::Success) << R.Image << "\n" << First->B.FaultReport ();
  }
  EXPECT_NE (First->B.UartText ().find ("DXE: SEL Cleared\r\n"), std::string::npos) << First->B.UartText ();
  EXPECT_NE (First->B.UartText ().find ("Set Power restore policy=0x2 ,Success\r\n"), std::string::npos);
  EXPECT_EQ (First->Sent (ipmi::NetFnStorage, ipmi::CmdReserveSel), 1u) << "ipmi_sim advertises Reserve SEL";
  EXPECT_EQ (SelEntries (), 0);
  EXPECT_EQ (RestorePolicy (), "always-on");
  std::vector<uint8_t> Consumed = First->B.Setup (platform::kIpmiSetupData);
  ASSERT_EQ (Consumed.size (), 432u);
  EXPECT_EQ (Consumed[429], 0);
  First.reset ();

  // Next boot with the stored variables: no erase, the new entry survives.
  AddSelEntry (4);
  SystemSetup[128] = 2; // restore the previous state
  auto Second = std::make_unique<SimBoot> ();
  ASSERT_TRUE (Second->Connect (Sim));
  Second->B.SetSetup (platform::kIpmiSetupData, Consumed);
  Second->B.SetSetup (platform::kSystemSetupConfig, SystemSetup);
  for (const auto &R : Second->B.DefaultBoot (Images)) {
    EXPECT_EQ (R.Status, efi::Success) << R.Image << "\n" << Second->B.FaultReport ();
  }
  EXPECT_EQ (Second->Sent (ipmi::NetFnStorage, ipmi::CmdClearSel), 0u);
  EXPECT_EQ (SelEntries (), 1);
  EXPECT_EQ (RestorePolicy (), "previous");
  EXPECT_EQ (Second->Link.Discarded, 0u) << "every response matched its request";
}

}  // namespace
}  // namespace vboard
