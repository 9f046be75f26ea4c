#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "qel/qel_malloc.h"
#include "qel/qel_textbuffer.h"
#include "alloc_test_support.h"

namespace {

class TextBufferTest : public alloctest::AllocFailureTest {};

std::string contents(const ResizText *t)
{
    return std::string(getResizTextBuffer(t), getResizTextLength(t));
}

TEST_F(TextBufferTest, ZeroCapacityStartsFromAMinimum)
{
    ResizText *t = createResizText(0, 7);
    ASSERT_NE(t, nullptr);
    EXPECT_GT(t->capacity, 0u);
    EXPECT_EQ(t->flag, 7);
    EXPECT_EQ(getResizTextLength(t), 0u);
    EXPECT_STREQ(getResizTextBuffer(t), "");
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(eputc('a' + i % 26, t), 0);
    EXPECT_EQ(getResizTextLength(t), 100u);
    EXPECT_EQ(contents(t).substr(0, 5), "abcde");
    EXPECT_EQ(destroyResizText(t), nullptr);
    EXPECT_EQ(destroyResizText(nullptr), nullptr);
}

TEST_F(TextBufferTest, CapacityDoublesUntilTheTextFits)
{
    ResizText *t = createResizText(16, 0);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(appendResizText(t, "0123456789", 0), 0);
    EXPECT_EQ(t->capacity, 16u);
    ASSERT_EQ(appendResizText(t, "abcdefghijklmnopqrst", 20), 0);
    EXPECT_EQ(t->capacity, 32u);
    ASSERT_EQ(appendResizText(t, std::string(100, 'z').c_str(), 0), 0);
    EXPECT_EQ(t->capacity, 256u);  // 130 bytes: 32 -> 64 -> 128 -> 256
    EXPECT_EQ(contents(t), "0123456789abcdefghijklmnopqrst" + std::string(100, 'z'));
    destroyResizText(t);
}

TEST_F(TextBufferTest, EprintfNeverCutsItsResult)
{
    ResizText *t = createResizText(16, 0);
    std::string long3000(3000, 'q');
    ASSERT_EQ(eprintf(t, "%s", long3000.c_str()), 0);
    EXPECT_EQ(getResizTextLength(t), 3000u);
    EXPECT_EQ(contents(t), long3000);
    ASSERT_EQ(eprintf(t, "[%d|%5.2f|%s]", -42, 3.14159, "x"), 0);
    EXPECT_EQ(contents(t).substr(3000), "[-42| 3.14|x]");
    EXPECT_FALSE(resizTextFailed(t));
    destroyResizText(t);
}

TEST_F(TextBufferTest, UserTextIsWrittenLiterally)
{
    ResizText *t = createResizText(4, 0);
    const char *user = "100% %s %n done";
    ASSERT_EQ(eputs(user, t), 0);
    ASSERT_EQ(eprintf(t, "%s", user), 0);
    EXPECT_EQ(contents(t), std::string(user) + user);
    destroyResizText(t);
}

TEST_F(TextBufferTest, FailedGrowthLeavesTextIntactAndSticks)
{
    ResizText *t = createResizText(16, 0);
    ASSERT_EQ(eputs("kept", t), 0);
    qel_setAllocFailureCountdown(0);
    EXPECT_EQ(eputs(std::string(40, 'x').c_str(), t), 1);
    EXPECT_TRUE(resizTextFailed(t));
    EXPECT_NE(t->failed, 0u);
    EXPECT_EQ(contents(t), "kept");
    EXPECT_STREQ(getResizTextBuffer(t), "kept");
    // The failure is sticky: even an append that needs no memory is refused,
    // so a caller testing at the end cannot miss a hole in the text.
    clearMemoryErrorStatus();
    EXPECT_EQ(eputc('!', t), 1);
    EXPECT_EQ(eprintf(t, "%d", 5), 1);
    EXPECT_EQ(contents(t), "kept");
    destroyResizText(t);
}

TEST_F(TextBufferTest, LongEprintfReportsFailureOfItsScratchBlock)
{
    ResizText *t = createResizText(8192, 0);
    ASSERT_EQ(eputs("head", t), 0);
    qel_setAllocFailureCountdown(0);
    EXPECT_EQ(eprintf(t, "%s", std::string(5000, 'y').c_str()), 1);
    EXPECT_TRUE(resizTextFailed(t));
    EXPECT_EQ(contents(t), "head");
    destroyResizText(t);
}

TEST_F(TextBufferTest, AppendsWithoutGrowthNeedNoMemory)
{
    ResizText *t = createResizText(64, 0);
    qel_setAllocFailureCountdown(0);
    EXPECT_EQ(eputs("fits", t), 0);
    EXPECT_EQ(eprintf(t, " %u", 12u), 0);
    EXPECT_EQ(contents(t), "fits 12");
    EXPECT_FALSE(resizTextFailed(t));
    qel_setAllocFailureCountdown(-1);
    destroyResizText(t);
}

// Random operations applied both to a ResizText and to a std::string model.
TEST_F(TextBufferTest, MatchesStdStringUnderRandomOperations)
{
    std::mt19937 rng(4242);
    for (int run = 0; run < 40; ++run) {
        ResizText *t = createResizText(rng() % 3 == 0 ? 0 : rng() % 40, 0);
        ASSERT_NE(t, nullptr);
        std::string model;
        for (int op = 0; op < 300; ++op) {
            switch (rng() % 8) {
            case 0: {  // raw bytes, NULs included
                std::string bytes(rng() % 50, '\0');
                for (char &c : bytes)
                    c = static_cast<char>(rng() % 256);
                ASSERT_EQ(ewrite(bytes.data(), bytes.size(), t), 0);
                model += bytes;
                break;
            }
            case 1: {
                std::string s(rng() % 30, static_cast<char>('a' + rng() % 26));
                ASSERT_EQ(eputs(s.c_str(), t), 0);
                model += s;
                break;
            }
            case 2: {
                char c = static_cast<char>(rng() % 256);
                ASSERT_EQ(eputc(c, t), 0);
                model += c;
                break;
            }
            case 3: {
                int v = static_cast<int>(rng() % 100000) - 50000;
                ASSERT_EQ(eprintf(t, "<%d:%x>", v, static_cast<unsigned>(v)), 0);
                char buf[64];
                std::snprintf(buf, sizeof buf, "<%d:%x>", v, static_cast<unsigned>(v));
                model += buf;
                break;
            }
            case 4: {  // a piece of the text appended to itself
                if (model.empty())
                    break;
                uint64_t from = rng() % model.size();
                uint64_t n = 1 + rng() % (model.size() - from);
                ASSERT_EQ(appendResizText(t, getResizTextBuffer(t) + from, n), 0);
                model += model.substr(from, n);
                break;
            }
            case 5: {
                uint64_t n = model.empty() ? 0 : rng() % (model.size() + 1);
                ASSERT_EQ(setResizTextLength(t, n), 0);
                model.resize(n);
                EXPECT_EQ(setResizTextLength(t, n + 1), 1);
                break;
            }
            case 6:
                if (rng() % 10 == 0) {
                    clearResizText(t);
                    model.clear();
                }
                break;
            default:
                ASSERT_EQ(ewrite("ignored", 0, t), 0);
                break;
            }
            ASSERT_EQ(contents(t), model) << "run " << run << " op " << op;
            ASSERT_EQ(getResizTextBuffer(t)[model.size()], '\0');
            ASSERT_LE(getResizTextLength(t), t->capacity);
        }
        destroyResizText(t);
    }
}

}  // namespace
