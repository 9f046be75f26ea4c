// The shell escape "!" and the Rm command: commands handed to /bin/sh.
#pragma once

// With a text, runs it through the shell (Edit's editor). Without, reads the
// rest of the input line: nothing runs $SHELL (or /bin/sh), anything else
// runs as a shell command; at the terminal further "!" lines follow until an
// empty one. 0 when the (last) command exited 0, otherwise 1 after the exit
// code has been reported.
int shellEscape(const char *text);
int doShellEscapeCmd();
int doRmCmd();
