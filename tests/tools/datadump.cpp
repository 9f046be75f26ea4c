// Reads the data blocks of a NEXUS file through the data-block reader and
// prints what it read, for the comparison with independent NEXUS readers:
//   "NTAX" TAB n, "NCHAR" TAB n, then one line per taxon:
//   label TAB cell TAB cell ...
// where a cell is "-" (gap), "?" (missing) or its state symbols in symbol
// order, in upper case. Exit status 0, or 1 when the file was refused.
//
// Usage: datadump FILE
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "data/getdata.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "qel/qel_strings.h"
#include "shell/parminit.h"
#include "shell/qel_cmdline.h"

namespace {

int printToStderr(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = std::vfprintf(stderr, format, args);
    va_end(args);
    return n;
}

int errorToStderr(uint32_t code, const char *format, ...)
{
    std::fprintf(stderr, "Error(#%u): ", code);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    return 1;
}

int readBlocks()
{
    char word[64];
    for (;;) {
        if (readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, true) < 0)
            return 0;
        if (stricmp(word, "begin") != 0)
            continue;
        readToken(word, sizeof word);
        readSemicolon();
        int kind = stricmp(word, "data") == 0         ? kBlockData
                   : stricmp(word, "taxa") == 0       ? kBlockTaxa
                   : stricmp(word, "characters") == 0 ? kBlockCharacters
                                                      : -1;
        if (kind < 0) {
            skipThruEndOfBlock();
            continue;
        }
        if (readData(kind, activeDataInfo()) != 0)
            return 1;
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    init_qel_io(printToStderr, errorToStderr, errorToStderr);
    qel_initializeParser(true);
    if (qel_initializeCmdOptions() != 0)
        return 2;
    setCmdParamTraverser(traverseDataOptionSets);
    setActiveDataInfo(createDataInfo());
    InputStatus input{};
    if (openInputFile(argv[1], 0, nullptr, &input) != 0)
        return 2;
    input.batch = 1;
    setActiveInput(&input);
    int rc = readBlocks();
    closeInputFile(&input);
    setActiveInput(nullptr);
    DataInfo *d = activeDataInfo();
    if (rc != 0 || !(d->flags & kHaveCharacters))
        return 1;
    std::printf("NTAX\t%u\nNCHAR\t%u\n", d->ntax, d->nchar);
    for (uint32_t t = 0; t < d->ntax; ++t) {
        std::printf("%s", taxLabelString(d, t));
        for (uint32_t c = 0; c < d->nchar; ++c) {
            uint8_t code = getXijRaw(d, static_cast<int32_t>(t), c);
            std::fputc('\t', stdout);
            if (code == kGapCode) {
                std::fputc('-', stdout);
            } else if (code == d->nstates) {
                std::fputc('?', stdout);
            } else {
                uint64_t bits = stateBitsOfCode(d, code);
                for (uint32_t s = 0; s < d->nstates; ++s)
                    if (bits >> s & 1)
                        std::fputc(std::toupper(static_cast<unsigned char>(d->symbols[s])), stdout);
            }
        }
        std::fputc('\n', stdout);
    }
    destroyDataInfo(d);
    qel_finalizeCmdOptions();
    return 0;
}
