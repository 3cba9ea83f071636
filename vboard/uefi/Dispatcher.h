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
  // Starts every driver that is or becomes ready, as gDS->Dispatch does:
  // the queue (drivers made trusted since the last dispatch first) runs in
  // order whatever its drivers install or uninstall; once a driver has been
  // started in this call, the end of each run signals the DXE-dispatch
  // event group; then a scan of the driver list queues every driver whose
  // expression holds at that moment (BEFORE and AFTER drivers around the
  // file they name), and the next run follows. Stops early if the board
  // stops. Returns EFI_SUCCESS when it started a driver, EFI_NOT_FOUND when
  // it started none, EFI_ALREADY_STARTED when called while a dispatch runs
  // (from a driver's entry point: the running one picks up whatever that
  // driver made ready at its next scan).
  uint64_t Dispatch ();
  // gDS->Schedule: a driver whose expression begins with SOR, in the volume
  // on VolumeHandle, becomes dependent (dispatched once its expression
  // holds). EFI_NOT_FOUND for any other file, or one already scheduled.
  uint64_t Schedule (uint64_t VolumeHandle, const Guid &File);
  // gDS->Trust: a driver the image security policy left loaded but
  // untrusted is queued to start at the next dispatch. EFI_NOT_FOUND for
  // any other file.
  uint64_t Trust (uint64_t VolumeHandle, const Guid &File);

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
  bool Start (Driver &D);
  Driver *FindFile (uint64_t VolumeHandle, const Guid &File);
  uint64_t MakeFv2Interface (size_t VolumeIndex);
  std::string FileName (const Guid &File) const;

  Firmware &Fw;
  std::vector<Volume> mVolumes;
  std::vector<Driver> mDrivers;
  std::vector<std::string> mOrder;
  std::vector<size_t> mScheduled;     // queued to start, in order
  bool mRunning = false;
};

}  // namespace vboard
