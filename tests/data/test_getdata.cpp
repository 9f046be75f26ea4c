#include <gtest/gtest.h>

#include <bit>
#include <cstdarg>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "data/data_services.h"
#include "data/datamatrix.h"
#include "data/getdata.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "qel/qel_malloc.h"
#include "qel/qel_strings.h"
#include "data/parminit_data.h"
#include "cli/qel_cmdline.h"
#include "support/format_support.h"
#include "reader_test_support.h"

namespace {

std::vector<uint32_t> gCodes;
std::string gText;
std::string gOut;

int captureError(uint32_t code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    gText = testfmt::vformat(format, args);
    va_end(args);
    gCodes.push_back(code);
    return 1;
}

int captureWarning(uint32_t code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    gOut += "WARNING " + testfmt::vformat(format, args);
    va_end(args);
    (void)code;
    return 0;
}

int capturePrint(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    gOut += testfmt::vformat(format, args);
    va_end(args);
    return 0;
}

class GetDataTest : public DataReaderTest {
protected:
    GetDataTest() : DataReaderTest(capturePrint, captureError, captureWarning) {}

    void SetUp() override
    {
        gCodes.clear();
        gOut.clear();
        DataReaderTest::SetUp();
    }

    // Runs the blocks of a NEXUS text as the command loop would; returns the
    // first non-zero block status.
    int read(std::string input)
    {
        feed(std::move(input), true);
        char word[64];
        for (;;) {
            if (readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, true) < 0)
                return 0;
            if (stricmp(word, "#nexus") == 0 || std::string(word) == ";")
                continue;
            EXPECT_EQ(stricmp(word, "begin"), 0) << word;
            readToken(word, sizeof word);
            readSemicolon();
            int kind = stricmp(word, "data") == 0 ? kBlockData
                       : stricmp(word, "taxa") == 0 ? kBlockTaxa
                                                    : kBlockCharacters;
            DataInfo *d = activeDataInfo();
            if (kind == kBlockCharacters && (d->flags & kHaveCharacters)) {
                d = startNewData(d);
                setActiveDataInfo(d);
            }
            if (int rc = readData(kind, d); rc != 0)
                return rc;
        }
    }

    static DataInfo *data() { return activeDataInfo(); }
    static uint32_t code(uint32_t t, uint32_t c) { return getXijRaw(data(), static_cast<int32_t>(t), c); }
    // A cell as text: "-", "?", or the symbols of its states in symbol order.
    static std::string cell(uint32_t t, uint32_t c)
    {
        uint8_t k = getXijRaw(data(), static_cast<int32_t>(t), c);
        if (k == kGapCode)
            return "-";
        if (k == data()->nstates)
            return "?";
        std::string s;
        uint64_t bits = stateBitsOfCode(data(), k);
        for (uint32_t i = 0; i < data()->nstates; ++i)
            if (bits >> i & 1)
                s += data()->symbols[i];
        return s;
    }
    static std::vector<std::string> cells()
    {
        std::vector<std::string> all;
        for (uint32_t t = 0; t < data()->ntax; ++t)
            for (uint32_t c = 0; c < data()->nchar; ++c)
                all.push_back(cell(t, c) + (isPolymorphicCell(t, c) ? "p" : ""));
        return all;
    }
    static bool isPolymorphicCell(uint32_t t, uint32_t c)
    {
        const SetFamily *f = data()->polyCells;
        return f && isBitVecMember(f->rows[t], c);
    }
};

// ---- Layouts ----------------------------------------------------------------

// A random DNA matrix of cell texts as written in a file: a base, an IUPAC
// code, "?", "-", or a bracketed set.
std::vector<std::vector<std::string>> randomDna(std::mt19937 &rng, uint32_t ntax, uint32_t nchar)
{
    static const char *kCells[] = {"A", "C", "G", "T", "a", "t", "R", "y", "N", "?", "-",
                                   "(AG)", "{CT}", "(A C G)", "{a,g}", "(AT)"};
    std::uniform_int_distribution<int> pick(0, 15), base(0, 3);
    std::vector<std::vector<std::string>> m(ntax, std::vector<std::string>(nchar));
    for (auto &row : m)
        for (auto &c : row)
            c = base(rng) < 3 ? std::string(1, "ACGT"[base(rng)]) : kCells[pick(rng)];
    return m;
}

std::string header(uint32_t ntax, uint32_t nchar, const std::string &format)
{
    return "#NEXUS\nbegin data;\n dimensions ntax=" + std::to_string(ntax) +
           " nchar=" + std::to_string(nchar) + ";\n format datatype=dna gap=- " + format +
           ";\nmatrix\n";
}

std::string sequential(const std::vector<std::vector<std::string>> &m)
{
    std::string s = header(static_cast<uint32_t>(m.size()), static_cast<uint32_t>(m[0].size()), "");
    for (size_t t = 0; t < m.size(); ++t) {
        s += "taxon_" + std::to_string(t) + "\n   ";
        for (size_t c = 0; c < m[t].size(); ++c)
            s += m[t][c] + (c % 7 == 6 ? "\n   " : "");
        s += "\n";
    }
    return s + ";\nend;\n";
}

std::string interleaved(const std::vector<std::vector<std::string>> &m, size_t width)
{
    std::string s = header(static_cast<uint32_t>(m.size()), static_cast<uint32_t>(m[0].size()),
                           "interleave");
    for (size_t start = 0; start < m[0].size(); start += width) {
        for (size_t t = 0; t < m.size(); ++t) {
            s += "'taxon " + std::to_string(t) + "'  ";
            for (size_t c = start; c < std::min(start + width, m[t].size()); ++c)
                s += m[t][c] + (c % 5 == 4 ? " " : "");
            s += "\n";
        }
        s += "\n";
    }
    return s + ";\nend;\n";
}

std::string transposed(const std::vector<std::vector<std::string>> &m)
{
    std::string s = header(static_cast<uint32_t>(m.size()), static_cast<uint32_t>(m[0].size()),
                           "transpose labels=none");
    for (size_t c = 0; c < m[0].size(); ++c) {
        for (size_t t = 0; t < m.size(); ++t)
            s += m[t][c];
        s += "\n";
    }
    return s.replace(s.find("matrix"), 6, "taxlabels " + [&] {
        std::string l;
        for (size_t t = 0; t < m.size(); ++t)
            l += "taxon_" + std::to_string(t) + " ";
        return l + ";\nmatrix";
    }()) + ";\nend;\n";
}

// The cell as this test reads the text itself: states in ACGT order, with
// the polymorphism mark of a parenthesised set of two or more states.
std::string naiveCell(const std::string &written)
{
    static const std::pair<char, const char *> kIupac[] = {{'R', "AG"}, {'Y', "CT"}, {'N', "ACGT"}};
    if (written == "-")
        return "-";
    if (written == "?")
        return "?";
    std::string states;
    for (char w : written) {
        char u = static_cast<char>(std::toupper(static_cast<unsigned char>(w)));
        for (auto [code, expansion] : kIupac)
            if (u == code)
                states += expansion;
        if (std::string("ACGT").find(u) != std::string::npos)
            states += u;
    }
    std::string sorted;
    for (char b : std::string("ACGT"))
        if (states.find(b) != std::string::npos)
            sorted += b;
    if (sorted == "ACGT" && written.size() == 1)
        return "ACGT";
    return sorted + (written[0] == '(' && sorted.size() > 1 ? "p" : "");
}

TEST_F(GetDataTest, InterleavedSequentialAndTransposedGiveTheCellsOfANaiveReading)
{
    std::mt19937 rng(20261206);
    for (int round = 0; round < 4; ++round) {
        const uint32_t ntax = 3 + rng() % 6, nchar = 5 + rng() % 40;
        auto m = randomDna(rng, ntax, nchar);
        std::vector<std::string> expected;
        for (auto &row : m)
            for (auto &c : row) {
                std::string e = naiveCell(c);
                // The lower-case letters read as their bases; missing is every state.
                expected.push_back(e);
            }
        for (const std::string &file : {sequential(m), interleaved(m, 1 + rng() % 12), transposed(m)}) {
            ASSERT_EQ(read(file), 0) << gText << "\n" << file;
            ASSERT_EQ(data()->ntax, ntax);
            ASSERT_EQ(data()->nchar, nchar);
            std::vector<std::string> got = cells();
            for (auto &g : got)
                if (g == "?")
                    g = "?";
            for (size_t i = 0; i < got.size(); ++i)
                ASSERT_EQ(got[i], expected[i] == "ACGT" ? "ACGT" : expected[i])
                    << "cell " << i << " written " << m[i / nchar][i % nchar] << "\n" << file;
            // Unquoted underscores read as blanks.
            EXPECT_EQ(taxLabelString(data(), ntax - 1), "taxon " + std::to_string(ntax - 1));
        }
    }
}

// ---- Hand-checked cells --------------------------------------------------------

TEST_F(GetDataTest, SymbolsEquatesMatchCharAndCaseGiveTheCodesWorkedOutByHand)
{
    ASSERT_EQ(read("#NEXUS\nbegin taxa; dimensions ntax=3; taxlabels a b c; end;\n"
                   "begin characters; dimensions nchar=6;\n"
                   " format symbols=\"0~2 x\" missing=? gap=- matchchar=. equate=\"U=(01) V={12} W=x\";\n"
                   " matrix a 0 1 2 x U ?\n"
                   "        b . . V W (0 2) {}\n"
                   "        c x - (0-) ? . {0~2}\n;\nend;\n"),
              0)
        << gText;
    // Symbols 0 1 2 x: states 0..3, missing code 4, combinations from 5 on in
    // order of first appearance: {0,1} (U) = 5, {1,2} (V) = 6, {0,2} = 7,
    // {0,1,2} = 8.
    EXPECT_STREQ(data()->symbols, "012x");
    EXPECT_EQ(data()->nstates, 4u);
    const uint32_t expected[3][6] = {{0, 1, 2, 3, 5, 4}, {0, 1, 6, 3, 7, 4}, {3, 255, 255, 4, 5, 8}};
    for (uint32_t t = 0; t < 3; ++t)
        for (uint32_t c = 0; c < 6; ++c)
            EXPECT_EQ(code(t, c), expected[t][c]) << t << "," << c;
    EXPECT_TRUE(isPolymorphicCell(0, 4));   // U is a polymorphism
    EXPECT_FALSE(isPolymorphicCell(1, 2));  // V an uncertainty
    EXPECT_TRUE(isPolymorphicCell(1, 4));
    EXPECT_TRUE(isPolymorphicCell(2, 4));  // a match copies a's polymorphism, not only its states
    EXPECT_FALSE(isPolymorphicCell(2, 5));
    EXPECT_NE(gOut.find("   U ==> (01)\n   V ==> {12}\n   W ==> x\n"), std::string::npos) << gOut;
    EXPECT_NE(gOut.find("gap\" symbols were found in ambiguity combinations"), std::string::npos);
    EXPECT_NE(gOut.find("\nData matrix has 3 taxa, 6 characters\n"), std::string::npos);
}

TEST_F(GetDataTest, PolymorphismAndUncertaintyShareTheirStateSet)
{
    ASSERT_EQ(read("begin data; dimensions ntax=2 nchar=3; format datatype=dna;\n"
                   "matrix one (AG) {ag} R\n two A u N;\nend;"),
              1);
    EXPECT_EQ(gCodes.back(), 308u);  // u is no DNA state
    ASSERT_EQ(read("begin data; dimensions ntax=2 nchar=4; format datatype=nucleotide missing=n;\n"
                   "matrix one (AG) {ag} R u\n two n N A n;\nend;"),
              0)
        << gText;
    EXPECT_EQ(code(0, 0), code(0, 1));
    EXPECT_EQ(code(0, 1), code(0, 2));
    EXPECT_EQ(stateBitsOfCode(data(), static_cast<uint8_t>(code(0, 0))), 0b0101u);
    EXPECT_EQ(code(0, 3), 3u);  // U reads as T in nucleotide data
    EXPECT_EQ(code(1, 0), 4u);  // n is missing, and so is N: the predefined N equate is dropped
    EXPECT_EQ(code(1, 1), 4u);
    EXPECT_TRUE(isPolymorphicCell(0, 0));
    EXPECT_FALSE(isPolymorphicCell(0, 1));
    EXPECT_FALSE(isPolymorphicCell(0, 2));
}

// ---- Must-reject files ------------------------------------------------------------

struct Rejected {
    const char *name;
    const char *text;
    uint32_t code;
};

constexpr const char *kTaxa3 = "begin taxa; dimensions ntax=3; taxlabels a b c; end;\n";

TEST_F(GetDataTest, MalformedFilesAreRefusedWithTheirCodeAndLeaveNoDataBehind)
{
    const std::string symbols64 = [] {
        std::string s;
        for (char c = '0'; c <= '9'; ++c)
            s += c;
        for (char c = 'a'; c <= 'z'; ++c)
            s += c;
        for (char c = 'A'; c <= 'Z'; ++c)
            s += c;
        return s + "!@";
    }();
    const Rejected cases[] = {
        // Each case follows a block that gave NTax and NChar.
        {"format before dimensions in a later block", "begin data; format datatype=dna; dimensions ntax=2 nchar=1; end;",
         334},
        {"a later block without dimensions", "begin data; format datatype=dna; matrix x A y C; end;", 301},
        {"ntax over the limit", "begin data; dimensions ntax=16385 nchar=2; end;", 302},
        {"ntax beyond 32 bits", "begin data; dimensions ntax=4294967297 nchar=2; end;", 141},
        {"no nchar", "begin data; dimensions ntax=2; format; end;", 303},
        {"second dimensions", "begin data; dimensions ntax=2 nchar=1; dimensions ntax=2; end;", 335},
        {"late dimensions", "begin data; title t; dimensions ntax=2 nchar=1; format; dimensions ntax=3; end;", 335},
        {"short interleaved row",
         "begin data; dimensions ntax=2 nchar=6; format interleave;\nmatrix\na 0101\nb 010\n\na 01\nb 01\n;end;",
         312},
        {"long row", "begin data; dimensions ntax=2 nchar=2;\nmatrix\na 01\nb 011\n;end;", 314},
        {"interleaved row past nchar",
         "begin data; dimensions ntax=2 nchar=2; format interleave;\nmatrix\na 01 1\nb 01\n;end;", 313},
        {"missing semicolon", "begin data; dimensions ntax=2 nchar=2;\nmatrix\na 01\nb 01\nend;", 314},
        {"unknown symbol", "begin data; dimensions ntax=2 nchar=2;\nmatrix\na 01\nb 0A\n;end;", 308},
        {"match in first row", "begin data; dimensions ntax=2 nchar=2; format matchchar=.;\nmatrix\na 0.\nb 01\n;end;", 311},
        {"64 symbols with no gap",
         nullptr, 319},
        {"gap and missing alike", "begin data; dimensions ntax=2 nchar=2; format gap=? ;end;", 318},
        {"gap among the symbols", "begin data; dimensions ntax=2 nchar=2; format symbols=\"01-\" gap=-;end;", 316},
        {"bad equate expansion", "begin data; dimensions ntax=2 nchar=2; format equate=\"X=(0 5)\";end;", 322},
        {"repeated symbol", "begin data; dimensions ntax=2 nchar=2; format symbols=\"0 1 A a\";end;", 328},
        {"ntax in characters without newtaxa", "begin taxa; dimensions ntax=2; taxlabels a b; end;"
                                                "begin characters; dimensions ntax=2 nchar=2; end;", 336},
        {"characters without taxa", "begin characters; dimensions nchar=2; end;", 331},
        {"no matrix", "begin data; dimensions ntax=2 nchar=2; end;", 347},
        {"taxa without labels", "begin taxa; dimensions ntax=2; end;", 338},
        {"unknown taxon in a later block",
         "begin taxa; dimensions ntax=2; taxlabels a b; end;\n"
         "begin characters; dimensions nchar=2;\nmatrix\na 01\nz 01\n;end;", 306},
        {"repeated taxon", "begin taxa; dimensions ntax=2; taxlabels a b; end;\n"
                           "begin characters; dimensions nchar=2;\nmatrix\na 01\na 01\n;end;", 307},
        {"unknown command", "begin data; dimensions ntax=2 nchar=2; fromat; end;", 112},
        {"label too long",
         "begin taxa; dimensions ntax=1; taxlabels "
         "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
         "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa; end;",
         0},
        {"combination limit", nullptr, 0},
        {"end of input in a matrix", "begin data; dimensions ntax=2 nchar=2;\nmatrix\na 01\nb 0", 114},
        {"end of input in a block", "begin data; dimensions ntax=2 nchar=2;\nmatrix\na 01\nb 01;", 0},
    };
    for (const Rejected &r : cases) {
        std::string text = r.text ? r.text : "";
        if (std::string(r.name) == "64 symbols with no gap")
            text = "begin data; dimensions ntax=1 nchar=1; format respectcase symbols=\"" + symbols64 + "\"; end;";
        if (std::string(r.name) == "combination limit") {
            // 10 states give 1013 combinations; the tables hold 254 codes.
            text = "begin data; dimensions ntax=1 nchar=600; format symbols=\"0~9\";\nmatrix a ";
            std::mt19937 rng(7);
            for (int c = 0; c < 600; ++c) {
                text += "(";
                for (int s = 0; s < 10; ++s)
                    if (rng() & 1)
                        text += static_cast<char>('0' + s);
                text += "0)";
            }
            text += ";end;";
        }
        // A data set read before must not survive a failed DATA block.
        if (std::string(r.name) == "characters without taxa")
            purgeData(data(), 0, 0, 0);
        else
            ASSERT_EQ(read("begin data; dimensions ntax=2 nchar=1; matrix x 0 y 1; end;"), 0) << gText;
        gCodes.clear();
        EXPECT_EQ(read(text), 1) << r.name;
        ASSERT_FALSE(gCodes.empty()) << r.name;
        if (std::string(r.name) != "end of input in a block") {
            EXPECT_EQ(gCodes.front(), r.code) << r.name << ": " << gText;
        }
        if (std::string(r.name) == "combination limit") {
            EXPECT_NE(gText.find("cannot exceed 254"), std::string::npos) << gText;
        }
        DataInfo *d = data();
        EXPECT_EQ(d->flags & kHaveCharacters, 0u) << r.name;
        EXPECT_EQ(d->nchar, 0u) << r.name;
        EXPECT_EQ(d->matrix, nullptr) << r.name;
    }
}

TEST_F(GetDataTest, FormatFirstInTheFirstBlockLacksTheCounts)
{
    EXPECT_EQ(read("begin data; format datatype=dna; dimensions ntax=2 nchar=1; matrix x A y C; end;"), 1);
    EXPECT_EQ(gCodes.back(), 301u);
}

TEST_F(GetDataTest, ATaxaBlockWithoutDimensionsAfterAnotherIsRefused)
{
    ASSERT_EQ(read("begin taxa; dimensions ntax=2; taxlabels a b; end;"), 0);
    EXPECT_EQ(read("begin taxa; taxlabels a b; end;"), 1);
    EXPECT_EQ(gCodes.back(), 301u);
}

// ---- Taxa and further blocks ------------------------------------------------------

TEST_F(GetDataTest, DuplicateNamesAreFoundAmongManyTaxaWithoutAQuadraticScan)
{
    std::string text = "begin taxa; dimensions ntax=16384; taxlabels";
    for (int t = 0; t < 16384; ++t)
        text += " t" + std::to_string(t);
    text += " ; end;";
    text.replace(text.find(" t16383 "), 8, " T5 ");
    ASSERT_EQ(read(text), 0) << gText;
    EXPECT_NE(gOut.find("Warning! The following name has been assigned to more than one taxon:\n"
                        "      t5\n      T5\n"),
              std::string::npos)
        << gOut.substr(0, 300);
}

TEST_F(GetDataTest, AShortTaxLabelsListNumbersTheRest)
{
    ASSERT_EQ(read("begin taxa; dimensions ntax=4; taxlabels a b; end;"), 0);
    EXPECT_STREQ(taxLabelString(data(), 3), "4");
    EXPECT_NE(gOut.find("Warning: Number of taxon labels read (= 2) less than 'NTax'.\n"), std::string::npos);
}

TEST_F(GetDataTest, AFurtherCharactersBlockJoinsTheDataSetAndAContinuousOneLeavesIt)
{
    ASSERT_EQ(read(std::string(kTaxa3) +
                   "begin characters; dimensions nchar=2; matrix a 01 b 11 c 10; end;"),
              0);
    DataInfo *before = data();
    EXPECT_EQ(read("begin characters; dimensions nchar=1; matrix a 0 b 1 c 1; end;"), 0) << gText;
    EXPECT_EQ(data(), before);
    EXPECT_EQ(data()->nchar, 3u);
    EXPECT_EQ(code(2, 0), 1u);
    EXPECT_EQ(code(2, 2), 1u);
    // A continuous block leaves the data as they are.
    EXPECT_EQ(read("begin characters; dimensions nchar=1; format datatype=continuous; matrix a 0.5; end;"), 0);
    EXPECT_EQ(data(), before);
    EXPECT_EQ(data()->flags & kHaveCharacters, kHaveCharacters);
}

// New taxa in a further CHARACTERS block start a data set of their own: the
// one read before goes, taxa and characters, and nothing is joined.
TEST_F(GetDataTest, NewTaxaInAFurtherCharactersBlockReplaceTheDataSet)
{
    ASSERT_EQ(read(std::string(kTaxa3) + "begin characters; dimensions nchar=2; matrix a 01 b 11 c 10; end;"), 0)
        << gText;
    EXPECT_EQ(read("begin characters; dimensions newtaxa ntax=2 nchar=3; format datatype=dna;\n"
                   "matrix x ACG y ACT; end;"),
              0)
        << gText;
    ASSERT_EQ(data()->flags & (kHaveTaxa | kHaveCharacters), kHaveTaxa | kHaveCharacters);
    EXPECT_EQ(data()->ntax, 2u);
    EXPECT_EQ(data()->nActive, 2);
    EXPECT_EQ(data()->nchar, 3u);
    EXPECT_EQ(data()->dataType, kDataTypeDNA);
    EXPECT_STREQ(taxLabelString(data(), 0), "x");
    EXPECT_EQ(cells(), (std::vector<std::string>{"A", "C", "G", "A", "C", "T"}));
    // A block after it joins the new data set as usual.
    EXPECT_EQ(read("begin characters; dimensions nchar=1; format datatype=dna; matrix x A y C; end;"), 0) << gText;
    EXPECT_EQ(data()->ntax, 2u);
    EXPECT_EQ(data()->nchar, 4u);
    EXPECT_EQ(cell(1, 3), "C");
}

TEST_F(GetDataTest, AContinuousDataBlockLeavesTheDataSetItWouldReplace)
{
    ASSERT_EQ(read("begin data; dimensions ntax=3 nchar=2; format datatype=dna; "
                   "matrix a AC b GT c CA; end;"),
              0)
        << gText;
    gOut.clear();
    EXPECT_EQ(read("begin data; dimensions ntax=2 nchar=1; [!seen once]\n"
                   "format missing=? DataT = Cont; matrix x 0.5 y 1.5; end;"),
              0);
    EXPECT_NE(gOut.find("this block will be skipped"), std::string::npos);
    ASSERT_EQ(data()->flags & kHaveCharacters, kHaveCharacters);
    EXPECT_EQ(data()->ntax, 3u);
    EXPECT_EQ(data()->nchar, 2u);
    EXPECT_EQ(data()->dataType, kDataTypeDNA);
    EXPECT_STREQ(taxLabelString(data(), 2), "c");
    EXPECT_EQ(code(1, 1), 3u);  // T
    // The input goes on after the skipped block, and a block of another type
    // still replaces the data.
    EXPECT_EQ(read("begin data; dimensions ntax=2 nchar=1; format datatype=continuousish; "
                   "matrix x 0 y 1; end;"),
              1);
    ASSERT_EQ(read("begin data; dimensions ntax=2 nchar=1; format datatype=standard; "
                   "matrix x 0 y 1; end;"),
              0);
    EXPECT_EQ(data()->ntax, 2u);
}

// Typed lines cannot be read again, so a DATA block typed at the prompt (or
// read from standard input) is taken in whole first: a continuous one still
// leaves the data set, and the commands after its End are read as typed.
TEST_F(GetDataTest, ATypedDataBlockIsReadAsFromAFile)
{
    ASSERT_EQ(read("begin data; dimensions ntax=3 nchar=2; format datatype=dna; "
                   "matrix a AC b GT c CA; end;"),
              0)
        << gText;
    const QelIo savedIo = gQelIo;
    gQelIo.stdinNotTerminal = true;
    gQelIo.stdoutNotTerminal = true;
    std::string typed;
    MemoryTerminal terminal{};
    setTerminalInput(memoryTerminalByte, &terminal);
    IoServiceHooks hooks{};
    hooks.nextCommandChar = readCharFromCmdLine;
    setIoServiceHooks(hooks);
    ASSERT_EQ(allocCmdLine(), 0);
    InputStatus prompt{};
    // Types the text and reads its Begin command, the block, and the word
    // after the block; the block's status and that word.
    auto typeBlock = [&](const char *text) {
        typed = text;
        terminal = MemoryTerminal{typed.data(), typed.size(), 0};
        prompt = InputStatus{};
        setActiveInput(&prompt);
        flushCmdLineBuffer();
        char word[64];
        EXPECT_EQ(readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, true), 0);
        EXPECT_EQ(readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, true), 0);
        EXPECT_EQ(readSemicolon(), 0);
        const int rc = readData(kBlockData, data());
        EXPECT_EQ(getActiveInput(), &prompt);
        EXPECT_EQ(readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, true), 0);
        return std::make_pair(rc, std::string(word));
    };

    // "end;" in a comment and in a quoted name ends nothing; EndBlock does.
    gOut.clear();
    EXPECT_EQ(typeBlock("begin data; dimensions ntax=2 nchar=1;\n[ end; [end;] ] format datatype=continuous;\n"
                        "matrix 'x ''end;''' 0.5 y 1.5;\nENDBLOCK ;\nshowmatrix;\n"),
              std::make_pair(0, std::string("showmatrix")));
    EXPECT_NE(gOut.find("this block will be skipped"), std::string::npos);
    EXPECT_EQ(data()->flags & kHaveCharacters, kHaveCharacters);
    EXPECT_EQ(data()->ntax, 3u);
    EXPECT_EQ(data()->dataType, kDataTypeDNA);
    EXPECT_STREQ(taxLabelString(data(), 2), "c");
    // A block of other data replaces the data set as before.
    EXPECT_EQ(typeBlock("begin data; dimensions ntax=2 nchar=1;\nmatrix x 0 y 1;\nend; hsearch;\n"),
              std::make_pair(0, std::string("hsearch")));
    EXPECT_EQ(data()->ntax, 2u);
    EXPECT_STREQ(taxLabelString(data(), 1), "y");

    deallocCmdLine();
    setIoServiceHooks(IoServiceHooks{});
    setTerminalInput(nullptr, nullptr);
    gQelIo = savedIo;
}

TEST_F(GetDataTest, EliminatedCharactersAreNeverStored)
{
    ASSERT_EQ(read("begin data; dimensions ntax=2 nchar=4; eliminate 2-3;\n"
                   "matrix a 0(01)11 b 1{zz}01; end;"),
              0)
        << gText;
    EXPECT_EQ(data()->nEliminated, 2u);
    EXPECT_EQ(code(0, 1), data()->nstates);
    EXPECT_EQ(code(1, 3), 1u);
    EXPECT_TRUE(data()->status[2] & kCharEliminated);
    EXPECT_NE(gOut.find("\n2 characters excluded via \"Eliminate\" command.\n"), std::string::npos);
    // The obsolete zap option warns and eliminates its quoted list.
    ASSERT_EQ(read("begin data; dimensions ntax=1 nchar=3; options zap=\"1 3\"; matrix a 0(01)1; end;"), 0)
        << gText;
    EXPECT_EQ(data()->nEliminated, 2u);
    EXPECT_EQ(code(0, 1), 3u);  // {0,1}: the first combination after missing (2)
    EXPECT_NE(gOut.find("WARNING The \"Zap\" option is obsolete."), std::string::npos);
}

TEST_F(GetDataTest, CharStateLabelsKeepCharacterNamesAndDropStateNames)
{
    ASSERT_EQ(read("begin data; dimensions ntax=1 nchar=3;\n"
                   "charstatelabels 1 wings / absent present, 3 / x y, 2 'leg count';\n"
                   "matrix a 010; end;"),
              0)
        << gText;
    EXPECT_STREQ(getCharLabel(data(), 0), "wings");
    EXPECT_STREQ(getCharLabel(data(), 1), "leg count");
    EXPECT_STREQ(getCharLabel(data(), 2), "-");
}

}  // namespace
