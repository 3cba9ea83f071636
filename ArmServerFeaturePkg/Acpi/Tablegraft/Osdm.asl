/** @file
  OSDM: the platform data table. The OS finds a 128-byte platform data block
  at byte 113 of the table; the firmware fills it at boot from the block the
  platform keeps in the boot flash at 0x970000. What is compiled here is the
  descriptor in front of it and an empty (all-zero) block.

  Table Length and Checksum are computed by the compiler; the checksum is
  computed again at boot, after the block is filled in.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

[0004]                          Signature : "OSDM"
[0004]                       Table Length : 00000000
[0001]                           Revision : 01
[0001]                           Checksum : 00
[0006]                             Oem ID : "ARMSVR"
[0008]                       Oem Table ID : "ASRVOSDM"
[0004]                       Oem Revision : 00000001
[0004]                    Asl Compiler ID : "INTL"
[0004]              Asl Compiler Revision : 00000000

//
// Byte 36: descriptor revision, then where the platform data block lies in
// this table and how long it is.
//
                                   UINT32 : 00000001
                                   UINT32 : 00000071
                                   UINT32 : 00000080

//
// Byte 48: reserved, 64 bytes of zero. (A buffer value ends with its line,
// so longer buffers are written as several 16-byte fields.)
//
                                   Buffer : 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
                                   Buffer : 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
                                   Buffer : 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
                                   Buffer : 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00

//
// Byte 112: source of the block (1: the boot flash).
//
                                    UINT8 : 01

//
// Bytes 113-240: the platform data block, filled in at boot.
//
                                   Buffer : 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
                                   Buffer : 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
                                   Buffer : 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
                                   Buffer : 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
                                   Buffer : 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
                                   Buffer : 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
                                   Buffer : 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
                                   Buffer : 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
