#include "app/qel_python.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "cli/qel_cmdline.h"
#include "trees/treebuf.h"
#include "app/qel_python_engine.h"
#include "app/vorn_app.h"
#include "app/vorn_cmdloop.h"

namespace {

constexpr size_t kBlockLineSize = 2048;
constexpr size_t kOutChunk = 1000;  // below the output engine's per-call limit
constexpr const char *kEngineFile = "vorn_python.so";

std::string gModuleName;
bool gInitialized = false;
bool gExecutingBlock = false;
int gScriptDepth = 0;  // scripts running now (a command they run may exit)
const VornPythonEngine *gEngine = nullptr;
std::optional<std::string> gGenerated;  // the text of begin/add, run by end

// ---- What the scripts' module calls -----------------------------------------------

void hostOut(const char *text, size_t length)
{
    for (size_t at = 0; at < length; at += kOutChunk) {
        const size_t n = std::min(kOutChunk, length - at);
        qel_printf("%.*s", static_cast<int>(n), text + at);
    }
}

int hostCmd(const char *text)
{
    InputStatus *in = getActiveInput();
    const std::optional<InputStatus> saved = in ? std::optional<InputStatus>(*in) : std::nullopt;
    if (in) {
        in->batch = 0;
        in->pos = in->prevPos = in->wordStart = in->wordEnd = InputPos{};
    }
    clearStatusText();
    qel_printf("\n%s%s\n", getAppPromptString(), text);
    std::string buffer = text;
    const CmdLineBuffer previous = cmdLine;  // with its read position
    setCmdLineBuffer(buffer.data(), static_cast<int32_t>(buffer.size()));
    const bool previousMark = setNoActiveTerminal(true);
    const int status = doCmds();
    setNoActiveTerminal(previousMark);
    cmdLine = previous;
    if (in && saved)
        *in = *saved;
    return status;
}

DataInfo *dataSet()
{
    DataInfo *d = activeDataInfo();
    return d && (d->flags & (kHaveTaxa | kHaveCharacters | kHaveDistances)) ? d : nullptr;
}

bool hostNtrees(uint32_t *n)
{
    DataInfo *d = dataSet();
    if (!d || !d->mainTreeBuffer)
        return false;
    *n = numTreesInMainBuffer();
    return true;
}

bool hostNchar(uint32_t *n)
{
    DataInfo *d = dataSet();
    if (!d)
        return false;
    *n = d->nchar;
    return true;
}

bool hostTaxonCount(uint32_t *n)
{
    DataInfo *d = dataSet();
    if (!d)
        return false;
    *n = static_cast<uint32_t>(std::max(d->nActive, 0));
    return true;
}

const char *hostTaxonLabel(uint32_t activeIndex)
{
    DataInfo *d = dataSet();
    const uint32_t number = d ? getTaxNum(d, activeIndex) : 0;  // 1-based; 0 for none
    return number ? taxLabelString(d, number - 1) : nullptr;
}

int hostBegin()
{
    gGenerated.emplace();
    gGenerated->reserve(32768);
    return 0;
}

int hostAdd(const char *text)
{
    if (!gGenerated)
        return 1;
    gGenerated->append(text);
    return 0;
}

int hostEnd(bool *ran)
{
    *ran = gGenerated.has_value();
    if (!gGenerated)
        return 0;
    const std::string text = std::move(*gGenerated);
    gGenerated.reset();
    return executeFile(nullptr, nullptr, text.c_str(), nullptr);
}

void hostError(int code, const char *text) { qel_errorMsg(code, "%s", text); }

VornPythonHost gHost = {nullptr,  hostOut,  hostCmd, hostNtrees, hostNchar, hostTaxonCount,
                        hostTaxonLabel, hostBegin, hostAdd, hostEnd, hostError};

// ---- Loading the interpreter's module ---------------------------------------------

std::string moduleBesideProgram()
{
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return {};
    exe[n] = '\0';
    std::string path = exe;
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1) + kEngineFile;
}

const VornPythonEngine *loadEngine()
{
    // RTLD_GLOBAL: extension modules that Python imports later find the
    // interpreter's symbols in the global scope.
    void *handle = nullptr;
    const std::string besideProgram = moduleBesideProgram();
    if (!besideProgram.empty())
        handle = dlopen(besideProgram.c_str(), RTLD_NOW | RTLD_GLOBAL);
#ifdef VORN_PYTHON_MODULE
    if (!handle)
        handle = dlopen(VORN_PYTHON_MODULE, RTLD_NOW | RTLD_GLOBAL);
#endif
    if (!handle)
        return nullptr;
    void *symbol = dlsym(handle, "vornPythonEngine");
    if (!symbol)
        return nullptr;
    // POSIX guarantees that dlsym's object pointer converts to a function pointer.
    VornPythonEntryFxn entry;
    static_assert(sizeof entry == sizeof symbol);
    std::memcpy(&entry, &symbol, sizeof entry);
    return entry(&gHost);
}

struct ScriptRun {
    ScriptRun() { ++gScriptDepth; }
    ~ScriptRun() { --gScriptDepth; }
};

// ---- The PYTHON block ------------------------------------------------------------------

bool isBlockEnd(const char *line)
{
    std::string s = line;
    s.erase(0, s.find_first_not_of(" \t"));
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.pop_back();
    if (s.empty() || s.back() != ';')
        return false;
    s.pop_back();
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.pop_back();
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s == "end" || (s.size() >= 3 && std::string("endblock").compare(0, s.size(), s) == 0);
}

bool isBlankLine(const char *line) { return line[std::strspn(line, " \t\r")] == '\0'; }

// Reads the block's lines through its end into `script`. 0, or 1 after an
// error (the script must not run).
int readPythonScript(std::string &script)
{
    char line[kBlockLineSize];
    std::optional<std::string> indent;
    for (;;) {
        const int rc = readNextLine(sizeof line, line);
        if (rc < 0)
            return qel_errorMsg(116,
                                "Missing 'End'\tEnd-of-file was reached while a Nexus block was still "
                                "being processed.  If the \"End;\" seems to be present, look for "
                                "incomplete commands or other formatting problems further up in the "
                                "file.");
        if (rc > 0 || std::strlen(line) >= kBlockLineSize - 1)
            return qel_errorMsg(155, "Maximum line length of %d in Python block exceeded.",
                                static_cast<int>(kBlockLineSize));
        if (isBlockEnd(line))
            return 0;
        const char *text = line;
        if (!indent) {
            if (isBlankLine(line))
                continue;
            indent.emplace(line, std::strspn(line, " \t"));
        }
        if (std::strncmp(text, indent->c_str(), indent->size()) == 0)
            text += indent->size();
        script += text;
        script += '\n';
    }
}

void listScript(const std::string &script)
{
    qel_puts("\n-------- Executing the following Python script --------\n");
    int number = 0;
    for (size_t at = 0; at < script.size();) {
        const size_t eol = script.find('\n', at);
        const size_t end = eol == std::string::npos ? script.size() : eol;
        qel_printf("%4d: ", ++number);
        hostOut(script.data() + at, end - at);
        qel_printf("\n");
        at = end + 1;
    }
    qel_puts("\n----------------- End of Python script ----------------\n");
}

}  // namespace

void setPythonModuleName(const char *name) { gModuleName = name ? name : ""; }
bool pythonIsInitialized() { return gInitialized; }
bool executingPythonBlock() { return gExecutingBlock; }

int initializePython()
{
    if (gInitialized)
        return 0;
    if (gModuleName.empty())
        return qel_errorMsg(0, "A module name must be set using 'setPythonModuleName' before "
                               "invoking the Python system.");
    if (!gEngine)
        gEngine = loadEngine();
    if (!gEngine)
        return qel_errorMsg(153,
                            "Python is not installed, or the installed version is incompatible with "
                            "this version of %s.\tYou must install Python on your system before it "
                            "can be used within the program.",
                            "VORN");
    gHost.moduleName = gModuleName.c_str();
    const int rc = gEngine->initialize();
    gInitialized = rc == 0;
    return rc;
}

void finalizePython()
{
    // An exit from inside a running script (a Quit it ran) leaves the
    // interpreter alone: finalising it under its own running frames is unsafe.
    if (gInitialized && gScriptDepth == 0)
        gEngine->finalize();
    gInitialized = false;
    gModuleName.clear();
    gGenerated.reset();
}

void raisePythonException(const char *text)
{
    if (gInitialized)
        gEngine->raiseError(text);
}

int doPythonCmd()
{
    if (initializePython() != 0)
        return 1;
    int status = 0;
    if (peekNextChar(nullptr) == ';') {
        readSemicolon();
        qel_printf("\nEntering Python shell (hit Ctrl-D to exit the Python interpreter and return to "
                   "%s)...\n",
                   "VORN");
        flushOutputFiles();
        ScriptRun run;
        status = gEngine->interactive();
    } else {
        char name[kPathnameBufSize];
        if (readPathName(name, sizeof name) != 0)
            return 1;
        char dir[kPathnameBufSize];
        StreamInfo *stream = nullptr;
        if (openStream(name, kStreamRead | kStreamLock, getActiveInputDirSpec(dir), &stream) != kOpenOK)
            return 1;
        forceBlankLine();
        {
            ScriptRun run;
            status = gEngine->runFile(stream->fp, name);
        }
        closeStream(&stream);
        // The traceback alone does not say that the command failed, nor
        // which script it was.
        if (status != 0)
            qel_errorMsg(0, "Python script \"%s\" terminated abnormally.", name);
    }
    clearerr(stdin);
    return status;
}

int processPythonBlock()
{
    if (initializePython() != 0)
        return 1;
    const bool savedUnderscores = setKeepUnderscores(true);
    const bool savedComments = setRecognizeNexusComments(false);
    std::string script;
    script.reserve(32768);
    const int readStatus = readPythonScript(script);
    setKeepUnderscores(savedUnderscores);
    setRecognizeNexusComments(savedComments);
    if (readStatus != 0)
        return 1;

    std::replace(script.begin(), script.end(), '\t', ' ');
    listScript(script);
    gExecutingBlock = true;
    int status;
    {
        ScriptRun run;
        status = gEngine->runScript(script.c_str());
    }
    // The traceback is already in the output; the block's status fails the
    // file, so this line only closes the script's run.
    qel_printf("\nPython script terminated %snormally.\n", status != 0 ? "ab" : "");
    gExecutingBlock = false;
    gGenerated.reset();
    return status;
}
