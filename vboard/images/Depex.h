// DXE dependency expressions (the DXE_DEPEX section of a driver) as the PI
// DXE dispatcher reads them: a postfix program of PUSH, AND, OR, NOT, TRUE,
// FALSE and END, optionally led by SOR, or a lone BEFORE/AFTER naming
// another file. A malformed expression is never satisfied.
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
}  // namespace depex

class Depex {
 public:
  explicit Depex (std::vector<uint8_t> Code);

  bool Valid () const { return mError.empty (); }
  const std::string &Error () const { return mError; }     // why it is malformed
  std::optional<Guid> BeforeFile () const { return mBefore; }
  std::optional<Guid> AfterFile () const { return mAfter; }
  bool ScheduleOnRequest () const { return mSor; }
  // The protocol GUIDs the expression pushes, in order, without repeats.
  std::vector<Guid> Protocols () const;

  // Evaluates the expression (SOR is a no-op here: the dispatcher handles
  // it); a malformed one, or BEFORE/AFTER, gives false.
  bool Evaluate (const std::function<bool (const Guid &)> &Installed) const;
  // "PUSH gA AND PUSH gB NOT ..." with names from NameOf.
  std::string Text (const std::function<std::string (const Guid &)> &NameOf) const;

 private:
  std::vector<uint8_t> mCode;
  std::string mError;
  std::optional<Guid> mBefore, mAfter;
  bool mSor = false;
};

}  // namespace vboard
