// DXE dependency expressions (the DXE_DEPEX section of a driver) as the PI
// DXE dispatcher reads them: a postfix program of PUSH, AND, OR, NOT, TRUE,
// FALSE and END, optionally led by SOR, or a leading BEFORE/AFTER naming
// another file. Evaluation follows the DXE core's evaluator: END yields the
// top of the stack whatever lies under it, bytes after END are never read,
// a PUSH found true once is latched true for every later evaluation, and an
// expression that underflows, runs off its end or meets an unknown opcode is
// false.
#pragma once

#include "uefi/Types.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vboard {

namespace depex {
constexpr uint8_t Before = 0x00;
constexpr uint8_t After = 0x01;
constexpr uint8_t Push = 0x02;
constexpr uint8_t And = 0x03;
constexpr uint8_t Or = 0x04;
constexpr uint8_t Not = 0x05;
constexpr uint8_t True = 0x06;
constexpr uint8_t False = 0x07;
constexpr uint8_t End = 0x08;
constexpr uint8_t Sor = 0x09;
// What the DXE core rewrites a satisfied PUSH into: a PUSH of TRUE that
// still carries its GUID.
constexpr uint8_t ReplaceTrue = 0xFF;
}  // namespace depex

class Depex {
 public:
  explicit Depex (std::vector<uint8_t> Code);

  // False when the evaluator can never return true for the expression,
  // whatever is installed (Error () says why).
  bool Valid () const { return mError.empty (); }
  const std::string &Error () const { return mError; }
  std::optional<Guid> BeforeFile () const { return mBefore; }
  std::optional<Guid> AfterFile () const { return mAfter; }
  bool ScheduleOnRequest () const { return mSor; }
  // The protocol GUIDs the expression pushes, in order, without repeats.
  std::vector<Guid> Protocols () const;
  // Those of them neither latched true by an earlier evaluation nor
  // installed now.
  std::vector<Guid> Unsatisfied (const std::function<bool (const Guid &)> &Installed) const;

  // Evaluates the expression as the DXE core does when it scans for
  // drivers to schedule (SOR is a no-op here: the dispatcher handles it);
  // a malformed one, or BEFORE/AFTER, gives false. Every PUSH whose
  // protocol is installed is latched true for later evaluations.
  bool Evaluate (const std::function<bool (const Guid &)> &Installed);
  // "PUSH gA AND PUSH gB NOT ..." with names from NameOf.
  std::string Text (const std::function<std::string (const Guid &)> &NameOf) const;

 private:
  // The protocols the expression pushes, each once, in order, that Keep
  // accepts (given the PUSH opcode, which a satisfied PUSH latched over).
  std::vector<Guid> Collect (const std::function<bool (uint8_t Opcode, const Guid &)> &Keep) const;

  std::vector<uint8_t> mCode;
  std::string mError;
  std::optional<Guid> mBefore, mAfter;
  bool mSor = false;
};

}  // namespace vboard
