// The firmware update procedure of a working module and its steps.
//
// UpdaterClass::UpdateFirmware (declared in updater/Updater.h) runs the steps
// below in order; the first one that fails ends the procedure. The steps are
// free functions so that other procedures (recovery through a boot ROM) can
// reuse the validation, the firmware transfer and the clean-up.
//
// Console lines go to standard output on channel 0 or DEBUG_Updater.
// Main thread only; the link's own threads carry the packets.
#ifndef QN_UPDATER_UPDATEFIRMWARE_H
#define QN_UPDATER_UPDATEFIRMWARE_H

#include "link/aErr.h"
#include "link/aLinkTypes.h"

class BirdFileClass;
class DeviceHistory;
class KeyValueStore;
class NetworkClass;

// Checks and loads the BIRD file at `path` for the module `serial`: the file
// must hold firmware blocks, and a device-specific file (one without serial
// number offsets) must name `serial`. An offline-compatible file gets its
// `offline` member set. On success `*bird` receives a new BirdFileClass that
// the caller owns; on failure `*bird` is null and nothing is left allocated.
bool _UpdateFirmware_ValidateBirdFile(BirdFileClass** bird, unsigned int serial, const char* path);

// Connects `net` to the module (or, with a router serial number, to the
// router, and then addresses `module` behind it), checks its serial number
// and model against the file, writes the module's current settings into
// `history` and, for an offline-compatible file, inserts the serial number
// into the image in memory. On success `net` stays connected and addressed
// to the module being updated.
bool _UpdateFirmware_ValidateModule(BirdFileClass* bird, NetworkClass& net, linkType link,
                                    unsigned int serial, unsigned char module,
                                    unsigned int routerSerial, bool overrideModel,
                                    DeviceHistory& history);

// Initialises the upgrade, transfers every loader block and starts the
// loader. A file without loader blocks still initialises and starts it.
aErr _UpdateFirmware_TransferLoader(NetworkClass& net, BirdFileClass* bird);

// Transfers every firmware block to the running loader and, when all went
// through, records the success in `history` and reboots the module.
aErr _UpdateFirmware_TransferFirmware(NetworkClass& net, BirdFileClass* bird,
                                      DeviceHistory& history);

// Ends an update whatever its outcome. After a complete transfer (status 0)
// the file's path and the local time go into `settings` ("LAST_TRANSFER_
// VERSION", "LAST_TRANSFER_DATE"), which are saved, and a device behind a
// router gets its router address back. Deletes *bird (and nulls it), and
// lets the connection go. Returns the final status.
aErr _UpdateFirmware_Cleanup(BirdFileClass** bird, KeyValueStore& settings, NetworkClass& net,
                             unsigned int serial, aErr status, linkType link,
                             unsigned int routerSerial);

#endif  // QN_UPDATER_UPDATEFIRMWARE_H
