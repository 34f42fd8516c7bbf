// The recovery file of a chip, shared by both recovery paths (NXP LPC serial
// ISP and i.MX RT serial download).
#ifndef QN_APP_RECOVERYFILE_H
#define QN_APP_RECOVERYFILE_H

#include "app/Parameters.h"

class UpdaterClass;

// Asks the update server for the recovery file of the chip whose fingerprint
// is the four words, stores it and sets params->birdFile and
// params->serialNumber. A "-f" file given by the user is kept. True when the
// file to use is known.
bool Get_Firmware_Recovery_File(UpdaterClass* store, Parameters* params,
                                const unsigned int* fingerprint);

#endif  // QN_APP_RECOVERYFILE_H
