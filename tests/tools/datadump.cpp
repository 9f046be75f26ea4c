// Reads the data blocks of a NEXUS file through the data-block reader and
// prints what it read, for the comparison with independent NEXUS readers:
//   "NTAX" TAB n, "NCHAR" TAB n, then one line per taxon:
//   label TAB cell TAB cell ...
// where a cell is "-" (gap), "?" (missing) or its state symbols in symbol
// order, in upper case. Exit status 0, or 1 when the file was refused.
//
// Usage: datadump FILE
#include <cctype>
#include <cstdio>

#include "dump_support.h"

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    if (dumptool::startDataReader() != 0)
        return 2;
    const int rc = dumptool::withInput(argv[1], [] { return dumptool::readDataBlocks(true); }, true);
    if (rc == 2)
        return 2;
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
