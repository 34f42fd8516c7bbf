// "-N" (read an NXP chip's fingerprint) and "-U -t RECOVER -s PORT" (recover
// a module through its processor's boot ROM).
#include <stdio.h>

#include "app/Commands.h"
#include "app/Log.h"
#include "app/Recovery.h"
#include "app/RecoveryFile.h"
#include "link/aTime.h"
#include "recovery/NXPSerial.h"
#include "updater/Updater.h"

Outcome Entry_Fingerprint(Parameters& params) {
  Log::FPrintf(stdout, 0, "Getting NXP device fingerprint:\n");
  if (params.serialPort.empty()) {
    Log::FPrintf(stdout, 0, "\tERROR ==> Must specify the serial port used for connecting\n\n");
    return Outcome::Failed;
  }
  NXPSerialClass isp;
  if (isp.Connect(params.serialPort.c_str(), params.baudRate) != aErrNone) {
    Log::FPrintf(stdout, 0, "ERROR ==> Could not open serial port\n");
    return Outcome::EndRun;
  }
  Log::FPrintf(stdout, DEBUG_APP, "\n\tSync to Device:\n");
  if (isp.Sync() != aErrNone) {
    Log::FPrintf(stdout, 0, "ERROR ==> Could not communicate with device over serial port\n");
    return Outcome::EndRun;
  }
  Log::FPrintf(stdout, DEBUG_APP, "\n\tGet Info from Device:\n");
  if (isp.GetDeviceID() != aErrNone) {
    Log::FPrintf(stdout, 0, "\tERROR ==> Got no response from chip\n");
    return Outcome::Failed;
  }
  Log::FPrintf(stdout, 0, "\t[ %08X %08X %08X %08X ]\n", isp.deviceID[0], isp.deviceID[1],
               isp.deviceID[2], isp.deviceID[3]);
  return Outcome::Done;
}

Outcome Entry_Recovery(Parameters& params, UpdaterClass& store) {
  if (params.serialPort == "USB")
    return Firmware_Recovery_iMX(&store, &params) ? Outcome::Done : Outcome::Failed;
  bool recovered = false;
  if (Firmware_Recovery(&store, &params, &recovered))
    return recovered ? Outcome::Done : Outcome::Failed;
  return Firmware_Recovery_iMX(&store, &params) ? Outcome::Done : Outcome::Failed;
}

bool Firmware_Recovery(UpdaterClass* store, Parameters* params, bool* recovered) {
  if (recovered) *recovered = false;
  UpdaterClass::echo_bytes = params->echo;
  Log::FPrintf(stdout, 0, "Firmware_Recovery via Serial Interface:\n");

  NXPSerialClass isp;
  if (isp.Connect(params->serialPort.c_str(), params->baudRate) != aErrNone) {
    Log::FPrintf(stdout, 0, "ERROR ==> Could not open serial port.\n");
    isp.Disconnect();
    return false;
  }
  Log::FPrintf(stdout, DEBUG_APP, "\n\tSync to Device:\n");
  if (isp.Sync() != aErrNone) {
    Log::FPrintf(stdout, 0, "ERROR ==> Syncing Failed. Is this board provisioned?\n");
    isp.Disconnect();
    return false;
  }
  Log::FPrintf(stdout, DEBUG_APP, "\n\tGet Info from Device:\n");
  if (isp.GetDeviceID() == aErrNone) {
    Log::FPrintf(stdout, 0, "\tGot device fingerprint [ %08X %08X %08X %08X ]\n", isp.deviceID[0],
                 isp.deviceID[1], isp.deviceID[2], isp.deviceID[3]);
    unsigned int fingerprint[4] = {isp.deviceID[0], isp.deviceID[1], isp.deviceID[2],
                                   isp.deviceID[3]};
    if (!Get_Firmware_Recovery_File(store, params, fingerprint)) return false;
  }
  Log::FPrintf(stdout, DEBUG_APP, "\n\tUnlock Memory:\n");
  isp.Unlock();

  unsigned long start = aTime_GetMSTicks();
  bool ok = UpdaterClass::DeviceRecovery(&isp, params->birdFile.c_str());
  if (!ok) Log::FPrintf(stdout, 0, "Error in Recovery process:\n\n");
  if (recovered) *recovered = ok;
  Log::FPrintf(stdout, 0, "Update time: %.4f sec\n", (aTime_GetMSTicks() - start) / 1000.0);
  Log::FPrintf(stdout, 0, "END of Firmware_Recovery via Serial Interface\n");
  isp.Disconnect();
  return true;
}
