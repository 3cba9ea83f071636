#include "uefi/EventQueue.h"

namespace vboard {

EventQueue::EventQueue (Machine &M, std::function<uint64_t ()> NewEventMemory, std::function<void (uint64_t)> OnClose)
    : mM (M), mNewEventMemory (std::move (NewEventMemory)), mOnClose (std::move (OnClose)) {}


uint64_t EventQueue::Create (uint32_t Type, uint64_t Tpl, uint64_t Fn, uint64_t Ctx, const Guid *Group) {
  EventRecord E;
  E.Handle = mNewEventMemory ();
  E.Type = Type;
  E.NotifyTpl = Tpl;
  E.NotifyFunction = Fn;
  E.NotifyContext = Ctx;
  if (Group != nullptr) {
    E.Group = *Group;
  }
  mEvents[E.Handle] = E;
  return E.Handle;
}

void EventQueue::Close (uint64_t Event) {
  mEvents.erase (Event);
  mOnClose (Event);
}

EventRecord *EventQueue::Find (uint64_t Event) {
  auto It = mEvents.find (Event);
  return It == mEvents.end () ? nullptr : &It->second;
}

const EventRecord *EventQueue::Find (uint64_t Handle) const {
  auto It = mEvents.find (Handle);
  return It == mEvents.end () ? nullptr : &It->second;
}

std::vector<const EventRecord *> EventQueue::InGroup (const Guid &Group) const {
  std::vector<const EventRecord *> Out;
  for (const auto &E : mEvents) {
    if (E.second.Group && *E.second.Group == Group) {
      Out.push_back (&E.second);
    }
  }
  return Out;
}

void EventQueue::QueueNotify (EventRecord &E) {
  if ((E.Type & efi::EvtNotifySignal) != 0 && E.NotifyFunction != 0) {
    if (!E.Pending) {
      E.Pending = true;
      E.QueueOrder = ++mQueueOrder;
    }
  } else {
    E.Signaled = true;
  }
}

void EventQueue::Signal (uint64_t Event) {
  auto It = mEvents.find (Event);
  if (It == mEvents.end ()) {
    return;
  }
  if (It->second.Group) {
    Guid G = *It->second.Group;
    for (auto &E : mEvents) {
      if (E.second.Group && *E.second.Group == G) {
        QueueNotify (E.second);
      }
    }
  } else {
    QueueNotify (It->second);
  }
  DispatchPending ();
}

void EventQueue::SignalGroup (const Guid &Group) {
  for (auto &E : mEvents) {
    if (E.second.Group && *E.second.Group == Group) {
      QueueNotify (E.second);
    }
  }
  DispatchPending ();
}

void EventQueue::DispatchPending () {
  // Highest TPL first, in queue order within a TPL; only notifications whose
  // TPL is above the current one run, each at its own TPL.
  for (int Guard = 0; Guard < 100000 && !mM.Stopped (); Guard++) {
    EventRecord *Next = nullptr;
    for (auto &E : mEvents) {
      EventRecord &R = E.second;
      if (R.Pending && R.NotifyTpl > mTpl &&
          (Next == nullptr || R.NotifyTpl > Next->NotifyTpl ||
           (R.NotifyTpl == Next->NotifyTpl && R.QueueOrder < Next->QueueOrder))) {
        Next = &R;
      }
    }
    if (Next == nullptr) {
      return;
    }
    Next->Pending = false;
    Next->Notifications++;
    uint64_t Saved = mTpl;
    mTpl = Next->NotifyTpl;
    uint64_t Fn = Next->NotifyFunction, Handle = Next->Handle, Ctx = Next->NotifyContext;
    mM.Call (Fn, {Handle, Ctx});   // may close or signal events: Next is not used after this
    mTpl = Saved;
  }
}

void EventQueue::FireDueTimers () {
  uint64_t Now = NowNs ();
  bool Any = false;
  for (auto &E : mEvents) {
    EventRecord &R = E.second;
    if ((R.Type & efi::EvtTimer) != 0 && R.TimerType != 0 && R.TriggerNs <= Now) {
      QueueNotify (R);
      Any = true;
      if (R.TimerType == 1) {
        R.TriggerNs += R.PeriodNs == 0 ? 1 : R.PeriodNs;
        if (R.TriggerNs <= Now) {
          R.TriggerNs = Now + (R.PeriodNs == 0 ? 1 : R.PeriodNs);   // missed ticks coalesce, as with a real tick source
        }
      } else {
        R.TimerType = 0;
      }
    }
  }
  if (Any) {
    DispatchPending ();
  }
}

void EventQueue::AdvanceTime (uint64_t Ns) {
  uint64_t Target = NowNs () + Ns;
  // Step from one due timer to the next so that a periodic timer fires once
  // for every period that passes.
  for (int Guard = 0; Guard < 1000000 && !mM.Stopped (); Guard++) {
    uint64_t Next = Target;
    for (const auto &E : mEvents) {
      const EventRecord &R = E.second;
      if ((R.Type & efi::EvtTimer) != 0 && R.TimerType != 0 && R.TriggerNs < Next) {
        Next = R.TriggerNs;
      }
    }
    if (Next > NowNs ()) {
      mExtraNs += Next - NowNs ();
    }
    FireDueTimers ();
    if (NowNs () >= Target) {
      return;
    }
  }
}

std::vector<const EventRecord *> EventQueue::All () const {
  std::vector<const EventRecord *> Out;
  for (const auto &E : mEvents) Out.push_back (&E.second);
  return Out;
}

void EventQueue::SetTimer (EventRecord &E, uint32_t TimerType, uint64_t Units100Ns) {
  E.TimerType = TimerType;
  E.PeriodNs = Units100Ns * 100;
  E.TriggerNs = NowNs () + (Units100Ns == 0 ? 1 : Units100Ns * 100);
}

std::optional<uint64_t> EventQueue::NextTimerDue () const {
  std::optional<uint64_t> Next;
  for (const auto &E : mEvents) {
    const EventRecord &R = E.second;
    if ((R.Type & efi::EvtTimer) != 0 && R.TimerType != 0 && (!Next || R.TriggerNs < *Next)) {
      Next = R.TriggerNs;
    }
  }
  return Next;
}

}  // namespace vboard
