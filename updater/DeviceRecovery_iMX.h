// Steps of the i.MX RT recovery procedure (UpdaterClass::DeviceRecovery_iMX
// in updater/Updater.h) that are not shared with the firmware update.
#ifndef QN_UPDATER_DEVICERECOVERY_IMX_H
#define QN_UPDATER_DEVICERECOVERY_IMX_H

#include <string>

#include "link/aErr.h"

class BirdFileClass;
class SDPLoader_Interface;

// The serial download transport for `port`: the ROM's HID device for the
// exact text "USB", otherwise the serial port of that name. The transport
// keeps a pointer to `port`'s text, which must outlive it. The caller owns
// the result.
SDPLoader_Interface* _iMX_CreateTransport(const std::string& port);

// Writes every loader block of `bird` into the chip's RAM through its boot
// ROM on `port` and jumps to the loader's entry (the file's loader entry
// block, else the default image vector table address). The transport's
// error when the ROM cannot be opened (nothing is written); aErrConnection
// when a block could not be written. The jump's outcome is not known here:
// a loader that did not start fails the connection that follows.
aErr _UpdateFirmware_TransferLoader_iMX(BirdFileClass* bird, std::string port);

#endif  // QN_UPDATER_DEVICERECOVERY_IMX_H
