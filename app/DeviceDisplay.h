// Display helpers for devices and their firmware files.
//
// Main thread only; nothing here keeps state between calls.
#ifndef QN_APP_DEVICEDISPLAY_H
#define QN_APP_DEVICEDISPLAY_H

#include <string>

class BirdFileClass;

// The build, version, serial number and model fields of the file's info
// block, each on its own indented line; empty when the file has no info
// block. Fields that lie beyond the end of a short info block are empty.
std::string GetBIRDBuildInfo(BirdFileClass& file);

#endif  // QN_APP_DEVICEDISPLAY_H
