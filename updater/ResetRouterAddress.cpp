// Gives a device behind a router its router address back after an update
// through that router.
#include "app/Log.h"
#include "link/aTime.h"
#include "protocol/QuillnodeNetwork.h"
#include "updater/Updater.h"

namespace {

const int kAttempts = 8;
const unsigned long kResetPauseMs = 500;
const unsigned long kSettlePauseMs = 250;

}  // namespace

aErr UpdaterClass::ResetRouterAddress(linkType link, unsigned int routerSerial,
                                      unsigned int deviceSerial, unsigned char module) {
  NetworkClass net(LINK_INVALID);
  Log::FPrintf(stdout, 0,
               "Resetting router number of device:[%02X:%08x] with module# of router[%08X]\n",
               module, deviceSerial, routerSerial);
  Log::FPrintf(stdout, 0,
               "Device [%08X] may need a physical reset before router number can be reset.\n",
               deviceSerial);

  aErr err = net.Connect(link, routerSerial, false);
  if (err != aErrNone) {
    Log::FPrintf(stdout, DEBUG_Updater,
                 "Error connecting to router [%08X]. Trying to connect again:\n", routerSerial);
    err = net.Connect(link, routerSerial, false);
    if (err != aErrNone) {
      Log::FPrintf(stdout, 0, "Error connecting to router [%08X] ==> [%s].\n", routerSerial,
                   NetworkClass::GetErrorText(err));
      return err;
    }
  }

  unsigned char routerModule = net.GetModuleAddress();
  net.moduleAddress = module;
  unsigned char current = net.GetRouterAddress();

  for (int attempts = kAttempts; attempts >= 1 && current != routerModule; --attempts) {
    Log::FPrintf(stdout, DEBUG_Updater, "Resetting network device [%08X]\n", deviceSerial);
    net.Reset();
    aTime_MSSleep(kResetPauseMs);
    net.Disconnect();
    net.Release();
    err = net.Connect(link, routerSerial, false);
    net.moduleAddress = module;
    if (err != aErrNone) {
      Log::FPrintf(stdout, 0, "\tError connecting to [%08X] ==> [%s].\n", routerSerial,
                   NetworkClass::GetErrorText(err));
      continue;
    }
    Log::FPrintf(stdout, 0, "Resetting router number for network device\n");
    net.SetRouterAddress(routerModule);
    aTime_MSSleep(kSettlePauseMs);
    net.Save();
    aTime_MSSleep(kSettlePauseMs);
    net.Reset();
    aTime_MSSleep(kSettlePauseMs);
    current = net.GetRouterAddress();
    if (current != routerModule) {
      Log::FPrintf(stdout, DEBUG_Updater,
                   "Error resetting the router number for device[%08X], module[%02X], "
                   "router[%02X]\n",
                   deviceSerial, module, current);
      Log::FPrintf(stdout, 0,
                   "Error resetting the router number for device[%08X].  %d retries remaining.\n",
                   deviceSerial, attempts);
      Log::FPrintf(stdout, 0,
                   "Device [%08X] may need a physical reset before router number can be reset.\n",
                   deviceSerial);
    }
  }

  if (current != routerModule)
    Log::FPrintf(stdout, 0,
                 "Device [%08X] may need a physical reset before router number can be reset.\n",
                 deviceSerial);
  return current == routerModule ? aErrNone : aErrTimeout;
}
