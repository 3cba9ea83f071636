/** @file
  LPBT: the boot-time binary hand-off table. It tells the OS where the
  firmware left a copy of the 9440-byte binary that the platform keeps in the
  boot flash at 0x980000, and the 7-byte argument string (from 0x990000) to
  run it with. Both are only known at boot: as compiled here the table says
  "no binary" (size, address and argument length 0), which is also what the
  OS sees if the firmware could not make the copy.

  Table Length and Checksum are computed by the compiler; the checksum is
  computed again at boot, after the fields are filled in.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

[0004]                          Signature : "LPBT"
[0004]                       Table Length : 00000000
[0001]                           Revision : 01
[0001]                           Checksum : 00
[0006]                             Oem ID : "ARMSVR"
[0008]                       Oem Table ID : "ASRVLPBT"
[0004]                       Oem Revision : 00000001
[0004]                    Asl Compiler ID : "INTL"
[0004]              Asl Compiler Revision : 00000000

//
// Byte 36: BinarySize, byte 40: BinaryAddress (physical).
//
                                   UINT32 : 00000000
                                   UINT64 : 0000000000000000

//
// Byte 48: layout revision of the fields after the header.
//
                                   UINT16 : 0001

//
// Byte 50: ArgumentsLength, byte 52: Arguments (7 bytes).
//
                                   UINT16 : 0000
                                   Buffer : 00 00 00 00 00 00 00
