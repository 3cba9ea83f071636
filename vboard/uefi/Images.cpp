// Image loading as the DXE core does it: a PE32+ image relocated into its
// own mapped range, an image handle with EFI_LOADED_IMAGE_PROTOCOL, its
// build's local PCD tokens bound, and a failing driver unloaded.
#include "uefi/Firmware.h"

namespace vboard {

namespace {
constexpr uint64_t kPage = 0x1000;
}  // namespace

ImageRecord &Firmware::LoadImage (const std::string &Path) {
  return LoadImage (std::make_unique<PeImage> (Path), 0, 0);
}

ImageRecord &Firmware::LoadImage (std::unique_ptr<PeImage> Pe, uint64_t DeviceHandle, uint64_t FilePath,
                                  const std::vector<uint8_t> &FullPath) {
  auto Image = std::make_unique<ImageRecord> ();
  Image->Pe = std::move (Pe);
  Image->Name = Image->Pe->BaseName ();
  Image->Path = Image->Pe->Path ();
  Image->DebugFile = Image->Pe->DebugFile ();
  Image->Size = (Image->Pe->SizeOfImage () + kPage - 1) & ~(kPage - 1);
  Image->Base = (mImageNext + 0xFFFF) & ~0xFFFFULL;
  mImageNext = Image->Base + Image->Size + 0x10000;
  M.MapRam (Image->Base, Image->Size);
  try {
    Image->Pe->Load (M, Image->Base);
  } catch (...) {
    // Sections or relocations the loader cannot apply: nothing of the
    // image stays.
    M.Unmap (Image->Base, Image->Size);
    throw;
  }
  if (!Image->Pe->BuildDir ().empty ()) {
    Pcds.BindLocalTokens (Image->Pe->BuildDir (), Image->Name);
  }

  Image->Handle = NewHandle ();
  Image->LoadedImage = HostAlloc (96);
  M.Store<uint32_t> (Image->LoadedImage, 0x1000);
  M.Store<uint64_t> (Image->LoadedImage + 16, SystemTable);
  M.Store<uint64_t> (Image->LoadedImage + 24, DeviceHandle);
  M.Store<uint64_t> (Image->LoadedImage + 32, FilePath);
  M.Store<uint64_t> (Image->LoadedImage + 64, Image->Base);
  M.Store<uint64_t> (Image->LoadedImage + 72, Image->Size);
  M.Store<uint32_t> (Image->LoadedImage + 80, Image->Pe->Subsystem () == 10 ? 1u : static_cast<uint32_t> (efi::BootServicesCode));
  M.Store<uint32_t> (Image->LoadedImage + 84, Image->Pe->Subsystem () == 10 ? 2u : static_cast<uint32_t> (efi::BootServicesData));
  // The core installs this itself, also when a guest LoadImage call asked
  // for the image: it is no publication of the calling image.
  Protocols.Install (Image->Handle, guids::LoadedImageProtocol, Image->LoadedImage);
  // And the path the image came from, copied; an image loaded from a
  // buffer alone gets the protocol with a NULL interface.
  Image->LoadedImageDevicePath = FullPath.empty () ? 0 : HostCopy (FullPath.data (), FullPath.size ());
  Protocols.Install (Image->Handle, guids::LoadedImageDevicePathProtocol, Image->LoadedImageDevicePath);
  mImages.push_back (std::move (Image));
  return *mImages.back ();
}

uint64_t Firmware::StartImage (ImageRecord &Image) {
  // An image the security policy let load but not start stays unstarted.
  if (efi::IsError (Image.LoadStatus)) return Image.LoadStatus;
  Image.Started = true;
  uint64_t Status = M.Call (Image.Base + Image.Pe->EntryRva (), {Image.Handle, SystemTable});
  if (M.Stopped ()) {
    Image.EntryStatus = efi::Aborted;
    return efi::Aborted;
  }
  Image.EntryStatus = Status;
  DispatchPending ();
  if (efi::IsError (Status) && Image.Pe->Subsystem () != 10) {
    // The DXE core unloads a driver whose entry point fails; its image memory
    // goes away, so anything it left installed now dangles.
    UninstallImageProtocols (Image);
    M.Retire (Image.Base, Image.Size);
    Image.Unloaded = true;
  }
  return Status;
}

void Firmware::UninstallImageProtocols (ImageRecord &Image) {
  UninstallProtocol (Image.Handle, guids::LoadedImageDevicePathProtocol, Image.LoadedImageDevicePath);
  UninstallProtocol (Image.Handle, guids::LoadedImageProtocol, Image.LoadedImage);
}

ImageRecord *Firmware::ImageAt (uint64_t Address) {
  for (auto &I : mImages) {
    if (Address >= I->Base && Address < I->Base + I->Size) {
      return I.get ();
    }
  }
  return nullptr;
}

ImageRecord *Firmware::ImageNamed (const std::string &Name) {
  for (auto &I : mImages) {
    if (I->Name == Name) {
      return I.get ();
    }
  }
  return nullptr;
}

}  // namespace vboard
