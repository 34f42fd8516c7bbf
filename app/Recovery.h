// Recovery of modules whose firmware no longer runs, through the boot ROM of
// their processor, and the functions the recovery entry is made of.
//
// Each function creates its own clients (serial ISP, update server) and
// releases them before it returns; the store is lent by the caller.
#ifndef QN_APP_RECOVERY_H
#define QN_APP_RECOVERY_H

#include "app/Parameters.h"

class UpdaterClass;

// NXP LPC serial ISP recovery on params->serialPort. False when it could not
// start (port, synchronisation or recovery file); true once the recovery
// procedure has run, whatever its outcome, which goes to *recovered when
// given (so that a recovery that ran and failed can fail the run without
// trying the other path).
bool Firmware_Recovery(UpdaterClass* store, Parameters* params, bool* recovered = nullptr);
// i.MX RT recovery over the serial download protocol. False when it could
// not start or when the recovery procedure failed (it is the last path the
// recovery entry tries, so this fails the run and nothing else); true when
// the module was recovered.
bool Firmware_Recovery_iMX(UpdaterClass* store, Parameters* params);

#endif  // QN_APP_RECOVERY_H
