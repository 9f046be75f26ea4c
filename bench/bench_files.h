// Large generated input files of the reading benchmarks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "qel/qel_io.h"

struct BenchFile {
    std::string dir;
    std::string path;
    uint64_t bytes = 0;
};

// Writes `name` in a new temporary directory through write(FILE *); aborts
// when the file cannot be made, since no benchmark can run without it.
template <typename Write>
BenchFile writeBenchFile(const char *dirPrefix, const char *name, Write write)
{
    BenchFile b;
    char buf[kPathBufSize];
    if (!makeTempDirectory(dirPrefix, buf))
        std::abort();
    b.dir = buf;
    b.path = b.dir + "/" + name;
    FILE *f = std::fopen(b.path.c_str(), "wb");
    if (!f)
        std::abort();
    write(f);
    b.bytes = static_cast<uint64_t>(std::ftell(f));
    std::fclose(f);
    return b;
}

inline void removeBenchFile(const BenchFile &b)
{
    std::remove(b.path.c_str());
    std::remove(b.dir.c_str());
}

// The vorn binary that whole-program benchmarks run: VORN when set, else
// the one built beside the benchmark.
inline std::string vornBinaryPath()
{
    if (const char *v = std::getenv("VORN"))
        return v;
    char self[kPathBufSize];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "vorn";
    self[n] = '\0';
    std::string dir(self);
    dir = dir.substr(0, dir.rfind('/'));            // .../bench
    return dir.substr(0, dir.rfind('/')) + "/src/vorn";
}
