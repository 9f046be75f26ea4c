// What the dump tools share: messages to standard error, and the data-block
// reader set up over a NEXUS file.
#pragma once

#include <cstdarg>
#include <cstdio>

#include "data/getdata.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "qel/qel_strings.h"
#include "app/parminit.h"
#include "cli/qel_cmdline.h"

namespace dumptool {

inline int printToStderr(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = std::vfprintf(stderr, format, args);
    va_end(args);
    return n;
}

inline int errorToStderr(uint32_t code, const char *format, ...)
{
    std::fprintf(stderr, "Error(#%u): ", code);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    return 1;
}

// Messages to standard error, the parser and the data options ready, and an
// empty active data set; 2 when the option table cannot be built.
inline int startDataReader()
{
    init_qel_io(printToStderr, errorToStderr, errorToStderr);
    qel_initializeParser(true);
    if (qel_initializeCmdOptions() != 0)
        return 2;
    setCmdParamTraverser(traverseDataOptionSets);
    setActiveDataInfo(createDataInfo());
    return 0;
}

// Runs `body` with the file at `path` as the active input; 2 when it cannot
// be opened.
inline int withInput(const char *path, int (*body)(), bool batch = false)
{
    InputStatus input{};
    if (openInputFile(path, 0, nullptr, &input) != 0)
        return 2;
    if (batch)
        input.batch = 1;
    const int rc = body();
    closeInputFile(&input);
    setActiveInput(nullptr);
    return rc;
}

// Reads the DATA and TAXA blocks (and CHARACTERS blocks when `characters`)
// of the active input into the active data set and skips every other block;
// 1 when one was refused.
inline int readDataBlocks(bool characters)
{
    char word[64];
    for (;;) {
        if (readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, true) < 0)
            return 0;
        if (stricmp(word, "begin") != 0)
            continue;
        readToken(word, sizeof word);
        readSemicolon();
        int kind = stricmp(word, "data") == 0                     ? kBlockData
                   : stricmp(word, "taxa") == 0                   ? kBlockTaxa
                   : characters && stricmp(word, "characters") == 0 ? kBlockCharacters
                                                                  : -1;
        if (kind < 0) {
            skipThruEndOfBlock();
            continue;
        }
        if (readData(kind, activeDataInfo()) != 0)
            return 1;
    }
}

}  // namespace dumptool
