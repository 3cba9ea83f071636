/** @file
  GateCheck: shows which gated probes a platform's own DXE dispatcher starts.

  The probes are test drivers whose dependency expressions name the network
  marker GUIDs that Gatewarden installs (directly, combined with AND, OR and
  NOT, or through BEFORE and AFTER another probe); each one that runs
  installs its own file GUID as a protocol. The shell loads Gatewarden
  first, then starts this application, which
  1. reads the probes' firmware volume from the file system it was started
     from into page memory,
  2. hands it to the DXE core with gDS->ProcessFirmwareVolume (the core
     produces the volume's FVB and FV2 protocols and queues its drivers),
  3. calls gDS->Dispatch, which evaluates each queued driver's DXE_DEPEX
     against the protocols installed now and starts the ready ones,
  4. walks the volume's drivers through its FV2 protocol and prints
     "GateCheck: <Name> ran" when the probe's file GUID is installed, or
     "GateCheck: <Name> dormant" when it is not; <Name> is the file's UI
     section. "GateCheck: DONE" ends a complete report; an error ends it
     with "GateCheck: FAIL ..." instead.

  The volume's memory belongs to the DXE core once it has accepted it and is
  never freed; everything else allocated here is.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <PiDxe.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DxeServicesTableLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Protocol/FirmwareVolume2.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/SimpleFileSystem.h>
}

#include <Library/EdkCpp.h>

namespace {
//
// The probes' volume as the test platform's FDF names it
// ([FV.GatedProbesFv]), in the root of the application's file system.
//
constexpr const char16_t  *GATED_PROBES_FV_FILE_NAME = u"GATEDPROBESFV.Fv";

/**
  Reads an open file whole into new boot-services pages.

  @param[in]   File   The file, opened for reading.
  @param[out]  Base   The first page of the copy.
  @param[out]  Size   The size of the file in bytes.

  @retval EFI_SUCCESS           The file is in the pages at *Base.
  @retval EFI_VOLUME_CORRUPTED  The file is too small for a volume header.
  @retval Others                A file or allocation service failed; nothing
                                is left allocated.
**/
EFI_STATUS
ReadWholeFile (
  IN  EFI_FILE_PROTOCOL     *File,
  OUT EFI_PHYSICAL_ADDRESS  *Base,
  OUT UINTN                 *Size
  )
{
  EFI_STATUS  Status;
  UINT64      FileSize;
  UINTN       ReadSize;

  //
  // Positioning at the all-ones offset moves to the end of the file, whose
  // position is then the file size.
  //
  Status = File->SetPosition (File, MAX_UINT64);
  if (!EFI_ERROR (Status)) {
    Status = File->GetPosition (File, &FileSize);
  }

  if (!EFI_ERROR (Status)) {
    Status = File->SetPosition (File, 0);
  }

  if (EFI_ERROR (Status)) {
    return Status;
  }

  if ((FileSize < sizeof (EFI_FIRMWARE_VOLUME_HEADER)) || (FileSize > MAX_UINTN)) {
    return EFI_VOLUME_CORRUPTED;
  }

  Status = gBS->AllocatePages (AllocateAnyPages, EfiBootServicesData, EFI_SIZE_TO_PAGES ((UINTN)FileSize), Base);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  ReadSize = (UINTN)FileSize;
  Status   = File->Read (File, &ReadSize, (VOID *)(UINTN)*Base);
  if (!EFI_ERROR (Status) && (ReadSize != FileSize)) {
    Status = EFI_END_OF_FILE;
  }

  if (EFI_ERROR (Status)) {
    gBS->FreePages (*Base, EFI_SIZE_TO_PAGES ((UINTN)FileSize));
    return Status;
  }

  *Size = (UINTN)FileSize;
  return EFI_SUCCESS;
}

/**
  Reads the probes' volume from the root of the file system this image was
  loaded from into new boot-services pages and checks that it starts with a
  firmware volume header that fits the file.

  @param[in]   ImageHandle  The image handle of this application.
  @param[out]  Base         The first page of the copy.
  @param[out]  Size         The size of the volume file in bytes.

  @retval EFI_SUCCESS           The volume is in the pages at *Base.
  @retval EFI_VOLUME_CORRUPTED  The file holds no volume header or a volume
                                longer than the file.
  @retval Others                A protocol or file service failed; nothing
                                is left allocated or open.
**/
EFI_STATUS
ReadProbeVolume (
  IN  EFI_HANDLE            ImageHandle,
  OUT EFI_PHYSICAL_ADDRESS  *Base,
  OUT UINTN                 *Size
  )
{
  EFI_STATUS                       Status;
  EFI_LOADED_IMAGE_PROTOCOL        *LoadedImage;
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL  *FileSystem;
  EFI_FILE_PROTOCOL                *Root;
  EFI_FILE_PROTOCOL                *File;
  EFI_FIRMWARE_VOLUME_HEADER       *Header;

  Status = gBS->HandleProtocol (ImageHandle, &gEfiLoadedImageProtocolGuid, (VOID **)&LoadedImage);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = gBS->HandleProtocol (LoadedImage->DeviceHandle, &gEfiSimpleFileSystemProtocolGuid, (VOID **)&FileSystem);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = FileSystem->OpenVolume (FileSystem, &Root);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = Root->Open (Root, &File, (CHAR16 *)GATED_PROBES_FV_FILE_NAME, EFI_FILE_MODE_READ, 0);
  if (!EFI_ERROR (Status)) {
    Status = ReadWholeFile (File, Base, Size);
    File->Close (File);
  }

  Root->Close (Root);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Header = (EFI_FIRMWARE_VOLUME_HEADER *)(UINTN)*Base;
  if ((Header->Signature != EFI_FVH_SIGNATURE) || (Header->FvLength > *Size)) {
    gBS->FreePages (*Base, EFI_SIZE_TO_PAGES (*Size));
    return EFI_VOLUME_CORRUPTED;
  }

  return EFI_SUCCESS;
}

/**
  Prints one line per driver file of the volume: its UI name (its file GUID
  when it has no readable UI section) and whether the dispatcher started it,
  which a probe proves by having installed its file GUID as a protocol.

  @param[in]   Fv      The volume's FV2 protocol.
  @param[out]  Probes  The number of driver files reported.

  @retval EFI_SUCCESS  Every driver file was reported.
  @retval Others       No pool for the search key, or the walk failed.
**/
EFI_STATUS
ReportProbes (
  IN  EFI_FIRMWARE_VOLUME2_PROTOCOL  *Fv,
  OUT UINTN                          *Probes
  )
{
  EFI_STATUS              Status;
  POOL_BUFFER<VOID>       Key;
  EFI_FV_FILETYPE         FileType;
  EFI_GUID                NameGuid;
  EFI_FV_FILE_ATTRIBUTES  Attributes;
  UINTN                   FileSize;
  CHAR16                  *Name;
  UINTN                   NameSize;
  UINT32                  AuthenticationStatus;
  VOID                    *Interface;
  BOOLEAN                 Ran;

  *Probes = 0;
  Status  = Key.Allocate (Fv->KeySize);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // An all-zero key starts the search at the first file.
  //
  ZeroMem (Key.Get (), Fv->KeySize);
  for ( ; ;) {
    FileType = EFI_FV_FILETYPE_DRIVER;
    Status   = Fv->GetNextFile (Fv, Key.Get (), &FileType, &NameGuid, &Attributes, &FileSize);
    if (Status == EFI_NOT_FOUND) {
      return EFI_SUCCESS;
    }

    if (EFI_ERROR (Status)) {
      return Status;
    }

    Ran = (BOOLEAN)!EFI_ERROR (gBS->LocateProtocol (&NameGuid, NULL, &Interface));

    //
    // With a NULL buffer ReadSection allocates the section data from pool;
    // the data of a UI section is a NUL-terminated UCS-2 string.
    //
    Name     = NULL;
    NameSize = 0;
    Status   = Fv->ReadSection (Fv, &NameGuid, EFI_SECTION_USER_INTERFACE, 0, (VOID **)&Name, &NameSize, &AuthenticationStatus);
    POOL_BUFFER<CHAR16>  NameHolder (EFI_ERROR (Status) ? NULL : Name);

    if ((NameHolder.Get () != NULL) && (NameSize >= sizeof (CHAR16)) &&
        (NameHolder.Get ()[NameSize / sizeof (CHAR16) - 1] == 0))
    {
      Print ((CHAR16 *)u"GateCheck: %s %s\n", NameHolder.Get (), Ran ? u"ran" : u"dormant");
    } else {
      Print ((CHAR16 *)u"GateCheck: %g %s\n", &NameGuid, Ran ? u"ran" : u"dormant");
    }

    (*Probes)++;
  }
}
}

/**
  Application entry: reads the probes' volume, lets the DXE core process and
  dispatch it, and reports each probe.

  @param[in]  ImageHandle  The image handle of the application.
  @param[in]  SystemTable  The EFI system table.

  @retval EFI_SUCCESS  The report is complete.
  @retval Others       The volume could not be read, processed or walked,
                       or the dispatcher failed.
**/
extern "C"
EFI_STATUS
EFIAPI
GateCheckMain (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS                     Status;
  EFI_PHYSICAL_ADDRESS           FvBase;
  UINTN                          FvSize;
  EFI_HANDLE                     FvHandle;
  EFI_FIRMWARE_VOLUME2_PROTOCOL  *Fv;
  UINTN                          Probes;

  Status = ReadProbeVolume (ImageHandle, &FvBase, &FvSize);
  if (EFI_ERROR (Status)) {
    Print ((CHAR16 *)u"GateCheck: FAIL cannot read %s: %r\n", GATED_PROBES_FV_FILE_NAME, Status);
    return Status;
  }

  FvHandle = NULL;
  Status   = gDS->ProcessFirmwareVolume ((VOID *)(UINTN)FvBase, FvSize, &FvHandle);
  Print ((CHAR16 *)u"GateCheck: ProcessFirmwareVolume: %r\n", Status);
  if (EFI_ERROR (Status)) {
    //
    // Without a handle the core keeps no reference to the copy. With one
    // (the volume was found corrupted after its block protocol went on the
    // handle), the core's protocol still points into it, so it stays.
    //
    if (FvHandle == NULL) {
      gBS->FreePages (FvBase, EFI_SIZE_TO_PAGES (FvSize));
    }

    Print ((CHAR16 *)u"GateCheck: FAIL the DXE core refused the volume\n");
    return Status;
  }

  //
  // Not Found only says that no queued driver was ready, which is the
  // expected outcome when no marker is installed.
  //
  Status = gDS->Dispatch ();
  Print ((CHAR16 *)u"GateCheck: Dispatch: %r\n", Status);
  if (EFI_ERROR (Status) && (Status != EFI_NOT_FOUND)) {
    Print ((CHAR16 *)u"GateCheck: FAIL the dispatcher failed\n");
    return Status;
  }

  Status = gBS->HandleProtocol (FvHandle, &gEfiFirmwareVolume2ProtocolGuid, (VOID **)&Fv);
  if (!EFI_ERROR (Status)) {
    Status = ReportProbes (Fv, &Probes);
  }

  if (EFI_ERROR (Status)) {
    Print ((CHAR16 *)u"GateCheck: FAIL cannot walk the volume: %r\n", Status);
    return Status;
  }

  if (Probes == 0) {
    Print ((CHAR16 *)u"GateCheck: FAIL the volume holds no driver\n");
    return EFI_NOT_FOUND;
  }

  Print ((CHAR16 *)u"GateCheck: DONE\n");
  return EFI_SUCCESS;
}
