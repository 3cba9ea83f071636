#include "board/NetworkDevice.h"

#include "host/Files.h"
#include "uefi/GuidNames.h"

#include <stdexcept>

namespace vboard {

namespace {
devpath::Bytes WithoutEnd (devpath::Bytes Path) {
  Path.resize (Path.size () - 4);
  return Path;
}
}  // namespace

devpath::Bytes NetworkDevice::ControllerPath () const {
  return devpath::Join ({devpath::PciRoot (0), devpath::Pci (mPciDevice, 0), devpath::Mac (mMac), devpath::End ()});
}

devpath::Bytes NetworkDevice::Pxe4Path () const {
  return devpath::Join ({WithoutEnd (ControllerPath ()), devpath::Ipv4 (), devpath::End ()});
}

devpath::Bytes NetworkDevice::Pxe6Path () const {
  return devpath::Join ({WithoutEnd (ControllerPath ()), devpath::Ipv6 (), devpath::End ()});
}

void NetworkDevice::Install (bool Ipv6) {
  devpath::Bytes Path = ControllerPath ();
  mFw.InstallProtocol (mController, names::Named ("gEfiDevicePathProtocolGuid"), mFw.HostCopy (Path.data (), Path.size ()));
  mPxe4 = AddChild ("IPv4", Pxe4Path ());
  if (Ipv6) mPxe6 = AddChild ("IPv6", Pxe6Path ());
}

uint64_t NetworkDevice::AddChild (const std::string &Name, const devpath::Bytes &Path) {
  // EFI_LOAD_FILE_PROTOCOL.LoadFile (This, FilePath, BootPolicy, BufferSize, Buffer).
  uint64_t Interface = mFw.MakeHostInterface ("LoadFile" + Name,
      {{"LoadFile", [this, Name] (CallArgs &A) -> uint64_t {
          Machine &M = mFw.M;
          uint64_t FilePath = A[1], SizeCell = A[3], Buffer = A[4];
          bool BootPolicy = (A[2] & 0xFF) != 0;
          uint64_t Asked = SizeCell != 0 ? M.Load<uint64_t> (SizeCell) : 0;
          auto Answer = [&] (uint64_t Status) {
            LoadFileCalls.push_back ({Name, BootPolicy, Asked, Buffer != 0, Status});
            return Status;
          };
          // A PXE client takes no file name: the path must end here.
          uint8_t End[2] = {0, 0};
          if (FilePath == 0 || SizeCell == 0 || !M.Read (FilePath, End, 2) || End[0] != 0x7F || End[1] != 0xFF) {
            return Answer (efi::InvalidParameter);
          }
          if (!BootPolicy) return Answer (efi::Unsupported);
          switch (State) {
            case Network::NoLink: return Answer (efi::NoMedia);
            case Network::NoServer: return Answer (efi::Timeout);
            case Network::NoFile: return Answer (kTftpError);
            case Network::Serves: break;
          }
          std::vector<uint8_t> File;
          try {
            File = ReadWholeFile (BootFile);
          } catch (const std::runtime_error &) {
            return Answer (kTftpError);
          }
          // The size comes with the server's answer; a buffer too small for
          // it gets the size and nothing else.
          M.Store<uint64_t> (SizeCell, File.size ());
          if (Buffer == 0 || Asked < File.size ()) return Answer (efi::BufferTooSmall);
          if (!M.Write (Buffer, File.data (), File.size ())) {
            mFw.Misuse ("LoadFile: the buffer at " + mFw.Describe (Buffer) + " is not writable memory");
            return Answer (efi::InvalidParameter);
          }
          return Answer (efi::Success);
        }}});
  uint64_t Handle = 0;
  mFw.InstallProtocol (Handle, names::Named ("gEfiDevicePathProtocolGuid"), mFw.HostCopy (Path.data (), Path.size ()));
  mFw.InstallProtocol (Handle, names::Named ("gEfiLoadFileProtocolGuid"), Interface);
  return Handle;
}

}  // namespace vboard
