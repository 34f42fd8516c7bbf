#include "app/Discovery.h"

#include <stdio.h>
#include <string.h>

#include "app/Log.h"
#include "app/Printable.h"
#include "link/aVersion.h"
#include "protocol/QuillnodeNetwork.h"
#include "updater/KeyValueStore.h"
#include "updater/Updater.h"

const char* const USB_PERMISSION_HINT =
    "    Hint: no permission to open the module's USB device. Install the udev rules\n"
    "    \"70-quillnode.rules\" (cmake --install puts them in lib/udev/rules.d), log in\n"
    "    again and plug the module in again; see docs/usb.md.\n";

namespace {

const char* const kRowHeaderSerial =
    "    Device    Module   Router  Model          Firmware Version\n";

// "[a.b.c.d]" for a module reached over TCP/IP, empty otherwise.
std::string sAddressText(const NetworkClass& net) {
  if (net.connectionType != LINK_TCPIP || !net.spec) return std::string();
  uint32_t a = net.spec->linkAddress;  // network byte order
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&a);
  char text[32];
  snprintf(text, sizeof(text), "[%d.%d.%d.%d]", b[0], b[1], b[2], b[3]);
  return text;
}

bool sHasStore(UpdaterItemClass* entry) { return entry && entry->updater; }

// A save that fails is reported here; the run's exit status counts it.
void sSaveSettings(KeyValueStore& settings) {
  if (!settings.Save())
    Log::FPrintf(stdout, 0, "ERROR ==> Could not save the device settings [%s]: %s.\n",
                 settings.filename.c_str(), strerror(settings.SaveError()));
}

// Finds the router's link type when "-t" was not given; false when the
// router was found on neither transport.
bool sRouterLinkType(uint32_t router, uint32_t* linkType) {
  NetworkClass finder(LINK_INVALID);
  finder.DiscoverLinkType(router);
  if (finder.connectionType == LINK_INVALID) return false;
  *linkType = finder.connectionType;
  return true;
}

}  // namespace

DEVICE_INFO::DEVICE_INFO()
    : serialNumber(0),
      moduleAddress(0),
      routerAddress(0),
      model(0),
      build(0),
      version(0),
      major(0),
      minor(0),
      patch(0) {}

DEVICE_INFO::~DEVICE_INFO() {}

std::string FormatDeviceRow(const DEVICE_INFO& info, uint32_t serial, uint8_t module,
                            const std::string& addressText) {
  char buildText[16];
  snprintf(buildText, sizeof(buildText), "%u", info.build);
  int pad = 10 - (int)strlen(buildText);
  char row[256];
  snprintf(row, sizeof(row), "    %08X  %02X       %02X      %-12s %3d.%d.%d (%s)%*s %s\n", serial,
           module, info.routerAddress, info.modelName.c_str(), info.major, info.minor, info.patch,
           buildText, pad, "", addressText.c_str());
  return row;
}

aErr DiscoverDeviceInfo(DEVICE_INFO* info, NetworkClass* net) {
  aErr status[6];
  info->serialNumber = net->GetSerialNumber();
  status[0] = net->lastError;
  info->moduleAddress = net->GetModuleAddress();
  status[1] = net->lastError;
  info->routerAddress = net->GetRouterAddress();
  status[2] = net->lastError;
  info->model = net->GetModel();
  info->modelName = NetworkClass::GetModelName(info->model);
  status[3] = net->lastError;
  info->build = net->GetBuild();
  status[4] = net->lastError;
  info->version = net->GetVersion();
  status[5] = net->lastError;
  info->major = aVersion_ParseMajor(info->version);
  info->minor = aVersion_ParseMinor(info->version);
  info->patch = aVersion_ParsePatch(info->version);
  for (int i = 5; i >= 0; --i)
    if (status[i] != aErrNone) return status[i];
  return aErrNone;
}

UpdaterItemClass* CreateNewDevice(UpdaterClass& store, uint32_t serial, uint32_t linkType) {
  Log::FPrintf(stdout, DEBUG_APP, "Creating new device in updater directory: [%08X]\n", serial);
  char name[16];
  snprintf(name, sizeof(name), "%08X", serial);
  UpdaterItemClass* entry = store.Create(name);
  if (!sHasStore(entry)) return nullptr;
  UpdaterClass* device = entry->updater;
  device->history.Log("Created device entry");
  device->settings.filename =
      BuildPath(device->path.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr);
  device->settings.Add("LINK_TYPE", NetworkClass::GetLinkName(linkType));
  sSaveSettings(device->settings);
  return entry;
}

void DiscoverDevice(Parameters* params, uint32_t serial, UpdaterItemClass* entry) {
  NetworkClass net(LINK_INVALID);
  aErr status = net.Connect(params->linkType, serial, false);
  if (status != aErrNone) {
    if (net.lastError == aErrBusy || net.lastError == aErrPermission)
      Log::FPrintf(stdout, 0,
                   "    %08X  [Error connecting: %s] Device may be in use by another process.\n",
                   serial, NetworkClass::GetErrorText(status));
    else
      Log::FPrintf(stdout, 0, "    %08X  [Error connecting: %s]\n", serial,
                   NetworkClass::GetErrorText(status));
    if (net.lastError == aErrPermission) Log::FPrintf(stdout, 0, "%s", USB_PERMISSION_HINT);
    return;
  }
  DEVICE_INFO info;
  DiscoverDeviceInfo(&info, &net);
  uint32_t shown = info.serialNumber ? info.serialNumber : serial;
  Log::FPrintf(stdout, 0, "%s",
               FormatDeviceRow(info, shown, net.moduleAddress, sAddressText(net)).c_str());
  uint8_t module = net.moduleAddress;
  net.Disconnect();
  net.Release();

  if (info.serialNumber != serial || !sHasStore(entry)) return;
  KeyValueStore& settings = entry->updater->settings;
  // A device directory without a settings file yet: save into the
  // directory, never into the working directory.
  if (settings.filename.empty())
    settings.filename =
        BuildPath(entry->updater->path.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr);
  settings.Add("LINK_TYPE", NetworkClass::GetLinkName(params->linkType));
  settings.AddHex("SERIAL_NUMBER", info.serialNumber);
  settings.Add("MODULE_NUMBER", (int)module);
  settings.Add("MODEL_NUMBER", (int)info.model);
  settings.Add("MODEL_NAME", info.modelName);
  char version[32];
  snprintf(version, sizeof(version), "%3d.%d.%d", info.major, info.minor, info.patch);
  settings.Add("VERSIONx", version);
  sSaveSettings(settings);
}

namespace {

// The store entry of `serial`; a new one, with that noted in its history,
// when the store has none yet. Null when none can be created.
UpdaterItemClass* sFindOrCreateDevice(UpdaterClass& store, uint32_t serial, uint32_t linkType) {
  UpdaterItemClass* entry = store.Find(serial);
  if (entry) return entry;
  entry = CreateNewDevice(store, serial, linkType);
  if (entry) entry->updater->history.Log(0, "Created new device directory for [%08X]\n", serial);
  return entry;
}

}  // namespace

void Discover(Parameters params, UpdaterClass& store) {
  const char* linkName = NetworkClass::GetLinkName(params.linkType);
  if (params.serialNumber != 0) {
    uint32_t serial = params.serialNumber;
    Log::FPrintf(stdout, 0, "Discovering Device [%08X] [%s]:\n", serial, linkName);
    Log::FPrintf(stdout, 0, "%s", kRowHeaderSerial);
    UpdaterItemClass* entry = sFindOrCreateDevice(store, serial, params.linkType);
    DiscoverDevice(&params, serial, entry);
    return;
  }

  bool tcp = params.linkType == LINK_TCPIP;
  Log::FPrintf(stdout, 0, "Discovering %s Devices:\n", linkName);
  Log::FPrintf(stdout, 0,
               "    Device    Module   Router  Model          Firmware Version    %-15s\n",
               tcp ? "IP address" : "");
  NetworkClass net(LINK_INVALID);
  net.Discover(params.linkType);
  if (Log::IsActive(DEBUG_APP)) {
    for (unsigned int i = 0; i < net.deviceCount; ++i) {
      const NetworkClass::DeviceRecord& d = net.devices[i];
      Log::FPrintf(stdout, DEBUG_APP, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%d) %s\n",
                   d.serialNumber, d.module, d.router, NetworkClass::GetModelName(d.model), 0, 0, 0,
                   0, "");
    }
    Log::FPrintf(stdout, DEBUG_APP, "\n");
    Log::FPrintf(stdout, DEBUG_APP, "Discovering Devices [%s]:\n", linkName);
    Log::FPrintf(stdout, DEBUG_APP,
                 "    Device    Module   Router  Model          Firmware Version   %-15s\n",
                 tcp ? "[IP address]" : "");
  }
  for (unsigned int i = 0; i < net.deviceCount; ++i) {
    uint32_t serial = net.deviceSerials[i];
    UpdaterItemClass* entry = sFindOrCreateDevice(store, serial, LINK_USB);
    if (sHasStore(entry) && !params.logMessage.empty())
      entry->updater->history.Log(0, "%s", params.logMessage.c_str());
    DiscoverDevice(&params, serial, entry);
  }
}

void DiscoverIndirect(Parameters params, UpdaterClass& store) {
  (void)store;
  uint32_t router = params.routerSerialNumber;
  if (!params.linkTypeGiven) {
    uint32_t found = 0;
    if (sRouterLinkType(router, &found))
      params.linkType = found;
    else
      Log::FPrintf(stdout, 0, "Error could not discover the device on either USB or TCPIP.\n");
  }
  bool tcp = params.linkType == LINK_TCPIP;
  Log::FPrintf(stdout, 0, "Discovering Network Devices from [%08X] via [%s]:\n", router,
               NetworkClass::GetLinkName(params.linkType));
  Log::FPrintf(stdout, 0,
               "    Device    Module   Router  Model          Firmware Version   %-15s\n",
               tcp ? "[IP address]" : "");
  Log::FPrintf(stdout, DEBUG_APP, "Connecting to [%08X] ...", router);
  NetworkClass net(LINK_INVALID);
  net.Connect(params.linkType, router, false);
  if (net.lastError != aErrNone) return;
  Log::FPrintf(stdout, DEBUG_APP, " connected\n");
  uint8_t own = net.moduleAddress;
  net.SetRouteToMe(1);
  for (unsigned int a = 2; a <= 252; a += 2) {
    net.moduleAddress = (uint8_t)a;
    Log::FPrintf(stdout, DEBUG_APP, "\rtrying to connect to module: %d    ", a);
    DEVICE_INFO info;
    if (DiscoverDeviceInfo(&info, &net) != aErrTimeout)
      Log::FPrintf(stdout, 0, "\r%s",
                   FormatDeviceRow(info, info.serialNumber, (uint8_t)a, sAddressText(net)).c_str());
  }
  net.moduleAddress = own;
  net.SetRouteToMe(0);
  Log::FPrintf(stdout, DEBUG_APP, "\rcompleted looking for network devices %30s", "");
  net.Disconnect();
  net.Release();
}

void Discover_Indirect_Module(Parameters& params, UpdaterClass& store) {
  (void)store;
  params.moduleNumber = 0;
  Log::FPrintf(
      stdout, DEBUG_APP, "Discovering Module # of Network Device [%08X] thru [%08X] via [%s] ...",
      params.serialNumber, params.routerSerialNumber, NetworkClass::GetLinkName(params.linkType));
  if (!params.linkTypeGiven) {
    uint32_t found = 0;
    if (sRouterLinkType(params.routerSerialNumber, &found))
      params.linkType = found;
    else
      Log::FPrintf(stderr, 0, "Error could not discover the device on either USB or TCPIP.\n");
  }
  NetworkClass net(LINK_INVALID);
  if (net.Connect(params.linkType, params.routerSerialNumber, false) != aErrNone) {
    Log::FPrintf(stderr, DEBUG_APP, "error connecting\n");
    return;
  }
  net.SetRouteToMe(1);
  Log::FPrintf(stdout, DEBUG_APP, " connected\n");
  for (unsigned int a = 2; a <= 252 && params.moduleNumber == 0; a += 2) {
    net.moduleAddress = (uint8_t)a;
    if (net.GetSerialNumber() == params.serialNumber) params.moduleNumber = (uint8_t)a;
  }
  net.SetRouteToMe(0);
  net.Disconnect();
  net.Release();
}
