#include "app/vorn_shellescape.h"

#include <glob.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qel/qel_errormsg.h"
#include "qel/qel_files.h"
#include "qel/qel_io.h"
#include "qel/qel_output.h"
#include "qel/qel_subprocess.h"
#include "cli/qel_cmdline.h"
#include "app/vorn_app.h"

namespace {

// A shell line holds at most 255 characters; a longer one is refused whole,
// never cut, since a cut command is a different command.
constexpr size_t kShellLineSize = 256;
constexpr uint32_t kRmPathSize = 4110;

std::string trimmed(const char *text)
{
    while (*text == ' ' || *text == '\t')
        ++text;
    std::string s = text;
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

int refuseLongLine()
{
    return qel_errorMsg(0, "Shell command line too long (at most %d characters); it was not run.",
                        static_cast<int>(kShellLineSize - 1));
}

// Runs one command with system(); 0 when it exited 0, else 1 after saying so.
int runShellLine(const std::string &command)
{
    const int code = runWithSystem(command.c_str());
    if (code == 0)
        return 0;
    const std::string label = command.substr(0, command.find_first_of(" \t"));
    if (code < 0)
        return qel_errorMsg(0, "The shell could not be started for '%s'.", label.c_str());
    reportExitCode(label.c_str(), static_cast<uint32_t>(code));
    return 1;
}

// The names a path pattern stands for, in the shell's order; `unmatched`
// when it matches nothing.
std::vector<std::string> expandPathPattern(const std::string &pattern, const std::string &unmatched)
{
    std::vector<std::string> names;
    glob_t found{};
    if (glob(pattern.c_str(), GLOB_TILDE, nullptr, &found) == 0)
        names.assign(found.gl_pathv, found.gl_pathv + found.gl_pathc);
    else
        names.push_back(unmatched);
    globfree(&found);
    return names;
}

// The pattern character escapes that make a text match only itself.
std::string globEscaped(const char *text)
{
    std::string escaped;
    for (const char *c = text; *c; ++c) {
        if (std::strchr("*?[\\", *c))
            escaped += '\\';
        escaped += *c;
    }
    return escaped;
}

int runInteractiveShell(bool atTerminal)
{
    const char *shell = std::getenv("SHELL");
    if (!shell || !shell[0])
        shell = "/bin/sh";
    if (atTerminal)
        qel_printf("\nType \"exit\" (or hit ctrl-D) to return to %s\n", getAppName());
    return runShellLine(shell);
}

}  // namespace

int shellEscape(const char *text)
{
    flushOutputFiles();
    if (text)
        return runShellLine(text);

    const bool batch = inBatchInputMode();
    // The command lookup looks past the "!" for a "?"; when that crossed the
    // end of the line, the "!" stood alone and the next line is not its.
    const InputStatus *in = getActiveInput();
    if (in && in->pos.lineNum != in->wordEnd.lineNum) {
        flushCmdLineBuffer();
        return runInteractiveShell(!batch);
    }
    char line[kShellLineSize];
    const int rc = readNextLine(sizeof line, line);
    flushCmdLineBuffer();
    if (rc > 0)
        return refuseLongLine();
    std::string command = rc < 0 ? std::string() : trimmed(line);
    // A typed line arrives with the semicolon the command line adds.
    if (!batch && !command.empty() && command.back() == ';')
        command.pop_back();
    if (command.empty() || command == ";")
        return runInteractiveShell(!batch);

    bool escapeOnly = false;
    if (!batch && command[0] == '!') {
        command.erase(0, 1);
        escapeOnly = true;
    }
    int status = runShellLine(command);
    if (batch || escapeOnly)
        return status;
    for (;;) {
        char next[kShellLineSize + 1];
        // Without the line editor, which would skip the empty line that ends the loop.
        if (getUserInput("!", next, sizeof next, false) != 0)
            break;
        const std::string more = trimmed(next);
        if (more.empty())
            break;
        if (more.size() >= kShellLineSize) {
            status = refuseLongLine();
            continue;
        }
        status = runShellLine(more);
    }
    return status;
}

int doShellEscapeCmd() { return shellEscape(nullptr); }

int doRmCmd()
{
    char path[kRmPathSize];
    if (readPathName(path, sizeof path) != 0)
        return 1;
    // "~" and wildcards are expanded here, as the shell would, and every name
    // is then quoted: a name holding blanks or quotes is one file, and a
    // pattern that matches nothing is passed as written, so that rm says it
    // is missing. A name beginning with "-" is a file, not an option of rm.
    // A relative name read from a command file means the file beside it, as
    // every other file name there does, not one in the process's directory:
    // rm runs in that directory, so its messages name the files as written.
    char base[kPathnameBufSize];
    const bool relative = path[0] != '/' && path[0] != '~' && getBaseDir(base) != nullptr;
    const std::string dir = relative ? std::string(base) + "/" : std::string();
    std::string command = relative ? "cd " + shellQuote(base) + " && rm --" : "rm --";
    for (std::string name : expandPathPattern(globEscaped(dir.c_str()) + path, path)) {
        if (relative && name.compare(0, dir.size(), dir) == 0)
            name.erase(0, dir.size());
        command += " " + shellQuote(name.c_str());
    }
    uint32_t exitCode = 0;
    const int result = runCommandInNewShell(command.c_str(), "rm", !relative, false, nullptr, &exitCode);
    return result == kRunDone && exitCode == 0 ? 0 : (result == kRunAborted ? 2 : 1);
}
