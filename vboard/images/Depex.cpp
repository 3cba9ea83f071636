#include "images/Depex.h"

#include <algorithm>

#include <cstring>

namespace vboard {

namespace {
Guid GuidAt (const std::vector<uint8_t> &Code, size_t Offset) {
  Guid G;
  std::memcpy (G.Bytes.data (), Code.data () + Offset, 16);
  return G;
}

bool IsPush (uint8_t Op) { return Op == depex::Push || Op == depex::ReplaceTrue; }
}  // namespace

Depex::Depex (std::vector<uint8_t> Code) : mCode (std::move (Code)) {
  // Walks the one path the evaluator takes (every opcode has a fixed
  // arity, so the stack depth at each opcode does not depend on what is
  // installed) and notes what would make it give false every time.
  if (mCode.empty ()) {
    mError = "empty expression";
    return;
  }
  if (mCode[0] == depex::Before || mCode[0] == depex::After) {
    // Only the GUID after the opcode counts; the dispatcher never
    // evaluates the rest.
    if (mCode.size () < 17) {
      mError = "BEFORE/AFTER without a whole GUID";
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
  for (;; Pc++) {
    if (Pc >= mCode.size ()) {
      mError = "no END";
      return;
    }
    switch (mCode[Pc]) {
      case depex::Push:
      case depex::ReplaceTrue:
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
        // The top of the stack is the result; values under it and bytes
        // after END do not matter.
        if (Depth < 1) mError = "END on an empty stack";
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
  }
}

std::vector<Guid> Depex::Collect (const std::function<bool (uint8_t Opcode, const Guid &)> &Keep) const {
  std::vector<Guid> Out;
  if (!Valid () || mBefore || mAfter) return Out;
  for (size_t Pc = mSor ? 1 : 0; Pc < mCode.size () && mCode[Pc] != depex::End; Pc++) {
    if (IsPush (mCode[Pc])) {
      Guid G = GuidAt (mCode, Pc + 1);
      if (std::find (Out.begin (), Out.end (), G) == Out.end () && Keep (mCode[Pc], G)) Out.push_back (G);
      Pc += 16;
    }
  }
  return Out;
}

std::vector<Guid> Depex::Protocols () const {
  return Collect ([] (uint8_t, const Guid &) { return true; });
}

std::vector<Guid> Depex::Unsatisfied (const std::function<bool (const Guid &)> &Installed) const {
  // A PUSH already latched TRUE waits for nothing any more.
  return Collect ([&Installed] (uint8_t Opcode, const Guid &G) { return Opcode == depex::Push && !Installed (G); });
}

bool Depex::Evaluate (const std::function<bool (const Guid &)> &Installed) {
  if (!Valid () || mBefore || mAfter) return false;
  std::vector<bool> Stack;
  for (size_t Pc = mSor ? 1 : 0; Pc < mCode.size (); Pc++) {
    switch (mCode[Pc]) {
      case depex::Push:
        if (Installed (GuidAt (mCode, Pc + 1))) {
          // Once found, a protocol counts as present for good, even if it
          // is uninstalled later.
          mCode[Pc] = depex::ReplaceTrue;
          Stack.push_back (true);
        } else {
          Stack.push_back (false);
        }
        Pc += 16;
        break;
      case depex::ReplaceTrue:
        Stack.push_back (true);
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
    Out += Op < 10 ? kNames[Op] : Op == depex::ReplaceTrue ? "PUSH" : "?" + std::to_string (Op);
    if ((IsPush (Op) || Op == depex::Before || Op == depex::After) && Pc + 16 < mCode.size ()) {
      Out += " " + NameOf (GuidAt (mCode, Pc + 1));
      Pc += 16;
    }
  }
  return Out;
}

}  // namespace vboard
