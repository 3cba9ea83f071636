/** @file
  Console-redirection policy: the serial console settings chosen in setup,
  published as a plain data record under a protocol GUID. The record has no
  member functions; consumers read its fields through the interface pointer
  and must treat it as read-only.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef CONSOLE_REDIRECTION_POLICY_H_
#define CONSOLE_REDIRECTION_POLICY_H_

#include <LayoutAssert.h>

#define CONSOLE_REDIRECTION_POLICY_PROTOCOL_GUID \
  { 0x9C0DE744, 0x7DAE, 0x40B7, { 0x82, 0xD4, 0x2A, 0x4A, 0x1C, 0x05, 0xBA, 0xCF } }

//
// DeviceType values.
//
#define CR_DEVICE_TYPE_MMIO_UART  0   ///< memory-mapped UART, Irq is used
#define CR_DEVICE_TYPE_PCI        1   ///< PCI serial device, PciBus/Device/Function are used

//
// TerminalType values.
//
#define CR_TERMINAL_TYPE_ANSI       0
#define CR_TERMINAL_TYPE_VT100      1
#define CR_TERMINAL_TYPE_VT100_PLUS 2
#define CR_TERMINAL_TYPE_VT_UTF8    3
#define CR_TERMINAL_TYPE_FIFTH      4

///
/// The policy record, natural alignment (40 bytes).
///
typedef struct {
  UINT8     CrEnable;      ///< console redirection enable
  UINT8     SerialPort;    ///< 0 = UART0, other = UART1
  UINT8     Parity;        ///< as in setup; 1 = none
  UINT8     DataBits;
  UINT8     StopBits;      ///< 1 = one stop bit
  UINT8     AuxSetting;    ///< carried from setup, not interpreted
  UINT8     TerminalType;  ///< CR_TERMINAL_TYPE_*
  UINT64    BaudRate;      ///< bit/s
  UINT8     DeviceType;    ///< CR_DEVICE_TYPE_*
  UINT64    PortAddress;   ///< MMIO base of the selected UART
  UINT8     Irq;
  UINT8     PciBus;
  UINT8     PciDevice;
  UINT8     PciFunction;
  UINT8     SpcrEnable;    ///< 0 = remove the SPCR table, nonzero = keep and patch it
  UINT8     Reserved;
} CONSOLE_REDIRECTION_POLICY;

STATIC_ASSERT_SIZE (CONSOLE_REDIRECTION_POLICY, 40);
STATIC_ASSERT_OFFSET (CONSOLE_REDIRECTION_POLICY, CrEnable, 0);
STATIC_ASSERT_OFFSET (CONSOLE_REDIRECTION_POLICY, SerialPort, 1);
STATIC_ASSERT_OFFSET (CONSOLE_REDIRECTION_POLICY, Parity, 2);
STATIC_ASSERT_OFFSET (CONSOLE_REDIRECTION_POLICY, DataBits, 3);
STATIC_ASSERT_OFFSET (CONSOLE_REDIRECTION_POLICY, StopBits, 4);
STATIC_ASSERT_OFFSET (CONSOLE_REDIRECTION_POLICY, AuxSetting, 5);
STATIC_ASSERT_OFFSET (CONSOLE_REDIRECTION_POLICY, TerminalType, 6);
STATIC_ASSERT_OFFSET (CONSOLE_REDIRECTION_POLICY, BaudRate, 8);
STATIC_ASSERT_OFFSET (CONSOLE_REDIRECTION_POLICY, DeviceType, 16);
STATIC_ASSERT_OFFSET (CONSOLE_REDIRECTION_POLICY, PortAddress, 24);
STATIC_ASSERT_OFFSET (CONSOLE_REDIRECTION_POLICY, Irq, 32);
STATIC_ASSERT_OFFSET (CONSOLE_REDIRECTION_POLICY, PciBus, 33);
STATIC_ASSERT_OFFSET (CONSOLE_REDIRECTION_POLICY, PciDevice, 34);
STATIC_ASSERT_OFFSET (CONSOLE_REDIRECTION_POLICY, PciFunction, 35);
STATIC_ASSERT_OFFSET (CONSOLE_REDIRECTION_POLICY, SpcrEnable, 36);
STATIC_ASSERT_OFFSET (CONSOLE_REDIRECTION_POLICY, Reserved, 37);

extern EFI_GUID  gConsoleRedirectionPolicyProtocolGuid;

#endif // CONSOLE_REDIRECTION_POLICY_H_
