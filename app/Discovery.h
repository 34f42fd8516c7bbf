// Discovery of modules ("-D"), directly or through a router.
//
// Main thread only. Every function that connects creates its own
// NetworkClass and releases it before returning.
#ifndef QN_APP_DISCOVERY_H
#define QN_APP_DISCOVERY_H

#include <stdint.h>

#include <string>

#include "app/Parameters.h"
#include "link/aErr.h"

class NetworkClass;
class UpdaterClass;
class UpdaterItemClass;

// What one module reports about itself.
struct DEVICE_INFO {
  DEVICE_INFO();
  ~DEVICE_INFO();

  uint32_t serialNumber;
  uint8_t moduleAddress;
  uint8_t routerAddress;
  uint8_t model;
  uint32_t build;
  uint32_t version;  // packed
  uint8_t major;
  uint8_t minor;
  uint32_t patch;
  std::string modelName;
};

void Discover(Parameters params, UpdaterClass& store);
void DiscoverIndirect(Parameters params, UpdaterClass& store);
// Fills params.moduleNumber with the module address of params.serialNumber
// behind the router params.routerSerialNumber (0 when not found); may set
// params.linkType to the router's link type.
void Discover_Indirect_Module(Parameters& params, UpdaterClass& store);
void DiscoverDevice(Parameters* params, uint32_t serial, UpdaterItemClass* entry);
// Printed after the error row of a module this user may not open: where the
// access rules for the modules' USB devices come from.
extern const char* const USB_PERMISSION_HINT;
// Queries an open connection; the result is the status of the last failing
// query (0 when all succeeded). All fields are filled whatever the failures.
aErr DiscoverDeviceInfo(DEVICE_INFO* info, NetworkClass* net);
// A new device entry named "%08X" with its "LINK_TYPE" saved, or null.
UpdaterItemClass* CreateNewDevice(UpdaterClass& store, uint32_t serial, uint32_t linkType);

// The device row of the discovery tables.
std::string FormatDeviceRow(const DEVICE_INFO& info, uint32_t serial, uint8_t module,
                            const std::string& addressText);

#endif  // QN_APP_DISCOVERY_H
