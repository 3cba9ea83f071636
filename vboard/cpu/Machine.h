// The emulated AArch64 CPU and the guest physical address space.
//
// Guest code runs on Unicorn. Host services are reached through "traps":
// addresses in a page of RET instructions; executing one stops the emulator,
// and the host loop (never a hook) runs the service. A service may itself
// call guest code (an event notify function, a protocol callback): that is a
// new Call() from the host loop with the CPU context saved and restored, so
// uc_emu_start is never nested.
//
// Translating guest code is about half of what a boot costs, and a process
// (the fuzzer, the test suite) builds board after board running the same
// images at the same addresses. So a machine that ends leaves its engine,
// with the code translated and the RAM regions it had mapped, to the next
// machine of the process. Nothing of one machine shows in the next: the CPU
// starts from its power-on state, every region reads zero when mapped
// again, a region the new machine has not mapped faults as unmapped, and
// code translated from bytes that are no longer there is dropped before the
// guest runs (see CheckTranslatedCode).
#pragma once

#include "cpu/HostMemory.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct uc_struct;

namespace vboard {

class Machine;
class ProtectBatch;

// A memory-mapped device: 32-bit (or narrower) register reads and writes.
class MmioDevice {
 public:
  virtual ~MmioDevice () = default;
  virtual uint64_t Read (uint64_t Offset, unsigned Size) = 0;
  virtual void Write (uint64_t Offset, unsigned Size, uint64_t Value) = 0;
};

enum class FaultKind {
  None,
  UnmappedRead,
  UnmappedWrite,
  UnmappedFetch,
  ProtectedWrite,
  DeadLoop,
  BudgetExhausted,
  Assertion,
  ServiceMisuse,      // a host service was called in a way that would corrupt a real firmware
  DeviceMisuse,       // a device register accessed in a way the hardware does not allow
  Unimplemented,      // a host service this board does not provide
  CpuException,
};

const char *FaultKindName (FaultKind Kind);

struct Fault {
  FaultKind Kind = FaultKind::None;
  uint64_t Address = 0;   // faulting data address, where there is one
  uint64_t Pc = 0;
  uint64_t Lr = 0;
  std::string Detail;     // what went wrong, in words
  std::vector<uint64_t> Frames;   // return addresses from the frame-record chain (x29)
};

// Arguments of a trapped call, AAPCS64: x0-x7, then 8-byte stack slots.
class CallArgs {
 public:
  CallArgs (Machine &M) : mMachine (M) {}
  uint64_t operator[] (unsigned Index) const;
  uint64_t Caller () const;       // return address of the call
 private:
  Machine &mMachine;
};

using TrapHandler = std::function<uint64_t (CallArgs &)>;

class Machine {
 public:
  static constexpr uint64_t kTrapBase = 0x0D000000;
  static constexpr uint64_t kTrapPageSize = 0x10000;
  static constexpr uint64_t kStackBase = 0x0F000000;
  static constexpr uint64_t kStackSize = 0x00100000;

  Machine ();
  ~Machine ();
  // Whether machines of this process take over the engine of one that
  // ended (the default; ASFP_FRESH_ENGINE=1 in the environment turns it
  // off). Off, every machine opens an engine of its own.
  static void SetEngineReuse (bool Reuse);
  static bool EngineReuse ();
  // Pages of regions taken over from an earlier machine (or mapped again
  // after Retire) that held the same bytes again, keeping whatever code had
  // been translated from them; counted in this process.
  static uint64_t CodePagesKept ();
  Machine (const Machine &) = delete;
  Machine &operator= (const Machine &) = delete;

  // Address space.
  void MapRam (uint64_t Address, uint64_t Size, bool Writable = true, bool Executable = true);
  // Memory that reads Fill until written, backed by a host mapping that
  // shares one image of the fill and copies a page only when it is first
  // written: an erased 16 MiB flash costs nothing until it is programmed.
  void MapFilled (uint64_t Address, uint64_t Size, uint8_t Fill, bool Writable, bool Executable);
  void MapDevice (uint64_t Address, uint64_t Size, MmioDevice *Device);
  // Register accesses to each mapped device by the code that made them:
  // (register address, PC of the access, write) -> count.
  struct MmioKey {
    uint64_t Address, Pc;
    bool Write;
    bool operator< (const MmioKey &O) const {
      return Address != O.Address ? Address < O.Address : Pc != O.Pc ? Pc < O.Pc : Write < O.Write;
    }
  };
  std::map<MmioKey, uint64_t> MmioAccesses;
  void Unmap (uint64_t Address, uint64_t Size);
  // Unmaps a whole RAM region as Unmap does (an unloaded image's memory),
  // except that while engines are reused a writable executable region is
  // parked instead: a later machine that maps the same region and loads the same
  // bytes into it (the same image at the same address) keeps the code
  // translated from it. To this machine and to the next the region is no
  // memory: an access to it faults as one to unmapped memory.
  void Retire (uint64_t Address, uint64_t Size);
  bool IsMapped (uint64_t Address) const;
  size_t RegionCount () const { return mRegions.size (); }
  // Size bytes at Address are plain memory (RAM or flash), which the host
  // may read without side effects; device registers are not.
  bool IsMemory (uint64_t Address, uint64_t Size) const;
  bool Read (uint64_t Address, void *Buffer, size_t Size) const;
  bool Write (uint64_t Address, const void *Buffer, size_t Size);
  std::vector<uint8_t> ReadBytes (uint64_t Address, size_t Size) const;
  template <typename T>
  T Load (uint64_t Address) const {
    T Value{};
    Read (Address, &Value, sizeof (T));
    return Value;
  }
  template <typename T>
  void Store (uint64_t Address, T Value) {
    Write (Address, &Value, sizeof (T));
  }
  std::string ReadAscii (uint64_t Address, size_t Max = 4096) const;
  std::u16string ReadUcs2 (uint64_t Address, size_t Max = 4096) const;

  // Registers.
  uint64_t X (unsigned Index) const;
  void SetX (unsigned Index, uint64_t Value);
  uint64_t Sp () const;
  uint64_t Pc () const;

  // Traps: a host function reachable from guest code at the returned address.
  // The guest resumes at x30 as it stands when the handler returns, so a
  // handler may resume it elsewhere than the caller's return address.
  uint64_t AddTrap (const std::string &Name, TrapHandler Handler);
  const std::string &TrapName (uint64_t Address) const;

  // Runs guest code at Function with up to eight register arguments and any
  // further ones on the stack; returns x0. When a fault stops the machine the
  // result is meaningless: check Faulted () (every later Call returns at once).
  uint64_t Call (uint64_t Function, const std::vector<uint64_t> &Args);

  // The machine has stopped for good: a fault, or a reset/shutdown request.
  bool Faulted () const { return mFault.Kind != FaultKind::None; }
  const Fault &LastFault () const { return mFault; }
  void RaiseFault (FaultKind Kind, const std::string &Detail, uint64_t Address = 0);
  bool Halted () const { return mHalted; }
  void Halt (const std::string &Why);    // stops all guest execution, not an error
  const std::string &HaltReason () const { return mHaltReason; }
  bool Stopped () const { return Faulted () || mHalted; }

  // Instruction accounting. The budget limits each top-level Call.
  uint64_t Instructions () const { return mInstructions; }
  void SetBudget (uint64_t Instructions) { mBudget = Instructions; }
  void SetDeadLoopLimit (uint64_t Repeats) { mDeadLoopLimit = Repeats; }
  int CallDepth () const { return mDepth; }
  // Ends the guest call at nesting level Depth (1 is the outermost Call) as
  // if its function had returned Result, once the service being served
  // returns: how an image's Exit () leaves its entry point from deep inside.
  // Calls nested deeper end at once and return meaningless values.
  void Unwind (int Depth, uint64_t Result) {
    mUnwindDepth = Depth;
    mUnwindResult = Result;
  }

  // The generic timer: CNTFRQ_EL0 reads kCounterHz, CNTPCT_EL0/CNTVCT_EL0
  // read simulated time (NowNs) at that rate, so time-based loops in guest
  // code behave the same on every run. Simulated time runs at one
  // nanosecond per emulated instruction, and each counter read takes
  // kCounterReadNs more: a busy wait on the counter (a 1 ms delay, say)
  // then costs about a thousand loop turns instead of a million emulated
  // instructions, and the same number on every run.
  static constexpr uint64_t kCounterHz = 50000000;
  static constexpr uint64_t kCounterReadNs = 1000;
  std::function<uint64_t ()> NowNs;
  uint64_t CounterReads () const { return mCounterReads; }
  // Simulated time: NowNs, or instructions and counter reads when unset.
  uint64_t SimulatedNs () const { return NowNs ? NowNs () : mInstructions + CounterReadTimeNs (); }
  // The simulated time spent in counter reads so far (part of NowNs).
  uint64_t CounterReadTimeNs () const { return mCounterReads * kCounterReadNs; }

  // Called after every trapped service returns to the guest (timer delivery).
  std::function<void ()> OnServiceReturn;
  // Called with the address of every guest code block as it is entered
  // (coverage for the fuzzer); empty by default.
  std::function<void (uint64_t Address)> OnBlock;

  // Exceptions the guest takes (SMC, BRK, undefined instructions) reach
  // OnException with QEMU's exception number once EnableExceptions () is
  // called; it returns whether it handled the exception (the guest then
  // goes on after the instruction; an SMC's results are in x0-x3). An
  // exception it does not handle stops the machine with a CPU-exception
  // fault. Without EnableExceptions () any exception is such a fault.
  static constexpr uint32_t kExceptionBreakpoint = 7;
  static constexpr uint32_t kExceptionSmc = 13;
  std::function<bool (uint32_t Number)> OnException;
  void EnableExceptions ();
  // Runs Work from the host loop once the emulator has stopped (a hook may
  // not run guest code; Work may, through Call), then the guest goes on
  // where it stopped unless Work stopped the machine.
  void Defer (std::function<void ()> Work);

  // The CPU's IRQ line, raised at simulated time AtNs (SimulatedNs) until
  // SetIrqDeadline is called again; ~0 lowers it. The IRQ is taken at the
  // start of the next block while PSTATE.I is clear, as the architecture takes
  // it: SPSR_EL1 and ELR_EL1 saved, DAIF masked, execution at VBAR_EL1 +
  // 0x280 (current EL, SP_ELx). ERET returns from it.
  void SetIrqDeadline (uint64_t AtNs) { mIrqAtNs = AtNs; }
  uint64_t IrqDeadline () const { return mIrqAtNs; }
  uint64_t IrqsTaken () const { return mIrqsTaken; }

  // Return addresses of the guest's frame-record chain, innermost first.
  std::vector<uint64_t> FrameChain (unsigned Max = 8) const;

 private:
  struct Trap {
    std::string Name;
    TrapHandler Handler;
  };
  static void CodeHook (uc_struct *Uc, uint64_t Address, uint32_t Size, void *User);
  static void BlockHook (uc_struct *Uc, uint64_t Address, uint32_t Size, void *User);
  static uint32_t SysRegHook (uc_struct *Uc, int Reg, const void *CpReg, void *User);
  static bool UnmappedHook (uc_struct *Uc, int Type, uint64_t Address, int Size, int64_t Value, void *User);
  static void InterruptHook (uc_struct *Uc, uint32_t Number, void *User);
  bool TakeIrq (uint64_t Pc);

  struct Engine;
  static Engine *&Spare ();
  static Engine *OpenEngine ();
  static void CloseEngine (Engine *E);
  bool Park ();
  bool Hide (ProtectBatch *Batch, const std::map<uint64_t, uint64_t> &EngineRegions, uint64_t Address, uint64_t Size);
  std::map<uint64_t, uint64_t> RegionsOfEngine () const;
  void Unlist (uint64_t Base);
  void Reveal (uint64_t Address, uint64_t Size, uint32_t Perms);
  void Drop (uint64_t Address, uint64_t Size, bool Executable);
  void DropParked (uint64_t Address, uint64_t Size, bool KeepRetired = false);
  void CheckTranslatedCode ();
  void ForgetCode (uint64_t Address, uint64_t Size);
  bool ReachesParked (uint64_t Address, uint64_t Size) const;
  static uint8_t *WritableRamPage (const void *Owner, uint64_t Page);

  Engine *mEngine = nullptr;
  uc_struct *mUc = nullptr;
  std::map<uint64_t, HostMapping> mHostBacked;   // by base address
  std::vector<HostMapping> mLeftOverFilled;      // behind what partial unmaps left mapped
  // The filled region holding Address, or mHostBacked.end ().
  std::map<uint64_t, HostMapping>::const_iterator FilledAt (uint64_t Address) const;
  struct RamRegion {
    uint8_t *Pages;   // recycled host pages
    size_t Size;
    uint32_t Perms;
  };
  std::map<uint64_t, RamRegion> mRamPages;   // by base
  void ParkRam (uint64_t Base, const RamRegion &R, bool Retired);
  // The RAM region holding Address, or mRamPages.end ().
  std::map<uint64_t, RamRegion>::const_iterator RamAt (uint64_t Address) const;
  // The host bytes behind [Address, Address + Size) when they lie in one
  // region of memory (RAM or a filled region), with the region's
  // permissions in Perms; otherwise nullptr.
  uint8_t *HostBytesAt (uint64_t Address, uint64_t Size, uint32_t *Perms) const;
  // Regions taken over from the previous machine with the bytes their
  // translated code was made from; compared before the guest next runs.
  struct TranslatedFrom {
    uint64_t Base;
    std::vector<uint8_t> Bytes;
  };
  std::vector<TranslatedFrom> mTranslatedFrom;
  uint64_t mInterruptHook = 0;
  std::vector<Trap> mTraps;
  uint64_t mReturnTrap = 0;
  int64_t mPendingTrap = -1;
  Fault mFault;
  bool mHalted = false;
  std::string mHaltReason;
  uint64_t mInstructions = 0;
  uint64_t mBudget = 400000000;
  uint64_t mCallStartInstructions = 0;
  uint64_t mDeadLoopLimit = 2000000;
  // Longest block cycle taken for a dead loop. The emulator ends a block at
  // every 1 KiB boundary of guest code, so a four-block loop (CpuDeadLoop
  // calling CpuPause) becomes five blocks when CpuPause straddles one.
  static constexpr unsigned kCycle = 8;
  static constexpr unsigned kHistory = 16;
  uint64_t mHistory[kHistory] = {};
  unsigned mHistoryPos = 0;
  uint64_t mCycleCount[kCycle] = {};
  int mDepth = 0;
  int mUnwindDepth = 0;        // 0: no unwind pending
  uint64_t mUnwindResult = 0;
  uint64_t mCounterReads = 0;
  uint64_t mIrqAtNs = ~0ULL;
  uint64_t mIrqsTaken = 0;
  bool mExceptionsEnabled = false;
  std::function<void ()> mDeferred;
  struct Region {
    uint64_t Base, Size;
    bool Device = false;
    bool Executable = false;
    uint32_t Perms = 0;   // a filled region's permissions
    int Fill = -1;        // and its fill byte; -1 for any other region
  };
  std::vector<Region> mRegions;
  struct MappedDevice {
    Machine *Owner;
    MmioDevice *Device;
    uint64_t Base;
  };
  std::vector<std::unique_ptr<MappedDevice>> mDevices;
  static uint64_t MmioRead (uc_struct *Uc, uint64_t Offset, unsigned Size, void *User);
  static void MmioWrite (uc_struct *Uc, uint64_t Offset, unsigned Size, uint64_t Value, void *User);
};

}  // namespace vboard
