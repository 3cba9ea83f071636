/** @file
  Portplate: publishes one OEM-specific SMBIOS structure of type 251 (0xFB).

  The structure is a fixed 48-byte formatted area with no strings. One 32-bit
  field, the option mask at offset 44, is chosen by the Type251Option byte of
  the SystemSetupConfig setup variable:

    Type251Option  option mask
    0              0x0F
    1              0x03
    2              0x01
    other          0x00 (the template's value)

  Everything happens in the entry point. The record is built in a pool copy of
  the template, which is freed once the SMBIOS protocol has taken its own
  copy; no protocol is installed and no event registered. Without a readable
  SystemSetupConfig nothing is published.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <IndustryStandard/SmBios.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Protocol/Smbios.h>
#include <Guid/SetupVariables.h>
}

#include <LayoutAssert.h>
#include <Library/EdkCpp.h>
#include <SetupConfigRead.h>

#pragma pack(1)

///
/// The type 251 structure: the SMBIOS header, the fixed fields, the option
/// mask, and the two zero bytes that end a structure without strings.
///
typedef struct {
  SMBIOS_STRUCTURE    Hdr;
  UINT8               Signature[4];     ///< "UDSR"
  UINT32              Revision;         ///< 1
  UINT8               Reserved12[8];    ///< all FFh
  UINT8               Reserved20[16];   ///< all 00h
  UINT8               Reserved36[4];    ///< all FFh
  UINT16              Value40;          ///< 0008h
  UINT16              Reserved42;       ///< FFFFh
  UINT32              OptionMask;       ///< chosen by Type251Option
  UINT8               Terminator[2];
} OEM_TYPE251_RECORD;

#pragma pack()

STATIC_ASSERT_SIZE (OEM_TYPE251_RECORD, 50);
STATIC_ASSERT_OFFSET (OEM_TYPE251_RECORD, Signature, 4);
STATIC_ASSERT_OFFSET (OEM_TYPE251_RECORD, Revision, 8);
STATIC_ASSERT_OFFSET (OEM_TYPE251_RECORD, Reserved12, 12);
STATIC_ASSERT_OFFSET (OEM_TYPE251_RECORD, Reserved20, 20);
STATIC_ASSERT_OFFSET (OEM_TYPE251_RECORD, Reserved36, 36);
STATIC_ASSERT_OFFSET (OEM_TYPE251_RECORD, Value40, 40);
STATIC_ASSERT_OFFSET (OEM_TYPE251_RECORD, Reserved42, 42);
STATIC_ASSERT_OFFSET (OEM_TYPE251_RECORD, OptionMask, 44);
STATIC_ASSERT_OFFSET (OEM_TYPE251_RECORD, Terminator, 48);

namespace {
constexpr UINT8  OEM_TYPE251                = 0xFB;
constexpr UINT8  OEM_TYPE251_FORMATTED_SIZE = OFFSET_OF (OEM_TYPE251_RECORD, Terminator);

STATIC_ASSERT (OEM_TYPE251_FORMATTED_SIZE == 0x30, "formatted area of the type 251 structure");

///
/// Option masks for Type251Option values 0..3; other values keep the
/// template's mask.
///
constexpr UINT32  OPTION_MASKS[] = { 0x0F, 0x03, 0x01, 0x00 };
}

///
/// The formatted area as published, apart from the handle (assigned by the
/// SMBIOS protocol) and the option mask.
///
STATIC CONST OEM_TYPE251_RECORD  mType251Template = {
  { OEM_TYPE251, OEM_TYPE251_FORMATTED_SIZE, SMBIOS_HANDLE_PI_RESERVED },
  { 'U', 'D', 'S', 'R' },
  0x00000001,
  { 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF },
  { 0 },
  { 0xFF, 0xFF, 0xFF, 0xFF },
  0x0008,
  0xFFFF,
  0x00000000,
  { 0, 0 }
};

/**
  Builds the type 251 structure and adds it through the SMBIOS protocol.

  The option mask comes from SystemSetupConfig, read into a cleared buffer of
  the full record size. A stored record too short to hold Type251Option
  selects nothing: the template's mask (0) is published, as for any value
  the table does not list.

  @retval EFI_SUCCESS           The structure was added.
  @retval EFI_OUT_OF_RESOURCES  The record buffer could not be allocated.
  @retval Others                The look-up status of the SMBIOS protocol, the
                                GetVariable () status (missing, or stored
                                larger than the record), or the Add () status.
**/
STATIC
EFI_STATUS
AddSmbioTyp251Table (
  VOID
  )
{
  EFI_STATUS                       Status;
  EFI_SMBIOS_PROTOCOL              *Smbios;
  POOL_BUFFER<OEM_TYPE251_RECORD>  Buffer;
  OEM_TYPE251_RECORD               *Record;
  SYSTEM_SETUP_CONFIG              SetupConfig;
  UINTN                            StoredSize;
  EFI_SMBIOS_HANDLE                SmbiosHandle;

  Status = gBS->LocateProtocol (&gEfiSmbiosProtocolGuid, NULL, (VOID **)&Smbios);
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "Could not locate SMBIOS protocol.  %r\n", Status));
    return Status;
  }

  Status = Buffer.Allocate (sizeof (OEM_TYPE251_RECORD));
  if (EFI_ERROR (Status)) {
    Status = EFI_OUT_OF_RESOURCES;
  } else {
    Record = Buffer.Get ();
    ZeroMem (Record, sizeof (*Record));
    CopyMem (Record, &mType251Template, OEM_TYPE251_FORMATTED_SIZE);

    Status = ReadSystemSetupConfig (&SetupConfig, &StoredSize);
    if (EFI_ERROR (Status)) {
      DEBUG ((DEBUG_ERROR, " In Portplate, GetVariable ERROR,  line %d. \n", __LINE__));
      Buffer.Reset (NULL);
    } else {
      if (!SetupByteStored (StoredSize, OFFSET_OF (SYSTEM_SETUP_CONFIG, Type251Option))) {
        DEBUG ((DEBUG_ERROR, "Portplate: SystemSetupConfig holds %u bytes, no Type251Option; option mask left 0\n", (UINT32)StoredSize));
      } else if (SetupConfig.Type251Option < ARRAY_SIZE (OPTION_MASKS)) {
        Record->OptionMask = OPTION_MASKS[SetupConfig.Type251Option];
      }

      SmbiosHandle = SMBIOS_HANDLE_PI_RESERVED;
      Status       = Smbios->Add (Smbios, NULL, &SmbiosHandle, (EFI_SMBIOS_TABLE_HEADER *)Record);
      if (EFI_ERROR (Status)) {
        DEBUG ((DEBUG_ERROR, "[%a]:[%dL] Smbios Type251 Table Log Failed! %r \n", "AddSmbioTyp251Table", __LINE__, Status));
      }

      Buffer.Reset (NULL);
    }
  }

  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "Add Type 251 Table Failed!  %r.\n", Status));
  }

  return Status;
}

/**
  Driver entry: publishes the type 251 structure.

  @param[in]  ImageHandle  The image handle of the driver.
  @param[in]  SystemTable  The EFI system table.

  @return The status of AddSmbioTyp251Table ().
**/
extern "C"
EFI_STATUS
EFIAPI
PortplateEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  return AddSmbioTyp251Table ();
}
