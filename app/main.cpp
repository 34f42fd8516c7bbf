// The life of one run: parse the command line, show help or walk the fixed
// run order once, and return 0 or 1.
#include <signal.h>
#include <stdio.h>

#include "app/Commands.h"
#include "app/Log.h"
#include "app/Parameters.h"
#include "updater/KeyValueStore.h"
#include "updater/Updater.h"

namespace {

// Marks the run failed for Failed; true when the run has to end now.
bool sEndsRun(Outcome outcome, int* failed) {
  if (outcome == Outcome::Done) return false;
  *failed = 1;
  return outcome == Outcome::EndRun;
}

// Orders 2 to 9: everything that needs the store.
int sRunWithStore(Parameters& params, UpdaterClass& store) {
  int failed = 0;
  if (!params.logMessage.empty() && sEndsRun(Entry_HistoryMessage(params, store), &failed))
    return 1;
  if (params.commands.IsSet(COMMAND_GET) && sEndsRun(Entry_Get(params, store), &failed)) return 1;
  if (params.commands.IsSet(COMMAND_DISCOVER) && sEndsRun(Entry_Discover(params, store), &failed))
    return 1;
  if (params.commands.IsSet(COMMAND_UPDATE) &&
      sEndsRun(Entry_UpdateOrRecover(params, store), &failed))
    return 1;
  if (params.commands.IsSet(COMMAND_INFO) && sEndsRun(Entry_Info(params, store), &failed)) return 1;
  if (params.commands.IsSet(COMMAND_BUILDS) && sEndsRun(Entry_Builds(params, store), &failed))
    return 1;
  if (params.commands.IsSet(COMMAND_CHECK) && sEndsRun(Entry_Check(params), &failed)) return 1;
  return failed;
}

}  // namespace

int main(int argc, char** argv) {
  setbuf(stdout, NULL);
  // A file-size limit makes a write fail with EFBIG, which is reported,
  // instead of killing the run silently.
  signal(SIGXFSZ, SIG_IGN);

  Parameters params;
  if (get_params(argc, argv, &params) != 0) {
    ShowAppVersion();
    ShowUsage(false, false);
    return 1;
  }
  if (params.commands.IsSet(COMMAND_HELP) || !params.commands.IsSet(COMMAND_GROUP_RUN)) {
    ShowAppVersion();
    ShowUsage(params.logMaskGiven, params.helpRequested);
    return 0;
  }

  int failed = 0;
  if (params.commands.IsSet(COMMAND_FINGERPRINT) && sEndsRun(Entry_Fingerprint(params), &failed))
    return 1;

  UpdaterClass* store = OpenUpdaterStore();
  if (!store) return 1;
  int status = sRunWithStore(params, *store);
  delete store;
  // A settings file that could not be saved was reported where it happened;
  // the run did not do all it was asked to.
  if (KeyValueStore::FailedSaves() > 0) status = 1;
  return status | failed;
}
