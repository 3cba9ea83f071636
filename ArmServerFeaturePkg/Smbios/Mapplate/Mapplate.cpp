/** @file
  Mapplate: publishes the boot-flash layout as OEM SMBIOS structures of type
  203 (0xCB).

  An earlier boot phase describes the flash in two GUID-extension HOBs: the
  layout table (an array of 16-byte FLASH_LAYOUT_ENTRY records after the
  24-byte GUID HOB header) and the layout summary (two UINT32 values). The
  driver adds one summary structure, with a handle the SMBIOS protocol
  assigns, then one structure per table entry, in table order, requesting
  handle 0x00CB + index. The values are copied through unchanged; of the
  fourth word of an entry only the low byte is published.

  The driver runs once from its entry point. The SMBIOS protocol keeps its
  own copy of every structure it accepts, so each structure buffer is freed
  as soon as Add () has returned.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <PiDxe.h>
#include <IndustryStandard/SmBios.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/HobLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/Smbios.h>
#include <Guid/FlashLayoutHob.h>
}

#include <LayoutAssert.h>
#include <Library/EdkCpp.h>

#pragma pack(1)

///
/// The summary structure: the SMBIOS header, the two summary values and the
/// two zero bytes that end a structure without strings.
///
typedef struct {
  SMBIOS_STRUCTURE    Hdr;
  UINT32              GlobalValue0;
  UINT32              GlobalValue1;
  UINT8               Terminator[2];
} FLASH_LAYOUT_SUMMARY_RECORD;

///
/// One entry structure: the SMBIOS header, the first three words of the
/// layout entry, the low byte of the fourth, and the two ending zero bytes.
///
typedef struct {
  SMBIOS_STRUCTURE    Hdr;
  UINT32              Word0;
  UINT32              Word1;
  UINT32              Word2;
  UINT8               Word3Low;
  UINT8               Terminator[2];
} FLASH_LAYOUT_ENTRY_RECORD;

#pragma pack()

STATIC_ASSERT_SIZE (FLASH_LAYOUT_SUMMARY_RECORD, 14);
STATIC_ASSERT_OFFSET (FLASH_LAYOUT_SUMMARY_RECORD, GlobalValue0, 4);
STATIC_ASSERT_OFFSET (FLASH_LAYOUT_SUMMARY_RECORD, GlobalValue1, 8);
STATIC_ASSERT_OFFSET (FLASH_LAYOUT_SUMMARY_RECORD, Terminator, 12);
STATIC_ASSERT_SIZE (FLASH_LAYOUT_ENTRY_RECORD, 19);
STATIC_ASSERT_OFFSET (FLASH_LAYOUT_ENTRY_RECORD, Word0, 4);
STATIC_ASSERT_OFFSET (FLASH_LAYOUT_ENTRY_RECORD, Word1, 8);
STATIC_ASSERT_OFFSET (FLASH_LAYOUT_ENTRY_RECORD, Word2, 12);
STATIC_ASSERT_OFFSET (FLASH_LAYOUT_ENTRY_RECORD, Word3Low, 16);
STATIC_ASSERT_OFFSET (FLASH_LAYOUT_ENTRY_RECORD, Terminator, 17);
STATIC_ASSERT_SIZE (EFI_HOB_GUID_TYPE, 24);

namespace {
///
/// The OEM structure type of the flash-layout structures.
///
constexpr UINT8  FLASH_LAYOUT_SMBIOS_TYPE = 0xCB;

///
/// Formatted lengths: everything before the two ending zero bytes.
///
constexpr UINT8  SUMMARY_FORMATTED_LENGTH = OFFSET_OF (FLASH_LAYOUT_SUMMARY_RECORD, Terminator);
constexpr UINT8  ENTRY_FORMATTED_LENGTH   = OFFSET_OF (FLASH_LAYOUT_ENTRY_RECORD, Terminator);

///
/// Handle requested for the entry structure of table entry 0; entry i asks
/// for this plus i.
///
constexpr EFI_SMBIOS_HANDLE  FIRST_ENTRY_HANDLE = 0x00CB;

///
/// The line number the search message has always carried; log readers match
/// on it.
///
constexpr INT32  SEARCH_MESSAGE_LINE = 114;

STATIC_ASSERT (SUMMARY_FORMATTED_LENGTH == 0x0C, "summary structure formatted length");
STATIC_ASSERT (ENTRY_FORMATTED_LENGTH == 0x11, "entry structure formatted length");
}

///
/// The layout table as found on the first successful lookup: its first entry
/// (inside the HOB list) and the number of whole entries the HOB holds.
///
STATIC FLASH_LAYOUT_ENTRY  *mFlashLayoutEntries   = NULL;
STATIC UINTN               mFlashLayoutEntryCount = 0;

/**
  Finds the first GUID-extension HOB with the given name.

  The walk ends at the end-of-list HOB, as HobLib's does. Every header is
  checked before it is trusted: a HOB shorter than the generic header ends
  the search; a GUID-extension HOB too short to hold the GUID HOB header is
  passed over without reading its name. When the end-of-list address that
  the Phase Handoff Information Table (the first HOB) records lies after the
  list's start, it bounds the walk too, and a HOB whose length runs past it
  ends the search. It does not always: EDK II's DXE core moves the HOB list
  into its own pool and leaves that address pointing into the list the
  earlier phase handed over, so it cannot be the only end.

  @param[in]   Name     The HOB's GUID.
  @param[out]  GuidHob  The HOB found.

  @retval EFI_SUCCESS    GuidHob is set; it holds at least the 24-byte GUID
                         HOB header and lies wholly inside the list.
  @retval EFI_NOT_FOUND  No such HOB before the end of the list, or the list
                         does not start with a handoff HOB.
**/
STATIC
EFI_STATUS
FindGuidHob (
  IN  CONST EFI_GUID     *Name,
  OUT EFI_HOB_GUID_TYPE  **GuidHob
  )
{
  EFI_PEI_HOB_POINTERS  Hob;
  UINTN                 EndOfList;
  UINTN                 Length;

  Hob.Raw = (UINT8 *)GetHobList ();
  if ((Hob.Raw == NULL) || (GET_HOB_TYPE (Hob) != EFI_HOB_TYPE_HANDOFF) ||
      (GET_HOB_LENGTH (Hob) < sizeof (EFI_HOB_HANDOFF_INFO_TABLE)))
  {
    DEBUG ((DEBUG_ERROR, "Mapplate: the HOB list does not start with a handoff HOB\n"));
    return EFI_NOT_FOUND;
  }

  EndOfList = (UINTN)Hob.HandoffInformationTable->EfiEndOfHobList;
  if (EndOfList <= (UINTN)Hob.Raw) {
    EndOfList = MAX_UINTN;
  }

  while (((UINTN)Hob.Raw < EndOfList) && !END_OF_HOB_LIST (Hob)) {
    Length = GET_HOB_LENGTH (Hob);
    if ((Length < sizeof (EFI_HOB_GENERIC_HEADER)) || (Length > EndOfList - (UINTN)Hob.Raw)) {
      DEBUG ((DEBUG_ERROR, "Mapplate: corrupt HOB (length %u) at %p ends the search\n", (UINT32)Length, Hob.Raw));
      break;
    }

    if ((GET_HOB_TYPE (Hob) == EFI_HOB_TYPE_GUID_EXTENSION) &&
        (Length >= sizeof (EFI_HOB_GUID_TYPE)) &&
        CompareGuid (&Hob.Guid->Name, Name))
    {
      *GuidHob = Hob.Guid;
      return EFI_SUCCESS;
    }

    Hob.Raw = (UINT8 *)GET_NEXT_HOB (Hob);
  }

  return EFI_NOT_FOUND;
}

/**
  Returns the layout table. The first successful call finds the layout-table
  HOB and caches the address of its first entry and the number of whole
  16-byte entries it holds (trailing bytes are ignored); later calls answer
  from the cache.

  @param[out]  Entries  The first entry of the table.
  @param[out]  Count    The number of entries.

  @retval EFI_SUCCESS    Entries and Count are set.
  @retval EFI_NOT_FOUND  The HOB is missing or holds no whole entry.
**/
STATIC
EFI_STATUS
GetFlashLayoutInfo (
  OUT FLASH_LAYOUT_ENTRY  **Entries,
  OUT UINTN               *Count
  )
{
  EFI_STATUS         Status;
  EFI_HOB_GUID_TYPE  *GuidHob;

  if ((mFlashLayoutEntries == NULL) || (mFlashLayoutEntryCount == 0)) {
    GuidHob = NULL;
    Status  = FindGuidHob (&gFlashLayoutInfoHobGuid, &GuidHob);
    DEBUG ((DEBUG_INFO, "%a %d Status%r \n", "GetFlashLayoutInfo", SEARCH_MESSAGE_LINE, Status));
    if (EFI_ERROR (Status)) {
      return EFI_NOT_FOUND;
    }

    //
    // FindGuidHob () only returns HOBs of at least the GUID HOB header's
    // length, so the subtraction cannot wrap.
    //
    mFlashLayoutEntries    = (FLASH_LAYOUT_ENTRY *)GET_GUID_HOB_DATA (GuidHob);
    mFlashLayoutEntryCount = (GuidHob->Header.HobLength - sizeof (EFI_HOB_GUID_TYPE)) / sizeof (FLASH_LAYOUT_ENTRY);
    if ((mFlashLayoutEntries == NULL) || (mFlashLayoutEntryCount == 0)) {
      return EFI_NOT_FOUND;
    }
  }

  *Entries = mFlashLayoutEntries;
  *Count   = mFlashLayoutEntryCount;
  return EFI_SUCCESS;
}

/**
  Reads the two values of the layout-summary HOB.

  @param[out]  GlobalValue0  The first value (data offset 0).
  @param[out]  GlobalValue1  The second value (data offset 4).

  @retval EFI_SUCCESS    Both values are set.
  @retval EFI_NOT_FOUND  The HOB is missing, or its data is too short to hold
                         both values.
**/
STATIC
EFI_STATUS
GetFlashLayoutGlobal (
  OUT UINT32  *GlobalValue0,
  OUT UINT32  *GlobalValue1
  )
{
  EFI_HOB_GUID_TYPE    *GuidHob;
  FLASH_LAYOUT_GLOBAL  *Global;

  GuidHob = NULL;
  if (EFI_ERROR (FindGuidHob (&gFlashLayoutGlobalHobGuid, &GuidHob)) ||
      (GuidHob->Header.HobLength < sizeof (EFI_HOB_GUID_TYPE) + sizeof (FLASH_LAYOUT_GLOBAL)))
  {
    return EFI_NOT_FOUND;
  }

  Global        = (FLASH_LAYOUT_GLOBAL *)GET_GUID_HOB_DATA (GuidHob);
  *GlobalValue0 = Global->GlobalValue0;
  *GlobalValue1 = Global->GlobalValue1;
  return EFI_SUCCESS;
}

/**
  Builds and adds the entry structure of one layout-table entry, requesting
  handle 0x00CB + Index, and frees its buffer again.

  @param[in]  Smbios  The SMBIOS protocol.
  @param[in]  Entry   The layout-table entry.
  @param[in]  Index   Its index in the table.

  @retval EFI_OUT_OF_RESOURCES  The structure buffer could not be allocated.
  @retval Others                The status of Add ().
**/
STATIC
EFI_STATUS
AddEntryRecord (
  IN EFI_SMBIOS_PROTOCOL       *Smbios,
  IN CONST FLASH_LAYOUT_ENTRY  *Entry,
  IN UINTN                     Index
  )
{
  EFI_STATUS                 Status;
  FLASH_LAYOUT_ENTRY_RECORD  *Record;
  EFI_SMBIOS_HANDLE          SmbiosHandle;

  Record = (FLASH_LAYOUT_ENTRY_RECORD *)AllocateZeroPool (sizeof (FLASH_LAYOUT_ENTRY_RECORD));
  if (Record == NULL) {
    DEBUG ((DEBUG_ERROR, "Mapplate: no memory for the structure of layout entry %u\n", (UINT32)Index));
    return EFI_OUT_OF_RESOURCES;
  }

  SmbiosHandle       = (EFI_SMBIOS_HANDLE)(FIRST_ENTRY_HANDLE + Index);
  Record->Hdr.Type   = FLASH_LAYOUT_SMBIOS_TYPE;
  Record->Hdr.Length = ENTRY_FORMATTED_LENGTH;
  Record->Hdr.Handle = SmbiosHandle;
  Record->Word0      = Entry->Word0;
  Record->Word1      = Entry->Word1;
  Record->Word2      = Entry->Word2;
  Record->Word3Low   = (UINT8)Entry->Word3;

  Status = Smbios->Add (Smbios, NULL, &SmbiosHandle, (EFI_SMBIOS_TABLE_HEADER *)Record);
  FreePool (Record);
  return Status;
}

/**
  Driver entry: adds the summary structure and then one structure per
  layout-table entry.

  @param[in]  ImageHandle  The image handle of the driver.
  @param[in]  SystemTable  The EFI system table.

  @retval EFI_NOT_FOUND         A layout HOB is missing, the table holds no
                                entry, or the summary structure was refused;
                                nothing was added.
  @retval EFI_OUT_OF_RESOURCES  The summary buffer could not be allocated
                                (nothing was added), or the buffer of the last
                                entry structure could not.
  @retval Others                The look-up status of the SMBIOS protocol, or
                                the status of the last entry structure's Add ().
**/
extern "C"
EFI_STATUS
EFIAPI
MapplateEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS                   Status;
  FLASH_LAYOUT_ENTRY           *Entries;
  UINTN                        Count;
  EFI_SMBIOS_PROTOCOL          *Smbios;
  FLASH_LAYOUT_SUMMARY_RECORD  *Summary;
  UINT32                       GlobalValue0;
  UINT32                       GlobalValue1;
  EFI_SMBIOS_HANDLE            SmbiosHandle;
  UINTN                        Index;

  Entries = NULL;
  Count   = 0;
  Status  = GetFlashLayoutInfo (&Entries, &Count);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = gBS->LocateProtocol (&gEfiSmbiosProtocolGuid, NULL, (VOID **)&Smbios);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Summary = (FLASH_LAYOUT_SUMMARY_RECORD *)AllocateZeroPool (sizeof (FLASH_LAYOUT_SUMMARY_RECORD));
  if (Summary == NULL) {
    DEBUG ((DEBUG_ERROR, "Mapplate: no memory for the flash layout summary structure\n"));
    return EFI_OUT_OF_RESOURCES;
  }

  if (EFI_ERROR (GetFlashLayoutGlobal (&GlobalValue0, &GlobalValue1))) {
    FreePool (Summary);
    return EFI_NOT_FOUND;
  }

  Summary->Hdr.Type     = FLASH_LAYOUT_SMBIOS_TYPE;
  Summary->Hdr.Length   = SUMMARY_FORMATTED_LENGTH;
  Summary->Hdr.Handle   = SMBIOS_HANDLE_PI_RESERVED;
  Summary->GlobalValue0 = GlobalValue0;
  Summary->GlobalValue1 = GlobalValue1;

  SmbiosHandle = SMBIOS_HANDLE_PI_RESERVED;
  Status       = Smbios->Add (Smbios, NULL, &SmbiosHandle, (EFI_SMBIOS_TABLE_HEADER *)Summary);
  FreePool (Summary);
  if (EFI_ERROR (Status)) {
    return EFI_NOT_FOUND;
  }

  //
  // A refused entry (its handle already taken, say) or one without memory
  // does not stop the others; the result is that of the last entry.
  //
  for (Index = 0; Index < Count; Index++) {
    Status = AddEntryRecord (Smbios, &Entries[Index], Index);
  }

  return Status;
}
