// The entries of a run: one function per step of the fixed run order.
//
// `main` calls them in order on the main thread. Each entry creates the
// objects it needs and destroys them before it returns; entries pass results
// to each other only through the store on disk and the `Parameters` record,
// which they may change. The store (`UpdaterClass`) is owned by `main` and
// lent to the entries.
#ifndef QN_APP_COMMANDS_H
#define QN_APP_COMMANDS_H

#include "app/Parameters.h"

class UpdaterClass;
namespace Vorlaine {
namespace Updater {
class ServerCommClass;
}
}  // namespace Vorlaine

// How an entry ended: Done, Failed (the run is marked failed and goes on), or
// EndRun (the run ends at once with exit status 1).
enum class Outcome { Done, Failed, EndRun };

// "-N": read the NXP chip fingerprint over the serial port.
Outcome Entry_Fingerprint(Parameters& params);
// "-l": the message goes into the history of the store's top directory.
Outcome Entry_HistoryMessage(Parameters& params, UpdaterClass& store);
// "-G": download a build into the device's directory.
Outcome Entry_Get(Parameters& params, UpdaterClass& store);
// "-D": discover modules and record them.
Outcome Entry_Discover(Parameters& params, UpdaterClass& store);
// "-U" picks one of the next three.
Outcome Entry_UpdateOrRecover(Parameters& params, UpdaterClass& store);
// "-U" without recovery marks: update a working module.
Outcome Entry_Update(Parameters& params, UpdaterClass& store);
// The two halves of the update entry; both choose the BIRD file (params->
// birdFile) and the link type (params->linkType) and run the update
// procedure on the device's store directory. True when the update succeeded.
// Firmware_Indirect_Update is for a device behind the router
// params->routerSerialNumber at the module address params->moduleNumber.
bool Firmware_Update(UpdaterClass* store, Parameters* params);
bool Firmware_Indirect_Update(UpdaterClass* store, Parameters* params);
// "-U -t RECOVER -s port": recover a module through its boot ROM.
Outcome Entry_Recovery(Parameters& params, UpdaterClass& store);
// "-I": show what the store knows about one device.
Outcome Entry_Info(Parameters& params, UpdaterClass& store);
// "-B": list the builds the update server offers for a device.
Outcome Entry_Builds(Parameters& params, UpdaterClass& store);
// "-C": check the BIRD file given with "-f".
Outcome Entry_Check(Parameters& params);

// The one line that reports a failed update server request: the server and
// the reason.
void PrintServerFailure(const Vorlaine::Updater::ServerCommClass& server);

#endif  // QN_APP_COMMANDS_H
