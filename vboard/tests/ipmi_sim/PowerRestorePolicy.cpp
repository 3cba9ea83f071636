// An extension module for OpenIPMI's ipmi_sim (loaded with "loadlib" from
// lan.conf) that gives its BMC the chassis power-restore policy, which the
// simulator does not implement: Set Power Restore Policy (Chassis 0x06) and
// the policy bits 6..5 of Get Chassis Status (Chassis 0x01), so that
// `ipmitool chassis status` and `ipmitool chassis policy` work against it.
//
//   Set Power Restore Policy  request byte bits 2..0: 0 always off, 1 restore
//                             previous state, 2 always on, 3 no change;
//                             response: supported policies, bits 0..2.
//   Get Chassis Status        byte 1: bit 0 power on, bits 6..5 the policy.
//
// Everything else (SEL, sessions, users, the serial and LAN interfaces)
// stays the simulator's own.
extern "C" {
#include <OpenIPMI/ipmi_err.h>
#include <OpenIPMI/ipmi_msgbits.h>
#include <OpenIPMI/mcserv.h>
#include <OpenIPMI/serv.h>

// Exported by the ipmi_sim executable, not declared in the installed headers.
int ipmi_mc_is_power_on (lmc_data_t *mc);
}

#include <cstdio>

namespace {

unsigned char gPolicy = 0;   // always off until told otherwise
constexpr unsigned char kPoliciesSupported = 0x07;

void SetPowerRestorePolicy (lmc_data_t *Mc, msg_t *Msg, unsigned char *Rdata, unsigned int *RdataLen, void *) {
  if (check_msg_length (Msg, 1, Rdata, RdataLen)) {
    return;
  }
  unsigned char Policy = Msg->data[0] & 0x07;
  if ((Msg->data[0] & 0xF8) != 0 || Policy > 3) {
    Rdata[0] = IPMI_INVALID_DATA_FIELD_CC;
    *RdataLen = 1;
    return;
  }
  if (Policy != 3) {
    gPolicy = Policy;
  }
  Rdata[0] = 0;
  Rdata[1] = kPoliciesSupported;
  *RdataLen = 2;
}

void GetChassisStatus (lmc_data_t *Mc, msg_t *Msg, unsigned char *Rdata, unsigned int *RdataLen, void *) {
  int On = ipmi_mc_is_power_on (Mc);
  if (On < 0) {
    Rdata[0] = IPMI_UNKNOWN_ERR_CC;
    *RdataLen = 1;
    return;
  }
  Rdata[0] = 0;
  Rdata[1] = static_cast<unsigned char> ((On ? 1 : 0) | (gPolicy << 5));
  Rdata[2] = 0;
  Rdata[3] = 0;
  *RdataLen = 4;
}

}  // namespace

extern "C" int ipmi_sim_module_print_version (sys_data_t *, char *) {
  std::printf ("vboard power-restore policy extension 1.0\n");
  return 0;
}

extern "C" int ipmi_sim_module_init (sys_data_t *, const char *) {
  int Rv = ipmi_emu_register_cmd_handler (IPMI_CHASSIS_NETFN, IPMI_SET_POWER_RESTORE_POLICY_CMD, SetPowerRestorePolicy, nullptr);
  if (Rv == 0) {
    Rv = ipmi_emu_register_cmd_handler (IPMI_CHASSIS_NETFN, IPMI_GET_CHASSIS_STATUS_CMD, GetChassisStatus, nullptr);
  }
  return Rv;
}
