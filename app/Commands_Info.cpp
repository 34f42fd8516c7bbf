// "-I": show what the store knows about a device, then its history.
#include <stdio.h>
#include <string.h>

#include <string>

#include "app/Commands.h"
#include "app/DeviceDisplay.h"
#include "app/Log.h"
#include "app/Printable.h"
#include "updater/Updater.h"

Outcome Entry_Info(Parameters& params, UpdaterClass& store) {
  if (params.serialNumber == 0) {
    Log::FPrintf(
        stdout, 0,
        "Error: Must supply a specfic serial number [\"-d\"] to list device information\n");
    return Outcome::Failed;
  }
  UpdaterItemClass* entry = store.Find(params.serialNumber);
  if (!entry) {
    Log::FPrintf(stdout, 0, "Error: Cannot locate information for specfic serial number [%08X]\n",
                 params.serialNumber);
    return Outcome::Done;
  }
  DisplayDevice(entry, params);
  if (!entry->updater) return Outcome::Done;
  char line[2048];
  DeviceHistory& history = entry->updater->history;
  if (!history.ReadFirstLine(line, sizeof(line))) return Outcome::Done;
  Log::FPrintf(stdout, 0, "\tHistory for device [%s]:\n", entry->name.c_str());
  do {
    // Each line keeps its own line break; anything else is made printable.
    size_t length = strlen(line);
    bool ends = length > 0 && line[length - 1] == '\n';
    std::string text = Printable(std::string(line, ends ? length - 1 : length));
    Log::FPrintf(stdout, 0, "\t\t%s%s", text.c_str(), ends ? "\n" : "");
  } while (history.ReadNextLine(line, sizeof(line)));
  return Outcome::Done;
}
