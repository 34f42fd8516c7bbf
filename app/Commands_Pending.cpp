// Entries whose commands are not built yet. Each one says so on the console
// and fails the run; each lives in its own function so that it can be
// replaced by the real command without touching the others.
#include "app/Commands.h"
#include "app/Log.h"
#include "app/Recovery.h"

namespace {

Outcome sNotAvailable(const char* command) {
  Log::FPrintf(stdout, 0, "ERROR ==> The %s command is not available yet.\n", command);
  return Outcome::Failed;
}

}  // namespace

Outcome Entry_Update(Parameters&, UpdaterClass&) { return sNotAvailable("-U"); }

// The i.MX RT recovery path.
bool Firmware_Recovery_iMX(UpdaterClass*, Parameters*) {
  Log::FPrintf(stdout, 0, "ERROR ==> The i.MX recovery is not available yet.\n");
  return false;
}
