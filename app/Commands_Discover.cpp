// "-D": discover modules and record them in the store.
#include "app/Commands.h"
#include "app/Discovery.h"
#include "app/Log.h"
#include "link/aLinkTypes.h"

Outcome Entry_Discover(Parameters& params, UpdaterClass& store) {
  if (params.routerSerialNumber != 0) {
    DiscoverIndirect(params, store);
  } else if (params.serialNumber != 0 || params.linkTypeGiven) {
    Discover(params, store);
  } else {
    params.linkType = LINK_USB;
    Discover(params, store);
    Log::FPrintf(stdout, 0, "\n");
    params.linkType = LINK_TCPIP;
    Discover(params, store);
    Log::FPrintf(stdout, 0, "\n");
  }
  return Outcome::Done;
}
