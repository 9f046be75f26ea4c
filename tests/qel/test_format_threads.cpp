#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "qel/qel_oututil.h"
#include "qel/qel_random.h"
#include "qel/qel_strings.h"
#include "qel/qel_time.h"
#include "support/thread_support.h"

// Each formatted text belongs to the call that made it: a second call in the
// same print, or another thread formatting at the same moment, must not
// change it.
namespace {

std::string clockText(unsigned long long secs)
{
    char text[32];
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", secs / 3600, secs / 60 % 60, secs % 60);
    return text;
}

TEST(SecondaryThreadFormatting, SeveralTextsInOnePrint)
{
    char line[160];
    std::snprintf(line, sizeof line, "%s|%s|%s|%s|%s|%s|%s|%s", timeDiffToSecsStr(3725, 0).c_str(),
                  timeDiffToSecsStr(0, 61).c_str(), doubleToString(2, 2.5).c_str(),
                  doubleToString(0, -12.125).c_str(), seedString(makeSeed(5, 0, 0, 0)).c_str(),
                  seedString(makeSeed(1, 2, 3, 4)).c_str(), uintOrBlanks(17, true).c_str(),
                  intOrBlanks(-3, true).c_str());
    EXPECT_STREQ(line, "1:02:05|-0:01:01|2.50|-12.125|5|1:2:3:4|17|-3");
}

// Every thread formats its own values over and over and checks each text
// against one made here; shared result storage would both mix texts and be
// a data race.
TEST(SecondaryThreadFormatting, TimeNumberAndSeedTextsAcrossThreads)
{
    const unsigned wrong = testthreads::countFailuresAcrossThreads(4, 400, [](unsigned t, unsigned i) {
        const unsigned long long secs = 3600ull * (t + 1) + 61ull * i;
        const double value = 1.0 + t + i / 8.0;  // exact in binary, so "%.3f" is exact
        char number[32], seed[48];
        std::snprintf(number, sizeof number, "%.3f", value);
        std::snprintf(seed, sizeof seed, "%u:%u:7:9", t + 1, i + 1);
        return timeDiffToSecsStr(static_cast<time_t>(secs), 0) == clockText(secs) &&
               doubleToString(3, value) == number && seedString(makeSeed(t + 1, i + 1, 7, 9)) == seed &&
               uintOrBlanks(i * 1000 + t, true) == std::to_string(i * 1000 + t);
    });
    EXPECT_EQ(wrong, 0u);
}

}  // namespace
