// Matrix rows read in bulk against the same rows read a character at a
// time: random files with every cell form the reader knows, and broken
// ones, must give the same cells, output, errors and input positions, in
// both storages, from documents and from files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "data/data_settings.h"
#include "data/data_util.h"
#include "data/datamatrix.h"
#include "data/taxstat.h"
#include "qel/qel_strings.h"
#include "support/format_support.h"
#include "reader_test_support.h"

namespace {

struct Reading {
    int rc = 0;
    std::string out;  // printed text, warnings and errors, each error with its input position
    std::vector<uint64_t> cells;  // state bits, polymorphic mark in bit 63
    std::vector<int> charsets;    // gapped, missing-or-ambiguous and combination bits
};
Reading *gReading = nullptr;

// Errors (which return 1) and warnings (0), each with its input position.
template <int kReturn>
int onMessage(uint32_t code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const InputPos at = getActiveInput()->pos;
    gReading->out += (kReturn ? "E" : "W") + std::to_string(code) + "@" + std::to_string(at.lineNum) + ":" +
                     std::to_string(at.charCount) + " " + testfmt::vformat(format, args);
    va_end(args);
    return kReturn;
}
int onPrint(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    gReading->out += testfmt::vformat(format, args);
    va_end(args);
    return 0;
}

class BulkReaderTest : public DataReaderTest {
protected:
    BulkReaderTest() : DataReaderTest(onPrint, onMessage<1>, onMessage<0>) {}
    void TearDown() override
    {
        setBulkRowReading(true);
        dataParam.dataStorage = savedStorage_;
        DataReaderTest::TearDown();
    }

    // Reads a NEXUS text, through a file when `path` is given, into a fresh
    // data set; then deletes the second taxon, so the standard sets are
    // found over active taxa that are not the stored rows.
    Reading read(const std::string &text, bool bulk, bool compact, const std::string &path = "")
    {
        Reading r;
        gReading = &r;
        setBulkRowReading(bulk);
        dataParam.dataStorage = compact ? 1 : 0;
        destroyDataInfo(activeDataInfo());
        setActiveDataInfo(createDataInfo());
        InputStatus file{};
        if (path.empty())
            feed(text, true);
        else if (std::ofstream(path, std::ios::binary) << text; openInputFile(path.c_str(), 0, nullptr, &file) != kOpenOK)
            ADD_FAILURE() << path;
        char word[64];
        while (r.rc == 0 && readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, true) >= 0)
            if (stricmp(word, "begin") == 0 && readToken(word, sizeof word) >= 0 && readSemicolon() == 0)
                r.rc = readData(kBlockData, activeDataInfo());
        if (!path.empty())
            closeInputFile(&file);
        DataInfo *d = activeDataInfo();
        for (uint32_t t = 0; r.rc == 0 && t < d->ntax; ++t)
            for (uint32_t c = 0; c < d->nchar; ++c) {
                const uint8_t k = getXijRaw(d, static_cast<int32_t>(t), c);
                const bool poly = d->polyCells && isBitVecMember(d->polyCells->rows[t], c);
                r.cells.push_back((k == kGapCode ? 1u << 20 : stateBitsOfCode(d, k)) | (uint64_t{poly} << 63));
            }
        if (r.rc == 0 && d->ntax > 2) {
            addSetMember(d->taxa.deleted, 1);
            initTaxStatus(d);
            updateStdCharsets(d);
            for (uint32_t c = 0; c < d->nchar; ++c)
                r.charsets.push_back(isSetMember(d->gappedChars, c) + 2 * isSetMember(d->missAmbigChars, c) +
                                     4 * ((d->status[c] & kCharHasCombination) != 0));
        }
        gReading = nullptr;
        return r;
    }

private:
    uint8_t savedStorage_ = dataParam.dataStorage;
};

// Symbols drawn for cells: the plain ones repeated so that they dominate,
// then equates and the other letter case; and one symbol the format lacks.
struct Kind {
    const char *format, *symbols;
    char invalid;
};
constexpr Kind kKinds[] = {
    {"datatype=dna", "ACGTACGTACGTACGTACGTacgtRYNnu", 'J'},
    {"datatype=protein", "ACDEFGHIKLMNPQRSTVWYACDEFGHIKLMNPQRSTVWYacdeBZX", 'O'},
    {"symbols=\"0123\"", "0123", '7'},
    {"symbols=\"aBcD\" respectcase", "aBcD", 'A'},
};

// A random matrix text with the cell forms and layouts of the reader and,
// when `broken`, one fault in the matrix.
std::string randomText(std::mt19937 &rng, uint32_t ntax, uint32_t nchar, bool broken)
{
    const Kind &k = kKinds[rng() % 4];
    const bool interleave = rng() % 2, matchChar = rng() % 3 == 0, quoted = rng() % 2;
    auto pick = [&] { return std::string(1, k.symbols[rng() % std::strlen(k.symbols)]); };
    std::vector<std::vector<std::string>> m(ntax, std::vector<std::string>(nchar));
    for (uint32_t t = 0; t < ntax; ++t)
        for (auto &cell : m[t]) {
            const uint32_t r = rng() % 40;
            cell = r == 0 ? "?" : r == 1 ? "-" : r == 2 ? "(" + pick() + pick() + ")" : r == 3 ? "{" + pick() + " " + pick() + "}"
                 : r == 4 ? "[note]" + pick() : r == 5 && t > 0 && matchChar ? "." : r == 6 ? " " + pick() + "\t" : pick();
        }
    if (broken) {
        std::string &cell = m[rng() % ntax][rng() % nchar];
        const std::string faults[] = {std::string(1, k.invalid), ";", "", cell + pick(), "(" + pick(), "[open", "."};
        cell = faults[rng() % 7];
    }
    std::string s = "#NEXUS\nbegin data;\n dimensions ntax=" + std::to_string(ntax) + " nchar=" + std::to_string(nchar) +
                    ";\n format missing=? gap=- " + k.format + (interleave ? " interleave" : "") +
                    (matchChar ? " matchchar=." : "") + ";\n" + (rng() % 4 == 0 ? " eliminate 1;\n" : "") + "matrix\n";
    const uint32_t width = interleave ? 1 + rng() % nchar : nchar;
    const uint32_t wrap = rng() % 2 ? nchar : 1 + rng() % nchar;  // sequential rows split over lines
    for (uint32_t start = 0; start < nchar; start += width)
        for (uint32_t t = 0; t < ntax; ++t) {
            s += quoted ? "'taxon " + std::to_string(t) + "' " : "t" + std::to_string(t) + "\t";
            for (uint32_t c = start; c < std::min(start + width, nchar); ++c)
                s += m[t][c] + (!interleave && c % wrap == wrap - 1 ? "\n" : "");
            s += "\n";
        }
    s += ";\nend;\n";
    if (rng() % 4 == 0)
        for (size_t at = 0; (at = s.find('\n', at)) != std::string::npos; at += 2)
            s.insert(at, "\r");
    return s;
}

TEST_F(BulkReaderTest, RandomFilesReadInBulkEqualReadingACharacterAtATime)
{
    std::mt19937 rng(3411);
    const std::string path = ::testing::TempDir() + "bulk_reader_" + std::to_string(getpid()) + ".nex";
    int refused = 0, accepted = 0;
    for (int round = 0; round < 300; ++round) {
        // Two files are large and read from disk in compact storage: the
        // stream's buffer is refilled several times, and the pattern tree
        // gives way to a byte matrix midway.
        const bool big = round % 150 == 0;
        const std::string text = big ? randomText(rng, 200, 2000, round > 0)
                                     : randomText(rng, 2 + rng() % 6, 1 + rng() % 70, round % 3 == 2);
        std::vector<Reading> bulk;
        for (bool compact : {false, true}) {
            if (big && !compact)
                continue;
            const Reading slow = read(text, false, compact, big ? path : "");
            bulk.push_back(read(text, true, compact, big ? path : ""));
            EXPECT_EQ(bulk.back().rc, slow.rc) << text;
            EXPECT_EQ(bulk.back().out, slow.out) << text;
            EXPECT_EQ(bulk.back().cells, slow.cells) << text;
            EXPECT_EQ(bulk.back().charsets, slow.charsets) << text;
            (slow.rc == 0 ? accepted : refused)++;
        }
        // The standard sets of a full matrix are swept by rows, those of
        // compact storage by columns.
        if (!big) {
            EXPECT_EQ(bulk[0].cells, bulk[1].cells);
            EXPECT_EQ(bulk[0].charsets, bulk[1].charsets);
        }
    }
    std::remove(path.c_str());
    EXPECT_GT(refused, 100);
    EXPECT_GT(accepted, 300);
}

}  // namespace
