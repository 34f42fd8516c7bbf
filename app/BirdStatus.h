// Status texts of BIRD firmware files, as "-I" and "-C" show them.
//
// Main thread only; nothing here keeps state between calls.
#ifndef QN_APP_BIRDSTATUS_H
#define QN_APP_BIRDSTATUS_H

#include <stdint.h>

#include <string>

class BirdFileClass;

// The build, version, serial number and model fields of the file's info
// block, each on its own indented line; empty when the file has no info
// block. Fields that lie beyond the end of a short info block are empty.
std::string GetBIRDBuildInfo(BirdFileClass& file);

// Checks the header of the file at `path`, loads it into `file` and returns
// the start of its status text: "verified" or "*** invalid file format ***",
// then ", valid firmware blocks" and ", offline compatible" where they hold.
std::string GetBIRDFileStatus(const char* path, BirdFileClass& file);

// Whether the file's body holds `serial` as four little-endian bytes.
bool BIRDHoldsSerial(BirdFileClass& file, uint32_t serial);

#endif  // QN_APP_BIRDSTATUS_H
