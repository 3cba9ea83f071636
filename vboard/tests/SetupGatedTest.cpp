// Gatewarden and Vfswitch started on their own: what each does with every
// state of SystemSetupConfig, seen in the protocol database, the PCD call
// log and the debug output.
#include "tests/TestSupport.h"
#include "uefi/GuidNames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

namespace vboard {
namespace {

using platform::kSystemSetupConfig;

std::vector<uint8_t> Record (size_t Size, std::map<size_t, uint8_t> Bytes) {
  std::vector<uint8_t> R (Size, 0);
  for (const auto &B : Bytes) R[B.first] = B.second;
  return R;
}

TEST (Gatewarden, UnreadableSetupOrNoPoolInstallsNothingAndFreesItsBuffer) {
  struct Case {
    const char *What;
    std::vector<uint8_t> Stored;   // empty: no variable
    bool NoPool;
  } Cases[] = {
      {"no variable", {}, false},
      {"record larger than 184 bytes", Record (185, {{64, 1}}), false},
      {"no pool", Record (184, {{64, 1}}), true},
      {"record ending before NetworkMode", Record (64, {}), false},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE (C.What);
    Board B;
    if (!C.Stored.empty ()) B.SetSetup (kSystemSetupConfig, C.Stored);
    if (C.NoPool) B.Fw.Pool.FailAfter (0);
    EXPECT_EQ (B.Run (test::ModuleImage ("Gatewarden")), efi::Success);
    EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
    for (const auto &P : B.Fw.Published) EXPECT_NE (P.Image, "Gatewarden") << names::NameOf (P.Protocol);
    EXPECT_EQ (B.UartText (), "");
    EXPECT_TRUE (B.Fw.Pool.Live ().empty ());
  }
}

TEST (Gatewarden, FailedUndiInstallHaltsTheDebugBuildAfterTheOtherInstalls) {
  Board B;
  B.SetSetup (kSystemSetupConfig, Record (184, {{64, 1}, {65, 1}}));
  const Guid Undi = names::Named ("gNetworkUndiDepexProtocolGuid");
  B.Fw.FailInstallProtocol[names::Named ("gNetworkMode1DepexProtocolGuid")] = efi::OutOfResources;
  B.Fw.FailInstallProtocol[Undi] = efi::OutOfResources;
  B.Run (test::ModuleImage ("Gatewarden"));
  // The mode marker's failure is passed over; option A still goes in.
  ASSERT_EQ (B.Fw.Published.size (), 1u);
  EXPECT_EQ (B.Fw.Published[0].Protocol, names::Named ("gNetworkOptionADepexProtocolGuid"));
  ASSERT_TRUE (B.M.Faulted ());
  EXPECT_EQ (B.FaultModule (), "Gatewarden");
  EXPECT_NE (B.UartText ().find ("ASSERT_EFI_ERROR (Status = Out of Resources)"), std::string::npos) << B.UartText ();
  EXPECT_EQ (B.UartText ().find ("install\r\n"), std::string::npos);
}

uint64_t RunVfswitch (Board &B) {
  uint64_t Status = B.Run (test::ModuleImage ("Vfswitch"));
  EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
  return Status;
}

// The local token numbers the package build gave Vfswitch's PCDs, read
// from the module's AutoGen.h ("#define _PCD_TOKEN_<Name>  <N>U"): number to
// name, independent of how the board binds them.
std::map<uint64_t, std::string> BuildTokens () {
  std::ifstream In (std::string (ASFP_DEBUG_IMAGES) + "/ArmServerFeaturePkg/Platform/Vfswitch/Vfswitch/DEBUG/AutoGen.h");
  EXPECT_TRUE (In.good ()) << "Vfswitch's AutoGen.h";
  std::map<uint64_t, std::string> Tokens;
  const std::string Prefix = "#define _PCD_TOKEN_";
  for (std::string Line; std::getline (In, Line);) {
    if (Line.rfind (Prefix, 0) != 0) continue;
    std::istringstream Fields (Line.substr (Prefix.size ()));
    std::string Name, Number;
    Fields >> Name >> Number;
    if (Name.rfind ("PcdSrIov", 0) == 0) Tokens[std::stoull (Number, nullptr, 0)] = Name;
  }
  EXPECT_EQ (Tokens.size (), 3u);
  return Tokens;
}

// The PCD writes Vfswitch made, in order, named by the token the image
// passed and the build's numbering; the board must name them alike.
std::vector<std::pair<std::string, uint64_t>> Writes (Board &B) {
  static const std::map<uint64_t, std::string> Tokens = BuildTokens ();
  std::vector<std::pair<std::string, uint64_t>> W;
  for (const auto &S : B.Fw.PcdSets ()) {
    EXPECT_FALSE (S.Space.has_value ());
    auto Named = Tokens.find (S.Token);
    std::string Name = Named == Tokens.end () ? "token " + std::to_string (S.Token) : Named->second;
    EXPECT_EQ (S.Name, Name) << "the board's name for token " << S.Token;
    W.push_back ({Name, S.Value});
  }
  return W;
}

TEST (Vfswitch, SetupSwitchesSrIovAndTheWritesComeInOrder) {
  using W = std::vector<std::pair<std::string, uint64_t>>;
  const W On = {{"PcdSrIovEnable", 1}, {"PcdSrIovPlatformFlag", 0}, {"PcdSrIovPlatformValue", 16}};
  const W Off = {{"PcdSrIovEnable", 0}, {"PcdSrIovPlatformFlag", 0}};
  struct Case {
    const char *What;
    std::vector<uint8_t> Stored;
    W Expected;
  } Cases[] = {
      {"SrIovEnable 0", Record (184, {{125, 0}}), Off},
      {"SrIovEnable 1", Record (184, {{125, 1}}), On},
      {"SrIovEnable 0xFF", Record (184, {{125, 0xFF}}), On},
      {"no variable", {}, On},
      {"record of 126 bytes, SrIovEnable 0", Record (126, {{125, 0}}), Off},
      {"record of 125 bytes: no stored choice", Record (125, {}), On},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE (C.What);
    Board B;
    if (!C.Stored.empty ()) B.SetSetup (kSystemSetupConfig, C.Stored);
    EXPECT_EQ (RunVfswitch (B), efi::Success);
    EXPECT_EQ (Writes (B), C.Expected);
    EXPECT_EQ (B.Fw.LocalPcd ("PcdSrIovEnable")->Value, C.Expected[0].second);
    // Off leaves the value PCD as the platform had it.
    EXPECT_EQ (B.Fw.LocalPcd ("PcdSrIovPlatformValue")->Value, C.Expected.size () == 3 ? 16u : 0u);
    EXPECT_EQ (B.Fw.ImageNamed ("Vfswitch")->Unloaded, false);
  }
}

TEST (Vfswitch, AnyNonzeroSrIovEnableReadsBackAsTrueThroughThePcdProtocol) {
  // The PCD database keeps a BOOLEAN's byte as written, so what a consumer
  // reads is what Vfswitch wrote: TRUE (1), not the setup byte 0xFF.
  Board B;
  B.SetSetup (kSystemSetupConfig, Record (184, {{125, 0xFF}}));
  EXPECT_EQ (RunVfswitch (B), efi::Success);
  uint64_t Pcd = *B.Fw.FindProtocol (guids::PcdProtocol);
  auto Token = B.Fw.LocalToken ("PcdSrIovEnable");
  ASSERT_TRUE (Token.has_value ());
  constexpr unsigned kGetBool = 6, kGet8 = 1;
  EXPECT_EQ (B.M.Call (B.M.Load<uint64_t> (Pcd + 8 * kGetBool), {*Token}) & 0xFF, 1u);
  EXPECT_EQ (B.M.Call (B.M.Load<uint64_t> (Pcd + 8 * kGet8), {*Token}) & 0xFF, 1u);
  EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
}

TEST (Vfswitch, PcdSetCallbacksSeeEachWriteBeforeItIsStored) {
  // EDK II's PCD driver calls every function registered with CallbackOnSet
  // for the PCD, with "(Guid == NULL) ? TokenNumber : ExTokenNumber" and the
  // caller's data, before SetWorker stores it; a function is registered
  // once; CancelCallback of one that is not registered "return
  // EFI_INVALID_PARAMETER".
  Board B;
  B.SetSetup (kSystemSetupConfig, Record (184, {{125, 0xFF}}));
  ImageRecord &Image = B.Load (test::ModuleImage ("Vfswitch"));   // binds the build's tokens
  uint64_t Pcd = *B.Fw.FindProtocol (guids::PcdProtocol);
  auto Member = [&] (unsigned Slot) { return B.M.Load<uint64_t> (Pcd + 8 * Slot); };
  constexpr unsigned kCallbackOnSet = 27, kCancelCallback = 28;
  struct Seen {
    uint64_t Space, Token, Value, Size, Stored;
    bool operator== (const Seen &O) const {
      return Space == O.Space && Token == O.Token && Value == O.Value && Size == O.Size && Stored == O.Stored;
    }
  };
  std::vector<Seen> Calls;
  uint64_t Fn = B.M.AddTrap ("PCD set callback", [&] (CallArgs &A) -> uint64_t {
    uint64_t Value = 0;
    B.M.Read (A[2], &Value, std::min<uint64_t> (A[3], 8));
    Calls.push_back ({A[0], A[1], Value, A[3], B.Fw.FindPcd (std::nullopt, A[1])->Value});
    return 0;
  });
  const uint64_t Enable = *B.Fw.LocalToken ("PcdSrIovEnable"), Value = *B.Fw.LocalToken ("PcdSrIovPlatformValue");
  EXPECT_EQ (B.Fw.CallGuest (Member (kCallbackOnSet), {0, Enable, Fn}), efi::Success);
  EXPECT_EQ (B.Fw.CallGuest (Member (kCallbackOnSet), {0, Enable, Fn}), efi::Success);   // still once
  EXPECT_EQ (B.Fw.CallGuest (Member (kCallbackOnSet), {0, Value, Fn}), efi::Success);
  EXPECT_EQ (B.Fw.CallGuest (Member (kCallbackOnSet), {0, Value, 0}), efi::InvalidParameter);
  EXPECT_EQ (B.Fw.StartImage (Image), efi::Success);
  ASSERT_FALSE (B.M.Faulted ()) << B.FaultReport ();
  // The switch as TRUE over the platform's FALSE, the value 16 over 0; the
  // flag has no callback.
  EXPECT_EQ (Calls, (std::vector<Seen>{{0, Enable, 1, 1, 0}, {0, Value, 16, 4, 0}}));
  EXPECT_EQ (B.Fw.LocalPcd ("PcdSrIovPlatformValue")->Value, 16u);
  EXPECT_EQ (B.Fw.CallGuest (Member (kCancelCallback), {0, Value, Fn}), efi::Success);
  EXPECT_EQ (B.Fw.CallGuest (Member (kCancelCallback), {0, Value, Fn}), efi::InvalidParameter);
  EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
}

TEST (Vfswitch, UnreadableSetupWritesNothingAndUnloads) {
  Board B;
  B.SetSetup (kSystemSetupConfig, Record (200, {{125, 1}}));
  EXPECT_EQ (RunVfswitch (B), efi::BufferTooSmall);
  EXPECT_TRUE (B.Fw.PcdSets ().empty ());
  EXPECT_TRUE (B.Fw.ImageNamed ("Vfswitch")->Unloaded);
  EXPECT_EQ (B.Fw.LocalPcd ("PcdSrIovPlatformFlag")->Value, 1u);

  Board Other;
  Other.Fw.FailGetVariable[u"SystemSetupConfig"] = efi::DeviceError;
  EXPECT_EQ (Other.Run (test::ModuleImage ("Vfswitch")), efi::DeviceError);
  EXPECT_TRUE (Other.Fw.PcdSets ().empty ());
}

TEST (Vfswitch, TokensComeFromTheBuildNotFromAnotherPlatform) {
  // The build of this package numbers its dynamic PCDs its own way; the
  // board binds each name to the number the image's build assigned, and a
  // write lands on the PCD of that name, whatever the number.
  // The image passes the build's number, and the value lands on the PCD
  // that number names, whatever the board's own order of PCDs.
  Board B;
  B.SetSetup (kSystemSetupConfig, Record (184, {{125, 1}}));
  RunVfswitch (B);
  ASSERT_FALSE (B.Fw.PcdSets ().empty ());
  const PcdSet &First = B.Fw.PcdSets ()[0];
  uint64_t Token = 0;
  for (const auto &T : BuildTokens ()) {
    if (T.second == "PcdSrIovEnable") Token = T.first;
  }
  EXPECT_EQ (First.Token, Token);
  EXPECT_NE (First.Token, 46u) << "the reference platform's number reached this build";
  EXPECT_EQ (First.Value, 1u);
  // What each PCD holds afterwards, read by name from the platform database.
  EXPECT_EQ (B.Fw.LocalPcd ("PcdSrIovEnable")->Value, 1u);
  EXPECT_EQ (B.Fw.LocalPcd ("PcdSrIovPlatformFlag")->Value, 0u);
  EXPECT_EQ (B.Fw.LocalPcd ("PcdSrIovPlatformValue")->Value, 16u);
}

}  // namespace
}  // namespace vboard
