// Events, event groups, timers and the task priority level of the board's
// DXE core, on simulated time: 1 ns per emulated instruction, plus what the
// generic timer's counter reads cost (see Machine), plus time that devices
// and the host let pass. Notify functions run highest TPL first and in queue
// order within a TPL, each at its own TPL, through Machine::Call from the
// host loop (never from inside a hook).
#pragma once

#include "cpu/Machine.h"
#include "uefi/Types.h"

#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace vboard {

struct EventRecord {
  uint64_t Handle = 0;
  uint32_t Type = 0;
  uint64_t NotifyTpl = 0;
  uint64_t NotifyFunction = 0;
  uint64_t NotifyContext = 0;
  std::optional<Guid> Group;
  bool Signaled = false;       // for wait events
  bool Pending = false;        // a notification is queued
  uint64_t QueueOrder = 0;
  uint32_t TimerType = 0;      // 0 cancel, 1 periodic, 2 relative
  uint64_t TriggerNs = 0;
  uint64_t PeriodNs = 0;
  uint64_t Notifications = 0;  // how often the notify function ran
};

class EventQueue {
 public:
  // NewEventMemory gives a fresh guest address to serve as an event handle;
  // OnClose is told of each closed event (protocol notifications drop it).
  EventQueue (Machine &M, std::function<uint64_t ()> NewEventMemory, std::function<void (uint64_t)> OnClose);

  uint64_t NowNs () const { return mM.Instructions () + mM.CounterReadTimeNs () + mExtraNs; }
  // Lets time pass, firing due timers in order (a periodic timer once for
  // every period that passes).
  void AdvanceTime (uint64_t Ns);
  // Time a device spends: passes without firing timers, which fire at the
  // next service return as usual.
  void PassTime (uint64_t Ns) { mExtraNs += Ns; }

  uint64_t Create (uint32_t Type, uint64_t Tpl, uint64_t Fn, uint64_t Ctx, const Guid *Group);
  void Close (uint64_t Event);
  EventRecord *Find (uint64_t Event);
  const EventRecord *Find (uint64_t Event) const;
  std::vector<const EventRecord *> InGroup (const Guid &Group) const;
  std::vector<const EventRecord *> All () const;
  // Arms, re-arms or cancels a timer event (SetTimer's Type and 100 ns units).
  void SetTimer (EventRecord &E, uint32_t TimerType, uint64_t Units100Ns);
  // When the next armed timer is due; nullopt when none is armed.
  std::optional<uint64_t> NextTimerDue () const;

  void Signal (uint64_t Event);
  void SignalGroup (const Guid &Group);
  void DispatchPending ();
  void FireDueTimers ();

  // Fault injection: CreateEvent and CreateEventEx fail with this status (as
  // the DXE core's do when it cannot allocate the event).
  std::optional<uint64_t> FailCreate;

  uint64_t Tpl () const { return mTpl; }
  void SetTpl (uint64_t Tpl) { mTpl = Tpl; }

 private:
  void QueueNotify (EventRecord &E);

  Machine &mM;
  std::function<uint64_t ()> mNewEventMemory;
  std::function<void (uint64_t)> mOnClose;
  std::map<uint64_t, EventRecord> mEvents;
  uint64_t mExtraNs = 0;
  uint64_t mTpl = efi::TplApplication;
  uint64_t mQueueOrder = 0;
};

}  // namespace vboard
