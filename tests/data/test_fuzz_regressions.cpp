// Inputs the NEXUS fuzz target found to break the reader, each read the way
// the command loop reads a file, with the expected refusal or cells.
#include <gtest/gtest.h>

#include <bit>
#include <cstdarg>
#include <string>
#include <vector>

#include "data/getdata.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "qel/qel_strings.h"
#include "data/parminit_data.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "reader_test_support.h"

namespace {

std::vector<uint32_t> gCodes;

int captureError(uint32_t code, const char *, ...) { return gCodes.push_back(code), 1; }
int quiet(const char *, ...) { return 0; }

class FuzzRegression : public DataReaderTest {
protected:
    FuzzRegression() : DataReaderTest(quiet, captureError, captureError) {}
    void SetUp() override
    {
        gCodes.clear();
        DataReaderTest::SetUp();
    }

    // The status of the first block that fails, 0 when all are read.
    int read(std::string input)
    {
        feed(std::move(input), false);
        char word[64];
        while (readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, true) >= 0) {
            if (stricmp(word, "begin") != 0)
                continue;
            readToken(word, sizeof word);
            readSemicolon();
            if (int rc = readData(stricmp(word, "taxa") == 0 ? kBlockTaxa : kBlockData, activeDataInfo()))
                return rc;
        }
        return 0;
    }
    static uint64_t states(uint32_t t, uint32_t c)
    {
        return stateBitsOfCode(activeDataInfo(), getXijRaw(activeDataInfo(), static_cast<int32_t>(t), c));
    }
};

std::string dnaMatrix(const std::string &rows)
{
    return "#NEXUS\nbegin data; dimensions ntax=2 nchar=2; format datatype=dna; matrix\n" + rows +
           "\n;\nend;\n";
}

// Each level of brackets in a cell took a stack frame: a few hundred
// thousand of them overflowed the stack.
TEST_F(FuzzRegression, DeeplyNestedStateSetsReadWithoutExhaustingTheStack)
{
    constexpr size_t kDepth = 300000;
    const std::string deep = std::string(kDepth, '(') + "A{G" + std::string(kDepth, '}');
    EXPECT_EQ(read(dnaMatrix("a C" + std::string(kDepth, '(') + "AG" + std::string(kDepth, ')') +
                             "\nb TT")),
              0);
    ASSERT_TRUE(gCodes.empty());
    EXPECT_EQ(states(0, 0), 0b0010u);  // C
    EXPECT_EQ(states(0, 1), 0b0101u);  // A and G
    EXPECT_EQ(states(1, 1), 0b1000u);

    // A wrongly closed level far down is still the refusal of a bad symbol.
    EXPECT_EQ(read(dnaMatrix("a C" + deep + "\nb TT")), 1);
    EXPECT_EQ(gCodes, std::vector<uint32_t>{308});
}

}  // namespace
