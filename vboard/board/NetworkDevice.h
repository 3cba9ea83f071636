// The board's network interface as the firmware's network stack presents it
// to a boot manager: the controller's handle with its device path
// PciRoot(0x0)/Pci(Device,0x0)/MAC(address,0x1), and a PXE child for IPv4
// (and one for IPv6) whose device path adds the IP node and which carries
// EFI_LOAD_FILE_PROTOCOL. LoadFile behaves as a PXE client does: it needs
// the boot policy and a path that ends there, answers the size of the boot
// file first (EFI_BUFFER_TOO_SMALL), and fails as the network does when
// there is no link (EFI_NO_MEDIA), no DHCP or boot server answers
// (EFI_TIMEOUT) or the server has no such file (EFI_TFTP_ERROR).
#pragma once

#include "uefi/BootManager.h"
#include "uefi/Firmware.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vboard {

class NetworkDevice {
 public:
  static constexpr uint64_t kTftpError = efi::kErrorBit | 31;

  enum class Network { Serves, NoLink, NoServer, NoFile };

  NetworkDevice (Firmware &Fw, std::array<uint8_t, 6> Mac, uint8_t PciDevice) : mFw (Fw), mMac (Mac), mPciDevice (PciDevice) {}
  // Creates the handles; Ipv6 adds the IPv6 PXE child.
  void Install (bool Ipv6 = true);

  // What the network behind the device does, and the boot file its server
  // offers (a host path to an .efi image).
  Network State = Network::NoServer;
  std::string BootFile;

  // Device paths, with their end node: the controller's, and the PXE
  // children's (what a PXE boot option holds).
  devpath::Bytes ControllerPath () const;
  devpath::Bytes Pxe4Path () const;
  devpath::Bytes Pxe6Path () const;
  const std::array<uint8_t, 6> &Mac () const { return mMac; }
  uint64_t Pxe4Handle () const { return mPxe4; }

  // Every LoadFile call: the child ("IPv4"/"IPv6"), the buffer size asked
  // for, whether a buffer was given, and the answer.
  struct LoadFileCall {
    std::string Child;
    bool BootPolicy;
    uint64_t BufferSize;
    bool WithBuffer;
    uint64_t Status;
  };
  std::vector<LoadFileCall> LoadFileCalls;

 private:
  uint64_t AddChild (const std::string &Name, const devpath::Bytes &Path);

  Firmware &mFw;
  std::array<uint8_t, 6> mMac;
  uint8_t mPciDevice;
  uint64_t mController = 0, mPxe4 = 0, mPxe6 = 0;
};

}  // namespace vboard
