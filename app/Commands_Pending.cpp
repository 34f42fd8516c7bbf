// Entries whose commands are not built yet. Each one says so on the console
// and fails the run; each lives in its own function so that it can be
// replaced by the real command without touching the others.
#include "app/Commands.h"
#include "app/Log.h"

namespace {

Outcome sNotAvailable(const char* command) {
  Log::FPrintf(stdout, 0, "ERROR ==> The %s command is not available yet.\n", command);
  return Outcome::Failed;
}

}  // namespace

Outcome Entry_Fingerprint(Parameters&) { return sNotAvailable("-N"); }



Outcome Entry_Recovery(Parameters&, UpdaterClass&) { return sNotAvailable("-U -t RECOVER"); }


