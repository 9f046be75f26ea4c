// An interrupt during HSearch: the search asks before it stops, a "no" lets
// it go on undisturbed, a "yes" stops it with status 2 and the best trees
// found so far stay in the buffer, scored exactly.
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <chrono>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

#include "parsimony/treelen.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "data/vorn_data.h"
#include "search/hitlist.h"
#include "search/hsearch.h"
#include "search/search_settings.h"
#include "search/stepwise.h"
#include "search_fixture.h"
#include "trees/treeedit.h"

namespace {

constexpr const char *kStopQuestion = "Do you really want to stop the search? (Y/n) ";
constexpr const char *kCheckQuestion = "Rearrangements have already been recorded (n=";

// The interrupt arrives while the search prints a chosen text: the signal
// handler of the interrupts unit runs there, as the terminal would run it.
std::string gTrigger;
bool gTriggered = false;
// Called with every text printed, after the trigger above.
std::function<void(const char *)> gOnPrint;

int printAndInterrupt(const char *fmt, ...)
{
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    gPrinted += text;
    if (!gTriggered && !gTrigger.empty() && std::strstr(text, gTrigger.c_str())) {
        gTriggered = true;
        setAbortFlag(SIGINT);
    }
    if (gOnPrint)
        gOnPrint(text);
    return 0;
}

// Characters that follow the clades of a random tree, each cell flipped
// with probability noise/100: signal with homoplasy, so that random-addition
// replicates end on different trees.
std::vector<std::string> treeSignalMatrix(std::mt19937 &gen, uint32_t ntax, uint32_t nchar, uint32_t noise)
{
    const std::vector<std::vector<uint32_t>> clades = randomClades(gen, ntax);
    std::vector<std::string> rows(ntax, std::string(nchar, '0'));
    for (uint32_t c = 0; c < nchar; c++) {
        for (uint32_t t : clades[gen() % clades.size()])
            rows[t][c] = '1';
        for (uint32_t t = 0; t < ntax; t++)
            if (gen() % 100 < noise)
                rows[t][c] ^= 1;
    }
    return rows;
}

class HSearchInterruptTest : public SearchTest {
protected:
    void SetUp() override
    {
        SearchTest::SetUp();
        qel_printf = printAndInterrupt;
        savedHs = hs;
        savedSrch = srch;
        savedIo = gQelIo;
        hs = HSearchOptions{};
        hs.swap = 3;
        hs.addSeq = kAddSeqRandom;
        hs.rseed[0] = 17;
        srch.dStatus = 0;
        gQelIo.stdinNotTerminal = gQelIo.stdoutNotTerminal = true;
        gQelIo.defaultMode = gQelIo.detachedMode = false;
        gQelIo.parentPid = 0;
        setTerminalInput(memoryTerminalByte, &terminal);
        setRunningAsMaster(true);
        setAbortedStatus(0);
        gTrigger.clear();
        gTriggered = false;
        std::mt19937 gen(808);
        makeData(treeSignalMatrix(gen, 22, 40, 12));
        buf = activeBuffer(22, 100);
        // Where in a replicate's swapping the stop lands is what these
        // cases look at: the replicates run one after another.
        setHSearchThreads(1);
    }
    void TearDown() override
    {
        setTerminalInput(nullptr, nullptr);
        gQelIo = savedIo;
        hs = savedHs;
        srch = savedSrch;
        setAbortedStatus(0);
        setLongOperationStatus(0);
        setHSearchThreads(0);
        SearchTest::TearDown();
    }

    void type(std::string text)
    {
        script = std::move(text);
        terminal = MemoryTerminal{script.data(), script.size(), 0};
    }
    size_t count(const std::string &needle) const
    {
        size_t n = 0;
        for (size_t at = gPrinted.find(needle); at != std::string::npos; at = gPrinted.find(needle, at + 1))
            n++;
        return n;
    }
    std::vector<std::string> bufferTexts() const
    {
        std::vector<std::string> out;
        for (uint32_t k = 0; k < numTreesInBuffer(buf); k++)
            out.emplace_back(reinterpret_cast<const char *>(treeLocation(buf, k)), buf->bytesPerTree);
        return out;
    }
    // The search from scratch, uninterrupted, with nreps replicates.
    std::vector<std::string> referenceRun(int32_t nreps)
    {
        hs.nreps = nreps;
        EXPECT_EQ(runHeuristicSearch(data), 0);
        auto texts = bufferTexts();
        gPrinted.clear();
        return texts;
    }
    // Every tree kept rescores to the score stored with it and the summary
    // quotes; returns that score.
    double checkKeptTrees()
    {
        const uint32_t kept = numTreesInBuffer(buf);
        EXPECT_GT(kept, 0u);
        TreePtr t(createTreeForTaxa(22, 22, true));
        const double best = getTreeScoreArray(buf)[0];
        for (uint32_t k = 1; k <= kept; k++) {
            EXPECT_EQ(getTree(buf, k, t.get()), 0);
            setTraversalSeq(t.get());
            pointTreeAtPackedData(t.get(), data);
            EXPECT_DOUBLE_EQ(calcParsimonyScore(data, t.get(), false), best) << "tree " << k;
            EXPECT_DOUBLE_EQ(getTreeScoreArray(buf)[k - 1], best);
        }
        char line[80];
        std::snprintf(line, sizeof line, "Score of best tree(s) found = \b%.0f\n", best);
        EXPECT_NE(gPrinted.find(line), std::string::npos) << gPrinted;
        return best;
    }

    TreeBuffer *buf = nullptr;
    MemoryTerminal terminal{};
    std::string script;
    HSearchOptions savedHs;
    SearchSettings savedSrch;
    QelIo savedIo{};
};

// Interrupted as replicate 3 begins and confirmed: status 2, one question,
// and exactly the trees of the first two replicates, which a two-replicate
// search with the same seed also keeps.
TEST_F(HSearchInterruptTest, YesStopsAndKeepsTheTreesOfEarlierReplicates)
{
    const auto twoReps = referenceRun(2);
    ASSERT_FALSE(twoReps.empty());
    hs.nreps = 8;
    hs.rstatus = 1;
    gTrigger = "Random-addition-sequence replicate 3:";
    type("y\n");
    EXPECT_EQ(runHeuristicSearch(data), 2);
    EXPECT_TRUE(gTriggered);
    EXPECT_EQ(count(kStopQuestion), 1u);
    EXPECT_EQ(terminal.index, script.size());
    EXPECT_NE(gPrinted.find("\nHeuristic search aborted during replicate #3\n"), std::string::npos) << gPrinted;
    EXPECT_EQ(count("Random-addition-sequence replicate 4:"), 0u);
    EXPECT_EQ(bufferTexts(), twoReps);
    checkKeptTrees();
    EXPECT_EQ(getAbortedStatus(), 0);
}

// A "no" clears the request: the search runs to the end and keeps what an
// uninterrupted search keeps.
TEST_F(HSearchInterruptTest, NoLetsTheSearchFinishUnchanged)
{
    const auto full = referenceRun(5);
    hs.nreps = 5;
    gTrigger = "Starting seed";
    type("n\n");
    EXPECT_EQ(runHeuristicSearch(data), 0);
    EXPECT_EQ(count(kStopQuestion), 1u);
    EXPECT_NE(gPrinted.find("Heuristic search completed"), std::string::npos);
    EXPECT_EQ(bufferTexts(), full);
    EXPECT_EQ(getAbortedStatus(), 0);
}

// Interrupted while swapping, when the tree buffer (Maxtrees 3, fixed) has
// just overflowed in the middle of a flush: the stop is asked once, the
// flush finishes without a second question since no room is left, and the
// three trees stored stay, scored exactly, with random addition as well
// (the stopped replicate's trees are the best found so far).
TEST_F(HSearchInterruptTest, InterruptWhileSwappingKeepsTheStoredTrees)
{
    std::mt19937 gen(3);
    dropData();
    // Few characters on many taxa: a wide plateau of equally short trees.
    makeData(treeSignalMatrix(gen, 22, 8, 0));
    buf = activeBuffer(22, 100);
    const uint32_t savedMax = getMaxtreesValue();
    const bool savedFixed = isMaxtreesFixed();
    setMaxtreesValue(3);
    setMaxtreesFixed(true);
    setMainTreeBuffer(buf);  // Maxtrees binds the main buffer only
    // The plateau's trees differ only in unsupported resolutions, which
    // collapsing would merge into one.
    gPars.collapse = 0;
    for (uint32_t addSeq : {kAddSeqSimple, kAddSeqRandom}) {
        SCOPED_TRACE(addSeq);
        hs.addSeq = addSeq;
        gTrigger = "'Maxtrees' limit (3) hit while swapping on tree #";
        gTriggered = false;
        gPrinted.clear();
        type("y\n");
        EXPECT_EQ(runHeuristicSearch(data), 2);
        ASSERT_TRUE(gTriggered) << gPrinted;
        EXPECT_EQ(count(kStopQuestion), 1u);
        EXPECT_EQ(count(kCheckQuestion), 0u);
        EXPECT_NE(gPrinted.find("\nHeuristic search aborted"), std::string::npos) << gPrinted;
        EXPECT_NE(gPrinted.find(" (while swapping on tree #"), std::string::npos) << gPrinted;
        EXPECT_EQ(numTreesInBuffer(buf), 3u);
        checkKeptTrees();
    }
    setMaxtreesValue(savedMax);
    setMaxtreesFixed(savedFixed);
    setMainTreeBuffer(nullptr);
}

// The flush after a confirmed stop: with hits left and room for them the
// user chooses whether they are checked. "No" stops the flush at once;
// "yes" stores them (here the unrearranged tree, once) and still reports
// the stop.
TEST_F(HSearchInterruptTest, RecordedRearrangementsAreCheckedOnRequest)
{
    SaveRules rules{};
    rules.mulTrees = true;
    rules.heuristicRunning = true;
    for (const char *answer : {"n\n", "y\n"}) {
        SCOPED_TRACE(answer);
        emptyTreeBuffer(buf, true);
        HSearchData *hsd = createHSearchData(data, 22, rules, false);
        ASSERT_NE(hsd, nullptr);
        TreePtr t(createTreeForTaxa(22, 22, true));
        make3Tree(t.get(), 22, 0, 1, 2);
        for (uint32_t x = 3; x < 22; x++) {
            setTraversalSeq(t.get());
            binConnectLeaf(nodeOfIndex(t.get(), static_cast<int32_t>(x)), t->root->firstChild,
                           findFreeNode(t.get()));
        }
        setTraversalSeq(t.get());
        for (int i = 0; i < 4; i++)
            makeRearrObject(&hsd->hitList.hits[i], nullptr, nullptr, nullptr, 50.0);
        hsd->hitList.count = 4;
        setLongOperationStatus(1);
        setAbortFlag(SIGINT);
        gPrinted.clear();
        type(std::string("y\n") + answer);
        EXPECT_EQ(flushHits(hsd, t.get(), 0), 2);
        EXPECT_EQ(count(kStopQuestion), 1u);
        // The tree being swapped is among the four hits.
        EXPECT_EQ(count(std::string(kCheckQuestion) + "3) that may represent additional distinct, optimal trees.  "
                        "Do you want to check these rearrangements now? (Y/n) "),
                  1u);
        const bool checked = answer[0] == 'y';
        EXPECT_EQ(numTreesInBuffer(buf), checked ? 1u : 0u);
        EXPECT_EQ(count("Search aborted. There may be a delay while cleanup is performed."), checked ? 1u : 0u);
        EXPECT_EQ(numHits(hsd), 0u);
        EXPECT_EQ(getAbortedStatus(), 0);
        destroyHSearchData(hsd);
    }
}

}  // namespace
namespace {

// The lines of `text` from the one that contains `from` up to the next empty line.
std::vector<std::string> linesAfter(const std::string &text, const std::string &from)
{
    std::vector<std::string> lines;
    size_t at = text.find(from);
    if (at == std::string::npos)
        return lines;
    at = text.find('\n', at) + 1;
    for (size_t end; at < text.size() && (end = text.find('\n', at)) != std::string::npos && end > at;
         at = end + 1)
        lines.push_back(text.substr(at, end - at));
    return lines;
}

// Stopped while swapping, in a replicate that had only found trees worse
// than the best: the status rows show each state once (the periodic row due
// right after the question is not repeated as the replicate's closing row),
// and the island profile lists only islands whose trees are in memory; the
// stopped replicate's discarded trees are no island.
TEST_F(HSearchInterruptTest, StopWhileSwappingShowsEachStatusRowOnceAndNoTreelessIsland)
{
    hs.nreps = 8;
    hs.rstatus = 1;
    srch.statusWin = 1;
    srch.dStatus = 0;
    int phase = 0;
    // Status rows from replicate 3 on; the first one raises the interrupt.
    // The waits make a periodic row due at the next chance.
    gOnPrint = [&](const char *text) {
        if (phase == 0 && std::strstr(text, "Random-addition-sequence replicate 3:")) {
            phase = 1;
            srch.dStatus = 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        } else if (phase == 1 && std::strstr(text, "Elapsed")) {
            phase = 2;
            setAbortFlag(SIGINT);
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        }
    };
    type("y\n");
    EXPECT_EQ(runHeuristicSearch(data), 2);
    gOnPrint = nullptr;
    ASSERT_EQ(phase, 2) << gPrinted;
    EXPECT_EQ(count(kStopQuestion), 1u);
    // The case at hand: the stop came while swapping, on worse trees only.
    ASSERT_NE(gPrinted.find(" suboptimal tree"), std::string::npos) << gPrinted;

    std::vector<std::string> rows;
    for (const std::string &line : linesAfter(gPrinted, "       time    rep  added"))
        if (line.find("----") == std::string::npos)
            rows.push_back(line);
    // A stop met while hits are stored says so before the replicate's last row.
    const std::string afterQuestion = gPrinted.substr(gPrinted.find(kStopQuestion));
    std::istringstream tail(afterQuestion.substr(0, afterQuestion.find("Heuristic search")));
    for (std::string line; std::getline(tail, line);)
        if (line.rfind("    ", 0) == 0 && line.find(':') != std::string::npos)
            rows.push_back(line);
    ASSERT_GE(rows.size(), 2u) << gPrinted;
    for (size_t k = 1; k < rows.size(); k++)
        EXPECT_NE(rows[k], rows[k - 1]) << gPrinted;

    const auto islands = linesAfter(gPrinted, "Island      Size");
    ASSERT_GE(islands.size(), 2u) << gPrinted;
    uint32_t inIslands = 0;
    for (size_t k = 1; k < islands.size(); k++) {
        unsigned number = 0, size = 0, first = 0, last = 0;
        EXPECT_EQ(std::sscanf(islands[k].c_str(), "%u %u %u %u", &number, &size, &first, &last), 4)
            << "an island without trees: " << islands[k];
        EXPECT_EQ(last - first + 1, size) << islands[k];
        inIslands += size;
    }
    EXPECT_EQ(inIslands, numTreesInBuffer(buf));
    checkKeptTrees();
}

// A stop asked as a replicate begins ends the search there, on one thread
// or several, with the same trees and lines.
TEST_F(HSearchInterruptTest, StopAsAReplicateBeginsIsTheSameOnAnyThreadCount)
{
    hs.nreps = 8;
    hs.rstatus = 1;
    std::vector<std::string> printed, trees;
    for (uint32_t threads : {1u, 4u}) {
        emptyTreeBuffer(buf, true);
        gPrinted.clear();
        gTrigger = "Random-addition-sequence replicate 4:";
        gTriggered = false;
        setHSearchThreads(threads);
        type("y\n");
        EXPECT_EQ(runHeuristicSearch(data), 2);
        EXPECT_EQ(count(kStopQuestion), 1u);
        EXPECT_NE(gPrinted.find("aborted during replicate #4"), std::string::npos) << gPrinted;
        ASSERT_NE(gPrinted.find("   Time used"), std::string::npos) << gPrinted;
        printed.push_back(withoutVolatileLines(gPrinted));
        std::string all;
        for (const std::string &t : bufferTexts())
            all += t;
        trees.push_back(all);
        checkKeptTrees();
    }
    EXPECT_FALSE(trees[0].empty());
    EXPECT_EQ(trees[1], trees[0]);
    EXPECT_EQ(printed[1], printed[0]);
}

}  // namespace

namespace {

// The first status row of a replicate begun by stepwise addition shows the
// taxa it added, all of them; later rows show "-".
TEST_F(HSearchInterruptTest, FirstStatusRowAfterStepwiseAdditionShowsTheTaxa)
{
    hs.nreps = 1;
    hs.rstatus = 1;
    srch.statusWin = 1;
    srch.dStatus = 0;
    std::vector<std::string> rows;
    // A row is due at each chance once the replicate begins: each wait
    // outlasts the status interval.
    gOnPrint = [&](const char *text) {
        if (std::strstr(text, "Random-addition-sequence replicate 1:")) {
            srch.dStatus = 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        } else if (srch.dStatus && std::strchr(text, ':') && text[0] == ' ' && rows.size() < 2) {
            rows.emplace_back(text);
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        }
    };
    EXPECT_EQ(runHeuristicSearch(data), 0);
    gOnPrint = nullptr;
    ASSERT_EQ(rows.size(), 2u) << gPrinted;
    char elapsed[32], rep[32], taxa[32];
    ASSERT_EQ(std::sscanf(rows[0].c_str(), "%31s %31s %31s", elapsed, rep, taxa), 3) << rows[0];
    EXPECT_STREQ(taxa, "22") << rows[0];
    ASSERT_EQ(std::sscanf(rows[1].c_str(), "%31s %31s %31s", elapsed, rep, taxa), 3) << rows[1];
    EXPECT_STREQ(taxa, "-") << rows[1];
}

}  // namespace
