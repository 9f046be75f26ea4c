// The boundary between the program and the embedded Python interpreter.
//
// The interpreter lives in a module of its own (vorn_python.so), loaded on
// first use, so that a run that never uses Python does not load libpython.
// Both sides see only these two records of plain functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// What the program offers to the scripts' module.
struct VornPythonHost {
    const char *moduleName;
    void (*out)(const char *text, size_t length);  // printed as text, never as a format
    int (*cmd)(const char *text);                  // status of the commands
    bool (*ntrees)(uint32_t *n);                   // false: no tree buffer
    bool (*nchar)(uint32_t *n);                    // false: no data set
    bool (*taxonCount)(uint32_t *n);               // active taxa; false: no data set
    const char *(*taxonLabel)(uint32_t activeIndex);
    int (*begin)();                                // 0, or 1 when the text cannot be made
    int (*add)(const char *text);                  // 0, or 1 (no begin, or out of memory)
    int (*end)(bool *ran);                         // status of the generated text
    void (*error)(int code, const char *text);     // through the program's error hook
};

struct VornPythonEngine {
    int (*initialize)();                          // 0 on success
    void (*finalize)();
    int (*runScript)(const char *text);           // 0, or 1 after a Python error
    int (*runFile)(FILE *fp, const char *name);   // 0, or 1 after a Python error
    int (*interactive)();                         // runs until end of input on stdin
    void (*raiseError)(const char *text);         // a RuntimeError in the running script
};

// The module's one entry point.
extern "C" const VornPythonEngine *vornPythonEngine(const VornPythonHost *host);
using VornPythonEntryFxn = const VornPythonEngine *(*)(const VornPythonHost *host);
