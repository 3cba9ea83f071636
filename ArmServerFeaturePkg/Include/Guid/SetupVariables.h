/** @file
  The setup-option variables written by the platform's setup utility and read
  by the feature drivers at boot.

  Only the bytes that a driver of this package reads are named; everything
  else belongs to the setup utility and is kept as reserved filler so that the
  named fields land at their fixed offsets. All fields are single bytes, the
  records are packed.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef SETUP_VARIABLES_H_
#define SETUP_VARIABLES_H_

#include <LayoutAssert.h>

#define SYSTEM_SETUP_CONFIG_GUID \
  { 0x3336B68B, 0x9F08, 0x47DA, { 0xBC, 0x4F, 0xC9, 0x95, 0xC0, 0xA4, 0x7C, 0x4C } }

#define IPMI_SETUP_DATA_GUID \
  { 0x7E40D73E, 0x9933, 0x428B, { 0x90, 0x88, 0xDA, 0x84, 0x4A, 0xB2, 0x0D, 0x54 } }

#define CR_SETUP_DATA_GUID \
  { 0x400BE17D, 0x36BC, 0x44B2, { 0x99, 0x9B, 0xB5, 0x3D, 0x15, 0x82, 0x6C, 0x6A } }

//
// Variable names. UEFI variable services take a non-const CHAR16 pointer; in
// C++ a u"" literal has its own character type, hence the cast there.
//
#ifdef __cplusplus
#define SYSTEM_SETUP_CONFIG_VARIABLE_NAME  ((CHAR16 *)u"SystemSetupConfig")
#define IPMI_SETUP_DATA_VARIABLE_NAME      ((CHAR16 *)u"IpmiSetupData")
#define CR_SETUP_DATA_VARIABLE_NAME        ((CHAR16 *)u"CrSetupData")
#else
#define SYSTEM_SETUP_CONFIG_VARIABLE_NAME  L"SystemSetupConfig"
#define IPMI_SETUP_DATA_VARIABLE_NAME      L"IpmiSetupData"
#define CR_SETUP_DATA_VARIABLE_NAME        L"CrSetupData"
#endif

#pragma pack(1)

///
/// SystemSetupConfig: general platform options (184 bytes).
///
typedef struct {
  UINT8    Reserved0[21];
  UINT8    Type251Option;          ///< 0/1/2/>=3: OEM type 251 option mask 0x0F/0x03/0x01/0x00
  UINT8    Reserved22[42];
  UINT8    NetworkMode;            ///< 0 = network stack gated off, 1/2 = mode 1/2, other = UNDI only
  UINT8    Mode1OptionA;           ///< 1 = option A on in network mode 1
  UINT8    Mode2OptionA;           ///< 1 = option A on in network mode 2
  UINT8    Mode1OptionB;           ///< 1 = option B on in network mode 1
  UINT8    Mode2OptionB;           ///< 1 = option B on in network mode 2
  UINT8    Reserved69[13];
  UINT8    EraseEventLogWhenFull;  ///< nonzero = erase a full event log and restart logging
  UINT8    Reserved83[42];
  UINT8    SrIovEnable;            ///< 0 = SR-IOV off, nonzero = on
  UINT8    Reserved126[2];
  UINT8    PowerRestorePolicy;     ///< 1 off, 2 previous state, 3 always on, 4 no change
  UINT8    Reserved129[55];
} SYSTEM_SETUP_CONFIG;

///
/// IpmiSetupData: BMC-related options (432 bytes).
///
typedef struct {
  UINT8    Reserved0[428];
  UINT8    SelEnable;         ///< 0 = SEL handling off
  UINT8    EraseSel;          ///< 0 = no erase, 1 = erase once, other = erase at every boot
  UINT8    EraseSelWhenFull;  ///< 1 = erase the SEL when it reports overflow
  UINT8    Reserved431;
} IPMI_SETUP_DATA;

///
/// CrSetupData: console-redirection options (9 bytes).
///
typedef struct {
  UINT8    CrEnable;       ///< console redirection on/off
  UINT8    SerialPort;     ///< 0 = UART0, other = UART1
  UINT8    TerminalType;   ///< 0 ANSI, 1 VT100, 2 VT100+, 3 VT-UTF8, 4 fifth type
  UINT8    BaudRateIndex;  ///< 0..7 = 1200 .. 115200 bit/s
  UINT8    DataBits;
  UINT8    Parity;         ///< 1 = none
  UINT8    StopBits;       ///< 1 = one stop bit
  UINT8    AuxSetting;     ///< passed on, not interpreted
  UINT8    SpcrEnable;     ///< 0 = SPCR table removed, nonzero = kept and patched
} CR_SETUP_DATA;

#pragma pack()

#define SYSTEM_SETUP_CONFIG_SIZE  184
#define IPMI_SETUP_DATA_SIZE      432
#define CR_SETUP_DATA_SIZE        9

///
/// The line rates CR_SETUP_DATA.BaudRateIndex selects, in bit/s: index 0 is
/// 1200, index 7 is 115200. An initialiser for a UINT32 array of
/// CR_SETUP_BAUD_RATE_COUNT entries.
///
#define CR_SETUP_BAUD_RATE_COUNT  8
#define CR_SETUP_BAUD_RATES       { 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200 }

STATIC_ASSERT_SIZE (SYSTEM_SETUP_CONFIG, 184);
STATIC_ASSERT_OFFSET (SYSTEM_SETUP_CONFIG, Type251Option, 21);
STATIC_ASSERT_OFFSET (SYSTEM_SETUP_CONFIG, NetworkMode, 64);
STATIC_ASSERT_OFFSET (SYSTEM_SETUP_CONFIG, Mode1OptionA, 65);
STATIC_ASSERT_OFFSET (SYSTEM_SETUP_CONFIG, Mode2OptionA, 66);
STATIC_ASSERT_OFFSET (SYSTEM_SETUP_CONFIG, Mode1OptionB, 67);
STATIC_ASSERT_OFFSET (SYSTEM_SETUP_CONFIG, Mode2OptionB, 68);
STATIC_ASSERT_OFFSET (SYSTEM_SETUP_CONFIG, EraseEventLogWhenFull, 82);
STATIC_ASSERT_OFFSET (SYSTEM_SETUP_CONFIG, SrIovEnable, 125);
STATIC_ASSERT_OFFSET (SYSTEM_SETUP_CONFIG, PowerRestorePolicy, 128);

STATIC_ASSERT_SIZE (IPMI_SETUP_DATA, 432);
STATIC_ASSERT_OFFSET (IPMI_SETUP_DATA, SelEnable, 428);
STATIC_ASSERT_OFFSET (IPMI_SETUP_DATA, EraseSel, 429);
STATIC_ASSERT_OFFSET (IPMI_SETUP_DATA, EraseSelWhenFull, 430);

STATIC_ASSERT_SIZE (CR_SETUP_DATA, 9);
STATIC_ASSERT_OFFSET (CR_SETUP_DATA, CrEnable, 0);
STATIC_ASSERT_OFFSET (CR_SETUP_DATA, SerialPort, 1);
STATIC_ASSERT_OFFSET (CR_SETUP_DATA, TerminalType, 2);
STATIC_ASSERT_OFFSET (CR_SETUP_DATA, BaudRateIndex, 3);
STATIC_ASSERT_OFFSET (CR_SETUP_DATA, DataBits, 4);
STATIC_ASSERT_OFFSET (CR_SETUP_DATA, Parity, 5);
STATIC_ASSERT_OFFSET (CR_SETUP_DATA, StopBits, 6);
STATIC_ASSERT_OFFSET (CR_SETUP_DATA, AuxSetting, 7);
STATIC_ASSERT_OFFSET (CR_SETUP_DATA, SpcrEnable, 8);

extern EFI_GUID  gSystemSetupConfigGuid;
extern EFI_GUID  gIpmiSetupDataGuid;
extern EFI_GUID  gCrSetupDataGuid;

#endif // SETUP_VARIABLES_H_
