// The program's entry and exit: its identity and banner, the command line,
// the two halves of start-up, and the one way out (exitVorn).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// ---- Identity -------------------------------------------------------------------

const char *getAppName();           // "VORN"
const char *getAppBannerString();   // "V O R N"
const char *getProgramID();         // "vorn": default file stem, module name
const char *getAppPromptString();   // "vorn> "
const char *getPlatformString();    // "Unix/Linux"
// Writes the release ("major.minor", a letter, a build number) into buffer,
// at most size - 1 characters. Returns buffer.
char *makeVersionString(char *buffer, size_t size);

// The banner, to `stream` or through the output engine when stream is null.
void showVersionAndDate(FILE *stream, bool brief, bool details);

// ---- Command line ---------------------------------------------------------------

inline constexpr int kExitBadCommandLine = 64;
inline constexpr int kExitStartupFailure = 8;
inline constexpr int kExitBatchAborted = 16;
inline constexpr int kExitBatchFailed = 32;
inline constexpr int kExitMissingInput = 1;

struct CommandLineOptions {
    const char *logName;   // -L
    const char *execFile;  // first argument that is not an option
    int32_t width;         // -w, when widthGiven
    bool widthGiven;       // -w with an integer (a negative one too)
    bool replaceLog;       // -r
    bool appendLog;        // -a
    bool noFileLocking;    // -f
    bool nonInteractive;   // -n
    bool unbuffered;       // -u
};

// Reads the options. Returns -1 when start-up goes on, otherwise the exit
// status (0 after -h or -V, 64 for a bad command line) with the texts for
// them already written to standard error.
int parseCommandLine(int argc, char **argv, CommandLineOptions *options);
// The usage text on standard error; programPath is shown without directory.
void showCmdArgHelp(const char *programPath);
// Applies what the options set in the shared records (locking, modes, width,
// line buffering, the log request).
void applyCommandLineOptions(const CommandLineOptions &options);

// ---- Start-up -------------------------------------------------------------------

// Set only while the initialisation file runs: the command loop stays quiet.
extern uint8_t doingIniFile;

// Installs each subsystem's entry points, bottom to top, in this one place;
// 0, or 1 when two subsystems claimed one slot (reported).
int installSubsystemHooks();
// Output hooks, the log record, the command table and the wiring between the
// shell's units. 0, or 1 when an allocation failed or a hook was claimed twice.
int beginStartup();
// Default file names, option layer, output buffer, tokenizer, numerical
// library. Nonzero when an initialiser failed.
int finishStartup();
// Terminal display, signals, line buffering, parent process, line editor.
int finishVersionSpecificStartup();
// Opens the log named on the command line. 0 on success.
int openCommandLineLog(const CommandLineOptions &options);
// Runs "$HOME/.vornrc" when it exists; returns its status (0 when absent).
int runInitializationFile();
// Runs the file named on the command line (error 102 when it cannot be found).
int runCommandLineFile(const char *name);

// A path in the home directory: HOME when set, else the password entry's
// home. False, with dest emptied, when there is no home directory or the
// joined path would not fit a path buffer.
bool makeHomeFilePath(const char *fileName, char *dest);

// Flushes the auxiliary output stream; the output engine calls it whenever
// it flushes its files.
void flushAppFiles();

// ---- Shut-down -------------------------------------------------------------------

// Leaves the program: codes 1, 4, 8 and 64 at once, 128 at once with status
// 0, 16 and 32 with a note, every other code after the orderly close.
[[noreturn]] void exitVorn(int code);
[[noreturn]] void exitFromApp(int code);
// Ends a detached run whose standard input has ended without Quit: the
// orderly close, so that nothing written is lost, and status 1, since only
// Quit ends a run as asked.
[[noreturn]] void exitAtEndOfCommands();

// What start-up and shut-down need from subsystems that install themselves;
// a null member does nothing.
struct AppShutdownHooks {
    void (*finalizePython)();
    void (*closeTreefile)();
    void (*closeFreqDistFile)();
    void (*closeScorefile)();
};
void setAppShutdownHooks(const AppShutdownHooks &hooks);
