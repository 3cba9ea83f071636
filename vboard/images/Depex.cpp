#include "images/Depex.h"

#include <cstring>

namespace vboard {

namespace {
constexpr size_t kMaxStack = 64;

Guid GuidAt (const std::vector<uint8_t> &Code, size_t Offset) {
  Guid G;
  std::memcpy (G.Bytes.data (), Code.data () + Offset, 16);
  return G;
}
}  // namespace

Depex::Depex (std::vector<uint8_t> Code) : mCode (std::move (Code)) {
  // Structural checks, as the dispatcher makes them before evaluating:
  // BEFORE/AFTER stand alone (opcode, GUID, END); SOR only leads; every
  // opcode is known, PUSH has its GUID, the stack never underflows and the
  // program ends in END with one value left.
  if (mCode.empty ()) {
    mError = "empty expression";
    return;
  }
  if (mCode[0] == depex::Before || mCode[0] == depex::After) {
    if (mCode.size () != 18 || mCode[17] != depex::End) {
      mError = "BEFORE/AFTER must be followed by one GUID and END";
      return;
    }
    (mCode[0] == depex::Before ? mBefore : mAfter) = GuidAt (mCode, 1);
    return;
  }
  size_t Pc = 0;
  if (mCode[0] == depex::Sor) {
    mSor = true;
    Pc = 1;
  }
  size_t Depth = 0;
  for (; Pc < mCode.size (); Pc++) {
    switch (mCode[Pc]) {
      case depex::Push:
        if (Pc + 16 >= mCode.size ()) {
          mError = "PUSH without a whole GUID";
          return;
        }
        Pc += 16;
        Depth++;
        break;
      case depex::True:
      case depex::False:
        Depth++;
        break;
      case depex::Not:
        if (Depth < 1) {
          mError = "NOT on an empty stack";
          return;
        }
        break;
      case depex::And:
      case depex::Or:
        if (Depth < 2) {
          mError = "AND/OR with fewer than two operands";
          return;
        }
        Depth--;
        break;
      case depex::End:
        if (Pc + 1 != mCode.size ()) {
          mError = "END before the end of the section";
        } else if (Depth != 1) {
          mError = "END with " + std::to_string (Depth) + " values on the stack";
        }
        return;
      case depex::Before:
      case depex::After:
      case depex::Sor:
        mError = "BEFORE, AFTER or SOR inside an expression";
        return;
      default:
        mError = "unknown opcode " + std::to_string (mCode[Pc]);
        return;
    }
    if (Depth > kMaxStack) {
      mError = "expression stack too deep";
      return;
    }
  }
  mError = "no END";
}

std::vector<Guid> Depex::Protocols () const {
  std::vector<Guid> Out;
  if (!Valid () || mBefore || mAfter) return Out;
  for (size_t Pc = mSor ? 1 : 0; Pc < mCode.size (); Pc++) {
    if (mCode[Pc] == depex::Push) {
      Guid G = GuidAt (mCode, Pc + 1);
      bool Seen = false;
      for (const Guid &O : Out) Seen = Seen || O == G;
      if (!Seen) Out.push_back (G);
      Pc += 16;
    }
  }
  return Out;
}

bool Depex::Evaluate (const std::function<bool (const Guid &)> &Installed) const {
  if (!Valid () || mBefore || mAfter) return false;
  std::vector<bool> Stack;
  for (size_t Pc = mSor ? 1 : 0; Pc < mCode.size (); Pc++) {
    switch (mCode[Pc]) {
      case depex::Push:
        Stack.push_back (Installed (GuidAt (mCode, Pc + 1)));
        Pc += 16;
        break;
      case depex::True:
        Stack.push_back (true);
        break;
      case depex::False:
        Stack.push_back (false);
        break;
      case depex::Not:
        Stack.back () = !Stack.back ();
        break;
      case depex::And:
      case depex::Or: {
        bool Right = Stack.back ();
        Stack.pop_back ();
        Stack.back () = mCode[Pc] == depex::And ? (Stack.back () && Right) : (Stack.back () || Right);
        break;
      }
      case depex::End:
        return Stack.back ();
    }
  }
  return false;
}

std::string Depex::Text (const std::function<std::string (const Guid &)> &NameOf) const {
  static const char *const kNames[] = {"BEFORE", "AFTER", "PUSH", "AND", "OR", "NOT", "TRUE", "FALSE", "END", "SOR"};
  std::string Out;
  for (size_t Pc = 0; Pc < mCode.size (); Pc++) {
    uint8_t Op = mCode[Pc];
    if (!Out.empty ()) Out += " ";
    Out += Op < 10 ? kNames[Op] : "?" + std::to_string (Op);
    if ((Op == depex::Push || Op == depex::Before || Op == depex::After) && Pc + 16 < mCode.size ()) {
      Out += " " + NameOf (GuidAt (mCode, Pc + 1));
      Pc += 16;
    }
  }
  return Out;
}

}  // namespace vboard
