// The display of what the store knows about a device (part of "-I").
//
// Main thread only.
#ifndef QN_APP_DEVICEDISPLAY_H
#define QN_APP_DEVICEDISPLAY_H

#include "app/Parameters.h"

class UpdaterItemClass;

// Prints the device's settings and its stored builds with their status; a
// device without stored builds shows the "-f" file instead, when given. A
// null entry or one without a store prints nothing.
void DisplayDevice(UpdaterItemClass* entry, Parameters& params);

#endif  // QN_APP_DEVICEDISPLAY_H
