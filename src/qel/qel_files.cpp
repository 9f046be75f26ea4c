#include "qel/qel_files.h"

#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "qel/qel_io.h"
#include "qel/qel_malloc.h"

namespace {

// An owned copy: callers pass names out of display buffers that the next
// file opened overwrites.
std::string gDataFileName;
bool gHaveDataFileName = false;
const char *gExecFileName = nullptr;
bool gCurDirInited = false;
// Relative names in a command file are taken against that file's directory.
BaseDirProvider gBaseDirProvider = getActiveInputDirSpec;

constexpr uint32_t kMaxUserNameLen = 63;

// Copies `text` into a buffer of `capacity` bytes. When it does not fit the
// buffer is emptied and false returned: callers must not go on with a path
// that has silently lost its tail.
bool storeExact(std::string_view text, char *dest, size_t capacity)
{
    if (text.size() + 1 > capacity) {
        dest[0] = '\0';
        return false;
    }
    std::memmove(dest, text.data(), text.size());
    dest[text.size()] = '\0';
    return true;
}

// Copies at most capacity-1 characters and terminates.
void storeBounded(std::string_view text, char *dest, size_t capacity)
{
    size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    std::memmove(dest, text.data(), n);
    dest[n] = '\0';
}

bool homeFromPasswd(const struct passwd *pw, std::string &home)
{
    if (pw == nullptr || pw->pw_dir == nullptr || pw->pw_dir[0] == '\0')
        return false;
    home = pw->pw_dir;
    return true;
}

std::vector<char> passwdScratch()
{
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    return std::vector<char>(size > 0 ? static_cast<size_t>(size) : 16384);
}

bool homeOfUser(const std::string &user, std::string &home)
{
    std::vector<char> scratch = passwdScratch();
    struct passwd pw{};
    struct passwd *found = nullptr;
    if (getpwnam_r(user.c_str(), &pw, scratch.data(), scratch.size(), &found) != 0)
        return false;
    return homeFromPasswd(found, home);
}

// "~", "~/rest", "~user" or "~user/rest" with the home directory put in.
bool expandTildeTo(std::string_view path, std::string &out)
{
    if (path.empty() || path[0] != '~')
        return false;
    size_t slash = path.find('/');
    std::string_view user = path.substr(1, slash == std::string_view::npos ? std::string_view::npos : slash - 1);
    std::string home;
    if (user.empty()) {
        home = getHomeDirectoryName();
        if (home.empty())
            return false;
    } else if (user.size() > kMaxUserNameLen || !homeOfUser(std::string(user), home)) {
        return false;
    }
    out = home;
    if (slash != std::string_view::npos) {
        out += '/';
        out += path.substr(slash + 1);
    }
    return true;
}

// Resolves whole ".." components of an absolute path. Empty and "."
// components in front of a ".." are stepped over as well, so that "/a/./.."
// and "/a//.." both climb out of "a".
bool removeDotDotsIn(std::string &path)
{
    if (path.empty() || path[0] != '/')
        return true;
    std::vector<std::string_view> kept;
    std::string_view rest(path);
    rest.remove_prefix(1);
    bool changed = false;
    for (;;) {
        size_t slash = rest.find('/');
        std::string_view component = rest.substr(0, slash);
        if (component == "..") {
            while (!kept.empty() && (kept.back().empty() || kept.back() == "."))
                kept.pop_back();
            if (kept.empty())
                return false;
            kept.pop_back();
            changed = true;
        } else {
            kept.push_back(component);
        }
        if (slash == std::string_view::npos)
            break;
        rest.remove_prefix(slash + 1);
    }
    if (!changed)
        return true;
    std::string result = "/";
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i > 0)
            result += '/';
        result += kept[i];
    }
    path = std::move(result);
    return true;
}

// The home-directory prefix of a path, when the path starts with the whole
// home directory (not merely a name that begins with the same letters).
size_t homePrefixLength(std::string_view path)
{
    const std::string h = getHomeDirectoryName();
    if (h.empty())
        return 0;
    std::string_view home(h);
    while (home.size() > 1 && home.back() == '/')
        home.remove_suffix(1);
    if (home.size() <= 1 || path.substr(0, home.size()) != home)
        return 0;
    if (path.size() > home.size() && path[home.size()] != '/')
        return 0;
    return home.size();
}

std::string withTilde(std::string_view path)
{
    size_t n = homePrefixLength(path);
    if (n == 0)
        return std::string(path);
    std::string out(1, '~');
    out.append(path.substr(n));
    return out;
}

std::string fullPathOf(const FileSpec *spec)
{
    std::string path = spec->dirSpec;
    path += '/';
    path += spec->filename;
    return path;
}

bool storeFileSpec(std::string_view filename, std::string_view directory, FileSpec *spec)
{
    if (filename.size() > kMaxFilenameLen || directory.size() > kMaxPathnameLen) {
        spec->filename[0] = '\0';
        spec->dirSpec[0] = '\0';
        return false;
    }
    // Either argument may point into the file spec itself.
    std::string name(filename), dir(directory);
    storeExact(name, spec->filename, sizeof spec->filename);
    storeExact(dir, spec->dirSpec, sizeof spec->dirSpec);
    return true;
}

}  // namespace

// ---- Buffers --------------------------------------------------------------

char *allocPathnameBuffer()
{
    return static_cast<char *>(allocBlock(kPathnameBufSize));
}

char *deallocPathnameBuffer(char *buffer)
{
    deallocBlock(buffer);
    return nullptr;
}

char *copyPathname(const char *source, char *dest)
{
    storeBounded(source != nullptr ? source : "", dest, kPathnameBufSize);
    return dest;
}

int checkPathnameBuffer(char **bufferPtr, const char *initial)
{
    if (*bufferPtr != nullptr)
        return 0;
    *bufferPtr = allocPathnameBuffer();
    if (*bufferPtr == nullptr)
        return 1;
    if (initial != nullptr)
        copyPathname(initial, *bufferPtr);
    return 0;
}

int initFilenameBuffer(char **bufferPtr, char *output, const char *defaultName)
{
    if (*bufferPtr == nullptr) {
        if (checkPathnameBuffer(bufferPtr, defaultName) != 0)
            return 1;
    }
    if (output != nullptr)
        copyPathname(*bufferPtr, output);
    return 0;
}

bool isDirChar(char c) { return c == '/'; }

uint32_t dirCharPos(const char *path)
{
    const char *p = std::strchr(path, '/');
    return p != nullptr ? static_cast<uint32_t>(p - path) : kNoDirChar;
}

const char *lastDirChar(const char *path) { return std::strrchr(path, '/'); }
char *lastDirChar(char *path) { return std::strrchr(path, '/'); }

// ---- Joining, splitting, expanding ----------------------------------------

char *makePathnameFromFilenameAndDirectory(const char *filename, const char *directory, char *dest)
{
    std::string path;
    if (filename == nullptr)
        filename = "";
    if (filename[0] == '/') {
        path = filename;
    } else {
        path = directory != nullptr ? directory : "";
        path += '/';
        path += filename;
    }
    return storeExact(path, dest, kPathnameBufSize) ? dest : nullptr;
}

bool expandTilde(const char *path, char *dest)
{
    std::string out;
    if (path == nullptr)
        path = "";
    if (expandTildeTo(path, out) && storeExact(out, dest, kPathnameBufSize))
        return true;
    copyPathname(path, dest);
    return false;
}

bool removeDotDots(char *path)
{
    std::string p(path);
    if (!removeDotDotsIn(p))
        return false;
    storeExact(p, path, p.size() + 1);  // never longer than before
    return true;
}

char *expandPathname(const char *path, const char *baseDir, char *dest)
{
    std::string out;
    if (path == nullptr) {
        dest[0] = '\0';
        return nullptr;
    }
    if (!(path[0] == '~' && expandTildeTo(path, out))) {
        if (path[0] == '/') {
            out = path;
        } else {
            char baseBuf[kPathnameBufSize];
            const char *base = baseDir != nullptr ? baseDir : getBaseDir(baseBuf);
            if (base == nullptr) {
                dest[0] = '\0';
                return nullptr;
            }
            std::string_view rel(path);
            if (rel.substr(0, 2) == "./")
                rel.remove_prefix(2);
            out = base;
            out += '/';
            out += rel;
        }
    }
    removeDotDotsIn(out);
    return storeExact(out, dest, kPathnameBufSize) ? dest : nullptr;
}

BaseDirProvider setBaseDirProvider(BaseDirProvider provider)
{
    BaseDirProvider previous = gBaseDirProvider;
    gBaseDirProvider = provider;
    return previous;
}

char *getBaseDir(char *buffer)
{
    if (gBaseDirProvider != nullptr && gBaseDirProvider(buffer) != nullptr)
        return buffer;
    return getCurrentDirString(buffer);
}

std::string getCurrentDirSpec()
{
    char buffer[kPathnameBufSize];
    return getcwd(buffer, sizeof buffer) ? buffer : "";
}

char *getCurrentDirString(char *buffer)
{
    return getcwd(buffer, kPathnameBufSize);
}

int setCurrentDirFromString(const char *path)
{
    if (path == nullptr || path[0] == '\0')
        return 1;
    char expanded[kPathnameBufSize];
    if (path[0] == '~')
        expandTilde(path, expanded);
    else if (!storeExact(path, expanded, sizeof expanded))
        return 1;
    if (chdir(expanded) != 0)
        return 1;
    gCurDirInited = true;
    return 0;
}

void setCurDirInited(bool flag) { gCurDirInited = flag; }
bool isCurDirInited() { return gCurDirInited; }

std::string getHomeDirectoryName()
{
    // Texts longer than a path buffer name no directory we could use.
    const char *env = std::getenv("HOME");
    if (env != nullptr && env[0] != '\0' && std::strlen(env) < kPathnameBufSize)
        return env;
    std::vector<char> scratch = passwdScratch();
    struct passwd pw{};
    struct passwd *found = nullptr;
    std::string home;
    if (getpwuid_r(geteuid(), &pw, scratch.data(), scratch.size(), &found) == 0 &&
        homeFromPasswd(found, home) && home.size() < kPathnameBufSize)
        return home;
    return {};
}

const char *filenameInPathname(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

bool fileExists(const char *path)
{
    struct stat st;
    return path != nullptr && stat(path, &st) == 0;
}

int64_t getFileSize(FILE *file)
{
    if (file == nullptr)
        return -1;
    off_t here = ftello(file);
    if (here < 0 || fseeko(file, 0, SEEK_END) != 0)
        return -1;
    off_t size = ftello(file);
    fseeko(file, here, SEEK_SET);
    return size;
}

// ---- Display forms ----------------------------------------------------------

char *replaceHomeDirWithTilde(char *path)
{
    size_t n = homePrefixLength(path);
    if (n > 0) {
        path[0] = '~';
        std::memmove(path + 1, path + n, std::strlen(path + n) + 1);
    }
    return path;
}

char *makePathnameForDisplayFromString(const char *path, char *dest, uint32_t maxLen)
{
    if (maxLen == 0)
        return dest;
    if (maxLen > kPathnameBufSize)
        maxLen = kPathnameBufSize;
    const long m = maxLen;
    std::string s = withTilde(path);
    size_t lastSlash = s.rfind('/');
    if (static_cast<long>(s.size()) > m - 1 && lastSlash != std::string::npos) {
        std::string name = s.substr(lastSlash + 1);
        const long t = static_cast<long>(name.size()) + 1;  // with its "/"
        if (t <= m) {
            std::string dir = s.substr(0, lastSlash);
            bool cut = false;
            while (static_cast<long>(dir.size()) > m - 5 - t) {
                size_t p = dir.rfind('/');
                if (p == std::string::npos)
                    break;
                dir.resize(p);
                cut = true;
            }
            s = dir + (cut ? "/.../" : "/") + name;
        } else {
            s = name;
        }
    }
    if (static_cast<long>(s.size()) > m - 1) {
        s.resize(m - 1);
        if (m >= 4)
            s.replace(m - 4, 3, "...");
    }
    storeBounded(s, dest, maxLen);
    return dest;
}

char *makePathnameForDisplayFromFileSpec(const FileSpec *spec, char *dest, uint32_t maxLen, bool dirOnly)
{
    std::string path = spec->dirSpec;
    path += '/';
    if (!dirOnly)
        path += spec->filename;
    return makePathnameForDisplayFromString(path.c_str(), dest, maxLen);
}

// ---- Extensions and default names -------------------------------------------

const char *getFileExtension(const char *name)
{
    const char *dot = std::strrchr(name, '.');
    const char *slash = std::strrchr(name, '/');
    if (dot == nullptr || (slash != nullptr && dot < slash))
        return nullptr;
    return dot;
}

char *removeFileExtension(char *name)
{
    char *ext = const_cast<char *>(getFileExtension(name));
    if (ext != nullptr)
        *ext = '\0';
    return name;
}

char *replaceFileExtension(const char *newExtension, char *name)
{
    char *ext = const_cast<char *>(getFileExtension(name));
    // Short extensions (".nex", ".dat") are replaced; longer ones such as
    // ".phylip" are kept as part of the stem, except the NEXUS one.
    if (ext != nullptr && (strcasecmp(ext, ".nexus") == 0 || std::strlen(ext) < 5))
        *ext = '\0';
    size_t n = std::strlen(name);
    if (n > 0 && name[n - 1] == '.')
        name[--n] = '\0';
    size_t e = std::strlen(newExtension);
    if (e > kMaxPathnameLen)
        e = kMaxPathnameLen;
    size_t pos = n + e <= kMaxPathnameLen ? n : kMaxPathnameLen - e;
    std::memmove(name + pos, newExtension, e);
    name[pos + e] = '\0';
    return name + pos;
}

char *makeDefaultFilename(const char *baseName, const char *extension, char *dest)
{
    copyPathname(baseName != nullptr && baseName[0] != '\0' ? baseName : "untitled", dest);
    replaceFileExtension(extension, dest);
    return dest;
}

// ---- Current file names ------------------------------------------------------

void setDataFileName(const char *name)
{
    gHaveDataFileName = name != nullptr;
    gDataFileName = name ? name : "";
}
const char *getDataFileName() { return gHaveDataFileName ? gDataFileName.c_str() : nullptr; }
const char *makeDataFileNameString() { return gDataFileName.empty() ? "untitled" : gDataFileName.c_str(); }

void setExecFileName(const char *name) { gExecFileName = name; }
const char *getExecFileName() { return gExecFileName; }
const char *makeExecFileNameString()
{
    return gExecFileName != nullptr && gExecFileName[0] != '\0' ? gExecFileName : "untitled";
}

// ---- File specifications --------------------------------------------------

FileSpec *initFileSpecFromNameAndDir(const char *filename, const char *directory, FileSpec *spec)
{
    if (!storeFileSpec(filename != nullptr ? filename : "", directory != nullptr ? directory : "", spec))
        return nullptr;
    std::string path = fullPathOf(spec);
    return path.size() <= kMaxPathnameLen && fileExists(path.c_str()) ? spec : nullptr;
}

FileSpec *initFileSpecFromPathname(const char *path, FileSpec *spec)
{
    std::string p(path);  // may point into the file spec
    size_t slash = p.rfind('/');
    if (slash == std::string::npos)
        return initFileSpecFromNameAndDir(p.c_str(), "", spec);
    std::string dir = p.substr(0, slash);
    return initFileSpecFromNameAndDir(p.c_str() + slash + 1, dir.c_str(), spec);
}

FileSpec *initFileSpec(const char *filename, const char *directory, FileSpec *spec)
{
    if (filename == nullptr || filename[0] == '\0')
        return nullptr;
    if (directory == nullptr || std::strchr(filename, '/') != nullptr)
        return initFileSpecFromPathname(filename, spec);
    return initFileSpecFromNameAndDir(filename, directory, spec);
}

char *getFilenameFromFileSpec(const FileSpec *spec, char *buffer)
{
    storeBounded(spec->filename, buffer, kFilenameBufSize);
    return buffer;
}

char *getDirSpecFromFileSpec(const FileSpec *spec, const void * /*unused*/, char *buffer)
{
    return getPathnameFromDirSpec(spec->dirSpec, buffer);
}

char *getPathnameFromDirSpec(const char *directory, char *buffer)
{
    return copyPathname(directory, buffer);
}

char *getPathnameFromFileSpec(const FileSpec *spec, char *buffer)
{
    return storeExact(fullPathOf(spec), buffer, kPathnameBufSize) ? buffer : nullptr;
}

bool sameFileSpec(const FileSpec *a, const FileSpec *b)
{
    if (a == b)
        return true;
    if (a == nullptr || b == nullptr)
        return false;
    return std::strcmp(a->dirSpec, b->dirSpec) == 0 && std::strcmp(a->filename, b->filename) == 0;
}
