// Matrix rows read in bulk against the same rows read a character at a
// time: random files with every cell form the reader knows, and broken
// ones, must give the same cells, output, errors and input positions.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
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
    std::string out;     // printed text, warnings and errors in order
    std::string where;   // input position at each error
    std::vector<uint64_t> cells;  // state bits of every cell, polymorphic mark in bit 63
};
Reading *gReading = nullptr;

int record(const char *kind, uint32_t code, const char *format, va_list args)
{
    gReading->out += kind + std::to_string(code) + " " + testfmt::vformat(format, args);
    if (const InputStatus *in = getActiveInput())
        gReading->where += std::to_string(in->pos.lineNum) + ":" + std::to_string(in->pos.charCount) + " ";
    return 1;
}
int onError(uint32_t code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int rc = record("E", code, format, args);
    va_end(args);
    return rc;
}
int onWarning(uint32_t code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    record("W", code, format, args);
    va_end(args);
    return 0;
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
    BulkReaderTest() : DataReaderTest(onPrint, onError, onWarning) {}
    void TearDown() override
    {
        setBulkRowReading(true);
        dataParam.dataStorage = savedStorage_;
        DataReaderTest::TearDown();
    }

    // Reads a NEXUS text (through a file when `path` is given) into a fresh
    // data set.
    Reading read(const std::string &text, bool bulk, bool compact, const std::string &path = "")
    {
        Reading r;
        gReading = &r;
        setBulkRowReading(bulk);
        dataParam.dataStorage = compact ? 1 : 0;
        destroyDataInfo(activeDataInfo());
        setActiveDataInfo(createDataInfo());
        InputStatus file{};
        if (path.empty()) {
            feed(text, true);
        } else {
            std::ofstream(path, std::ios::binary) << text;
            EXPECT_EQ(openInputFile(path.c_str(), 0, nullptr, &file), kOpenOK);
        }
        char word[64];
        while (r.rc == 0 && readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, true) >= 0)
            if (stricmp(word, "begin") == 0 && readToken(word, sizeof word) >= 0 && readSemicolon() == 0)
                r.rc = readData(kBlockData, activeDataInfo());
        if (!path.empty())
            closeInputFile(&file);
        const DataInfo *d = activeDataInfo();
        for (uint32_t t = 0; r.rc == 0 && t < d->ntax; ++t)
            for (uint32_t c = 0; c < d->nchar; ++c) {
                const uint8_t k = getXijRaw(d, static_cast<int32_t>(t), c);
                const bool poly = d->polyCells && isBitVecMember(d->polyCells->rows[t], c);
                r.cells.push_back((k == kGapCode ? 1u << 20 : stateBitsOfCode(d, k)) |
                                  (uint64_t{poly} << 63));
            }
        gReading = nullptr;
        return r;
    }

private:
    uint8_t savedStorage_ = dataParam.dataStorage;
};

struct Kind {
    const char *format;
    const char *plain;   // symbols written as themselves
    const char *other;   // equates and the other letter case
    char invalid;
};
constexpr Kind kKinds[] = {
    {"datatype=dna missing=? gap=-", "ACGT", "acgtRYNnu", 'J'},
    {"datatype=protein missing=? gap=-", "ACDEFGHIKLMNPQRSTVWY", "acdeBZX", 'O'},
    {"symbols=\"0123\" missing=? gap=-", "0123", "", '7'},
    {"symbols=\"aBcD\" respectcase missing=? gap=-", "aBcD", "", 'A'},
};

// A random matrix text of one kind, with its cell forms, layouts and,
// when `broken`, one fault somewhere in the matrix.
std::string randomText(std::mt19937 &rng, bool broken)
{
    const Kind &k = kKinds[rng() % 4];
    const uint32_t ntax = 2 + rng() % 6, nchar = 1 + rng() % 70;
    const bool interleave = rng() % 2, matchChar = rng() % 3 == 0, quoted = rng() % 2;
    const std::string plain = k.plain, other = k.other;
    auto pick = [&](const std::string &s) { return std::string(1, s[rng() % s.size()]); };
    std::vector<std::vector<std::string>> m(ntax, std::vector<std::string>(nchar));
    for (uint32_t t = 0; t < ntax; ++t)
        for (auto &cell : m[t]) {
            const uint32_t r = rng() % 40;
            cell = r < 28                ? pick(plain)
                   : r < 31 && !other.empty() ? pick(other)
                   : r == 31             ? "?"
                   : r == 32             ? "-"
                   : r == 33             ? "(" + pick(plain) + pick(plain) + ")"
                   : r == 34             ? "{" + pick(plain) + " " + pick(plain) + "}"
                   : r == 35             ? "[note]" + pick(plain)
                   : r == 36 && t > 0 && matchChar ? "."
                   : r == 37             ? " " + pick(plain) + "\t"
                                         : pick(plain);
        }
    if (broken) {
        std::string &cell = m[rng() % ntax][rng() % nchar];
        const std::string faults[] = {std::string(1, k.invalid), ";", "", cell + pick(plain), "(" + pick(plain),
                                      "[open", "."};
        cell = faults[rng() % 7];
    }
    std::string s = "#NEXUS\nbegin data;\n dimensions ntax=" + std::to_string(ntax) + " nchar=" +
                    std::to_string(nchar) + ";\n format " + k.format + (interleave ? " interleave" : "") +
                    (matchChar ? " matchchar=." : "") + ";\n" + (rng() % 4 == 0 ? " eliminate 1;\n" : "") +
                    "matrix\n";
    const uint32_t width = interleave ? 1 + rng() % nchar : nchar;
    const uint32_t wrap = rng() % 2 ? nchar : 1 + rng() % nchar;  // sequential rows split over lines
    for (uint32_t start = 0; start < nchar; start += width) {
        for (uint32_t t = 0; t < ntax; ++t) {
            s += quoted ? "'taxon " + std::to_string(t) + "' " : "t" + std::to_string(t) + "\t";
            for (uint32_t c = start; c < std::min(start + width, nchar); ++c)
                s += m[t][c] + (!interleave && c % wrap == wrap - 1 ? "\n" : "");
            s += "\n";
        }
        s += "\n";
    }
    s += ";\nend;\n";
    if (rng() % 4 == 0)
        for (size_t at = 0; (at = s.find('\n', at)) != std::string::npos; at += 2)
            s.insert(at, "\r");
    return s;
}

void expectSame(const Reading &bulk, const Reading &slow, const std::string &text)
{
    EXPECT_EQ(bulk.rc, slow.rc) << text;
    EXPECT_EQ(bulk.out, slow.out) << text;
    EXPECT_EQ(bulk.where, slow.where) << text;
    EXPECT_EQ(bulk.cells, slow.cells) << text;
}

TEST_F(BulkReaderTest, RandomFilesReadInBulkEqualReadingACharacterAtATime)
{
    std::mt19937 rng(3411);
    int refused = 0, accepted = 0;
    for (int round = 0; round < 400; ++round) {
        const std::string text = randomText(rng, round % 3 == 2);
        for (bool compact : {false, true}) {
            const Reading slow = read(text, false, compact);
            expectSame(read(text, true, compact), slow, text);
            (slow.rc == 0 ? accepted : refused)++;
        }
    }
    // Both kinds of outcome were compared, not just one.
    EXPECT_GT(refused, 100);
    EXPECT_GT(accepted, 400);
}

TEST_F(BulkReaderTest, AFileBiggerThanItsStreamBufferReadsTheSameInBothStorages)
{
    // 200 taxa by 2,000 distinct columns: several refills of the stream's
    // buffer, and a pattern tree that gives way to a byte matrix midway.
    std::mt19937 rng(77);
    std::string text = "#NEXUS\nbegin data;\ndimensions ntax=200 nchar=2000;\nformat datatype=dna gap=-;\nmatrix\n";
    for (int t = 0; t < 200; ++t) {
        text += "taxon_" + std::to_string(t) + "  ";
        for (int c = 0; c < 2000; ++c)
            text += "ACGTACGTRY-?"[rng() % (t == 57 && c > 1900 ? 12 : 4)];
        text += '\n';
    }
    text += ";\nend;\n";
    const std::string path = ::testing::TempDir() + "bulk_reader_big.nex";
    for (bool compact : {false, true}) {
        const Reading slow = read(text, false, compact, path);
        const Reading bulk = read(text, true, compact, path);
        ASSERT_EQ(slow.rc, 0) << slow.out;
        expectSame(bulk, slow, "");
        EXPECT_EQ(slow.cells.size(), 400000u);
    }
    std::remove(path.c_str());
}

// The gapped set, the missing-or-ambiguous set and the combination marks of
// the active data set after some taxa are deleted, with the first two as
// worked out here from the cells of the taxa left.
struct StdCharsets {
    std::vector<bool> gapped, missAmbig, combination, naiveGapped, naiveCombination;
};
StdCharsets stdCharsetsWithout(const std::vector<uint32_t> &deleted)
{
    DataInfo *d = activeDataInfo();
    for (uint32_t row : deleted)
        if (row < d->ntax)
            addSetMember(d->taxa.deleted, row);
    initTaxStatus(d);
    updateStdCharsets(d);
    StdCharsets s;
    for (uint32_t c = 0; c < d->nchar; ++c) {
        s.gapped.push_back(isSetMember(d->gappedChars, c));
        s.missAmbig.push_back(isSetMember(d->missAmbigChars, c));
        s.combination.push_back(d->status[c] & kCharHasCombination);
        bool gap = false, combination = false;
        for (int32_t t = 0; t < d->nActive && !(d->status[c] & kCharEliminated); ++t) {
            const uint8_t code = getXijRaw(d, t, c);
            gap |= code == kGapCode;
            combination |= code != kGapCode && code > d->nstates;
        }
        s.naiveGapped.push_back(gap);
        s.naiveCombination.push_back(combination);
    }
    return s;
}

TEST_F(BulkReaderTest, StandardSetsSweptByRowsEqualThoseReadByColumns)
{
    // Full storage is swept row by row, compact storage column by column.
    std::mt19937 rng(5);
    int compared = 0;
    for (int round = 0; round < 120; ++round) {
        const std::string text = randomText(rng, false);
        const std::vector<uint32_t> deleted = {static_cast<uint32_t>(rng() % 7), static_cast<uint32_t>(rng() % 7)};
        if (read(text, true, false).rc != 0)
            continue;
        const StdCharsets full = stdCharsetsWithout(deleted);
        ASSERT_EQ(read(text, true, true).rc, 0);
        const StdCharsets compact = stdCharsetsWithout(deleted);
        EXPECT_EQ(full.gapped, compact.gapped) << text;
        EXPECT_EQ(full.missAmbig, compact.missAmbig) << text;
        EXPECT_EQ(full.combination, compact.combination) << text;
        EXPECT_EQ(full.gapped, full.naiveGapped) << text;
        EXPECT_EQ(full.combination, full.naiveCombination) << text;
        ++compared;
    }
    EXPECT_GT(compared, 60);
}

}  // namespace
