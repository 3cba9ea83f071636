// The board's own services, called the way guest code calls them: through
// the function pointers of the boot- and runtime-services tables. Modules
// rely on these rules (TPL order of notifications, one-shot and periodic
// timers, protocol-notify registrations, the variable store's size and
// attribute handling, guard pages), so a fault here would hide or fake a
// fault in a module. Notify functions are trap addresses that record calls.
#include "cpu/FaultPc.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <stdexcept>

namespace vboard {
namespace {

// Slot indices in EFI_BOOT_SERVICES / EFI_RUNTIME_SERVICES (after the 24-byte header).
enum BsSlot {
  RaiseTpl = 0, RestoreTpl = 1, AllocatePool = 5, FreePool = 6, CreateEvent = 7, SetTimer = 8, SignalEvent = 10,
  CloseEvent = 11, InstallProtocolInterface = 13, RegisterProtocolNotify = 18, LoadImage = 22, StartImage = 23,
  UnloadImage = 25, LocateProtocol = 37, CreateEventEx = 43
};
enum RtSlot { GetVariable = 6, SetVariable = 8 };

class BoardServices : public ::testing::Test {
 protected:
  Board B;
  std::vector<std::string> Order;

  uint64_t Bs (BsSlot Slot, const std::vector<uint64_t> &Args) {
    return B.M.Call (B.M.Load<uint64_t> (B.Fw.BootServices + 24 + 8 * Slot), Args);
  }
  uint64_t Rt (RtSlot Slot, const std::vector<uint64_t> &Args) {
    return B.M.Call (B.M.Load<uint64_t> (B.Fw.RuntimeServices + 24 + 8 * Slot), Args);
  }
  // A notify function that records its name and the TPL it ran at.
  uint64_t Notify (const std::string &Name, std::function<void ()> Then = nullptr) {
    return B.M.AddTrap (Name, [this, Name, Then] (CallArgs &) {
      Order.push_back (Name + "@" + std::to_string (B.Fw.CurrentTpl ()));
      if (Then) Then ();
      return 0ULL;
    });
  }
  uint64_t NewEvent (uint32_t Type, uint64_t Tpl, uint64_t Fn, const Guid *Group = nullptr) {
    uint64_t Out = B.Scratch (8);
    uint64_t Status = Group != nullptr ? Bs (CreateEventEx, {Type, Tpl, Fn, 0, B.Fw.HostCopy (Group->Bytes.data (), 16), Out})
                                       : Bs (CreateEvent, {Type, Tpl, Fn, 0, Out});
    EXPECT_EQ (Status, efi::Success);
    return B.M.Load<uint64_t> (Out);
  }
  uint64_t GuidPtr (const Guid &G) { return B.Fw.HostCopy (G.Bytes.data (), 16); }
};

TEST_F (BoardServices, NotificationsRunByTplThenInQueueOrder) {
  const Guid Group = Guid::Parse ("11111111-2222-3333-4444-555555555555");
  NewEvent (efi::EvtNotifySignal, efi::TplCallback, Notify ("callback-1"), &Group);
  NewEvent (efi::EvtNotifySignal, efi::TplNotify, Notify ("notify"), &Group);
  NewEvent (efi::EvtNotifySignal, efi::TplCallback, Notify ("callback-2"), &Group);
  B.Fw.SignalEventGroup (Group);
  EXPECT_EQ (Order, (std::vector<std::string>{"notify@16", "callback-1@8", "callback-2@8"}));

  // Raised to TPL_NOTIFY, nothing at or below it runs until the TPL drops.
  Order.clear ();
  Bs (RaiseTpl, {efi::TplNotify});
  B.Fw.SignalEventGroup (Group);
  EXPECT_TRUE (Order.empty ());
  Bs (RestoreTpl, {efi::TplApplication});
  EXPECT_EQ (Order, (std::vector<std::string>{"notify@16", "callback-1@8", "callback-2@8"}));
}

TEST_F (BoardServices, SignalFromANotifyFunctionPreemptsOnlyLowerTpl) {
  uint64_t High = NewEvent (efi::EvtNotifySignal, efi::TplNotify, Notify ("high"));
  uint64_t Low2 = NewEvent (efi::EvtNotifySignal, efi::TplCallback, Notify ("low-2"));
  uint64_t Low = NewEvent (efi::EvtNotifySignal, efi::TplCallback, Notify ("low", [&] {
    B.Fw.SignalEvent (Low2);   // same TPL: waits until "low" returns
    B.Fw.SignalEvent (High);   // higher TPL: runs at once
    Order.push_back ("low-end");
  }));
  EXPECT_EQ (Bs (SignalEvent, {Low}), efi::Success);
  EXPECT_EQ (Order, (std::vector<std::string>{"low@8", "high@16", "low-end", "low-2@8"}));
}

TEST_F (BoardServices, TimersFireOncePerPeriodAndStopWhenCancelled) {
  uint64_t Periodic = NewEvent (efi::EvtTimer | efi::EvtNotifySignal, efi::TplCallback, Notify ("tick"));
  uint64_t OneShot = NewEvent (efi::EvtTimer | efi::EvtNotifySignal, efi::TplCallback, Notify ("once"));
  ASSERT_EQ (Bs (SetTimer, {Periodic, 1, 10000000}), efi::Success);   // 1 s, in 100 ns units
  ASSERT_EQ (Bs (SetTimer, {OneShot, 2, 25000000}), efi::Success);    // once, after 2.5 s
  B.Fw.AdvanceTime (3500000000ULL);
  EXPECT_EQ (Order, (std::vector<std::string>{"tick@8", "tick@8", "once@8", "tick@8"}));
  Order.clear ();
  ASSERT_EQ (Bs (SetTimer, {Periodic, 0, 0}), efi::Success);
  B.Fw.AdvanceTime (5000000000ULL);
  EXPECT_TRUE (Order.empty ());
  EXPECT_EQ (Bs (SetTimer, {B.Scratch (16), 1, 1}), efi::InvalidParameter) << "not an event";
}

TEST_F (BoardServices, ClosedEventsNeverRun) {
  const Guid Group = Guid::Parse ("11111111-2222-3333-4444-555555555556");
  uint64_t E = NewEvent (efi::EvtNotifySignal, efi::TplCallback, Notify ("closed"), &Group);
  EXPECT_EQ (Bs (CloseEvent, {E}), efi::Success);
  B.Fw.SignalEventGroup (Group);
  EXPECT_TRUE (Order.empty ());
  EXPECT_EQ (Bs (CloseEvent, {E}), efi::InvalidParameter);
}

TEST_F (BoardServices, ProtocolNotifyHandsOutEachNewInterfaceOnce) {
  const Guid P = Guid::Parse ("AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE");
  uint64_t Event = NewEvent (efi::EvtNotifySignal, efi::TplCallback, Notify ("installed"));
  uint64_t Reg = B.Scratch (8), Iface = B.Scratch (8), Handle = B.Scratch (8);
  ASSERT_EQ (Bs (RegisterProtocolNotify, {GuidPtr (P), Event, Reg}), efi::Success);
  uint64_t Key = B.M.Load<uint64_t> (Reg);
  EXPECT_EQ (Bs (LocateProtocol, {GuidPtr (P), Key, Iface}), efi::NotFound) << "nothing installed since registration";

  ASSERT_EQ (Bs (InstallProtocolInterface, {Handle, GuidPtr (P), 0, 0x1234}), efi::Success);
  EXPECT_EQ (Order, (std::vector<std::string>{"installed@8"}));
  EXPECT_EQ (Bs (LocateProtocol, {GuidPtr (P), Key, Iface}), efi::Success);
  EXPECT_EQ (B.M.Load<uint64_t> (Iface), 0x1234u);
  EXPECT_EQ (Bs (LocateProtocol, {GuidPtr (P), Key, Iface}), efi::NotFound) << "handed out twice";
  EXPECT_EQ (Bs (LocateProtocol, {GuidPtr (P), 0, Iface}), efi::Success) << "a plain lookup still finds it";

  // A second registration also hands out what was installed before it, but
  // nothing signals its event for that.
  Order.clear ();
  uint64_t Late = NewEvent (efi::EvtNotifySignal, efi::TplCallback, Notify ("late"));
  ASSERT_EQ (Bs (RegisterProtocolNotify, {GuidPtr (P), Late, Reg}), efi::Success);
  uint64_t LateKey = B.M.Load<uint64_t> (Reg);
  EXPECT_TRUE (Order.empty ());
  EXPECT_EQ (Bs (LocateProtocol, {GuidPtr (P), LateKey, Iface}), efi::Success);
  EXPECT_EQ (B.M.Load<uint64_t> (Iface), 0x1234u);
  EXPECT_EQ (Bs (LocateProtocol, {GuidPtr (P), LateKey, Iface}), efi::NotFound);

  // The same protocol twice on one handle is refused and signals nothing.
  Order.clear ();
  EXPECT_EQ (Bs (InstallProtocolInterface, {Handle, GuidPtr (P), 0, 0x5678}), efi::InvalidParameter);
  EXPECT_TRUE (Order.empty ());
}

TEST_F (BoardServices, VariableSizesAndAttributes) {
  const Guid V = Guid::Parse ("12345678-1234-1234-1234-123456789ABC");
  uint64_t Name = B.Fw.HostUcs2 (u"Probe"), Vendor = GuidPtr (V), Size = B.Scratch (8), Attr = B.Scratch (4);
  uint64_t Data = B.Scratch (16);
  const uint32_t NvBsRt = platform::kSetupAttributes;
  B.M.Write (Data, "0123456789", 10);
  ASSERT_EQ (Rt (SetVariable, {Name, Vendor, NvBsRt, 10, Data}), efi::Success);

  B.M.Store<uint64_t> (Size, 4);
  EXPECT_EQ (Rt (GetVariable, {Name, Vendor, 0, Size, B.Scratch (4)}), efi::BufferTooSmall);
  EXPECT_EQ (B.M.Load<uint64_t> (Size), 10u) << "the needed size comes back";
  B.M.Store<uint64_t> (Size, 16);
  uint64_t Out = B.Scratch (16);
  EXPECT_EQ (Rt (GetVariable, {Name, Vendor, Attr, Size, Out}), efi::Success);
  EXPECT_EQ (B.M.Load<uint64_t> (Size), 10u);
  EXPECT_EQ (B.M.Load<uint32_t> (Attr), NvBsRt);
  EXPECT_EQ (B.M.ReadAscii (Out, 10), "0123456789");

  EXPECT_EQ (Rt (SetVariable, {Name, Vendor, efi::VariableBootServiceAccess, 10, Data}), efi::InvalidParameter)
      << "an existing variable keeps its attributes";
  EXPECT_EQ (Rt (SetVariable, {Name, Vendor, efi::VariableRuntimeAccess, 10, Data}), efi::InvalidParameter)
      << "runtime access needs boot-service access";
  EXPECT_EQ (Rt (SetVariable, {Name, Vendor, NvBsRt, 0, 0}), efi::Success);
  EXPECT_EQ (Rt (GetVariable, {Name, Vendor, 0, Size, Out}), efi::NotFound);
  EXPECT_EQ (Rt (SetVariable, {Name, Vendor, NvBsRt, 0, 0}), efi::NotFound);
}

TEST_F (BoardServices, PcdDatumsKeepTheBytesAndSizesWritten) {
  // Through the PI PCD protocol, as EDK II's PCD driver serves it.
  enum PiPcd { Get8 = 1, GetPtr = 5, GetBool = 6, GetSize = 7, Set8 = 8, Set32 = 10, SetPtr = 12, SetBool = 13 };
  const Guid Space = Guid::Parse ("5C4A6F0E-91B2-4E37-A7D8-0F6B2C9E1D34");
  B.Fw.DefinePcd (Space, 1, PcdType::Bool, 0, 0, "TestBool");
  B.Fw.DefinePcd (Space, 2, PcdType::Ptr, 0, 200, "TestPtr", 40);
  uint64_t Pi = *B.Fw.FindProtocol (guids::PiPcdProtocol);
  uint64_t SpaceAt = B.Fw.HostCopy (Space.Bytes.data (), 16);
  auto Call = [&] (PiPcd Slot, std::vector<uint64_t> Args) {
    Args.insert (Args.begin (), SpaceAt);
    return B.M.Call (B.M.Load<uint64_t> (Pi + 8 * Slot), Args);
  };
  // A BOOLEAN holds the byte written, and reads back as that byte through
  // either getter of its size; a write of another size is refused.
  EXPECT_EQ (Call (SetBool, {1, 0xFF}), efi::Success);
  EXPECT_EQ (Call (GetBool, {1}) & 0xFF, 0xFFu);
  EXPECT_EQ (Call (Get8, {1}) & 0xFF, 0xFFu);
  EXPECT_EQ (Call (Set8, {1, 0x02}), efi::Success);
  EXPECT_EQ (Call (GetBool, {1}) & 0xFF, 0x02u);
  EXPECT_EQ (Call (Set32, {1, 1}), efi::InvalidParameter);
  EXPECT_EQ (Call (GetBool, {1}) & 0xFF, 0x02u);

  // A VOID* PCD: GetSize is the current size; SetPtr accepts up to the
  // maximum and makes the size given current; above it, it refuses and
  // writes the maximum back.
  uint64_t SizeAt = B.Scratch (8), Data = B.Scratch (256);
  EXPECT_EQ (Call (GetSize, {2}), 40u);
  B.M.Store<uint64_t> (SizeAt, 150);
  EXPECT_EQ (Call (SetPtr, {2, SizeAt, Data}), efi::Success);
  EXPECT_EQ (Call (GetSize, {2}), 150u);
  B.M.Store<uint64_t> (SizeAt, 201);
  EXPECT_EQ (Call (SetPtr, {2, SizeAt, Data}), efi::InvalidParameter);
  EXPECT_EQ (B.M.Load<uint64_t> (SizeAt), 200u);
  EXPECT_EQ (Call (GetSize, {2}), 150u);
  B.M.Store<uint64_t> (SizeAt, 200);
  EXPECT_EQ (Call (SetPtr, {2, SizeAt, Data}), efi::Success);
  EXPECT_EQ (Call (GetSize, {2}), 200u);
  EXPECT_EQ (Call (GetPtr, {2}), B.Fw.FindPcd (Space, 2)->Buffer);
  EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
}

TEST_F (BoardServices, LoadImageAnswersAsTheDxeCore) {
  ImageRecord &Parent = B.Fw.LoadImage (test::TestImage ("NetBootProbe"));
  uint64_t HandleOut = B.Scratch (8);
  const uint64_t kUntouched = 0x5A5A5A5A;
  uint64_t Path = B.Fw.HostCopy (B.Nic.Pxe4Path ().data (), B.Nic.Pxe4Path ().size ());
  auto Load = [&] (uint64_t FilePath, uint64_t Source = 0, uint64_t SourceSize = 0) {
    B.M.Store<uint64_t> (HandleOut, kUntouched);
    return Bs (LoadImage, {1, Parent.Handle, FilePath, Source, SourceSize, HandleOut});
  };
  // Whatever the device's Load File answers, a file that cannot be read
  // is Not Found, and the handle is left alone.
  B.Nic.BootFile = test::TestImage ("NetBootProbe");
  for (auto State : {NetworkDevice::Network::NoLink, NetworkDevice::Network::NoServer, NetworkDevice::Network::NoFile}) {
    B.Nic.State = State;
    EXPECT_EQ (Load (Path), efi::NotFound);
    EXPECT_EQ (B.M.Load<uint64_t> (HandleOut), kUntouched);
  }
  EXPECT_EQ (Load (0), efi::InvalidParameter);               // neither a path nor a buffer
  EXPECT_EQ (Load (Path, B.Scratch (16), 0), efi::LoadError);  // an empty buffer
  // Headers the PE/COFF loader refuses are unsupported; a section it
  // cannot place is a load error, and nothing of that image stays.
  std::vector<uint8_t> Good = ReadWholeFile (test::TestImage ("NetBootProbe"));
  std::vector<uint8_t> NotPe = Good;
  NotPe[0] = 'X';
  EXPECT_EQ (Load (Path, B.Fw.HostCopy (NotPe.data (), NotPe.size ()), NotPe.size ()), efi::Unsupported);
  std::vector<uint8_t> Misplaced = Good;
  uint32_t Pe;
  std::memcpy (&Pe, Good.data () + 0x3C, 4);
  uint16_t OptSize;
  std::memcpy (&OptSize, Good.data () + Pe + 20, 2);
  const uint32_t Far = 0x7FFFFFF0;
  std::memcpy (Misplaced.data () + Pe + 24 + OptSize + 20, &Far, 4);   // first section's PointerToRawData
  size_t Images = B.Fw.Images ().size ();
  EXPECT_EQ (Load (Path, B.Fw.HostCopy (Misplaced.data (), Misplaced.size ()), Misplaced.size ()), efi::LoadError);
  EXPECT_EQ (B.Fw.Images ().size (), Images);
  EXPECT_EQ (B.M.Load<uint64_t> (HandleOut), kUntouched);

  // The security policy: a violation loads the image with a handle that
  // can only be unloaded; a denial gives no handle at all.
  B.Nic.State = NetworkDevice::Network::Serves;
  std::vector<std::vector<uint8_t>> Asked;
  uint64_t Answer = efi::SecurityViolation;
  B.Fw.ImageSecurity = [&] (const std::vector<uint8_t> &FilePath, const std::vector<uint8_t> &Image, bool BootPolicy) {
    Asked.push_back (FilePath);
    EXPECT_TRUE (BootPolicy);
    EXPECT_GT (Image.size (), 0u);
    return Answer;
  };
  EXPECT_EQ (Load (Path), efi::SecurityViolation);
  uint64_t Refused = B.M.Load<uint64_t> (HandleOut);
  ASSERT_NE (Refused, kUntouched);
  ASSERT_EQ (Asked.size (), 1u);
  EXPECT_EQ (Asked[0], B.Nic.Pxe4Path ());
  EXPECT_EQ (Bs (StartImage, {Refused, 0, 0}), efi::SecurityViolation);
  EXPECT_EQ (Bs (UnloadImage, {Refused}), efi::Success);
  EXPECT_EQ (Bs (UnloadImage, {Refused}), efi::InvalidParameter);
  Answer = efi::AccessDenied;
  EXPECT_EQ (Load (Path), efi::AccessDenied);
  EXPECT_EQ (B.M.Load<uint64_t> (HandleOut), 0u);
  Answer = efi::Success;
  EXPECT_EQ (Load (Path), efi::Success);
  EXPECT_NE (B.M.Load<uint64_t> (HandleOut), kUntouched);
  EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
}

TEST_F (BoardServices, PoolGuardsAndCanaries) {
  uint64_t Out = B.Scratch (8);
  ASSERT_EQ (Bs (AllocatePool, {efi::BootServicesData, 13, Out}), efi::Success);
  uint64_t Buffer = B.M.Load<uint64_t> (Out);
  EXPECT_EQ (Buffer % 8, 0u);
  EXPECT_EQ (B.M.Load<uint8_t> (Buffer), Heap::kPoison) << "fresh pool is poisoned, not zeroed";
  EXPECT_FALSE (B.M.IsMapped (Buffer + 16)) << "a guard page follows the buffer";
  // A write into the slack after byte 13 is caught when the buffer is freed.
  B.M.Store<uint8_t> (Buffer + 13, 0);
  Bs (FreePool, {Buffer});
  ASSERT_TRUE (B.M.Faulted ());
  EXPECT_NE (B.M.LastFault ().Detail.find ("overrun by 1 byte"), std::string::npos) << B.M.LastFault ().Detail;
}

TEST_F (BoardServices, FreedPoolIsUnmappedAndDoubleFreeIsMisuse) {
  uint64_t Out = B.Scratch (8);
  ASSERT_EQ (Bs (AllocatePool, {efi::BootServicesData, 64, Out}), efi::Success);
  uint64_t Buffer = B.M.Load<uint64_t> (Out);
  EXPECT_EQ (Bs (FreePool, {Buffer}), efi::Success);
  EXPECT_FALSE (B.M.IsMapped (Buffer)) << "a use after free must fault";
  Bs (FreePool, {Buffer});
  ASSERT_TRUE (B.M.Faulted ());
  EXPECT_EQ (B.M.LastFault ().Kind, FaultKind::ServiceMisuse);
}

TEST_F (BoardServices, GenericTimerRunsOnSimulatedTime) {
  // mrs x0, cntfrq_el0; ret / mrs x0, cntpct_el0; ret
  const uint32_t Code[] = {0xD53BE000, 0xD65F03C0, 0xD53BE020, 0xD65F03C0};
  B.M.MapRam (0x30000000, 0x1000);
  B.M.Write (0x30000000, Code, sizeof (Code));
  EXPECT_EQ (B.M.Call (0x30000000, {}), Machine::kCounterHz);
  uint64_t First = B.M.Call (0x30000008, {});
  B.Fw.AdvanceTime (1000000000ULL);
  uint64_t Second = B.M.Call (0x30000008, {});
  // One second later, plus the second read's own time, give or take the
  // few instructions in between.
  const uint64_t ReadTicks = Machine::kCounterReadNs * Machine::kCounterHz / 1000000000ULL;
  EXPECT_GE (Second - First, Machine::kCounterHz + ReadTicks);
  EXPECT_LT (Second - First, Machine::kCounterHz + ReadTicks + 10);
  EXPECT_EQ (B.M.CounterReads (), 2u);
  // Back-to-back reads are a counter read's time apart.
  EXPECT_NEAR (static_cast<double> (B.M.Call (0x30000008, {}) - Second), ReadTicks, 1);
}

TEST (FaultPc, DecodesTheAddressOfCommonLoadsAndStores) {
  uint64_t Regs[32] = {};
  Regs[0] = 0x1000;
  Regs[1] = 0x2000;
  Regs[2] = 0x30;
  Regs[31] = 0x8000;   // SP
  struct Case {
    uint32_t Insn;
    uint64_t Address, Size;
  } Cases[] = {
      {0xB9400001, 0x1000, 4},    // ldr w1, [x0]
      {0xF9001BFF, 0x8030, 8},    // str xzr, [sp, #48]
      {0xA9BF7BFD, 0x7FF0, 16},   // stp x29, x30, [sp, #-16]!
      {0x38626820, 0x2030, 1},    // ldrb w0, [x1, x2]
      {0xF8408420, 0x2000, 8},    // ldr x0, [x1], #8
      {0x3D800020, 0x2000, 16},   // str q0, [x1]
  };
  for (const Case &C : Cases) {
    uint64_t Address = 0, Size = 0;
    ASSERT_TRUE (LoadStoreAddress (C.Insn, 0x4000, Regs, Address, Size)) << std::hex << C.Insn;
    EXPECT_EQ (Address, C.Address) << std::hex << C.Insn;
    EXPECT_EQ (Size, C.Size) << std::hex << C.Insn;
  }
  uint64_t A, S;
  EXPECT_FALSE (LoadStoreAddress (0x8B020020, 0, Regs, A, S)) << "add x0, x1, x2 is no memory access";
}

TEST (PeImageLoader, RefusesWhatIsNotAnAArch64EfiImage) {
  EXPECT_THROW (PeImage ("/proc/self/exe"), std::runtime_error);   // an ELF host program
  EXPECT_THROW (PeImage ("/nonexistent.efi"), std::runtime_error);
  PeImage Image (test::ModuleImage ("Wattkeep"));
  EXPECT_EQ (Image.BaseName (), "Wattkeep");
  EXPECT_EQ (Image.Subsystem (), 11) << "EFI boot service driver";
  EXPECT_FALSE (Image.DebugFile ().empty ()) << "the build's .debug file is found for reports";
}

}  // namespace
}  // namespace vboard
