#include "uefi/BootManager.h"

#include "uefi/GuidNames.h"
#include "images/FirmwareVolume.h"

#include <cstdio>
#include <cstring>

namespace vboard {

// ---------------------------------------------------------------- device paths

namespace devpath {

namespace {
void Put16 (Bytes &B, uint16_t V) { B.push_back (V & 0xFF); B.push_back (V >> 8); }
void Put32 (Bytes &B, uint32_t V) { for (int I = 0; I < 4; I++) B.push_back ((V >> (8 * I)) & 0xFF); }
}  // namespace

Bytes Node (uint8_t Type, uint8_t SubType, const Bytes &Data) {
  Bytes B{Type, SubType};
  Put16 (B, static_cast<uint16_t> (4 + Data.size ()));
  B.insert (B.end (), Data.begin (), Data.end ());
  return B;
}

Bytes PciRoot (uint32_t Uid) {
  Bytes D;
  Put32 (D, 0x0A0341D0);   // EISA ID of PNP0A03
  Put32 (D, Uid);
  return Node (0x02, 0x01, D);
}

Bytes Pci (uint8_t Device, uint8_t Function) { return Node (0x01, 0x01, {Function, Device}); }

Bytes Mac (const std::array<uint8_t, 6> &Address, uint8_t IfType) {
  Bytes D (32, 0);
  std::memcpy (D.data (), Address.data (), 6);
  D.push_back (IfType);
  return Node (0x03, 0x0B, D);
}

Bytes Ipv4 () {
  // Local and remote address, ports, protocol, StaticIpAddress 0 (DHCP),
  // gateway and subnet mask, all zero: the node a PXEv4 option carries.
  return Node (0x03, 0x0C, Bytes (23, 0));
}

Bytes Ipv6 () { return Node (0x03, 0x0D, Bytes (56, 0)); }

Bytes Uri (const std::string &Text) { return Node (0x03, 0x18, Bytes (Text.begin (), Text.end ())); }
Bytes Fv (const Guid &Volume) { return Node (0x04, 0x07, Bytes (Volume.Bytes.begin (), Volume.Bytes.end ())); }
Bytes FvFile (const Guid &File) { return Node (0x04, 0x06, Bytes (File.Bytes.begin (), File.Bytes.end ())); }

Bytes HardDrive (uint32_t Partition) {
  Bytes D;
  Put32 (D, Partition);
  D.resize (D.size () + 16 + 16, 0);   // start, size
  D.resize (D.size () + 16, 0x11);     // partition signature
  D.push_back (0x02);                  // GPT
  D.push_back (0x02);                  // GUID signature
  return Node (0x04, 0x01, D);
}

Bytes File (const std::u16string &Path) {
  Bytes D;
  for (char16_t C : Path) Put16 (D, C);
  Put16 (D, 0);
  return Node (0x04, 0x04, D);
}

Bytes EndInstance () { return {0x7F, 0x01, 0x04, 0x00}; }
Bytes End () { return {0x7F, 0xFF, 0x04, 0x00}; }

Bytes Join (const std::vector<Bytes> &Nodes) {
  Bytes B;
  for (const Bytes &N : Nodes) B.insert (B.end (), N.begin (), N.end ());
  return B;
}

std::string Text (const Bytes &Path) {
  std::string Out;
  char Buf[64];
  for (size_t At = 0; At + 4 <= Path.size ();) {
    uint8_t Type = Path[At], Sub = Path[At + 1];
    size_t Len = Path[At + 2] | (Path[At + 3] << 8);
    if (Len < 4 || At + Len > Path.size ()) return Out + "/<malformed>";
    if (Type == 0x7F && Sub == 0xFF) break;
    const uint8_t *D = Path.data () + At + 4;
    std::string Name;
    if (Type == 0x7F) {
      Name = ",";
    } else if (Type == 0x02 && Sub == 0x01 && Len >= 12) {
      std::snprintf (Buf, sizeof (Buf), "PciRoot(0x%x)", D[4] | (D[5] << 8) | (D[6] << 16) | (unsigned (D[7]) << 24));
      Name = Buf;
    } else if (Type == 0x01 && Sub == 0x01 && Len >= 6) {
      std::snprintf (Buf, sizeof (Buf), "Pci(0x%x,0x%x)", D[1], D[0]);
      Name = Buf;
    } else if (Type == 0x03 && Sub == 0x0B && Len >= 37) {
      std::snprintf (Buf, sizeof (Buf), "MAC(%02X%02X%02X%02X%02X%02X,0x%x)", D[0], D[1], D[2], D[3], D[4], D[5], D[32]);
      Name = Buf;
    } else if (Type == 0x03 && Sub == 0x0C) {
      Name = "IPv4(...)";
    } else if (Type == 0x03 && Sub == 0x0D) {
      Name = "IPv6(...)";
    } else if (Type == 0x03 && Sub == 0x18) {
      Name = "Uri(" + std::string (D, D + (Len - 4)) + ")";
    } else if (Type == 0x04 && (Sub == 0x06 || Sub == 0x07) && Len >= 20) {
      Guid G;
      std::copy (D, D + 16, G.Bytes.begin ());
      Name = std::string (Sub == 0x07 ? "Fv(" : "FvFile(") + G.ToString () + ")";
    } else {
      std::snprintf (Buf, sizeof (Buf), "Path(%u,%u)", Type, Sub);
      Name = Buf;
    }
    Out += (Out.empty () || Name == "," || Out.back () == ',' ? "" : "/") + Name;
    At += Len;
  }
  return Out;
}

}  // namespace devpath

std::vector<uint8_t> LoadOption (uint32_t Attributes, const std::u16string &Description, const devpath::Bytes &FilePath,
                                 const std::vector<uint8_t> &OptionalData) {
  std::vector<uint8_t> B;
  for (int I = 0; I < 4; I++) B.push_back ((Attributes >> (8 * I)) & 0xFF);
  B.push_back (FilePath.size () & 0xFF);
  B.push_back ((FilePath.size () >> 8) & 0xFF);
  for (char16_t C : Description) {
    B.push_back (C & 0xFF);
    B.push_back (C >> 8);
  }
  B.push_back (0);
  B.push_back (0);
  B.insert (B.end (), FilePath.begin (), FilePath.end ());
  B.insert (B.end (), OptionalData.begin (), OptionalData.end ());
  return B;
}

// ---------------------------------------------------------------- boot variables

namespace {
constexpr uint32_t kBootVariableAttributes =
    efi::VariableNonVolatile | efi::VariableBootServiceAccess | efi::VariableRuntimeAccess;
constexpr uint32_t kApplication = 10;            // PE subsystem of a UEFI application
constexpr uint32_t kRuntimeDriver = 12;
constexpr size_t kMaxPath = 0x10000;             // bytes of a device path LoadImage will walk
constexpr uint64_t kLoadedImageParent = 8;       // EFI_LOADED_IMAGE_PROTOCOL.ParentHandle
constexpr uint64_t kLoadedImageUnload = 88;      // EFI_LOADED_IMAGE_PROTOCOL.Unload

const Guid &DevicePathProtocol () {
  static const Guid G = names::Named ("gEfiDevicePathProtocolGuid");
  return G;
}
const Guid &LoadFileProtocol () {
  static const Guid G = names::Named ("gEfiLoadFileProtocolGuid");
  return G;
}
const Guid &LoadFile2Protocol () {
  static const Guid G = names::Named ("gEfiLoadFile2ProtocolGuid");
  return G;
}
}  // namespace

BootManager::BootManager (Firmware &Fw) : mFw (Fw) {}

std::u16string BootManager::OptionName (uint16_t Number) {
  char Buf[16];
  std::snprintf (Buf, sizeof (Buf), "Boot%04X", Number);
  return Utf16 (Buf);
}

void BootManager::SetBootOrder (const std::vector<uint16_t> &Order) {
  std::vector<uint8_t> Raw;
  for (uint16_t N : Order) {
    Raw.push_back (N & 0xFF);
    Raw.push_back (N >> 8);
  }
  SetBootOrderBytes (Raw);
}

void BootManager::SetBootOrderBytes (const std::vector<uint8_t> &Raw) {
  mFw.SetVariable (u"BootOrder", guids::GlobalVariable, kBootVariableAttributes, Raw);
}

void BootManager::SetOption (uint16_t Number, const std::vector<uint8_t> &Option) {
  mFw.SetVariable (OptionName (Number), guids::GlobalVariable, kBootVariableAttributes, Option);
}

// ---------------------------------------------------------------- image services

void BootManager::Install () {
  mFw.ImageServices.LoadImage = [this] (CallArgs &A) { return LoadImage (A); };
  mFw.ImageServices.StartImage = [this] (CallArgs &A) { return StartImage (A); };
  mFw.ImageServices.Exit = [this] (CallArgs &A) { return Exit (A); };
  mFw.ImageServices.UnloadImage = [this] (CallArgs &A) { return UnloadImage (A); };
}

ImageRecord *BootManager::ImageByHandle (uint64_t Handle) {
  if (Handle == 0) return nullptr;
  for (auto &I : mFw.Images ()) {
    if (I->Handle == Handle && !I->Unloaded) return I.get ();
  }
  return nullptr;
}

std::vector<uint8_t> BootManager::ReadPath (uint64_t Address) {
  std::vector<uint8_t> Path;
  for (size_t At = 0; At < kMaxPath;) {
    uint8_t Header[4];
    if (!mFw.M.Read (Address + At, Header, 4)) return {};
    size_t Len = Header[2] | (Header[3] << 8);
    if (Len < 4) return {};
    std::vector<uint8_t> Node = mFw.M.ReadBytes (Address + At, Len);
    if (!mFw.M.IsMapped (Address + At + Len - 1)) return {};
    Path.insert (Path.end (), Node.begin (), Node.end ());
    At += Len;
    if (Header[0] == 0x7F && Header[1] == 0xFF) return Path;
  }
  return {};
}

uint64_t BootManager::LocateDevicePath (const Guid &Protocol, const std::vector<uint8_t> &Path, size_t &Consumed) {
  // As LocateDevicePath: among the handles with Protocol, the one whose
  // device path (without its end node) matches the longest leading run of
  // whole nodes of Path. A handle path matches only up to an instance end.
  uint64_t Best = 0;
  size_t BestSize = 0;
  bool Found = false;
  for (uint64_t Handle : mFw.HandlesWith (Protocol)) {
    auto Dp = mFw.InterfaceOn (Handle, DevicePathProtocol ());
    if (!Dp || *Dp == 0) continue;
    std::vector<uint8_t> Own = ReadPath (*Dp);
    if (Own.size () < 4) continue;
    size_t Size = Own.size () - 4;
    if (Size > Path.size () || std::memcmp (Own.data (), Path.data (), Size) != 0) continue;
    if (!Found || Size > BestSize) {
      Best = Handle;
      BestSize = Size;
      Found = true;
    }
  }
  Consumed = BestSize;
  return Best;
}

uint64_t BootManager::ReadThroughLoadFile (uint64_t Handle, uint64_t Interface, uint64_t RemainingPath, bool BootPolicy,
                                           std::vector<uint8_t> &Image) {
  // As the DXE core's file reader: ask for the size with a NULL buffer;
  // only EFI_BUFFER_TOO_SMALL leads to a pool buffer of that size and one
  // more call. Anything else (an error, or success without a buffer)
  // yields no file.
  (void)Handle;
  Machine &M = mFw.M;
  uint64_t Function = M.Load<uint64_t> (Interface);
  uint64_t SizeCell = mFw.Pool.AllocatePool (efi::BootServicesData, 8, 0);
  M.Store<uint64_t> (SizeCell, 0);
  uint64_t Status = M.Call (Function, {Interface, RemainingPath, BootPolicy ? 1u : 0u, SizeCell, 0});
  if (Status == efi::BufferTooSmall && !M.Stopped ()) {
    uint64_t Size = M.Load<uint64_t> (SizeCell);
    uint64_t Buffer = mFw.Pool.AllocatePool (efi::BootServicesData, Size, 0);
    if (Buffer == 0) {
      Status = efi::OutOfResources;
    } else {
      Status = M.Call (Function, {Interface, RemainingPath, BootPolicy ? 1u : 0u, SizeCell, Buffer});
      if (Status == efi::Success) Image = M.ReadBytes (Buffer, std::min (M.Load<uint64_t> (SizeCell), Size));
      if (!M.Stopped ()) mFw.Pool.Free (Buffer, true);
    }
  } else if (!efi::IsError (Status)) {
    Status = efi::NotFound;
  }
  if (!M.Stopped ()) mFw.Pool.Free (SizeCell, true);
  return M.Stopped () ? efi::Aborted : Status;
}

uint64_t BootManager::LoadImage (CallArgs &A) {
  bool BootPolicy = (A[0] & 0xFF) != 0;
  uint64_t Parent = A[1], HandleOut = A[5];
  ImageRecord *ParentImage = ImageByHandle (Parent);
  if (HandleOut == 0 || ParentImage == nullptr) {
    LoadCall Record;
    Record.BootPolicy = BootPolicy;
    Record.Parent = ParentImage != nullptr ? ParentImage->Name : "";
    Record.Status = efi::InvalidParameter;
    Loads.push_back (Record);
    return efi::InvalidParameter;
  }
  // The handle is written only for an image that was loaded (also one the
  // security policy forbids starting); a policy that denies the image
  // outright writes NULL; any other failure leaves it as it was.
  ImageRecord *Image = nullptr;
  uint64_t Status = Load (BootPolicy, Parent, ParentImage->Name, A[2], A[3], A[4], Image);
  if (Image != nullptr) {
    mFw.M.Store<uint64_t> (HandleOut, Image->Handle);
  } else if (Status == efi::AccessDenied) {
    mFw.M.Store<uint64_t> (HandleOut, 0);
  }
  return Status;
}

bool BootManager::ReadFromVolume (const std::vector<uint8_t> &Path, size_t &Used, uint64_t &Handle, uint64_t &Status,
                                  std::vector<uint8_t> &Image) {
  // A firmware volume's handle carries its Fv() node; the rest of the path
  // names the file in it. The image is the file's PE32 section.
  Handle = LocateDevicePath (names::Named ("gEfiFirmwareVolume2ProtocolGuid"), Path, Used);
  if (Handle == 0) return false;
  const FirmwareVolume *Fv = nullptr;
  for (const auto &V : mFw.Dxe.Volumes ()) {
    if (V.Handle == Handle) Fv = V.Fv.get ();
  }
  Status = efi::NotFound;
  if (Fv == nullptr || Path.size () < Used + 20 || Path[Used] != 0x04 || Path[Used + 1] != 0x06) return true;
  Guid File;
  std::copy (Path.begin () + static_cast<long> (Used) + 4, Path.begin () + static_cast<long> (Used) + 20, File.Bytes.begin ());
  const FfsFile *F = Fv->FindFile (File);
  const FfsSection *Pe = F != nullptr ? F->FindSection (ffs::SectionPe32) : nullptr;
  if (Pe == nullptr) return true;
  Image = Pe->Data;
  Status = efi::Success;
  return true;
}

uint64_t BootManager::Load (bool BootPolicy, uint64_t Parent, const std::string &ParentName, uint64_t PathAddress,
                            uint64_t Source, uint64_t SourceSize, ImageRecord *&Out) {
  Machine &M = mFw.M;
  Out = nullptr;
  LoadCall Record;
  Record.BootPolicy = BootPolicy;
  Record.Parent = ParentName;
  auto Finish = [&] (uint64_t Status) {
    Record.Status = Status;
    Loads.push_back (Record);
    return Status;
  };

  std::vector<uint8_t> Path;
  if (PathAddress != 0) {
    Path = ReadPath (PathAddress);
    if (Path.empty ()) {
      // The firmware walks the path to its end: a path without one, or with
      // a node shorter than its header, would run away in a real firmware.
      mFw.Misuse ("LoadImage: the device path at " + mFw.Describe (PathAddress) +
                  " has a node shorter than 4 bytes or no end node within " + std::to_string (kMaxPath) + " bytes");
      return Finish (efi::InvalidParameter);
    }
  }
  Record.DevicePath = Path;

  std::vector<uint8_t> Bytes;
  uint64_t DeviceHandle = 0;
  std::vector<uint8_t> FilePath = Path;
  if (Source != 0) {
    if (SourceSize == 0) return Finish (efi::LoadError);
    Bytes = M.ReadBytes (Source, SourceSize);
  } else if (PathAddress == 0) {
    return Finish (efi::InvalidParameter);
  } else {
    // A firmware volume holding the file is tried first, then a file system
    // on the device (this board has none). Without the boot policy
    // LoadFile2 comes before LoadFile, which is tried when LoadFile2 gives
    // nothing. Whatever a device answers, a file that cannot be read is
    // EFI_NOT_FOUND to the caller.
    size_t Used = 0;
    uint64_t Handle = 0, Status = efi::NotFound;
    if (!ReadFromVolume (Path, Used, Handle, Status, Bytes)) {
      Handle = 0;
      if (!BootPolicy) {
        uint64_t H2 = LocateDevicePath (LoadFile2Protocol (), Path, Used);
        if (H2 != 0) {
          Status = ReadThroughLoadFile (H2, *mFw.InterfaceOn (H2, LoadFile2Protocol ()), PathAddress + Used, false, Bytes);
          Handle = H2;
        }
      }
      if (M.Stopped ()) return Finish (efi::Aborted);
      if (Handle == 0 || efi::IsError (Status)) {
        Handle = LocateDevicePath (LoadFileProtocol (), Path, Used);
        if (Handle == 0) return Finish (efi::NotFound);
        Status = ReadThroughLoadFile (Handle, *mFw.InterfaceOn (Handle, LoadFileProtocol ()), PathAddress + Used, BootPolicy,
                                      Bytes);
      }
    }
    if (M.Stopped ()) return Finish (efi::Aborted);
    if (efi::IsError (Status)) return Finish (efi::NotFound);
    DeviceHandle = Handle;
    FilePath.assign (Path.begin () + static_cast<long> (Used), Path.end ());
  }

  // The platform's security policy sees the file before it is loaded.
  uint64_t Security = mFw.AuthenticateImage (Path, Bytes, BootPolicy);
  if (efi::IsError (Security) && Security != efi::SecurityViolation) return Finish (Security);

  std::unique_ptr<PeImage> Pe;
  std::string Origin = "image loaded through " + devpath::Text (Path);
  try {
    // The name comes from the build's debug file when the image names one.
    PeImage Probe (Bytes, "LoadedImage", Origin);
    std::string Name = Probe.DebugFile ();
    size_t Slash = Name.rfind ('/'), Dot = Name.rfind ('.');
    Name = Name.empty () ? "LoadedImage" : Name.substr (Slash + 1, Dot - Slash - 1);
    Pe = std::make_unique<PeImage> (Bytes, Name, Origin);
  } catch (const std::exception &) {
    // Headers the PE/COFF loader does not accept (no MZ or PE signature,
    // another machine, not PE32+, cut short) are unsupported to the core.
    return Finish (efi::Unsupported);
  }
  if (Pe->Subsystem () < kApplication || Pe->Subsystem () > kRuntimeDriver) return Finish (efi::Unsupported);
  ImageRecord *Loaded = nullptr;
  try {
    Loaded = &mFw.LoadImage (std::move (Pe), DeviceHandle, mFw.HostCopy (FilePath.data (), FilePath.size ()), Path);
  } catch (const std::exception &) {
    // A section outside the file or a relocation it cannot apply.
    return Finish (efi::LoadError);
  }
  ImageRecord &Image = *Loaded;
  M.Store<uint64_t> (Image.LoadedImage + kLoadedImageParent, Parent);
  // A security violation still hands out the loaded image; it may only be
  // unloaded, never started.
  Image.LoadStatus = Security;
  Record.Image = Image.Name;
  Out = &Image;
  return Finish (Security);
}

uint64_t BootManager::Run (ImageRecord &Image, uint64_t &ExitDataSize, uint64_t &ExitData) {
  Machine &M = mFw.M;
  Image.Started = true;
  mRunning.push_back ({&Image, M.CallDepth () + 1});
  uint64_t Status = M.Call (Image.Base + Image.Pe->EntryRva (), {Image.Handle, mFw.SystemTable});
  ExitDataSize = mRunning.back ().ExitDataSize;
  ExitData = mRunning.back ().ExitData;
  if (M.Stopped () && mStoppedInside.empty ()) {
    for (const Running &R : mRunning) mStoppedInside.push_back (R.Image->Name);
  }
  mRunning.pop_back ();
  Image.EntryStatus = M.Stopped () ? efi::Aborted : Status;
  if (!M.Stopped ()) mFw.DispatchPending ();
  return Image.EntryStatus;
}

void BootManager::Unload (ImageRecord &Image) {
  // The image's memory goes away; what it left installed now dangles.
  mFw.UninstallImageProtocols (Image);
  mFw.M.Retire (Image.Base, Image.Size);
  Image.Unloaded = true;
}

uint64_t BootManager::StartImage (CallArgs &A) {
  Machine &M = mFw.M;
  ImageRecord *Image = ImageByHandle (A[0]);
  if (Image == nullptr || Image->Started) return efi::InvalidParameter;
  if (efi::IsError (Image->LoadStatus)) return Image->LoadStatus;
  uint64_t ExitDataSize = 0, ExitData = 0;
  uint64_t Status = Run (*Image, ExitDataSize, ExitData);
  StartCall Record{Image->Name, mFw.CallerName (A.Caller ()), Status, ExitDataSize,
                   ExitData != 0 ? M.ReadUcs2 (ExitData, ExitDataSize / 2) : u""};
  Starts.push_back (Record);
  if (M.Stopped ()) return efi::Aborted;
  if (A[1] != 0 && A[2] != 0) {
    // The exit data now belongs to the caller, who frees it.
    M.Store<uint64_t> (A[1], ExitDataSize);
    M.Store<uint64_t> (A[2], ExitData);
  } else if (ExitData != 0) {
    mFw.Pool.Free (ExitData, true);
  }
  // An application leaves memory when it returns; so does any image that
  // failed.
  if (Image->Pe->Subsystem () == kApplication || efi::IsError (Status)) Unload (*Image);
  return Status;
}

uint64_t BootManager::Exit (CallArgs &A) {
  ImageRecord *Image = ImageByHandle (A[0]);
  if (Image == nullptr) return efi::InvalidParameter;
  if (!Image->Started) {
    Unload (*Image);
    return efi::Success;
  }
  if (mRunning.empty () || mRunning.back ().Image != Image) return efi::InvalidParameter;
  // The core keeps a copy of the exit data in a pool buffer of its own,
  // which StartImage hands to its caller; the exiting image's buffer stays
  // where it was (and is the image's to account for).
  uint64_t Copy = 0;
  if (A[3] != 0) {
    if (mFw.Pool.Find (A[3]) == nullptr) {
      mFw.Findings.push_back (Image->Name + " passed Exit data at " + mFw.Describe (A[3]) + " that is not a buffer from AllocatePool");
    }
    std::vector<uint8_t> Data;
    if (A[2] != 0) {
      Data.resize (A[2]);
      if (!mFw.M.Read (A[3], Data.data (), Data.size ())) {
        mFw.Misuse ("Exit: the exit data at " + mFw.Describe (A[3]) + " is not readable memory");
        return efi::InvalidParameter;
      }
    }
    Copy = mFw.Pool.AllocatePool (efi::BootServicesData, A[2], 0);
    if (Copy == 0) return efi::OutOfResources;
    if (!Data.empty ()) mFw.M.Write (Copy, Data.data (), Data.size ());
  }
  mRunning.back ().ExitDataSize = A[3] != 0 ? A[2] : 0;
  mRunning.back ().ExitData = Copy;
  mFw.M.Unwind (mRunning.back ().Depth, A[1]);
  return A[1];
}

uint64_t BootManager::UnloadImage (CallArgs &A) {
  ImageRecord *Image = ImageByHandle (A[0]);
  if (Image == nullptr) return efi::InvalidParameter;
  if (Image->Started) {
    uint64_t UnloadFunction = mFw.M.Load<uint64_t> (Image->LoadedImage + kLoadedImageUnload);
    if (UnloadFunction == 0) return efi::Unsupported;
    uint64_t Status = mFw.M.Call (UnloadFunction, {Image->Handle});
    if (efi::IsError (Status)) return Status;
  }
  Unload (*Image);
  return efi::Success;
}

uint64_t BootManager::Boot (const std::string &Path) { return Boot (mFw.LoadImage (Path)); }

uint64_t BootManager::Boot (ImageRecord &Image) {
  uint64_t ExitDataSize = 0, ExitData = 0;
  uint64_t Status = Run (Image, ExitDataSize, ExitData);
  Starts.push_back ({Image.Name, "host", Status, ExitDataSize,
                     ExitData != 0 ? mFw.M.ReadUcs2 (ExitData, ExitDataSize / 2) : u""});
  if (mFw.M.Stopped ()) return Status;
  // The boot manager reads the exit data and releases it.
  if (ExitData != 0) mFw.Pool.Free (ExitData, true);
  if (Image.Pe->Subsystem () == kApplication) Unload (Image);
  return Status;
}

std::vector<BootManager::Attempt> BootManager::BootFromOrder () {
  // As a UEFI boot manager does after ReadyToBoot: each active option in
  // BootOrder is loaded with the boot policy and started; when it comes
  // back the next one is tried. Options that cannot be read are passed over.
  std::vector<Attempt> Attempts;
  VariableRecord *Order = mFw.FindVariable (u"BootOrder", guids::GlobalVariable);
  if (Order == nullptr) return Attempts;
  std::vector<uint8_t> OrderBytes = Order->Data;
  for (size_t I = 0; I + 1 < OrderBytes.size () && !mFw.M.Stopped (); I += 2) {
    Attempt A;
    A.Number = static_cast<uint16_t> (OrderBytes[I] | (OrderBytes[I + 1] << 8));
    VariableRecord *Option = mFw.FindVariable (OptionName (A.Number), guids::GlobalVariable);
    std::optional<ParsedOption> P = Option != nullptr ? ParseLoadOption (Option->Data) : std::nullopt;
    if (!P) {
      A.Note = Option == nullptr ? "no such option" : "malformed load option";
      Attempts.push_back (A);
      continue;
    }
    A.Description = P->Description;
    A.Path = devpath::Text (P->FilePath);
    if ((P->Attributes & kLoadOptionActive) == 0) {
      A.Note = "inactive";
      Attempts.push_back (A);
      continue;
    }
    ImageRecord *Image = nullptr;
    A.LoadStatus = Load (true, 0, "boot manager", mFw.HostCopy (P->FilePath.data (), P->FilePath.size ()), 0, 0, Image);
    if (Image != nullptr && A.LoadStatus == efi::SecurityViolation) {
      // Loaded but not to be started: the boot manager unloads it rather
      // than leave it resident.
      A.Note = "refused by the image security policy";
      Unload (*Image);
      Image = nullptr;
    }
    if (Image != nullptr) {
      A.Image = Image->Name;
      A.Started = true;
      A.Status = Boot (*Image);
    }
    Attempts.push_back (A);
  }
  return Attempts;
}

std::vector<std::string> BootManager::RunningImages () const {
  return mStoppedInside;
}

std::optional<BootManager::ParsedOption> BootManager::ParseLoadOption (const std::vector<uint8_t> &Raw) {
  // EFI_LOAD_OPTION: UINT32 Attributes, UINT16 FilePathListLength, a
  // NUL-terminated UCS-2 description, then the file path list.
  if (Raw.size () < 8) return std::nullopt;
  ParsedOption P;
  P.Attributes = static_cast<uint32_t> (Raw[0] | (Raw[1] << 8) | (Raw[2] << 16) | (static_cast<uint32_t> (Raw[3]) << 24));
  size_t PathLength = Raw[4] | (Raw[5] << 8);
  size_t At = 6;
  for (;; At += 2) {
    if (At + 1 >= Raw.size ()) return std::nullopt;
    char16_t C = static_cast<char16_t> (Raw[At] | (Raw[At + 1] << 8));
    if (C == 0) break;
    P.Description.push_back (C);
  }
  At += 2;
  if (PathLength < 4 || At + PathLength > Raw.size ()) return std::nullopt;
  P.FilePath.assign (Raw.begin () + static_cast<long> (At), Raw.begin () + static_cast<long> (At + PathLength));
  return P;
}

}  // namespace vboard
