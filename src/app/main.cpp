#include <cstdlib>

#include "data/data_services.h"
#include "data/vorn_memory.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/qel_logfile.h"
#include "qel/qel_output.h"
#include "qel/qel_time.h"
#include "cli/qel_cmdoptions.h"
#include "app/vorn_cmdloop.h"
#include "app/vorn_app.h"

// Start-up runs in a fixed order: each step relies on the ones before it.
int main(int argc, char **argv)
{
    if (int rc = qel_init(); rc != 0)
        return rc;
    if (prelimDataAllocations() != 0)
        exitVorn(kExitStartupFailure);

    CommandLineOptions options;
    if (int rc = parseCommandLine(argc, argv, &options); rc >= 0)
        return rc;
    applyCommandLineOptions(options);

    if (beginStartup() != 0)
        exitVorn(kExitStartupFailure);
    setActiveInput(&gBaseInputInfo);
    if (factorySettings(true) != 0)
        exitVorn(kExitStartupFailure);
    dataServices().clearTrees(0, 0);
    finishStartup();

    showVersionAndDate(nullptr, false, true);
    setOutputBufferEmpty(true);
    if (options.noFileLocking)
        gQelIo.fileLocking = false;

    if (options.logName && openCommandLineLog(options) != 0 && options.nonInteractive)
        exitVorn(kExitStartupFailure);
    // The file named on the command line runs as a batch file does (one that
    // ran and failed has ended a detached run already). One that cannot be
    // opened is reported, and the commands that follow on standard input
    // still run: a mistyped name must not cost the rest of the session.
    // A failing initialisation file is a failing batch file like any other:
    // in a detached run it has ended the run with 32 before this test, so a
    // broken start-up file never lets a batch job report success.
    if (runInitializationFile() == 0)
        runCommandLineFile(options.execFile);

    // A detached run ends where its standard input does.
    for (;;) {
        if (doCmds() == 999)
            break;
        if (typedInputEnded())
            exitAtEndOfCommands();
    }
    return 0;
}
