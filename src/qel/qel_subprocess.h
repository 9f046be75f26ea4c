// Running other programs through the POSIX shell: their output streamed into
// the program's own output (paged, prefixed, logged), abortable by the user.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// What execCmdProc runs and where the child's exit code goes.
struct RunRequest {
    const char *command;  // owned by the caller
    FILE *secondStream;   // every output line is also written here; may be null
    uint32_t exitCode;    // out
    bool showOutput;
};

// Results of execCmdProc and runCommandInNewShell.
inline constexpr int kRunDone = 0;      // the command ran; see its exit code
inline constexpr int kRunNotStarted = 1;
inline constexpr int kRunAborted = 2;   // the user stopped it

int execCmdProc(RunRequest *request);
int runCommandInNewShell(const char *commandLine, const char *label, bool changeToCurrentDir,
                         bool showStdout, const char *outputPrefix, uint32_t *exitCode);
int removeDirectory(const char *path);
int catFileToDisplay(const char *fileName, const char *directory, const char *outputPrefix,
                     bool showHeader);

// `text` as one word for sh: single-quoted, each "'" written as '\''.
std::string shellQuote(const char *text);
// The exit code a wait status stands for: the child's own code, or 128 + the
// signal that killed it (as the shell reports it).
uint32_t exitCodeOfWaitStatus(int waitStatus);
// Reports a nonzero exit code of the command labelled `label`.
void reportExitCode(const char *label, uint32_t exitCode);
// Runs `command` with system() after flushing the output files; returns the
// command's exit code (exitCodeOfWaitStatus), or -1 when no shell could run.
int runWithSystem(const char *command);

// The file the shell would run for the program word `word`: a word holding
// "/" as given when absolute, else against `currentDir`; a bare name the
// first executable file of that name along PATH. Empty when there is none.
std::string findProgram(const std::string &word, const std::string &currentDir);

// The command text with its program word as the shell will find it once
// the command has changed into another directory: a word holding "/" made
// absolute (and quoted), a bare name found on PATH kept as it is. When the
// word names no program the alternatives are tried in turn. Empty after an
// error naming every program tried and the option (of the command) that
// names the program.
std::string resolveProgramCommand(const char *text, const std::vector<std::string> &alternatives,
                                  const char *command, const char *option);

// A directory made from "/tmp/<prefix>XXXXXXXX" for the files of one run of
// an outside program, removed with everything in it when the record ends
// unless it is to be kept.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const char *prefix);
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory &) = delete;
    ScratchDirectory &operator=(const ScratchDirectory &) = delete;
    bool made() const { return !path_.empty(); }
    const std::string &path() const { return path_; }
    std::string file(const char *name) const { return path_ + "/" + name; }
    void keep(bool on);

private:
    std::string path_;
    bool keep_ = false;
};
