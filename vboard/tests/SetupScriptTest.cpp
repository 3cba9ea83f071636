// scripts/deb-src-entries.sh, which set-up uses to add the deb-src entry for
// `apt-get source edk2`: derived from the machine's own deb entries in both
// of apt's formats, never from a built-in archive host.
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace vboard {
namespace {

namespace fs = std::filesystem;

class DebSrcEntries : public ::testing::Test {
 protected:
  fs::path Root = fs::path (::testing::TempDir ()) / ("debsrc." + std::to_string (::getpid ()));
  fs::path Etc = Root / "etc", Out = Root / "out";

  void SetUp () override {
    fs::remove_all (Root);
    fs::create_directories (Etc / "sources.list.d");
  }
  void TearDown () override { fs::remove_all (Root); }
  void Write (const fs::path &P, const std::string &Text) { std::ofstream (P) << Text; }
  std::string Read (const fs::path &P) {
    std::ifstream In (P);
    std::stringstream S;
    S << In.rdbuf ();
    return S.str ();
  }
  int Run (std::string &Output) {
    std::string Script = std::string (ASFP_PACKAGE_DIR) + "/../scripts/deb-src-entries.sh";
    int Status = RunCommandStatus ("bash " + Script + " " + Etc.string () + " " + Out.string (), Output);
    return Status;
  }
  static int RunCommandStatus (const std::string &Command, std::string &Output) {
    int Raw = test::RunCommand (Command, Output);
    return WIFEXITED (Raw) ? WEXITSTATUS (Raw) : -1;
  }
};

TEST_F (DebSrcEntries, FollowsTheConfiguredMirrorInBothFormats) {
  Write (Etc / "sources.list",
         "# a comment\n"
         "deb [arch=arm64 signed-by=/k/mirror.gpg] http://mirror.test/debian bookworm main contrib\n");
  Write (Etc / "sources.list.d" / "proxy.sources",
         "Types: deb\n"
         "# the proxy\n"
         "URIs: http://proxy.test:3142/debian\n"
         "Suites: bookworm bookworm-updates\n"
         "Components: main\n"
         "Signed-By: /k/debian.gpg\n"
         "\n"
         "Types: deb\n"
         "URIs: http://off.test/debian\n"
         "Suites: bookworm\n"
         "Components: main\n"
         "Enabled: no\n");
  std::string Output;
  ASSERT_EQ (Run (Output), 0) << Output;
  EXPECT_EQ (Read (Out / "asfp-deb-src.list"),
             "deb-src [arch=arm64 signed-by=/k/mirror.gpg] http://mirror.test/debian bookworm main contrib\n");
  EXPECT_EQ (Read (Out / "asfp-deb-src.sources"),
             "Types: deb-src\n"
             "URIs: http://proxy.test:3142/debian\n"
             "Suites: bookworm bookworm-updates\n"
             "Components: main\n"
             "Signed-By: /k/debian.gpg\n");
}

TEST_F (DebSrcEntries, ExistingSourceEntriesOrNoEntriesAtAll) {
  std::string Output;
  // Nothing configured: a clear failure, nothing written.
  EXPECT_EQ (Run (Output), 1);
  EXPECT_NE (Output.find ("no deb entry"), std::string::npos) << Output;
  EXPECT_FALSE (fs::exists (Out / "asfp-deb-src.sources"));
  EXPECT_FALSE (fs::exists (Out / "asfp-deb-src.list"));

  // A deb-src stanza already there: left alone.
  Write (Etc / "sources.list.d" / "debian.sources",
         "Types: deb deb-src\nURIs: http://mirror.test/debian\nSuites: bookworm\nComponents: main\n");
  EXPECT_EQ (Run (Output), 2) << Output;
  EXPECT_FALSE (fs::exists (Out / "asfp-deb-src.sources"));
}

}  // namespace
}  // namespace vboard
