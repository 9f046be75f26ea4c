// The embedded interpreter and the scripts' module, built as a module of its
// own that links libpython; the program loads it on first use.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/qel_python_engine.h"

namespace {

const VornPythonHost *gHost = nullptr;
PyModuleDef gModuleDef = {};

// The text of a str argument as the program's bytes. Labels came in decoded
// with surrogateescape, so they go back the same way, byte for byte.
bool textOf(PyObject *args, std::string &text)
{
    PyObject *obj = nullptr;
    if (!PyArg_ParseTuple(args, "U", &obj))
        return false;
    PyObject *bytes = PyUnicode_AsEncodedString(obj, "utf-8", "surrogateescape");
    if (!bytes)
        return false;
    text.assign(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
    Py_DECREF(bytes);
    return true;
}

PyObject *failure(const char *text)
{
    PyErr_SetString(PyExc_RuntimeError, text);
    return nullptr;
}

PyObject *pyCmd(PyObject *, PyObject *args)
{
    std::string text;
    if (!textOf(args, text))
        return nullptr;
    if (gHost->cmd(text.c_str()) != 0)
        return failure("The command failed.");
    Py_RETURN_NONE;
}

PyObject *countOrNone(bool known, uint32_t n)
{
    if (!known)
        Py_RETURN_NONE;
    return PyLong_FromUnsignedLong(n);
}

PyObject *taxaNames()
{
    uint32_t n = 0;
    if (!gHost->taxonCount(&n))
        Py_RETURN_NONE;
    PyObject *list = PyList_New(n);
    if (!list)
        return nullptr;
    for (uint32_t i = 0; i < n; ++i) {
        const char *label = gHost->taxonLabel(i);
        if (!label)
            label = "";
        PyObject *name = PyUnicode_DecodeUTF8(label, static_cast<Py_ssize_t>(std::strlen(label)),
                                              "surrogateescape");
        if (!name) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, i, name);
    }
    return list;
}

PyObject *pyGet(PyObject *, PyObject *args)
{
    std::string name;
    if (!textOf(args, name))
        return nullptr;
    uint32_t n = 0;
    if (strcasecmp(name.c_str(), "ntrees") == 0) {
        const bool known = gHost->ntrees(&n);
        return countOrNone(known, n);
    }
    if (strcasecmp(name.c_str(), "nchar") == 0) {
        const bool known = gHost->nchar(&n);
        return countOrNone(known, n);
    }
    if (strcasecmp(name.c_str(), "taxaNames") == 0)
        return taxaNames();
    const std::string line = "Requested variable '" + name + "' is unknown.\n";
    gHost->out(line.data(), line.size());
    Py_RETURN_NONE;
}

PyObject *pyOut(PyObject *, PyObject *args)
{
    std::string text;
    if (!textOf(args, text))
        return nullptr;
    gHost->out(text.data(), text.size());
    Py_RETURN_NONE;
}

// A line of the interactive shell, read from the program's own standard
// input (its buffer is shared with the command reader, so nothing typed
// after the shell is lost); the prompt goes where the interpreter's own
// loop put it. EOFError at the end of input, as input() does.
PyObject *pyReadLine(PyObject *, PyObject *args)
{
    const char *prompt = "";
    if (!PyArg_ParseTuple(args, "|s", &prompt))
        return nullptr;
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    std::string line;
    bool ended = false;
    Py_BEGIN_ALLOW_THREADS
    for (int c; (c = std::fgetc(stdin)) != '\n';) {
        if (c == EOF) {
            ended = line.empty();
            break;
        }
        line.push_back(static_cast<char>(c));
    }
    Py_END_ALLOW_THREADS
    if (ended) {
        PyErr_SetNone(PyExc_EOFError);
        return nullptr;
    }
    return PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "replace");
}

PyObject *pyBegin(PyObject *, PyObject *)
{
    if (gHost->begin() != 0)
        return failure("The generated text could not be created.");
    Py_RETURN_NONE;
}

PyObject *pyAdd(PyObject *, PyObject *args)
{
    std::string text;
    if (!textOf(args, text))
        return nullptr;
    if (gHost->add(text.c_str()) != 0)
        return failure("The text could not be added (was begin called?).");
    Py_RETURN_NONE;
}

PyObject *pyEnd(PyObject *, PyObject *args)
{
    int unused = 0;
    if (!PyArg_ParseTuple(args, "i", &unused))
        return nullptr;
    bool ran = false;
    const int status = gHost->end(&ran);
    // The run of a failed text raised "Error in Python script"; the result
    // string reports it here, and a function that returns a value must not
    // leave an exception pending.
    PyErr_Clear();
    if (!ran || status == 0)
        Py_RETURN_NONE;
    return PyUnicode_FromString(status == 2 ? "Aborted" : "Terminated due to error");
}

PyMethodDef gMethods[] = {
    {"cmd", pyCmd, METH_VARARGS, nullptr},
    {"get", pyGet, METH_VARARGS, nullptr},
    {"var", pyGet, METH_VARARGS, nullptr},
    {"out", pyOut, METH_VARARGS, nullptr},
    {"end", pyEnd, METH_VARARGS, nullptr},
    {"add", pyAdd, METH_VARARGS, nullptr},
    {"begin", pyBegin, METH_NOARGS, nullptr},
    {"_readline", pyReadLine, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject *createModule() { return PyModule_Create(&gModuleDef); }

// Python's standard streams become writers that tag each line and hand the
// text to the program's output, so script output is paged and logged. The
// module is imported under its own name into the namespace every script
// shares, so a script can call it without importing it first.
constexpr const char *kBootstrap = R"(import sys
import %s
import %s as _vorn_host
class _VornWriter:
    def __init__(self, prefix, is_error):
        self.prefix = prefix
        self.is_error = is_error
        self.line_ended = True
    def write(self, text):
        if self.is_error and text == "\n":
            _vorn_host.out(" \n")
            self.line_ended = True
            return len(text)
        s = text
        if self.prefix:
            if self.line_ended:
                s = self.prefix + s
            self.line_ended = False
            if s.endswith("\n"):
                s = s[:-1]
                self.line_ended = True
            s = s.replace("\n", "\n" + self.prefix)
            if self.line_ended:
                s += "\n"
        _vorn_host.out(s)
        return len(text)
    def flush(self):
        pass
sys.stdout = _VornWriter("[python] ", False)
sys.stderr = _VornWriter("[python-error] ", True)
sys.stdin = None

)";

int initialize()
{
    gModuleDef = PyModuleDef{PyModuleDef_HEAD_INIT, gHost->moduleName, nullptr, -1, gMethods,
                             nullptr, nullptr, nullptr, nullptr};
    if (PyImport_AppendInittab(gHost->moduleName, createModule) != 0) {
        const std::string text = std::string("Py_InitModule failed (") + gHost->moduleName + ").";
        gHost->error(0, text.c_str());
        return 1;
    }
    // The program keeps its own interrupt handling: Python installs none.
    Py_InitializeEx(0);
    char script[1024];
    std::snprintf(script, sizeof script, kBootstrap, gHost->moduleName, gHost->moduleName);
    if (PyRun_SimpleString(script) != 0) {
        const std::string text = std::string("Py_InitModule failed (") + gHost->moduleName + ").";
        gHost->error(0, text.c_str());
        return 1;
    }
    return 0;
}

void finalize() { Py_FinalizeEx(); }

// After a failed run: prints the error through the error writer. SystemExit
// ends the script, not the program, which must close its files in order.
int reportFailure()
{
    if (PyErr_ExceptionMatches(PyExc_SystemExit)) {
        PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
        PyErr_Fetch(&type, &value, &trace);
        PyErr_NormalizeException(&type, &value, &trace);
        PyObject *code = value ? PyObject_GetAttrString(value, "code") : nullptr;
        const bool clean = !code || code == Py_None || (PyLong_Check(code) && PyLong_AsLong(code) == 0);
        Py_XDECREF(code);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(trace);
        PyErr_Clear();
        return clean ? 0 : 1;
    }
    PyErr_Print();
    return 1;
}

PyObject *mainDict()
{
    PyObject *main = PyImport_AddModule("__main__");
    return main ? PyModule_GetDict(main) : nullptr;
}

int runScript(const char *text)
{
    PyObject *globals = mainDict();
    if (!globals)
        return reportFailure();
    PyObject *result = PyRun_String(text, Py_file_input, globals, globals);
    if (!result)
        return reportFailure();
    Py_DECREF(result);
    return 0;
}

int runFile(FILE *fp, const char *name)
{
    PyObject *globals = mainDict();
    if (!globals)
        return reportFailure();
    PyObject *result = PyRun_File(fp, name, Py_file_input, globals, globals);
    if (!result)
        return reportFailure();
    Py_DECREF(result);
    return 0;
}

// The interpreter's own loop answers sys.exit() by ending the process, with
// the program's files still open; the console of the code module raises it
// instead, and the run above takes it as the end of the Python shell.
int interactive()
{
    return runScript("import code as _vorn_code\n"
                     "class _VornConsole(_vorn_code.InteractiveConsole):\n"
                     "    def raw_input(self, prompt=''):\n"
                     "        return _vorn_host._readline(prompt)\n"
                     "try:\n"
                     "    _VornConsole(globals()).interact(banner='', exitmsg='')\n"
                     "finally:\n"
                     "    del _vorn_code, _VornConsole\n");
}

void raiseError(const char *text) { PyErr_SetString(PyExc_RuntimeError, text); }

const VornPythonEngine kEngine = {initialize, finalize, runScript, runFile, interactive, raiseError};

}  // namespace

extern "C" const VornPythonEngine *vornPythonEngine(const VornPythonHost *host)
{
    gHost = host;
    return &kEngine;
}
