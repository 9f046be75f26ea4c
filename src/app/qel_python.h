// The embedded Python interpreter: the Python command, the PYTHON block and
// the module "vorn" through which scripts run commands and read values.
#pragma once

int initializePython();  // 0 on success
void finalizePython();
bool pythonIsInitialized();
bool executingPythonBlock();
void setPythonModuleName(const char *name);
int doPythonCmd();
int processPythonBlock();
// A RuntimeError with `text` in the running script (a failed generated text).
void raisePythonException(const char *text);
