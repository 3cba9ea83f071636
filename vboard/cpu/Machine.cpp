#include "cpu/Machine.h"

#include "cpu/CodePages.h"
#include "cpu/FaultPc.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace vboard {

namespace {

constexpr uint32_t kRetInstruction = 0xD65F03C0;   // RET (x30)
constexpr uint64_t kAbortedStatus = 0x8000000000000015ULL;  // EFI_ABORTED
constexpr uint64_t kPstateI = 1u << 7;
constexpr uint64_t kPstateDaif = 0xFu << 6;
constexpr uint64_t kIrqVectorOffset = 0x280;   // IRQ, current EL with SP_ELx

void Check (uc_err Err, const char *What) {
  if (Err != UC_ERR_OK) {
    throw std::runtime_error (std::string (What) + ": " + uc_strerror (Err));
  }
}

constexpr uint64_t kGuestPage = 0x1000;
// Regions are left to the next machine only below 4 GiB (one bitmap of
// pages says which addresses they cover), and executable ones only up to
// 16 MiB, since their bytes are kept beside them.
constexpr uint64_t kParkLimit = 1ULL << 32;
constexpr uint64_t kParkCodeMax = 16ULL << 20;
// Pages of regions taken over whose bytes were the same again, so that
// whatever code had been translated from them was kept.
std::atomic<uint64_t> gCodePagesKept{0};

std::mutex gSpareLock;
bool gReuse = [] {
  const char *Fresh = std::getenv ("ASFP_FRESH_ENGINE");
  return Fresh == nullptr || *Fresh == '\0' || *Fresh == '0';
} ();

}  // namespace

// One Unicorn engine and the code it has translated, with the RAM and
// filled regions the last machine left mapped ("parked"). A parked region is
// inaccessible (no permissions, and its pages marked so that a jump into
// code translated from it faults too: the engine looks translated code up
// without checking permissions). The machine that maps a region of the same
// kind, address, size and permissions (and fill) again takes it, its bytes
// reset, and with them the bytes its code was translated from; any other use
// of its addresses drops it. Taking a region costs one change of the memory
// map; unmapping one flushes the emulator's TLB page by page.
struct Machine::Engine {
  uc_struct *Uc = nullptr;
  Machine *Owner = nullptr;
  uc_context *PowerOn = nullptr;   // the CPU as the engine was opened
  DirectStores *Stores = nullptr;  // its TLB entries that let stores through
  struct Parked {
    uint64_t Size;
    uint8_t *Pages;                // a RAM region's pages (TakeRamPages)
    uint32_t Perms;
    std::vector<uint8_t> Code;     // an executable region's bytes when parked
    HostMapping Filled = {};       // or a filled region's host memory
    int Fill = -1;                 // and its fill byte; -1 for RAM
    bool Retired = false;          // by the machine that still owns the engine
  };
  std::map<uint64_t, Parked> ParkedRegions;
  PageBits ParkedPages{kParkLimit / kGuestPage};

  void MarkParked (uint64_t Base, uint64_t Size, bool On) {
    for (uint64_t P = Base / kGuestPage; P < (Base + Size + kGuestPage - 1) / kGuestPage; P++) ParkedPages.Set (P, On);
  }
  // The region parked at Address, taken back when it has this size,
  // permissions and fill (-1 for RAM); nothing for any other.
  std::optional<Parked> Take (uint64_t Address, uint64_t Size, uint32_t Perms, int Fill) {
    auto It = ParkedRegions.find (Address);
    if (It == ParkedRegions.end () || It->second.Fill != Fill || It->second.Size != Size || It->second.Perms != Perms) {
      return std::nullopt;
    }
    Parked P = std::move (It->second);
    ParkedRegions.erase (It);
    MarkParked (Address, Size, false);
    return P;
  }
  bool IsParked (uint64_t Address) const { return !ParkedRegions.empty () && ParkedPages.Test (Address / kGuestPage); }
};

Machine::Engine *&Machine::Spare () {
  static Engine *Slot = nullptr;
  return Slot;
}

void Machine::SetEngineReuse (bool Reuse) {
  std::lock_guard<std::mutex> Guard (gSpareLock);
  gReuse = Reuse;
  if (!Reuse && Spare () != nullptr) {
    CloseEngine (Spare ());
    Spare () = nullptr;
  }
}

bool Machine::EngineReuse () { return gReuse; }

uint64_t Machine::CodePagesKept () { return gCodePagesKept.load (std::memory_order_relaxed); }

Machine::Engine *Machine::OpenEngine () {
  KeepFreedHeap ();
  auto E = std::make_unique<Engine> ();
  E->Stores = CodePagesEngineOpened ();
  uc_err Opened = uc_open (UC_ARCH_ARM64, UC_MODE_ARM, &E->Uc);
  if (Opened != UC_ERR_OK) CodePagesEngineClosed (E->Stores);
  Check (Opened, "uc_open");
  try {
    // FP/SIMD instructions must not trap: CPACR_EL1.FPEN = 0b11.
    uint64_t Cpacr = 0x300000;
    Check (uc_reg_write (E->Uc, UC_ARM64_REG_CPACR_EL1, &Cpacr), "CPACR_EL1");
    // The hooks belong to the engine and reach its current machine: adding
    // or deleting a code or block hook drops the code translated with it.
    uc_hook Hook;
    Check (uc_hook_add (E->Uc, &Hook, UC_HOOK_CODE, reinterpret_cast<void *> (&CodeHook), E.get (),
                        kTrapBase, kTrapBase + kTrapPageSize - 1), "trap hook");
    Check (uc_hook_add (E->Uc, &Hook, UC_HOOK_BLOCK, reinterpret_cast<void *> (&BlockHook), E.get (), 1, 0),
           "block hook");
    Check (uc_hook_add (E->Uc, &Hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void *> (&UnmappedHook), E.get (), 1, 0),
           "memory hook");
    Check (uc_hook_add (E->Uc, &Hook, UC_HOOK_INSN, reinterpret_cast<void *> (&SysRegHook), E.get (), 1, 0,
                        UC_ARM64_INS_MRS), "system register hook");
    Check (uc_context_alloc (E->Uc, &E->PowerOn), "uc_context_alloc");
    Check (uc_context_save (E->Uc, E->PowerOn), "uc_context_save");
  } catch (...) {
    CloseEngine (E.release ());
    throw;
  }
  return E.release ();
}

void Machine::CloseEngine (Engine *E) {
  if (E->PowerOn != nullptr) uc_context_free (E->PowerOn);
  uc_close (E->Uc);
  CodePagesEngineClosed (E->Stores);
  for (const auto &[Base, P] : E->ParkedRegions) {
    if (P.Fill < 0) GiveRamPages (P.Pages, P.Size);
  }
  delete E;
}

uint64_t Machine::MmioRead (uc_struct *, uint64_t Offset, unsigned Size, void *User) {
  auto *D = static_cast<MappedDevice *> (User);
  D->Owner->MmioAccesses[{D->Base + Offset, D->Owner->Pc (), false}]++;
  return D->Device->Read (Offset, Size);
}

void Machine::MmioWrite (uc_struct *, uint64_t Offset, unsigned Size, uint64_t Value, void *User) {
  auto *D = static_cast<MappedDevice *> (User);
  D->Owner->MmioAccesses[{D->Base + Offset, D->Owner->Pc (), true}]++;
  D->Device->Write (Offset, Size, Value);
}

const char *FaultKindName (FaultKind Kind) {
  switch (Kind) {
    case FaultKind::None: return "none";
    case FaultKind::UnmappedRead: return "read of unmapped memory";
    case FaultKind::UnmappedWrite: return "write to unmapped memory";
    case FaultKind::UnmappedFetch: return "jump to unmapped memory";
    case FaultKind::ProtectedWrite: return "write to read-only memory";
    case FaultKind::DeadLoop: return "dead loop";
    case FaultKind::BudgetExhausted: return "instruction budget exhausted";
    case FaultKind::Assertion: return "assertion failed";
    case FaultKind::ServiceMisuse: return "service misuse";
    case FaultKind::DeviceMisuse: return "device misuse";
    case FaultKind::Unimplemented: return "unimplemented service";
    case FaultKind::CpuException: return "CPU exception";
  }
  return "?";
}

uint64_t CallArgs::operator[] (unsigned Index) const {
  if (Index < 8) {
    return mMachine.X (Index);
  }
  return mMachine.Load<uint64_t> (mMachine.Sp () + 8 * (Index - 8));
}

uint64_t CallArgs::Caller () const { return mMachine.X (30); }

Machine::Machine () {
  {
    std::lock_guard<std::mutex> Guard (gSpareLock);
    if (gReuse) std::swap (mEngine, Spare ());
  }
  if (mEngine == nullptr) mEngine = OpenEngine ();
  mUc = mEngine->Uc;
  mEngine->Owner = this;
  Check (uc_context_restore (mUc, mEngine->PowerOn), "uc_context_restore");

  MapRam (kTrapBase, kTrapPageSize, false, true);
  std::vector<uint32_t> Rets (kTrapPageSize / 4, kRetInstruction);
  Write (kTrapBase, Rets.data (), kTrapPageSize);
  // The stack holds no code: a jump onto it faults, and no translated
  // code has to be checked against it when the next machine takes it.
  MapRam (kStackBase, kStackSize, true, false);

  mReturnTrap = AddTrap ("<return to host>", [] (CallArgs &) { return 0ULL; });
}

Machine::~Machine () {
  if (gReuse && Park ()) return;
  CloseEngine (mEngine);
  for (const auto &R : mRamPages) GiveRamPages (R.second.Pages, R.second.Size);
}

bool Machine::Park () {
  Engine &E = *mEngine;
  CheckTranslatedCode ();
  if (mInterruptHook != 0) {
    if (uc_hook_del (mUc, mInterruptHook) != UC_ERR_OK) return false;
    mInterruptHook = 0;
  }
  // What the previous machine left and this one did not take goes now, so
  // an engine holds the regions of one machine at most; what this one
  // retired stays for the next.
  DropParked (0, kParkLimit, true);
  for (auto &[Base, P] : E.ParkedRegions) P.Retired = false;
  std::map<uint64_t, uint64_t> EngineRegions = RegionsOfEngine ();
  // The regions parked change the engine's memory map once, at the end of
  // this block.
  {
    ProtectBatch Batch;
    for (const Region &R : mRegions) {
      if (mRamPages.count (R.Base) != 0) continue;
      auto Filled = mHostBacked.find (R.Base);
      if (Filled != mHostBacked.end () && R.Fill >= 0 && !R.Executable && Hide (&Batch, EngineRegions, R.Base, R.Size)) {
        E.ParkedRegions.emplace (R.Base, Engine::Parked{R.Size, nullptr, R.Perms, {}, std::move (Filled->second), R.Fill});
        continue;
      }
      Drop (R.Base, R.Size, R.Executable);   // devices, and filled regions not parked
    }
    mHostBacked.clear ();
    mDevices.clear ();
    for (const auto &[Base, R] : mRamPages) {
      bool Executable = (R.Perms & UC_PROT_EXEC) != 0;
      if ((Executable && R.Size > kParkCodeMax) || !Hide (&Batch, EngineRegions, Base, R.Size)) {
        Drop (Base, R.Size, Executable);
        GiveRamPages (R.Pages, R.Size);
        continue;
      }
      ParkRam (Base, R, false);
    }
  }
  // Whatever else the engine still maps (what a partial unmap left) is no
  // region of the next machine either.
  uc_mem_region *Left = nullptr;
  uint32_t Count = 0;
  if (uc_mem_regions (mUc, &Left, &Count) == UC_ERR_OK) {
    for (uint32_t I = 0; I < Count; I++) {
      if (E.ParkedRegions.count (Left[I].begin) == 0) {
        Drop (Left[I].begin, Left[I].end - Left[I].begin + 1, (Left[I].perms & UC_PROT_EXEC) != 0);
      }
    }
    uc_free (Left);
  }
  mRamPages.clear ();
  mRegions.clear ();
  E.Owner = nullptr;
  std::lock_guard<std::mutex> Guard (gSpareLock);
  if (Spare () != nullptr) CloseEngine (Spare ());
  Spare () = mEngine;
  mEngine = nullptr;
  return true;
}

// Leaves a region to the next machine: no permissions, its pages marked.
// Removing write permission commits the memory map (once for the batch, if
// any), which flushes the TLB: no access can reach a parked region through
// a stale entry (the stack is always writable, and always parked). Only a
// whole region of the engine (EngineRegions, base to size) is hidden: a
// permission change over part of one splits it, an unmap the batch must not
// hold back. False when the region cannot be parked.
bool Machine::Hide (ProtectBatch *Batch, const std::map<uint64_t, uint64_t> &EngineRegions, uint64_t Address,
                    uint64_t Size) {
  auto Whole = EngineRegions.find (Address);
  if (Whole == EngineRegions.end () || Whole->second != Size || Address + Size > kParkLimit) return false;
  uc_err Err = Batch != nullptr ? Batch->Protect (mUc, Address, Size, UC_PROT_NONE)
                                : uc_mem_protect (mUc, Address, Size, UC_PROT_NONE);
  if (Err != UC_ERR_OK) return false;
  mEngine->MarkParked (Address, Size, true);
  return true;
}

// A hidden RAM region joins the engine's parked regions, an executable
// one with the bytes its code was translated from.
void Machine::ParkRam (uint64_t Base, const RamRegion &R, bool Retired) {
  Engine::Parked P{R.Size, R.Pages, R.Perms, {}};
  if ((R.Perms & UC_PROT_EXEC) != 0) P.Code.assign (R.Pages, R.Pages + R.Size);
  P.Retired = Retired;
  mEngine->ParkedRegions.emplace (Base, std::move (P));
}

// The engine's regions, base to size.
std::map<uint64_t, uint64_t> Machine::RegionsOfEngine () const {
  std::map<uint64_t, uint64_t> Regions;
  uc_mem_region *List = nullptr;
  uint32_t Count = 0;
  if (uc_mem_regions (mUc, &List, &Count) != UC_ERR_OK) return Regions;
  for (uint32_t I = 0; I < Count; I++) Regions[List[I].begin] = List[I].end - List[I].begin + 1;
  uc_free (List);
  return Regions;
}

void Machine::Unlist (uint64_t Base) {
  mRegions.erase (std::remove_if (mRegions.begin (), mRegions.end (), [&] (const Region &R) { return R.Base == Base; }),
                  mRegions.end ());
}

// Gives a region taken back its permissions; when the engine refuses, the
// region is unmapped and the error thrown.
void Machine::Reveal (uint64_t Address, uint64_t Size, uint32_t Perms) {
  uc_err Err = uc_mem_protect (mUc, Address, Size, Perms);
  if (Err != UC_ERR_OK) Drop (Address, Size, (Perms & UC_PROT_EXEC) != 0);
  Check (Err, "uc_mem_protect");
}

void Machine::Drop (uint64_t Address, uint64_t Size, bool Executable) {
  if (Executable) uc_ctl_remove_cache (mUc, Address, Address + Size);
  uc_mem_unmap (mUc, Address, Size);
}

void Machine::DropParked (uint64_t Address, uint64_t Size, bool KeepRetired) {
  Engine &E = *mEngine;
  if (E.ParkedRegions.empty ()) return;
  auto It = E.ParkedRegions.lower_bound (Address);
  if (It != E.ParkedRegions.begin ()) --It;
  while (It != E.ParkedRegions.end () && It->first < Address + Size) {
    if (It->first + It->second.Size <= Address || (KeepRetired && It->second.Retired)) {
      ++It;
      continue;
    }
    Drop (It->first, It->second.Size, (It->second.Perms & UC_PROT_EXEC) != 0);
    E.MarkParked (It->first, It->second.Size, false);
    if (It->second.Fill < 0) GiveRamPages (It->second.Pages, It->second.Size);
    It = E.ParkedRegions.erase (It);
  }
}

// Code translated from a region taken over stays only where the region
// holds the same bytes again (the same image loaded at the same address);
// everywhere else it is dropped. This runs before the guest runs, once the
// host has written what it writes.
void Machine::CheckTranslatedCode () {
  for (const TranslatedFrom &T : mTranslatedFrom) {
    auto R = mRamPages.find (T.Base);
    if (R == mRamPages.end ()) continue;   // unmapped since: its code went with it
    const uint8_t *Now = R->second.Pages;
    uint64_t Changed = 0;
    for (uint64_t Off = 0; Off < T.Bytes.size (); Off += kGuestPage) {
      uint64_t End = Off;
      while (End < T.Bytes.size () && std::memcmp (Now + End, T.Bytes.data () + End, kGuestPage) != 0) End += kGuestPage;
      if (End != Off) {
        uc_ctl_remove_cache (mUc, T.Base + Off, T.Base + End);
        Changed += End - Off;
        Off = End;
      }
    }
    gCodePagesKept.fetch_add ((T.Bytes.size () - std::min<uint64_t> (Changed, T.Bytes.size ())) / kGuestPage,
                              std::memory_order_relaxed);
  }
  mTranslatedFrom.clear ();
}

// The host changed guest bytes at Address: code translated from them goes.
void Machine::ForgetCode (uint64_t Address, uint64_t Size) {
  uint64_t Lo = Address & ~(kGuestPage - 1), Hi = (Address + Size + kGuestPage - 1) & ~(kGuestPage - 1);
  for (const TranslatedFrom &T : mTranslatedFrom) {
    // Still to be compared with the bytes its code came from.
    if (Lo < T.Base + T.Bytes.size () && T.Base < Hi) return;
  }
  uc_ctl_remove_cache (mUc, Lo, Hi);
}

// The engine may let guest stores reach these pages straight from its TLB
// (cpu/CodePages.cpp): RAM of this machine mapped writable. A region partly
// unmapped is no longer listed, so what is left of it keeps Unicorn's check.
uint8_t *Machine::WritableRamPage (const void *Owner, uint64_t Page) {
  const Machine &M = *static_cast<const Machine *> (Owner);
  auto It = M.RamAt (Page);
  if (It == M.mRamPages.end () || (It->second.Perms & UC_PROT_WRITE) == 0) return nullptr;
  return It->second.Pages + (Page - It->first);
}

uint8_t *Machine::HostBytesAt (uint64_t Address, uint64_t Size, uint32_t *Perms) const {
  auto R = RamAt (Address);
  if (R != mRamPages.end ()) {
    if (Size > R->second.Size - (Address - R->first)) return nullptr;
    *Perms = R->second.Perms;
    return R->second.Pages + (Address - R->first);
  }
  auto H = FilledAt (Address);
  if (H == mHostBacked.end ()) return nullptr;
  uint64_t Offset = Address - H->first;
  if (Size > H->second.Size () - Offset) return nullptr;
  for (const Region &Rg : mRegions) {
    if (Rg.Base == H->first) {
      *Perms = Rg.Perms;
      return H->second.Data () + Offset;
    }
  }
  return nullptr;
}

std::map<uint64_t, HostMapping>::const_iterator Machine::FilledAt (uint64_t Address) const {
  auto It = mHostBacked.upper_bound (Address);
  if (It == mHostBacked.begin ()) return mHostBacked.end ();
  --It;
  return Address - It->first < It->second.Size () ? It : mHostBacked.end ();
}

std::map<uint64_t, Machine::RamRegion>::const_iterator Machine::RamAt (uint64_t Address) const {
  auto It = mRamPages.upper_bound (Address);
  if (It == mRamPages.begin ()) return mRamPages.end ();
  --It;
  return Address - It->first < It->second.Size ? It : mRamPages.end ();
}

bool Machine::ReachesParked (uint64_t Address, uint64_t Size) const {
  if (mEngine->ParkedRegions.empty () || Size == 0) return false;
  for (uint64_t Page = Address / kGuestPage; Page <= (Address + Size - 1) / kGuestPage; Page++) {
    if (mEngine->IsParked (Page * kGuestPage)) return true;
  }
  return false;
}

void Machine::MapRam (uint64_t Address, uint64_t Size, bool Writable, bool Executable) {
  uint32_t Perms = UC_PROT_READ | (Writable ? UC_PROT_WRITE : 0) | (Executable ? UC_PROT_EXEC : 0);
  if (std::optional<Engine::Parked> P = mEngine->Take (Address, Size, Perms, -1)) {
    try {
      Reveal (Address, Size, Perms);
    } catch (...) {
      GiveRamPages (P->Pages, Size);
      throw;
    }
    ClearRamPages (P->Pages, Size);
    if (!P->Code.empty ()) mTranslatedFrom.push_back ({Address, std::move (P->Code)});
    mRamPages[Address] = {P->Pages, Size, Perms};
    mRegions.push_back ({Address, Size, false, Executable});
    return;
  }
  DropParked (Address, Size);
  uint8_t *Pages = TakeRamPages (Size);
  uc_err Err = uc_mem_map_ptr (mUc, Address, Size, Perms, Pages);
  if (Err != UC_ERR_OK) GiveRamPages (Pages, Size);
  Check (Err, "uc_mem_map");
  mRamPages[Address] = {Pages, Size, Perms};
  mRegions.push_back ({Address, Size, false, Executable});
}

void Machine::MapFilled (uint64_t Address, uint64_t Size, uint8_t Fill, bool Writable, bool Executable) {
  uint32_t Perms = UC_PROT_READ | (Writable ? UC_PROT_WRITE : 0) | (Executable ? UC_PROT_EXEC : 0);
  if (std::optional<Engine::Parked> P = mEngine->Take (Address, Size, Perms, Fill)) {
    // On failure the region leaves the engine before its memory is freed.
    try {
      P->Filled.Reset ();
    } catch (...) {
      Drop (Address, Size, Executable);
      throw;
    }
    Reveal (Address, Size, Perms);
    mHostBacked[Address] = std::move (P->Filled);
    mRegions.push_back ({Address, Size, false, Executable, Perms, Fill});
    return;
  }
  DropParked (Address, Size);
  HostMapping Buffer (Size, Fill);
  Check (uc_mem_map_ptr (mUc, Address, Size, Perms, Buffer.Data ()), "uc_mem_map_ptr");
  mHostBacked[Address] = std::move (Buffer);
  mRegions.push_back ({Address, Size, false, Executable, Perms, Fill});
}

void Machine::MapDevice (uint64_t Address, uint64_t Size, MmioDevice *Device) {
  DropParked (Address, Size);
  mDevices.push_back (std::make_unique<MappedDevice> (MappedDevice{this, Device, Address}));
  MappedDevice *D = mDevices.back ().get ();
  Check (uc_mmio_map (mUc, Address, Size, &MmioRead, D, &MmioWrite, D), "uc_mmio_map");
  mRegions.push_back ({Address, Size, true});
}

void Machine::Unmap (uint64_t Address, uint64_t Size) {
  if (!mTranslatedFrom.empty ()) CheckTranslatedCode ();
  // Code translated from the region goes with it: the engine keys it by
  // the host page behind the address, which a later region can be given.
  bool Executable = false;
  for (const Region &R : mRegions) {
    if (R.Base == Address) Executable = R.Executable;
  }
  if (Executable) uc_ctl_remove_cache (mUc, Address, Address + Size);
  Check (uc_mem_unmap (mUc, Address, Size), "uc_mem_unmap");
  auto Filled = FilledAt (Address);
  if (Filled != mHostBacked.end ()) {
    // What is left of a filled region unmapped in part stays mapped onto
    // its host memory, which lives on with the machine; host accesses to
    // it go through the engine.
    bool Whole = Filled->first == Address && Filled->second.Size () == Size;
    auto Node = mHostBacked.extract (Filled);
    if (!Whole) mLeftOverFilled.push_back (std::move (Node.mapped ()));
  }
  auto Ram = RamAt (Address);
  if (Ram != mRamPages.end ()) {
    // Part of a region leaves its pages with the part still mapped: they
    // are not recycled.
    if (Ram->first == Address && Ram->second.Size == Size) GiveRamPages (Ram->second.Pages, Size);
    mRamPages.erase (Ram);
  }
  Unlist (Address);
}

void Machine::Retire (uint64_t Address, uint64_t Size) {
  // Only a writable region: taking write away is what commits the map and
  // flushes the TLB, whose entries let loads through without a permission
  // check (images are mapped writable).
  auto Ram = mRamPages.find (Address);
  bool Parkable = gReuse && Ram != mRamPages.end () && Ram->second.Size == Size &&
                  (Ram->second.Perms & (UC_PROT_EXEC | UC_PROT_WRITE)) == (UC_PROT_EXEC | UC_PROT_WRITE) &&
                  Size <= kParkCodeMax;
  if (!mTranslatedFrom.empty ()) CheckTranslatedCode ();
  if (!Parkable || !Hide (nullptr, RegionsOfEngine (), Address, Size)) {
    Unmap (Address, Size);
    return;
  }
  ParkRam (Address, Ram->second, true);
  mRamPages.erase (Ram);
  Unlist (Address);
}

bool Machine::IsMemory (uint64_t Address, uint64_t Size) const {
  uint32_t Perms = 0;
  if (HostBytesAt (Address, Size, &Perms) != nullptr) return true;   // one lookup by address
  for (const Region &R : mRegions) {
    if (Address >= R.Base && Address - R.Base < R.Size) {
      return !R.Device && Size <= R.Size - (Address - R.Base);
    }
  }
  return false;
}

bool Machine::IsMapped (uint64_t Address) const {
  for (const Region &R : mRegions) {
    if (Address >= R.Base && Address - R.Base < R.Size) {
      return true;
    }
  }
  return false;
}

bool Machine::Read (uint64_t Address, void *Buffer, size_t Size) const {
  if (Size == 0) {
    return true;
  }
  if (ReachesParked (Address, Size)) {
    std::memset (Buffer, 0, Size);
    return false;
  }
  // Bytes of one region of memory are read from the host memory behind it;
  // Unicorn's read would look the region up in its own list again.
  uint32_t Perms = 0;
  if (const uint8_t *Host = HostBytesAt (Address, Size, &Perms)) {
    std::memcpy (Buffer, Host, Size);
    return true;
  }
  if (uc_mem_read (mUc, Address, Buffer, Size) != UC_ERR_OK) {
    std::memset (Buffer, 0, Size);
    return false;
  }
  return true;
}

bool Machine::Write (uint64_t Address, const void *Buffer, size_t Size) {
  if (Size == 0) {
    return true;
  }
  if (ReachesParked (Address, Size)) {
    return false;
  }
  // Memory the guest may neither write nor run: Unicorn would make it
  // writable for the copy and read-only again, two changes of its memory map
  // each rebuilding the engine's page tree. No code is translated from
  // memory that is not executable, so the bytes go straight into the host
  // memory behind it.
  uint32_t Perms = 0;
  if (uint8_t *Host = HostBytesAt (Address, Size, &Perms)) {
    if ((Perms & UC_PROT_EXEC) == 0) {
      if ((Perms & UC_PROT_WRITE) != 0) return uc_mem_write (mUc, Address, Buffer, Size) == UC_ERR_OK;
      std::memcpy (Host, Buffer, Size);
      return true;
    }
    // Executable memory: unchanged bytes keep their translated code.
    if (std::memcmp (Host, Buffer, Size) == 0) {
      return true;
    }
    bool Written = uc_mem_write (mUc, Address, Buffer, Size) == UC_ERR_OK;
    ForgetCode (Address, Size);
    return Written;
  }
  bool Written = uc_mem_write (mUc, Address, Buffer, Size) == UC_ERR_OK;
  for (const Region &Rg : mRegions) {
    if (Rg.Executable && Address < Rg.Base + Rg.Size && Rg.Base < Address + Size) {
      uint64_t Lo = std::max (Address, Rg.Base), Hi = std::min (Address + Size, Rg.Base + Rg.Size);
      ForgetCode (Lo, Hi - Lo);
    }
  }
  return Written;
}

std::vector<uint8_t> Machine::ReadBytes (uint64_t Address, size_t Size) const {
  std::vector<uint8_t> Bytes (Size);
  Read (Address, Bytes.data (), Size);
  return Bytes;
}

std::string Machine::ReadAscii (uint64_t Address, size_t Max) const {
  std::string Text;
  for (size_t I = 0; I < Max; I++) {
    uint8_t C;
    if (!Read (Address + I, &C, 1) || C == 0) {
      break;
    }
    Text.push_back (static_cast<char> (C));
  }
  return Text;
}

std::u16string Machine::ReadUcs2 (uint64_t Address, size_t Max) const {
  std::u16string Text;
  for (size_t I = 0; I < Max; I++) {
    uint16_t C;
    if (!Read (Address + 2 * I, &C, 2) || C == 0) {
      break;
    }
    Text.push_back (static_cast<char16_t> (C));
  }
  return Text;
}

uint64_t Machine::X (unsigned Index) const {
  uint64_t Value = 0;
  int Reg = Index == 29 ? UC_ARM64_REG_X29 : Index == 30 ? UC_ARM64_REG_X30 : UC_ARM64_REG_X0 + static_cast<int> (Index);
  uc_reg_read (mUc, Reg, &Value);
  return Value;
}

void Machine::SetX (unsigned Index, uint64_t Value) {
  int Reg = Index == 29 ? UC_ARM64_REG_X29 : Index == 30 ? UC_ARM64_REG_X30 : UC_ARM64_REG_X0 + static_cast<int> (Index);
  uc_reg_write (mUc, Reg, &Value);
}

uint64_t Machine::Sp () const {
  uint64_t Value = 0;
  uc_reg_read (mUc, UC_ARM64_REG_SP, &Value);
  return Value;
}

uint64_t Machine::Pc () const {
  uint64_t Value = 0;
  uc_reg_read (mUc, UC_ARM64_REG_PC, &Value);
  return Value;
}

uint64_t Machine::AddTrap (const std::string &Name, TrapHandler Handler) {
  if ((mTraps.size () + 1) * 4 > kTrapPageSize) {
    throw std::runtime_error ("trap page full");
  }
  mTraps.push_back ({Name, std::move (Handler)});
  return kTrapBase + 4 * (mTraps.size () - 1);
}

const std::string &Machine::TrapName (uint64_t Address) const {
  static const std::string kNone;
  uint64_t Index = (Address - kTrapBase) / 4;
  return Address >= kTrapBase && Index < mTraps.size () ? mTraps[Index].Name : kNone;
}

void Machine::RaiseFault (FaultKind Kind, const std::string &Detail, uint64_t Address) {
  if (mFault.Kind != FaultKind::None) {
    return;   // the first fault is the one that matters
  }
  mFault.Kind = Kind;
  mFault.Detail = Detail;
  mFault.Address = Address;
  mFault.Pc = Pc ();
  mFault.Lr = X (30);
  uc_emu_stop (mUc);
}

void Machine::Halt (const std::string &Why) {
  if (!mHalted) {
    mHalted = true;
    mHaltReason = Why;
  }
  uc_emu_stop (mUc);
}

void Machine::CodeHook (uc_engine *Uc, uint64_t Address, uint32_t, void *User) {
  auto *Self = static_cast<Engine *> (User)->Owner;
  Self->mPendingTrap = static_cast<int64_t> ((Address - kTrapBase) / 4);
  uc_emu_stop (Uc);
}

void Machine::BlockHook (uc_engine *Uc, uint64_t Address, uint32_t Size, void *User) {
  auto *E = static_cast<Engine *> (User);
  auto *Self = E->Owner;
  // A block ends within the 1 KiB page it starts in (the engine's target
  // page), so its first and last byte tell.
  if (!E->ParkedRegions.empty () &&
      (E->IsParked (Address) || E->IsParked (Address + std::max<uint32_t> (Size, 1) - 1))) {
    // Code translated while a region of an earlier machine was mapped:
    // this machine has no memory there, and a jump to it faults as it
    // would on a fresh engine.
    // None of the block runs: it goes on at the return trap instead
    // (writing PC from a hook leaves the block at once, and cancels a stop
    // asked for in the same hook), which stops the machine, now faulted.
    uint64_t At = E->IsParked (Address) ? Address : (Address | (kGuestPage - 1)) + 1;
    Self->RaiseFault (FaultKind::UnmappedFetch, "4-byte access", At);
    Self->mFault.Pc = At;
    uc_reg_write (Uc, UC_ARM64_REG_PC, &Self->mReturnTrap);
    return;
  }
  Self->mInstructions += Size / 4;
  if (Self->OnBlock) {
    Self->OnBlock (Address);
  }
  // A dead loop is a short cycle of blocks (up to kCycle long, such as a
  // loop calling a pause function) that repeats with no service call in
  // between; each service call restarts the count. Unrolled, each period's
  // comparison is a branch of its own, which the host CPU predicts well (in
  // straight code none matches, in a loop always the same one); one branch
  // for all eight periods was mispredicted a good part of the time.
  static_assert (kCycle == 8, "the unroll count below is the number of periods");
  unsigned Pos = Self->mHistoryPos;
#pragma GCC unroll 8
  for (unsigned Period = 1; Period <= kCycle; Period++) {
    if (Self->mHistory[(Pos + kHistory - Period) % kHistory] == Address) {
      if (++Self->mCycleCount[Period - 1] >= Self->mDeadLoopLimit) {
        Self->RaiseFault (FaultKind::DeadLoop, "a cycle of " + std::to_string (Period) + " code block(s) repeated " +
                          std::to_string (Self->mCycleCount[Period - 1]) + " times with no progress");
        Self->mFault.Pc = Address;
        uc_emu_stop (Uc);
      }
    } else {
      Self->mCycleCount[Period - 1] = 0;
    }
  }
  Self->mHistory[Pos] = Address;
  Self->mHistoryPos = (Pos + 1) % kHistory;
  if (Self->mIrqAtNs != ~0ULL && Self->SimulatedNs () >= Self->mIrqAtNs) {
    // The IRQ is taken before this block runs: the emulator starts the
    // vector instead when PC is written from a block hook.
    Self->TakeIrq (Address);
  }
  if (Self->mInstructions - Self->mCallStartInstructions > Self->mBudget) {
    Self->RaiseFault (FaultKind::BudgetExhausted,
                      "more than " + std::to_string (Self->mBudget) + " instructions in one call");
    Self->mFault.Pc = Address;
  }
}

uint32_t Machine::SysRegHook (uc_engine *Uc, int Reg, const void *CpReg, void *User) {
  auto *Self = static_cast<Engine *> (User)->Owner;
  const auto *Cp = static_cast<const uc_arm64_cp_reg *> (CpReg);
  // The generic timer's EL0 registers: op0 3, op1 3, CRn 14, CRm 0.
  if (Cp->op0 != 3 || Cp->op1 != 3 || Cp->crn != 14 || Cp->crm != 0 || Cp->op2 > 2) {
    return 0;   // any other system register: the emulator's own answer
  }
  uint64_t Value = kCounterHz;
  if (Cp->op2 != 0) {
    Self->mCounterReads++;
    uint64_t Ns = Self->SimulatedNs ();
    Value = Ns / (1000000000ULL / kCounterHz);
  }
  uc_reg_write (Uc, Reg, &Value);
  return 1;   // handled: the instruction is skipped
}

bool Machine::UnmappedHook (uc_engine *, int Type, uint64_t Address, int Size, int64_t, void *User) {
  auto *E = static_cast<Engine *> (User);
  auto *Self = E->Owner;
  FaultKind Kind = FaultKind::UnmappedRead;
  switch (Type) {
    case UC_MEM_WRITE_UNMAPPED: Kind = FaultKind::UnmappedWrite; break;
    case UC_MEM_FETCH_UNMAPPED: case UC_MEM_FETCH_PROT: Kind = FaultKind::UnmappedFetch; break;
    // A parked region is not this machine's memory.
    case UC_MEM_WRITE_PROT: Kind = E->IsParked (Address) ? FaultKind::UnmappedWrite : FaultKind::ProtectedWrite; break;
    default: Kind = FaultKind::UnmappedRead; break;
  }
  if (Self->mFault.Kind == FaultKind::None) {
    Self->mFault.Kind = Kind;
    Self->mFault.Address = Address;
    Self->mFault.Detail = std::to_string (Size) + "-byte access";
  }
  return false;
}

void Machine::EnableExceptions () {
  if (mExceptionsEnabled) return;
  mExceptionsEnabled = true;
  uc_hook Hook;
  Check (uc_hook_add (mUc, &Hook, UC_HOOK_INTR, reinterpret_cast<void *> (&InterruptHook), this, 1, 0),
         "exception hook");
  mInterruptHook = Hook;
  // An exception return (ERET) to EL1 in AArch64 state needs HCR_EL2.RW,
  // which the emulator's reset leaves clear. (SCR_EL3.RW is not needed, and
  // setting it makes the emulator fault accesses above 2^40, where the
  // second socket's devices are.)
  uc_arm64_cp_reg Hcr{1, 1, 3, 4, 0, 0};
  uc_reg_read (mUc, UC_ARM64_REG_CP_REG, &Hcr);
  Hcr.val |= 1ULL << 31;
  Check (uc_reg_write (mUc, UC_ARM64_REG_CP_REG, &Hcr), "HCR_EL2");
}

void Machine::Defer (std::function<void ()> Work) {
  mDeferred = std::move (Work);
  uc_emu_stop (mUc);
}

void Machine::InterruptHook (uc_engine *Uc, uint32_t Number, void *User) {
  auto *Self = static_cast<Machine *> (User);
  if (Self->OnException && Self->OnException (Number)) {
    return;
  }
  if (Self->mFault.Kind == FaultKind::None) {
    Self->RaiseFault (FaultKind::CpuException, "exception " + std::to_string (Number) +
                      (Number == kExceptionBreakpoint ? " (BRK: a breakpoint or failed assertion)" : ""));
  } else {
    uc_emu_stop (Uc);   // the abort of a memory fault already recorded
  }
}

bool Machine::TakeIrq (uint64_t Pc) {
  uint64_t Pstate = 0, Vbar = 0;
  uc_reg_read (mUc, UC_ARM64_REG_PSTATE, &Pstate);
  if ((Pstate & kPstateI) != 0) {
    return false;   // masked: the line stays raised
  }
  uc_reg_read (mUc, UC_ARM64_REG_VBAR_EL1, &Vbar);
  uc_arm64_cp_reg Spsr{4, 0, 3, 0, 0, Pstate};   // SPSR_EL1
  uc_reg_write (mUc, UC_ARM64_REG_CP_REG, &Spsr);
  uc_reg_write (mUc, UC_ARM64_REG_ELR_EL1, &Pc);
  Pstate |= kPstateDaif;
  uc_reg_write (mUc, UC_ARM64_REG_PSTATE, &Pstate);
  uint64_t Vector = Vbar + kIrqVectorOffset;
  uc_reg_write (mUc, UC_ARM64_REG_PC, &Vector);
  mIrqsTaken++;
  return true;
}

std::vector<uint64_t> Machine::FrameChain (unsigned Max) const {
  std::vector<uint64_t> Out;
  uint64_t Fp = X (29);
  for (unsigned I = 0; I < Max && Fp != 0 && (Fp & 7) == 0; I++) {
    uint64_t Record[2];
    if (!Read (Fp, Record, sizeof (Record)) || Record[1] == 0) {
      break;
    }
    Out.push_back (Record[1]);
    if (Record[0] <= Fp) {
      break;   // frame records live at ascending addresses
    }
    Fp = Record[0];
  }
  return Out;
}

uint64_t Machine::Call (uint64_t Function, const std::vector<uint64_t> &Args) {
  if (Stopped () || (mUnwindDepth > 0 && mDepth >= mUnwindDepth)) {
    return kAbortedStatus;
  }
  uc_context *Saved = nullptr;
  uint64_t Sp;
  if (mDepth > 0) {
    uc_context_alloc (mUc, &Saved);
    uc_context_save (mUc, Saved);
    Sp = (this->Sp () - 0x40) & ~0xFULL;
  } else {
    mCallStartInstructions = mInstructions;
    Sp = kStackBase + kStackSize - 0x40;
  }
  mDepth++;

  if (Args.size () > 8) {
    size_t Extra = Args.size () - 8;
    Sp -= (Extra * 8 + 15) & ~15ULL;
    for (size_t I = 0; I < Extra; I++) {
      Store<uint64_t> (Sp + 8 * I, Args[8 + I]);
    }
  }
  for (unsigned I = 0; I < 8; I++) {
    SetX (I, I < Args.size () ? Args[I] : 0);
  }
  SetX (30, mReturnTrap);
  SetX (29, 0);
  uc_reg_write (mUc, UC_ARM64_REG_SP, &Sp);

  uint64_t Result = kAbortedStatus;
  uint64_t Pc = Function;
  for (;;) {
    mPendingTrap = -1;
    for (auto &H : mHistory) H = 0;
    for (auto &C : mCycleCount) C = 0;
    if (!mTranslatedFrom.empty ()) CheckTranslatedCode ();
    uc_err Err;
    {
      GuestRun Running (mEngine->Stores, mUc, this, &WritableRamPage);
      Err = uc_emu_start (mUc, Pc, 0, 0, 0);
    }
    if (Err != UC_ERR_OK) {
      // A memory fault recorded by the hook, or a CPU exception; the
      // emulator leaves PC at the faulting instruction.
      if (mFault.Kind == FaultKind::None) {
        mFault.Kind = FaultKind::CpuException;
        mFault.Detail = uc_strerror (Err);
      }
      mFault.Pc = this->Pc ();
      if (mFault.Kind == FaultKind::UnmappedRead || mFault.Kind == FaultKind::UnmappedWrite ||
          mFault.Kind == FaultKind::ProtectedWrite) {
        mFault.Pc = RefineFaultPc (*this, mFault.Pc, mFault.Address);
      }
      mFault.Lr = X (30);
      mFault.Frames = FrameChain ();
      break;
    }
    if (Faulted () && mFault.Frames.empty ()) {
      mFault.Frames = FrameChain ();
    }
    if (Stopped ()) {
      break;
    }
    if (mPendingTrap < 0 && mDeferred) {
      auto Work = std::move (mDeferred);
      mDeferred = nullptr;
      Pc = this->Pc ();
      Work ();
      if (Stopped ()) break;
      continue;
    }
    if (mPendingTrap < 0) {
      RaiseFault (FaultKind::CpuException, "the emulator stopped without a reason");
      break;
    }
    if (mPendingTrap == 0) {
      Result = X (0);
      break;
    }
    CallArgs A (*this);
    uint64_t Value = mTraps[static_cast<size_t> (mPendingTrap)].Handler (A);
    uint64_t ReturnTo = X (30);
    if (Faulted () && mFault.Frames.empty ()) {
      mFault.Frames = FrameChain ();
    }
    if (Stopped ()) {
      break;
    }
    if (mUnwindDepth > 0) {
      if (mUnwindDepth == mDepth) {
        Result = mUnwindResult;
        mUnwindDepth = 0;
      }
      break;
    }
    SetX (0, Value);
    if (OnServiceReturn) {
      OnServiceReturn ();
      if (Stopped ()) {
        break;
      }
    }
    Pc = ReturnTo;
  }

  mDepth--;
  if (Saved != nullptr) {
    uc_context_restore (mUc, Saved);
    uc_context_free (Saved);
  }
  return Result;
}

}  // namespace vboard
