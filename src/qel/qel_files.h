// Path names and file specifications.
//
// Paths live in fixed 4096-byte buffers (at most 4095 characters and a
// terminator) and file names in 256-byte ones, as the system's own limits
// are. Every copy into such a buffer is bounded; an operation whose result
// would not fit reports failure instead of producing a different, shorter
// path that might name another file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

inline constexpr uint32_t kPathnameBufSize = 4096;
inline constexpr uint32_t kMaxPathnameLen = kPathnameBufSize - 1;
inline constexpr uint32_t kFilenameBufSize = 256;
inline constexpr uint32_t kMaxFilenameLen = kFilenameBufSize - 1;
inline constexpr uint32_t kNoDirChar = 0xFFFFFFFF;

// A file name with its directory; the full path is dirSpec "/" filename.
struct FileSpec {
    char dirSpec[kPathnameBufSize];
    char filename[kFilenameBufSize];
};

// Buffers.
char *allocPathnameBuffer();
char *deallocPathnameBuffer(char *buffer);
// Copies at most 4095 characters and always terminates; returns dest.
char *copyPathname(const char *source, char *dest);
// Allocates *bufferPtr when it is null, holding `initial` when given.
// 1 on allocation failure, else 0.
int checkPathnameBuffer(char **bufferPtr, const char *initial);
// A remembered file name: created holding `defaultName` on first use; its
// current content is copied to `output` (a path buffer) when one is given.
int initFilenameBuffer(char **bufferPtr, char *output, const char *defaultName);

bool isDirChar(char c);
uint32_t dirCharPos(const char *path);  // first separator, or kNoDirChar
const char *lastDirChar(const char *path);
char *lastDirChar(char *path);

// Joining, splitting, expanding. Functions that write a path return their
// destination, or null (with the destination emptied) when the result would
// exceed 4095 characters.
char *makePathnameFromFilenameAndDirectory(const char *filename, const char *directory, char *dest);
bool expandTilde(const char *path, char *dest);
// Resolves whole ".." components of an absolute path in place. False, with
// the path unchanged, when a ".." would climb above the root.
bool removeDotDots(char *path);
char *expandPathname(const char *path, const char *baseDir, char *dest);

// The stream layer decides the base directory of relative names while a
// command file runs: its provider (getActiveInputDirSpec, installed from the
// start) fills the buffer with that file's directory and returns it, or
// returns null when commands come from the terminal. A null provider means
// the current directory always.
using BaseDirProvider = char *(*)(char *buffer);
BaseDirProvider setBaseDirProvider(BaseDirProvider provider);  // returns the previous one

char *getBaseDir(char *buffer);
std::string getCurrentDirSpec();  // empty on failure
char *getCurrentDirString(char *buffer);
int setCurrentDirFromString(const char *path);
void setCurDirInited(bool flag);
bool isCurDirInited();
std::string getHomeDirectoryName();  // empty when unknown
const char *filenameInPathname(const char *path);
bool fileExists(const char *path);
int64_t getFileSize(FILE *file);  // -1 when it cannot be found

// Display forms.
char *replaceHomeDirWithTilde(char *path);
char *makePathnameForDisplayFromString(const char *path, char *dest, uint32_t maxLen);
char *makePathnameForDisplayFromFileSpec(const FileSpec *spec, char *dest, uint32_t maxLen, bool dirOnly);

// Extensions and default names. `name` arguments changed in place are path
// buffers. An extension is only looked for after the last "/".
const char *getFileExtension(const char *name);
char *removeFileExtension(char *name);
char *replaceFileExtension(const char *newExtension, char *name);
char *makeDefaultFilename(const char *baseName, const char *extension, char *dest);

// The current data file (kept as a copy of the name given; null forgets it)
// and the command file (owned by its setter's caller).
void setDataFileName(const char *name);
const char *getDataFileName();
const char *makeDataFileNameString();
void setExecFileName(const char *name);
const char *getExecFileName();
const char *makeExecFileNameString();

// File specifications. The initialisers return the file spec when its file
// exists, else null; the file spec is filled in either case, except that a name
// or directory too long for its field leaves both fields empty.
FileSpec *initFileSpecFromNameAndDir(const char *filename, const char *directory, FileSpec *spec);
FileSpec *initFileSpecFromPathname(const char *path, FileSpec *spec);
FileSpec *initFileSpec(const char *filename, const char *directory, FileSpec *spec);
char *getFilenameFromFileSpec(const FileSpec *spec, char *buffer);
char *getDirSpecFromFileSpec(const FileSpec *spec, const void *unused, char *buffer);
char *getPathnameFromDirSpec(const char *directory, char *buffer);
char *getPathnameFromFileSpec(const FileSpec *spec, char *buffer);
// Compared as this file system does: case matters.
bool sameFileSpec(const FileSpec *a, const FileSpec *b);
