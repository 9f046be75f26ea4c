#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "data/charpatterns.h"
#include "data/column_reader.h"
#include "data/data_settings.h"
#include "data/getdata.h"
#include "data/nexsets.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "qel/qel_malloc.h"
#include "qel/qel_strings.h"
#include "data/parminit_data.h"
#include "cli/qel_cmdline.h"
#include "reader_test_support.h"

namespace {

using Column = std::vector<uint8_t>;

std::string gErrors;

int captureError(uint32_t code, const char *format, ...)
{
    char buf[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    gErrors += std::to_string(code) + ": " + buf + "\n";
    return 1;
}

int quiet(const char *, ...) { return 0; }
int quietWarning(uint32_t, const char *, ...) { return 0; }

// nchar columns of ntax codes below `codes`, drawn from `distinct` random
// columns, so most characters repeat another's column.
std::vector<Column> randomColumns(std::mt19937 &rng, uint32_t ntax, uint32_t nchar, uint32_t distinct,
                                  uint8_t codes)
{
    std::uniform_int_distribution<int> code(0, codes - 1);
    std::vector<Column> pool(distinct, Column(ntax));
    for (Column &c : pool)
        for (uint8_t &x : c)
            x = static_cast<uint8_t>(code(rng));
    std::uniform_int_distribution<uint32_t> pick(0, distinct - 1);
    std::vector<Column> columns(nchar);
    for (Column &c : columns)
        c = pool[pick(rng)];
    return columns;
}

// ---- The pattern tree ------------------------------------------------------------

struct TreeResult {
    uint32_t nPatterns = 0;
    std::vector<Column> patterns;
    std::vector<uint32_t> index;
    std::vector<std::vector<uint32_t>> members;  // characters of each pattern, in list order
};

// Builds compact storage from the columns, cells taxon by taxon (as the
// Matrix command stores them) or column by column (transposed input).
TreeResult buildPatterns(const std::vector<Column> &columns, uint32_t ntax, bool byTaxon,
                         bool expectMatrix = false)
{
    const auto nchar = static_cast<uint32_t>(columns.size());
    PatternTST *t = createPatternTST(ntax, nchar, byTaxon);
    EXPECT_NE(t, nullptr);
    if (byTaxon) {
        for (uint32_t row = 0; row < ntax; ++row) {
            for (uint32_t c = 0; c < nchar; ++c)
                EXPECT_EQ(insertStateIntoPatternTST(t, row, c, columns[c][row]), 0);
            finishCharGroupTST(t);
        }
    } else {
        for (uint32_t c = 0; c < nchar; ++c)
            EXPECT_EQ(insertFullPatternIntoTST(t, columns[c].data(), c), 0);
    }
    EXPECT_EQ(patternTSTHoldsMatrix(t), expectMatrix);
    DataInfo *d = createDataInfo();
    d->ntax = ntax;
    d->nchar = nchar;
    EXPECT_EQ(makePatternMatrix(t, d), 0);
    TreeResult r;
    r.nPatterns = d->nPatterns;
    for (uint32_t p = 0; p < d->nPatterns; ++p) {
        r.patterns.emplace_back(d->patternMatrix[p], d->patternMatrix[p] + ntax);
        r.members.emplace_back();
        for (uint32_t c = getFirstItemInPtndList(d->patternList, p); c != kSetEnd;
             c = getNextItemInPtndList(d->patternList, c))
            r.members.back().push_back(c);
    }
    r.index.assign(d->patternIndex, d->patternIndex + nchar);
    destroyPatternTST(t);
    deallocRawData(d, 1);
    return r;
}

TEST(PatternTree, EveryDistinctColumnIsOnePatternInColumnOrder)
{
    std::mt19937 rng(11);
    // Taxon counts on both sides of the eight-taxon groups of a tree level.
    for (uint32_t ntax : {1u, 2u, 7u, 8u, 9u, 16u, 33u}) {
        for (bool byTaxon : {true, false}) {
            auto columns = randomColumns(rng, ntax, 400, 37, 5);
            // A gap and a high combination code must order as bytes do.
            columns[3].assign(ntax, kGapCode);
            columns[5].assign(ntax, 253);
            const std::set<Column> distinct(columns.begin(), columns.end());
            TreeResult r = buildPatterns(columns, ntax, byTaxon);
            SCOPED_TRACE("ntax " + std::to_string(ntax) + (byTaxon ? " by taxon" : " by column"));
            ASSERT_EQ(r.nPatterns, distinct.size());
            // Patterns come in increasing column order: exactly the ordered set.
            EXPECT_TRUE(std::equal(r.patterns.begin(), r.patterns.end(), distinct.begin()));
            std::vector<uint32_t> seen;
            for (uint32_t p = 0; p < r.nPatterns; ++p) {
                ASSERT_FALSE(r.members[p].empty());
                EXPECT_TRUE(std::is_sorted(r.members[p].begin(), r.members[p].end()));
                for (uint32_t c : r.members[p]) {
                    EXPECT_EQ(r.index[c], p);
                    seen.push_back(c);
                }
            }
            std::sort(seen.begin(), seen.end());
            EXPECT_EQ(seen.size(), columns.size());
            EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
            for (uint32_t c = 0; c < columns.size(); ++c)
                EXPECT_EQ(r.patterns[r.index[c]], columns[c]) << "character " << c;
        }
    }
}

// The patterns must be the ordered set of distinct columns, and each
// character's pattern its own column.
void expectPatternsOf(const std::vector<Column> &columns, const TreeResult &r)
{
    const std::set<Column> distinct(columns.begin(), columns.end());
    ASSERT_EQ(r.nPatterns, distinct.size());
    EXPECT_TRUE(std::equal(r.patterns.begin(), r.patterns.end(), distinct.begin()));
    for (uint32_t c = 0; c < columns.size(); ++c)
        ASSERT_EQ(r.patterns[r.index[c]], columns[c]) << "character " << c;
    for (uint32_t p = 0; p < r.nPatterns; ++p)
        for (uint32_t c : r.members[p])
            ASSERT_EQ(r.index[c], p);
}

TEST(PatternTree, ATreeOutgrowingItsShareGivesTheSamePatternsFromAByteMatrix)
{
    // 64 taxa make 8 tree levels: 9,000 distinct columns need some 70,000
    // nodes, past the tree's mebibyte floor, so the cells move to a byte
    // matrix part way through and are grouped by hashing.
    std::mt19937 rng(5);
    for (bool byTaxon : {true, false}) {
        SCOPED_TRACE(byTaxon ? "by taxon" : "by column");
        auto columns = randomColumns(rng, 64, 20000, 9000, 4);
        columns[7].assign(64, kGapCode);
        expectPatternsOf(columns, buildPatterns(columns, 64, byTaxon, byTaxon));
    }
    // Few patterns over many taxa also outgrow the floor (500 x 100 levels),
    // and still give a pattern matrix, whichever storage may be chosen.
    auto columns = randomColumns(rng, 800, 4000, 500, 3);
    expectPatternsOf(columns, buildPatterns(columns, 800, true, true));
}

TEST(PatternTree, MostlyDistinctColumnsMayBeHandedOverAsFullStorage)
{
    std::mt19937 rng(9);
    for (uint32_t distinct : {9000u, 500u}) {
        SCOPED_TRACE(std::to_string(distinct) + " distinct columns");
        const uint32_t ntax = distinct > 1000 ? 64 : 800, nchar = distinct > 1000 ? 20000 : 4000;
        auto columns = randomColumns(rng, ntax, nchar, distinct, 4);
        PatternTST *t = createPatternTST(ntax, nchar, true);
        ASSERT_NE(t, nullptr);
        for (uint32_t row = 0; row < ntax; ++row) {
            for (uint32_t c = 0; c < nchar; ++c)
                ASSERT_EQ(insertStateIntoPatternTST(t, row, c, columns[c][row]), 0);
            finishCharGroupTST(t);
        }
        DataInfo *d = createDataInfo();
        d->ntax = ntax;
        d->nchar = nchar;
        d->compactStorage = 1;
        ASSERT_EQ(makePatternMatrix(t, d, true), 0);
        destroyPatternTST(t);
        // More than one distinct column in eight: the byte matrix itself.
        const std::set<Column> unique(columns.begin(), columns.end());
        const bool full = unique.size() * 8 > nchar;
        EXPECT_EQ(d->compactStorage, full ? 0 : 1);
        ASSERT_EQ(d->matrix != nullptr, full);
        for (uint32_t c = 0; c < nchar; ++c)
            for (uint32_t row = 0; row < ntax; ++row)
                ASSERT_EQ(full ? d->matrix[row][c] : d->patternMatrix[d->patternIndex[c]][row], columns[c][row]);
        deallocRawData(d, 1);
    }
}

// The sample that picks full storage before every column is grouped: taken
// on wholly distinct columns, and never on a matrix where compact storage
// pays (at most one distinct column in eight), however the repeats lie.
TEST(PatternTree, AColumnSampleChoosesFullStorageOnlyWhereCompactCannotPay)
{
    std::mt19937 rng(55);
    auto rowsOf = [](const std::vector<Column> &columns, uint32_t ntax) {
        std::vector<std::vector<uint8_t>> rows(ntax, std::vector<uint8_t>(columns.size()));
        for (uint32_t c = 0; c < columns.size(); ++c)
            for (uint32_t t = 0; t < ntax; ++t)
                rows[t][c] = columns[c][t];
        return rows;
    };
    auto sampleSays = [&](const std::vector<Column> &columns, uint32_t ntax) {
        const auto rows = rowsOf(columns, ntax);
        std::vector<const uint8_t *> cells;
        for (const auto &r : rows)
            cells.push_back(r.data());
        return columnSampleShowsFullStorage(cells.data(), ntax, static_cast<uint32_t>(columns.size()));
    };
    for (uint32_t nchar : {200u, 5000u, 40000u}) {
        SCOPED_TRACE(std::to_string(nchar) + " characters");
        // Every column its own, as in a random alignment.
        std::vector<Column> distinctColumns(nchar, Column(40));
        for (Column &c : distinctColumns)
            for (uint8_t &x : c)
                x = static_cast<uint8_t>(rng() % 4);
        EXPECT_TRUE(sampleSays(distinctColumns, 40));
        const uint32_t distinct = nchar / 8;
        for (int rep = 0; rep < 10; ++rep) {
            const auto pool = randomColumns(rng, 40, distinct, distinct * 4, 4);
            std::vector<Column> spread(nchar), runs(nchar), skewed(nchar);
            for (uint32_t c = 0; c < nchar; ++c) {
                spread[c] = pool[c % distinct];    // each column again every `distinct` characters
                runs[c] = pool[c / 8 % distinct];  // eight alike in a row
                skewed[c] = pool[c < distinct ? c : 0];
            }
            EXPECT_FALSE(sampleSays(spread, 40));
            EXPECT_FALSE(sampleSays(runs, 40));
            EXPECT_FALSE(sampleSays(skewed, 40));
            EXPECT_FALSE(sampleSays(randomColumns(rng, 40, nchar, distinct, 4), 40));
        }
    }
}

TEST(PatternTree, ColumnsInSortedOrderStayCheapAndOutOfOrderRowsAreRefused)
{
    // Sorted arrival is the worst case for an unbalanced tree: every key of
    // a level would hang off one side.
    const uint32_t ntax = 8, nchar = 20000;
    std::vector<Column> columns(nchar, Column(ntax));
    for (uint32_t c = 0; c < nchar; ++c)
        for (uint32_t t = 0; t < ntax; ++t)
            columns[c][t] = static_cast<uint8_t>((c >> (2 * (ntax - 1 - t))) & 3);
    TreeResult r = buildPatterns(columns, ntax, true);
    EXPECT_EQ(r.nPatterns, nchar);
    for (uint32_t c = 0; c < nchar; ++c)
        ASSERT_EQ(r.index[c], c);

    PatternTST *t = createPatternTST(3, 2, true);
    EXPECT_EQ(insertStateIntoPatternTST(t, 1, 0, 0), 1);  // row 0 has not come
    EXPECT_EQ(insertStateIntoPatternTST(t, 0, 2, 0), 1);  // no such character
    EXPECT_EQ(insertStateIntoPatternTST(t, 0, 0, 0), 0);
    EXPECT_EQ(insertStateIntoPatternTST(t, 0, 0, 0), 1);  // twice
    DataInfo *d = createDataInfo();
    d->ntax = 3;
    d->nchar = 2;
    EXPECT_EQ(makePatternMatrix(t, d), 1);  // columns incomplete
    EXPECT_EQ(d->patternMatrix, nullptr);
    destroyPatternTST(t);
    deallocRawData(d, 1);
}

// ---- Reading files ---------------------------------------------------------------

class CompactReadTest : public DataReaderTest {
protected:
    CompactReadTest() : DataReaderTest(quiet, captureError, quietWarning) {}
    void SetUp() override
    {
        gErrors.clear();
        savedStorage_ = dataParam.dataStorage;
        DataReaderTest::SetUp();
    }
    void TearDown() override
    {
        deallocAssumpSets();
        DataReaderTest::TearDown();
        dataParam.dataStorage = savedStorage_;
    }

    // Runs the blocks of a NEXUS text as the command loop does, a further
    // CHARACTERS block into a record sharing the taxa; the first non-zero
    // block status.
    int read(std::string input, bool compact)
    {
        dataParam.dataStorage = compact ? 1 : 0;
        feed(std::move(input), true);
        char word[64];
        for (;;) {
            if (readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, true) < 0)
                return 0;
            if (stricmp(word, "#nexus") == 0 || std::string(word) == ";")
                continue;
            readToken(word, sizeof word);
            readSemicolon();
            const int kind = stricmp(word, "data") == 0   ? kBlockData
                             : stricmp(word, "taxa") == 0 ? kBlockTaxa
                                                          : kBlockCharacters;
            DataInfo *d = activeDataInfo();
            if (kind == kBlockCharacters && (d->flags & kHaveCharacters)) {
                if (!(d = startNewData(d)))
                    return 1;
                setActiveDataInfo(d);
            }
            if (int rc = readData(kind, d); rc != 0)
                return rc;
        }
    }

    static DataInfo *data() { return activeDataInfo(); }

    // Each cell as the symbols of its states (sorted), "?" or "-".
    static std::vector<std::string> cellSymbols()
    {
        const DataInfo *d = data();
        std::vector<std::string> all;
        for (uint32_t t = 0; t < d->ntax; ++t)
            for (uint32_t c = 0; c < d->nchar; ++c) {
                const uint8_t k = getXijRaw(d, static_cast<int32_t>(t), c);
                if (k == kGapCode || k == d->nstates) {
                    all.push_back(k == kGapCode ? "-" : "?");
                    continue;
                }
                std::string s;
                const uint64_t bits = stateBitsOfCode(d, k);
                for (uint32_t i = 0; i < d->nstates; ++i)
                    if (bits >> i & 1)
                        s += d->symbols[i];
                std::sort(s.begin(), s.end());
                all.push_back(s);
            }
        return all;
    }

private:
    int savedStorage_ = 0;
};

// A DNA matrix whose characters repeat a few distinct columns of cell texts.
std::string dnaFile(std::mt19937 &rng, uint32_t ntax, uint32_t nchar, uint32_t distinct, bool interleave)
{
    static const char *kCells[] = {"A", "C", "G", "T", "R", "N", "?", "-", "(AG)", "{CT}", "(ACT)"};
    std::uniform_int_distribution<int> pick(0, 10);
    std::vector<std::vector<std::string>> pool(distinct, std::vector<std::string>(ntax));
    for (auto &col : pool)
        for (auto &cell : col)
            cell = kCells[pick(rng)];
    std::uniform_int_distribution<uint32_t> which(0, distinct - 1);
    std::vector<uint32_t> chosen(nchar);
    for (uint32_t &c : chosen)
        c = which(rng);
    std::string s = "begin data; dimensions ntax=" + std::to_string(ntax) + " nchar=" +
                    std::to_string(nchar) + "; format datatype=dna gap=-" +
                    (interleave ? " interleave" : "") + ";\nmatrix\n";
    const uint32_t width = interleave ? 13 : nchar;
    for (uint32_t start = 0; start < nchar; start += width) {
        for (uint32_t t = 0; t < ntax; ++t) {
            s += "t" + std::to_string(t) + " ";
            for (uint32_t c = start; c < std::min(nchar, start + width); ++c)
                s += pool[chosen[c]][t];
            s += "\n";
        }
    }
    return s + ";\nend;\n";
}

TEST_F(CompactReadTest, CompactAndFullStorageGiveTheSameCells)
{
    std::mt19937 rng(2024);
    for (int round = 0; round < 6; ++round) {
        const uint32_t ntax = 3 + round * 5, nchar = 150;
        const std::string file = dnaFile(rng, ntax, nchar, 9, round % 2 == 1);
        ASSERT_EQ(read(file, false), 0) << gErrors;
        std::vector<uint8_t> raw;
        std::vector<uint64_t> bits;
        for (int32_t t = -1; t < static_cast<int32_t>(ntax); ++t)
            for (uint32_t c = 0; c < nchar; ++c) {
                raw.push_back(getXijRaw(data(), t, c));
                bits.push_back(getXijAsBits(data(), t, c, nullptr));
            }
        ASSERT_EQ(read(file, true), 0) << gErrors;
        ASSERT_TRUE(data()->compactStorage);
        EXPECT_EQ(data()->matrix, nullptr);
        EXPECT_LE(data()->nPatterns, 9u);
        size_t i = 0;
        for (int32_t t = -1; t < static_cast<int32_t>(ntax); ++t)
            for (uint32_t c = 0; c < nchar; ++c, ++i) {
                ASSERT_EQ(getXijRaw(data(), t, c), raw[i]) << "taxon " << t << " char " << c;
                ASSERT_EQ(getXijAsBits(data(), t, c, nullptr), bits[i]);
            }
    }
}

// The block-wise column reader against the cell-by-cell accessors: full and
// compact storage, taxon counts around the eight-taxon tiles, characters
// past the 64-character blocks, deleted taxa, and characters asked for out
// of order.
TEST_F(CompactReadTest, ColumnsReadInBlocksEqualTheCellsReadOneByOne)
{
    std::mt19937 rng(31);
    for (int round = 0; round < 8; ++round) {
        const uint32_t ntax = 3 + round * 5, nchar = 150;
        ASSERT_EQ(read(dnaFile(rng, ntax, nchar, round % 2 ? 9 : 300, false), round % 4 == 1), 0) << gErrors;
        DataInfo *d = data();
        if (round >= 4) {
            for (uint32_t r = 1; r < ntax; r += 4)
                addSetMember(d->taxa.deleted, r);
            initTaxStatus(d);
        }
        const CellCodeTable codes = makeCellCodeTable(d);
        ColumnReader columns(d);
        ASSERT_EQ(columns.ntax(), static_cast<uint32_t>(d->nActive));
        std::vector<uint32_t> order(nchar);
        for (uint32_t c = 0; c < nchar; ++c)
            order[c] = c;
        if (round % 2)
            std::shuffle(order.begin(), order.end(), rng);
        for (uint32_t c : order) {
            const std::span<const uint8_t> column = columns.column(c);
            for (int32_t t = 0; t < d->nActive; ++t) {
                const uint8_t code = column[static_cast<uint32_t>(t)];
                ASSERT_EQ(code, getXijRaw(d, t, c)) << "round " << round << " taxon " << t << " char " << c;
                ASSERT_EQ(codes.missing[code], isMissingOrGapMiss(t, c, d));
                ASSERT_EQ(codes.bits[code], getXijAsBits(d, t, c, nullptr));
            }
        }
    }
}

TEST_F(CompactReadTest, AMatrixOfMostlyDistinctColumnsIsReadIntoFullStorage)
{
    // Compact storage would keep nearly every column: the reader keeps the
    // full matrix instead, with the cells of a full read. Interleaved, so
    // the tree gives way while the characters stand at different rows.
    std::mt19937 rng(77);
    // Drawn from a pool of 40,000: some 8,800 distinct columns.
    const uint32_t ntax = 64, nchar = 10000;
    const std::string file = dnaFile(rng, ntax, nchar, 40000, true);
    ASSERT_EQ(read(file, false), 0) << gErrors;
    std::vector<uint64_t> bits;
    for (uint32_t t = 0; t < ntax; ++t)
        for (uint32_t c = 0; c < nchar; ++c)
            bits.push_back(getXijAsBits(data(), static_cast<int32_t>(t), c, nullptr));
    ASSERT_EQ(read(file, true), 0) << gErrors;
    EXPECT_FALSE(data()->compactStorage);
    ASSERT_NE(data()->matrix, nullptr);
    size_t i = 0;
    for (uint32_t t = 0; t < ntax; ++t)
        for (uint32_t c = 0; c < nchar; ++c, ++i)
            ASSERT_EQ(getXijAsBits(data(), static_cast<int32_t>(t), c, nullptr), bits[i])
                << "taxon " << t << " char " << c;
}

TEST_F(CompactReadTest, TaxaOutOfStoredOrderAreRefusedOnlyUnderCompactStorage)
{
    const std::string file = "begin taxa; dimensions ntax=2; taxlabels a b; end;\n"
                             "begin characters; dimensions nchar=2; matrix b 01 a 10; end;";
    ASSERT_EQ(read(file, false), 0) << gErrors;
    EXPECT_EQ(getXijRaw(data(), 0, 0), 1u);
    gErrors.clear();
    EXPECT_EQ(read(file, true), 1);
    EXPECT_NE(gErrors.find("0: Taxa must be input in a consistent order across blocks when using "
                           "compact data storage."),
              std::string::npos)
        << gErrors;
}

constexpr const char *kTaxa = "begin taxa; dimensions ntax=4; taxlabels p q r s; end;\n";
// The first block's symbols in one order, the second's in another, with a
// combination the first block never used.
constexpr const char *kFirst =
    "begin characters; title morph; dimensions nchar=3; format symbols=\"XYZ\" gap=-;\n"
    "matrix p XY? q Z(XY)- r {YZ}XX s ZZY; end;\n";
constexpr const char *kSecond =
    "begin characters; dimensions nchar=2; format symbols=\"ZXY\" gap=-;\n"
    "matrix p X{ZX} q (XZ)Y r -? s YZ; end;\n";

TEST_F(CompactReadTest, AJoinedBlockKeepsEveryCellsStateSet)
{
    for (bool compact : {false, true}) {
        SCOPED_TRACE(compact ? "compact" : "full");
        ASSERT_EQ(read(std::string(kTaxa) + kFirst, compact), 0) << gErrors;
        std::vector<std::string> first = cellSymbols();
        ASSERT_EQ(read(std::string(kTaxa) + kSecond, compact), 0) << gErrors;
        std::vector<std::string> second = cellSymbols();
        ASSERT_EQ(read(std::string(kTaxa) + kFirst + kSecond, compact), 0) << gErrors;
        DataInfo *d = data();
        ASSERT_EQ(d->nchar, 5u);
        std::vector<std::string> joined = cellSymbols();
        for (uint32_t t = 0; t < 4; ++t) {
            for (uint32_t c = 0; c < 3; ++c)
                EXPECT_EQ(joined[t * 5 + c], first[t * 3 + c]) << t << "," << c;
            for (uint32_t c = 0; c < 2; ++c)
                EXPECT_EQ(joined[t * 5 + 3 + c], second[t * 2 + c]) << t << "," << c;
        }
        // The partition of the blocks: the first named by its title.
        Nexset *chars = findMatchingCharPartition("Chars");
        ASSERT_NE(chars, nullptr);
        ASSERT_EQ(numNexPtnSubsets(chars), 2u);
        EXPECT_STREQ(getPtnSubsetName(getNexPtn(chars), 0), "morph");
        EXPECT_STREQ(getPtnSubsetName(getNexPtn(chars), 1), "block2");
        EXPECT_EQ(whichPartitionSubset(getNexPtn(chars), 2), 0u);
        EXPECT_EQ(whichPartitionSubset(getNexPtn(chars), 3), 1u);
    }
}

TEST_F(CompactReadTest, TenAndFiveCharactersGiveFifteenAndAThirdBlockAddsASubset)
{
    const std::string tenChars = "begin characters; title first; dimensions nchar=10;\n"
                                 "matrix p 0101010101 q 1111100000 r 0000000000 s 1010101010; end;\n";
    const std::string fiveChars = "begin characters; title second; dimensions nchar=5;\n"
                                  "matrix p 01011 q 11111 r 00000 s 10101; end;\n";
    const std::string twoChars = "begin characters; dimensions nchar=2;\n"
                                 "matrix p 01 q 11 r 00 s 10; end;\n";
    ASSERT_EQ(read(kTaxa + tenChars + fiveChars, true), 0) << gErrors;
    EXPECT_EQ(data()->nchar, 15u);
    EXPECT_EQ(data()->nCharBlocks, 2u);
    const SetPtn *ptn = getNexPtn(findMatchingCharPartition("Chars"));
    ASSERT_NE(ptn, nullptr);
    EXPECT_STREQ(getPtnSubsetName(ptn, 0), "first");
    EXPECT_STREQ(getPtnSubsetName(ptn, 1), "second");
    for (uint32_t c = 0; c < 15; ++c)
        EXPECT_EQ(whichPartitionSubset(ptn, c), c < 10 ? 0u : 1u) << c;
    // q's row is 1111100000 then 11111: characters 5 and 11 differ.
    EXPECT_EQ(getXijRaw(data(), 1, 5), 0u);
    EXPECT_EQ(getXijRaw(data(), 1, 11), 1u);

    ASSERT_EQ(read(twoChars, true), 0) << gErrors;
    ptn = getNexPtn(findMatchingCharPartition("Chars"));
    ASSERT_EQ(numPtnSubsets(ptn), 3u);
    EXPECT_STREQ(getPtnSubsetName(ptn, 2), "block3");
    EXPECT_EQ(whichPartitionSubset(ptn, 16), 2u);
    EXPECT_EQ(whichPartitionSubset(ptn, 9), 0u);
}

TEST_F(CompactReadTest, AJoinWhoseStatesTheDataSetLacksIsRefusedAndChangesNothing)
{
    for (bool compact : {false, true}) {
        ASSERT_EQ(read(std::string(kTaxa) + kFirst, compact), 0) << gErrors;
        DataInfo *before = data();
        const std::vector<std::string> cells = cellSymbols();
        const uint32_t codes = numStateCodes(before);
        gErrors.clear();
        // W is not a symbol of the first block; the new combination {XZ}
        // comes first and must not be left behind in the code tables.
        EXPECT_EQ(read("begin characters; dimensions nchar=2; format symbols=\"XZW\";\n"
                       "matrix p (XZ)X q XX r XW s XX; end;",
                       compact),
                  1);
        EXPECT_NE(gErrors.find("state 'W' is not one of its symbols"), std::string::npos) << gErrors;
        EXPECT_EQ(data(), before);
        EXPECT_EQ(data()->nchar, 3u);
        EXPECT_EQ(numStateCodes(data()), codes);
        EXPECT_EQ(cellSymbols(), cells);
        EXPECT_EQ(findMatchingCharPartition("Chars"), nullptr);
    }
}

TEST_F(CompactReadTest, AJoinThatRunsOutOfMemoryLeavesTheDataSetAsItWas)
{
    for (bool compact : {false, true}) {
        bool joined = false;
        for (int64_t countdown = 0; !joined && countdown < 400; ++countdown) {
            ASSERT_EQ(read(std::string(kTaxa) + kFirst, compact), 0) << gErrors;
            DataInfo *before = data();
            const std::vector<std::string> cells = cellSymbols();
            qel_setAllocFailureCountdown(countdown);
            joined = read(kSecond, compact) == 0;
            qel_setAllocFailureCountdown(-1);
            clearMemoryErrorStatus();
            ASSERT_EQ(data(), before);
            if (!joined) {
                ASSERT_EQ(data()->nchar, 3u) << countdown;
                ASSERT_EQ(cellSymbols(), cells) << countdown;
            }
        }
        ASSERT_TRUE(joined);
        EXPECT_EQ(data()->nchar, 5u);
    }
}

}  // namespace
