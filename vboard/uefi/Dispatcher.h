// The DXE dispatcher of the board: firmware volumes handed to it are
// published with EFI_FIRMWARE_VOLUME2_PROTOCOL (and a device path) on a
// handle of their own, their drivers are started when their dependency
// expressions are satisfied, by the DXE core's rules (scan every discovered
// driver, queue all that are ready with their BEFORE/AFTER neighbours, run
// the queue, scan again), and what never became ready is reported with what
// it was waiting for.
#pragma once

#include "images/Depex.h"
#include "images/FirmwareVolume.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vboard {

class Firmware;
struct ImageRecord;

class Dispatcher {
 public:
  enum class DriverState {
    Dormant,       // not (yet) dispatched
    Dispatched,    // its entry point ran
    Failed,        // it could not be loaded
    Untrusted,     // loaded, but the image security policy forbids starting it
  };
  struct Driver {
    size_t Volume = 0;
    const FfsFile *File = nullptr;
    std::string Name;              // UI name, else the file GUID
    std::optional<Depex> Expression;   // none: the driver has no DXE_DEPEX section
    bool Requested = false;        // SOR drivers: Schedule () was called for it
    bool Queued = false;           // in the batch being run
    DriverState State = DriverState::Dormant;
    ImageRecord *Image = nullptr;
    uint64_t Status = 0;           // entry point's status when dispatched
    std::string Note;              // why it failed to load
  };
  struct Volume {
    std::unique_ptr<FirmwareVolume> Fv;
    uint64_t Handle = 0;
    uint64_t Interface = 0;        // its EFI_FIRMWARE_VOLUME2_PROTOCOL
  };

  explicit Dispatcher (Firmware &Fw);

  // Publishes a volume and discovers its drivers; returns the volume's
  // handle. Throws std::runtime_error for bytes that are not a volume.
  uint64_t AddVolume (std::vector<uint8_t> Bytes, const std::string &Origin);
  uint64_t AddVolume (const std::string &Path);
  // Starts every driver that is or becomes ready: each scan of the driver
  // list queues every driver whose expression holds at that moment (BEFORE
  // and AFTER drivers around the file they name), the queue runs in order
  // whatever its drivers install or uninstall, and the next scan follows.
  // Stops early if the board stops. Returns how many drivers it started.
  size_t Dispatch ();
  // The SOR rule: a driver scheduled on request waits until this is called.
  bool Schedule (const Guid &VolumeName, const Guid &File);

  const std::vector<Driver> &Drivers () const { return mDrivers; }
  const std::vector<Volume> &Volumes () const { return mVolumes; }
  const Driver *Find (const std::string &Name) const;
  // Names in the order their entry points ran.
  const std::vector<std::string> &Order () const { return mOrder; }
  // Why a dormant driver has not been started, e.g. "waits for
  // gNetworkUndiDepexProtocolGuid"; "" for a driver that is not dormant.
  std::string WaitingFor (const Driver &D) const;
  // One line per driver: dispatched (with its entry status) or not, and why.
  std::string Report () const;
  // The architectural protocols a driver without a dependency expression
  // waits for.
  static const std::vector<std::string> &ArchitecturalProtocols ();

 private:
  bool Dependent (const Driver &D) const;
  bool Schedulable (Driver &D);
  bool Installed (const Guid &Protocol) const;
  void Enqueue (size_t Index, std::vector<size_t> &Queue, int Depth);
  void Start (Driver &D);
  uint64_t MakeFv2Interface (size_t VolumeIndex);
  std::string FileName (const Guid &File) const;

  Firmware &Fw;
  std::vector<Volume> mVolumes;
  std::vector<Driver> mDrivers;
  std::vector<std::string> mOrder;
  bool mRunning = false;
};

}  // namespace vboard
