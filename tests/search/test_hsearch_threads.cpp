// Random-addition replicates run on several threads: the trees kept, their
// order and scores, the island profile and every printed line are those of
// the search on one thread, whatever the thread count.
#include <sched.h>
#include <functional>
#include <random>
#include <vector>

#include "qel/qel_multithread.h"
#include "search/hsearch.h"
#include "search/search_settings.h"
#include "search/stepwise.h"
#include "search/tbr.h"
#include "failing_new.h"
#include "search_fixture.h"
#include "thread_exit_count.h"
#include "data/vorn_data.h"
#include "trees/tree_settings.h"

namespace {

// Characters following the clades of a random tree, each cell flipped with
// probability noise/100: with little noise the replicates meet the same
// islands again (runs ahead must give way to the trees kept before them),
// with much noise they end apart.
std::vector<std::string> treeSignalMatrix(std::mt19937 &gen, uint32_t ntax, uint32_t nchar, uint32_t noise,
                                          uint32_t states)
{
    const std::vector<std::vector<uint32_t>> clades = randomClades(gen, ntax);
    std::vector<std::string> rows(ntax, std::string(nchar, '0'));
    for (uint32_t c = 0; c < nchar; c++) {
        const char state = static_cast<char>('1' + gen() % (states - 1));
        for (uint32_t t : clades[gen() % clades.size()])
            rows[t][c] = state;
        for (uint32_t t = 0; t < ntax; t++)
            if (gen() % 100 < noise)
                rows[t][c] = static_cast<char>('0' + gen() % states);
    }
    return rows;
}

uint32_t occurrences(const std::string &text, const std::string &word)
{
    uint32_t n = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + word.size()))
        n++;
    return n;
}

// The processors this process may run on.
int processorCount()
{
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    return sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
}

struct Outcome {
    int status = 0;
    std::vector<std::string> trees;  // encodings, in buffer order
    std::vector<double> scores;
    std::string printed;             // without the time line
    bool operator==(const Outcome &) const = default;
};

class HSearchThreadsTest : public SearchTest {
protected:
    void SetUp() override
    {
        SearchTest::SetUp();
        savedHs = hs;
        savedSrch = srch;
        savedTreeInfo = treeInfo;
    }
    void TearDown() override
    {
        setHSearchThreads(0);
        setAheadProcessors(0);
        setTogetherPassOptions(150, 128, true);
        hs = savedHs;
        srch = savedSrch;
        treeInfo = savedTreeInfo;
        setMainTreeBuffer(nullptr);
        SearchTest::TearDown();
    }

    // A random-addition TBR search on `threads` threads; `options` adjusts
    // the settings.
    Outcome search(uint32_t threads, const std::function<void()> &options)
    {
        hs = HSearchOptions{};
        srch = savedSrch;
        srch.dStatus = 0;
        hs.swap = 3;
        hs.addSeq = kAddSeqRandom;
        hs.nreps = 8;
        hs.rseed[0] = 4711;
        hs.rstatus = 1;
        treeInfo.maxtrees = 500;
        treeInfo.increase = static_cast<uint32_t>(MaxtreesAction::kLeave);
        options();
        emptyTreeBuffer(buf, true);
        gPrinted.clear();
        setHSearchThreads(threads);
        Outcome o;
        if (aroundRun)
            aroundRun(true);
        o.status = runHeuristicSearch(data);
        if (aroundRun)
            aroundRun(false);
        for (uint32_t k = 0; k < numTreesInBuffer(buf); k++) {
            o.trees.emplace_back(reinterpret_cast<const char *>(treeLocation(buf, k)), buf->bytesPerTree);
            o.scores.push_back(getTreeScoreArray(buf)[k]);
        }
        o.printed = withoutVolatileLines(gPrinted);
        return o;
    }

    // A search on several threads against the one on a single thread.
    static void expectSame(const Outcome &many, const Outcome &one, const std::string &what)
    {
        EXPECT_EQ(many.status, one.status) << what;
        EXPECT_EQ(many.trees, one.trees) << what;
        EXPECT_EQ(many.scores, one.scores) << what;
        EXPECT_EQ(many.printed, one.printed) << what;
    }

    struct Setting {
        const char *name;
        std::function<void()> set;
    };
    // Each setting searched on 1 thread and on 2, 3 and 8, compared; `more`
    // then looks at each search on several threads.
    void eachThreadCount(const std::vector<Setting> &settings, const std::string &dataName,
                         const std::function<void(const Outcome &, const std::string &)> &more = {})
    {
        for (const Setting &s : settings) {
            const Outcome one = search(1, s.set);
            ASSERT_NE(one.printed.find("Heuristic search"), std::string::npos) << one.printed;
            for (uint32_t threads : {2u, 3u, 8u}) {
                const Outcome many = search(threads, s.set);
                const std::string what = std::string(s.name) + ", " + dataName + ", " + std::to_string(threads) +
                                         " threads";
                expectSame(many, one, what);
                if (more)
                    more(many, what);
            }
        }
    }

    void useMatrix(const std::vector<std::string> &rows, const char *symbols)
    {
        dropData();
        makeData(rows, symbols);
        buf = activeBuffer(static_cast<uint32_t>(rows.size()), 600);
        setMainTreeBuffer(buf);  // the Maxtrees limit holds for the main buffer
    }

    // Searches on 2, 3 and then 8 threads, each compared with `one`, until
    // what `count` finds in the runs ahead of one search after the first
    // three adds up to more than 0 (or `maxSearches` were made): whether
    // runs ahead overlap so is up to the threads. Returns that sum.
    uint32_t searchUntil(uint32_t maxSearches, const std::function<void()> &options, const Outcome &one,
                         const std::function<uint32_t(const AheadCounts &, uint32_t threads)> &count)
    {
        uint32_t found = 0;
        for (uint32_t searches = 1; searches <= maxSearches; searches++) {
            if (searches > 3 && found > 0)
                break;
            const uint32_t threads = searches == 1 ? 2u : searches == 2 ? 3u : 8u;
            const Outcome many = search(threads, options);
            EXPECT_EQ(many.trees, one.trees) << threads << " threads";
            EXPECT_EQ(many.scores, one.scores) << threads << " threads";
            EXPECT_EQ(many.printed, one.printed) << threads << " threads";
            const AheadCounts counts = lastHSearchAheadCounts();
            EXPECT_EQ(counts.threads, threads);
            found += count(counts, threads);
        }
        return found;
    }

    // Called with true just before each search runs and with false just
    // after it.
    std::function<void(bool)> aroundRun;
    TreeBuffer *buf = nullptr;
    HSearchOptions savedHs;
    SearchSettings savedSrch;
    TreeInfo savedTreeInfo{};
};

TEST_F(HSearchThreadsTest, EveryThreadCountGivesTheSingleThreadSearch)
{
    const std::vector<Setting> settings = {
        {"multrees", [] {}},
        {"one tree per replicate, SPR, hold 2", [] { srch.mulTrees = 0, hs.swap = 2, hs.hold = 2; }},
        {"one tree per replicate", [] { srch.mulTrees = 0; }},
        {"maxtrees reached", [] { treeInfo.maxtrees = 5; }},
        {"chuck limit", [] { hs.nchuck = 2, hs.chuckScore = 1; }},
        {"chuck limit aborting replicates, save replicates",
         [] { hs.nchuck = 2, hs.chuckScore = 1, hs.abortRep = 1, hs.saveReps = 1; }},
    };
    std::mt19937 gen(31);
    uint32_t ahead = 0, reused = 0, reps = 0;
    for (uint32_t noise : {4u, 25u}) {
        const uint32_t ntax = 11 + gen() % 5, states = noise == 25 ? 4 : 2;
        useMatrix(treeSignalMatrix(gen, ntax, 40 + gen() % 20, noise, states), states == 4 ? "0123" : "01");
        eachThreadCount(settings, "noise " + std::to_string(noise), [&](const Outcome &many, const std::string &what) {
            // Each replicate begun is taken from its run ahead, whole or
            // part-way, or run again here: one of the three, once.
            const AheadCounts counts = lastHSearchAheadCounts();
            EXPECT_EQ(counts.taken + counts.resumed + counts.rerunHere,
                      occurrences(many.printed, "Random-addition-sequence"))
                << what;
            ahead += counts.taken;
            reused += counts.stepwiseReused;
            reps += hs.nreps;
        });
    }
    // The comparison above means something only if replicates were taken
    // from runs ahead, and not every one of them (some must give way).
    EXPECT_GT(ahead, reps / 8);
    EXPECT_LT(ahead, reps);
    // Replicates that meet the same islands call one another off, and the
    // runs that follow start from the stepwise trees kept for them.
    EXPECT_GT(reused, 0u);
}

// One tree per replicate on data whose replicates end on the same few
// trees: a later replicate that stored a tree before an earlier one met it
// is settled from its run when taken, not run again, so most replicates
// are taken from their runs ahead; and whatever the thread count, the
// search is the one on a single thread.
TEST_F(HSearchThreadsTest, RunsAheadThatMeetEarlierTreesAreSettledNotRedone)
{
    std::mt19937 gen(5);
    useMatrix(treeSignalMatrix(gen, 24, 60, 3, 2), "01");
    const auto oneTree = [] { srch.mulTrees = 0, hs.nreps = 24; };
    const Outcome one = search(1, oneTree);
    ASSERT_NE(one.printed.find("identical to tree"), std::string::npos) << one.printed;
    // Which replicate stores a shared tree first is up to the threads: the
    // searches go on until one was settled that way. With fewer than eight
    // processors to run on, the threads seldom overlap enough for a run
    // ahead to meet a tree an earlier replicate stores later, so only there
    // is a settled run not required. Runs from guessed starts go side by
    // side with the replicate before them, so a run seldom stores such a
    // tree first: the settling is checked on runs from known starts alone.
    const bool guessed = setAheadStartGuesses(false);
    const int processors = processorCount();
    const uint32_t settled =
        searchUntil(processors >= 8 ? 60 : 12, oneTree, one, [](const AheadCounts &counts, uint32_t threads) {
            EXPECT_EQ(counts.taken + counts.rerunHere, 24u);
            EXPECT_GT(counts.taken, 3 * counts.rerunHere) << threads << " threads";
            return counts.settled;
        });
    setAheadStartGuesses(guessed);
    if (processors >= 8) {
        EXPECT_GT(settled, 0u);
    }
}

// MulTrees on data whose replicates end on the same island: a later run
// that stored trees before its earlier replicate met them is taken as far
// as those trees change nothing the search does, and the search goes on
// from there (or takes it whole). Blind runs store every shared tree so,
// whatever the timing; taking only half of each run checks that the search
// goes on from any point as it would have gone. Every thread count gives
// the search on one thread, with the Maxtrees limit out of reach and
// reached.
TEST_F(HSearchThreadsTest, MulTreesRunsAheadMeetingEarlierTreesAreTakenUpToWhereTheyPart)
{
    std::mt19937 gen(5);
    useMatrix(treeSignalMatrix(gen, 24, 25, 10, 2), "01");
    const std::vector<Setting> settings = {
        {"multrees", [] { hs.nreps = 12; }},
        {"multrees, hold 2", [] { hs.nreps = 12, hs.hold = 2; }},
        {"maxtrees reached", [] { hs.nreps = 12, treeInfo.maxtrees = 20; }},
        {"maxtrees raised", [] {
             hs.nreps = 12, treeInfo.maxtrees = 16, treeInfo.autoInc = 10;
             treeInfo.increase = static_cast<uint32_t>(MaxtreesAction::kAuto);
         }},
    };
    for (const Setting &s : settings) {
        const Outcome one = search(1, s.set);
        // One island of more trees than the limits, met by every replicate
        // after the first; the limit met where it may not grow, raised
        // where it may.
        if (treeInfo.maxtrees == 20) {
            ASSERT_NE(one.printed.find("'Maxtrees' limit (20) hit"), std::string::npos) << one.printed;
        } else {
            ASSERT_EQ(occurrences(one.printed, "identical to tree"), 11u) << s.name << one.printed;
            ASSERT_EQ(one.trees.size(), 45u) << s.name;
        }
        for (const bool blind : {true, false})
            for (const bool half : {false, true}) {
                const bool wasBlind = setAheadRunsBlind(blind), wasHalf = setAheadTakesHalf(half);
                uint32_t partWay = 0, settled = 0;
                // The switches make the runs' fates independent of timing, so
                // two thread counts suffice there; the search as it runs
                // takes all three.
                const std::vector<uint32_t> threadCounts =
                    blind || half ? std::vector<uint32_t>{3, 8} : std::vector<uint32_t>{2, 3, 8};
                for (const uint32_t threads : threadCounts) {
                    const Outcome many = search(threads, s.set);
                    const std::string what = std::string(s.name) + (blind ? ", blind" : "") +
                                             (half ? ", half" : "") + ", " + std::to_string(threads) + " threads";
                    expectSame(many, one, what);
                    const AheadCounts counts = lastHSearchAheadCounts();
                    EXPECT_EQ(counts.taken + counts.resumed + counts.rerunHere, 12u) << what;
                    partWay += counts.resumed;
                    settled += counts.settled;
                    if (half) {
                        EXPECT_EQ(counts.taken, 0u) << what;
                    }
                }
                setAheadRunsBlind(wasBlind);
                setAheadTakesHalf(wasHalf);
                // Blind runs are taken part-way or whole with the earlier
                // trees in the buffer, never all run again (where the buffer
                // is full they store nothing to part them).
                if (blind && treeInfo.maxtrees != 20) {
                    EXPECT_GT(partWay + settled, 0u) << s.name << (half ? ", half" : "");
                }
                if (half) {
                    EXPECT_GT(partWay, 0u) << s.name << (blind ? ", blind" : "");
                }
            }
    }
}

// One tree per replicate on data whose stepwise trees keep unsupported
// branches (resolving them draws from the stream, so each start is known
// only once the replicate before has built its tree): replicates are taken
// from runs begun from guessed starts, and the search is the one on a
// single thread at every thread count.
TEST_F(HSearchThreadsTest, RunsFromGuessedStartsAreKeptAndChangeNothing)
{
    std::mt19937 gen(23);
    useMatrix(treeSignalMatrix(gen, 60, 400, 12, 2), "01");
    const auto oneTree = [] { srch.mulTrees = 0, hs.nreps = 16; };
    const Outcome one = search(1, oneTree);
    ASSERT_NE(one.printed.find("Random-addition-sequence replicate 16"), std::string::npos) << one.printed;
    // Whether a guess runs before its start is known is up to the threads:
    // the searches go on until one was taken so, which with fewer
    // processors than threads may not happen.
    const uint32_t fromGuesses = searchUntil(12, oneTree, one, [](const AheadCounts &counts, uint32_t) {
        EXPECT_EQ(counts.taken + counts.rerunHere, 16u);
        EXPECT_LE(counts.fromGuesses, counts.taken);
        return counts.fromGuesses;
    });
    const int processors = processorCount();
    if (processors >= 4) {
        EXPECT_GT(fromGuesses, 0u);
    }
}

// Fewer processors than threads: runs past their draws give way to those
// that tell the next start, stop part-way and go on later, and the search
// is still the one of a single thread.
TEST_F(HSearchThreadsTest, RunsThatGiveWayAndGoOnChangeNothing)
{
    std::mt19937 gen(31);
    useMatrix(treeSignalMatrix(gen, 70, 300, 20, 2), "01");
    const auto oneTree = [] { srch.mulTrees = 0, hs.nreps = 16; };
    const Outcome one = search(1, oneTree);
    setAheadProcessors(2);
    const uint32_t gaveWay = searchUntil(12, oneTree, one, [](const AheadCounts &counts, uint32_t) {
        EXPECT_EQ(counts.taken + counts.rerunHere, 16u);
        return counts.gaveWay;
    });
    EXPECT_GT(gaveWay, 0u);
}

// MulTrees with a Maxtrees limit that may not grow, reached in the first
// replicate: the later replicates meet the full buffer, each run ahead
// plays the limit as the search meets it in its turn (the same lines
// printed there), and none is run again.
TEST_F(HSearchThreadsTest, RunsAheadMeetAFullBufferAsTheSearchWould)
{
    std::mt19937 gen(17);
    useMatrix(treeSignalMatrix(gen, 14, 30, 25, 2), "01");
    const auto filled = [] { treeInfo.maxtrees = 2, hs.nreps = 12; };
    const Outcome one = search(1, filled);
    const size_t second = one.printed.find("Random-addition-sequence replicate 2:");
    ASSERT_NE(second, std::string::npos) << one.printed;
    // Full in the first replicate, and met again in later ones.
    ASSERT_LT(one.printed.find("'Maxtrees' limit (2) hit"), second) << one.printed;
    ASSERT_NE(one.printed.find("'Maxtrees' limit (2) hit", second), std::string::npos) << one.printed;
    for (uint32_t threads : {2u, 3u, 8u}) {
        const Outcome many = search(threads, filled);
        EXPECT_EQ(many.status, one.status) << threads << " threads";
        EXPECT_EQ(many.trees, one.trees) << threads << " threads";
        EXPECT_EQ(many.printed, one.printed) << threads << " threads";
        const AheadCounts counts = lastHSearchAheadCounts();
        EXPECT_EQ(counts.taken, 12u) << threads << " threads";
        EXPECT_EQ(counts.rerunHere, 0u) << threads << " threads";
    }
}

// One tree's pass split among helper threads, on data with many trees of
// equal length (the buffer fills, trees are refused at the limit, better
// trees end passes part-way) and on data whose replicates end on separate
// islands: every save rule gives the single-thread search, and the helpers
// scanned cuts. First the owner of each pass leaves all its cuts to the
// helpers, so their copies' results are what it takes, whatever the
// timing; then it scans cuts beside them, as it does on large trees.
TEST_F(HSearchThreadsTest, PassesSplitAmongHelpersGiveTheSingleThreadSearch)
{
    const std::vector<Setting> settings = {
        {"multrees", [] {}},
        {"one replicate, simple addition", [] { hs.addSeq = kAddSeqSimple, hs.nreps = 1; }},
        {"maxtrees reached", [] { treeInfo.maxtrees = 7; }},
        {"steepest descent", [] { hs.steepest = 1; }},
        {"SPR, reconnection limit 2", [] { hs.swap = 2, hs.reconLimit = 2; }},
        {"TBR, no reconnection limit, hold 3", [] { hs.reconLimit = 0, hs.hold = 3; }},
        {"chuck limit", [] { hs.nchuck = 3, hs.chuckScore = 1; }},
        {"one tree per replicate", [] { srch.mulTrees = 0; }},
    };
    for (bool ownerScans : {false, true}) {
        setTogetherPassOptions(4, 0, ownerScans);
        std::mt19937 gen(73);
        const TogetherCounts before = togetherCounts();
        for (uint32_t noise : {2u, 30u}) {
            const uint32_t ntax = 18 + gen() % 8;
            useMatrix(treeSignalMatrix(gen, ntax, noise == 2 ? 12 : 40, noise, 2), "01");
            eachThreadCount(settings, "noise " + std::to_string(noise));
        }
        const TogetherCounts after = togetherCounts();
        EXPECT_GT(after.passes, before.passes);
        if (!ownerScans) {
            EXPECT_GT(after.helperItems, before.helperItems);
        }
    }
}

}  // namespace

namespace {

// Whether the search said it went on one thread for want of memory; the
// line is taken out of what it printed.
bool wentAlone(Outcome &o, uint32_t threads)
{
    const std::string line =
        "Not enough memory for " + std::to_string(threads) + " search threads; searching on one thread.\n";
    const size_t at = o.printed.find(line);
    if (at == std::string::npos)
        return false;
    o.printed.erase(at, line.size());
    return true;
}

size_t countOf(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// A worker's allocation fails, at points from its first copies to deep in
// its runs: the search never ends for it. Where the copies failed the
// replicates run here alone from the start; where a run failed, the
// workers stop and give their copies back and the replicates from the one
// awaited on run here, said once; either way the search is the one on a
// single thread, its trees and what it printed. The search's own thread
// running out ends it as on one thread (status 1, the message once).
TEST_F(HSearchThreadsTest, AWorkerOutOfMemoryLeavesTheRestToTheSearchThread)
{
    std::mt19937 gen(41);
    useMatrix(treeSignalMatrix(gen, 16, 40, 12, 2), "01");
    const auto eight = [] { hs.nreps = 8; };
    const Outcome one = search(1, eight);
    ASSERT_EQ(one.status, 0);
    const std::string failed = "Memory allocation failed";

    // The same failure on the single thread, in its third replicate.
    const size_t third = one.printed.find("Random-addition-sequence replicate 3:");
    ASSERT_NE(third, std::string::npos);
    uint32_t failedAlone = 0;
    for (int64_t k = 0; k < 400 && failedAlone == 0; k += 7) {
        qel_setAllocFailureCountdown(k);
        const Outcome alone = search(1, eight);
        qel_setAllocFailureCountdown(-1);
        clearMemoryErrorStatus();
        const size_t at = alone.printed.find(failed);
        if (alone.status == 1 && at > third && at != std::string::npos) {
            failedAlone++;
            EXPECT_EQ(countOf(alone.printed, failed), 1u);
        }
    }
    ASSERT_EQ(failedAlone, 1u) << "no failure in the third replicate on one thread";

    const std::string wentOn = "Not enough memory for 4 search threads";
    // How far the workers get before the search ends depends on how the
    // threads are scheduled: on a busy machine a countdown may never run
    // out in a run, so the sweep is repeated until one has (every run is
    // checked all the same).
    uint32_t afterStart = 0;
    for (int sweep = 0; sweep < 20 && afterStart == 0; ++sweep) {
        for (const int64_t k : {0, 3, 40, 150, 300, 600, 1000, 1500, 20000}) {
            qel_setWorkerAllocFailureCountdown(k);
            Outcome many = search(4, eight);
            qel_setWorkerAllocFailureCountdown(-1);
            clearMemoryErrorStatus();
            const std::string what = "worker allocation " + std::to_string(k);
            EXPECT_EQ(countOf(many.printed, wentOn), many.printed.find(wentOn) != std::string::npos ? 1u : 0u) << what;
            const size_t said = many.printed.find(wentOn);
            afterStart += said != std::string::npos && said > many.printed.find("Random-addition-sequence replicate");
            wentAlone(many, 4);
            expectSame(many, one, what);
        }
    }
    EXPECT_GT(afterStart, 0u) << "no worker's allocation failed in a run";
}

// A pass helper out of memory hands its items back to the thread that owns
// the pass, which scans them itself: the search is the single-thread one.
TEST_F(HSearchThreadsTest, APassHelperOutOfMemoryLeavesItsItemsToTheOwner)
{
    std::mt19937 gen(73);
    useMatrix(treeSignalMatrix(gen, 22, 40, 30, 2), "01");
    const auto simple = [] { hs.addSeq = kAddSeqSimple, hs.nreps = 1; };
    const Outcome one = search(1, simple);
    for (const bool ownerScans : {false, true}) {
        setTogetherPassOptions(4, 0, ownerScans);
        for (const int64_t k : {0, 2, 30, 200, 1000}) {
            qel_setWorkerAllocFailureCountdown(k);
            const Outcome many = search(4, simple);
            qel_setWorkerAllocFailureCountdown(-1);
            expectSame(many, one, "owner scans " + std::to_string(ownerScans) + ", helper allocation " +
                                      std::to_string(k));
        }
    }
}

// Each allocation of a small threaded search fails in turn, in the thread
// that runs the command (its set-up, the workers' threads, stepwise
// addition, the runs it takes) and then in the workers (their copies and
// runs), the language's containers counted with the program's own blocks:
// every search either finds what the search on one thread finds, having
// said so when it went on alone for want of memory, or reports the failure
// once and returns 1. None may crash or leave the next search different.
TEST_F(HSearchThreadsTest, EveryAllocationOfAThreadedSearchFailsCleanly)
{
    std::mt19937 gen(29);
    useMatrix(treeSignalMatrix(gen, 9, 20, 15, 2), "01");
    const auto four = [] { hs.nreps = 4, srch.mulTrees = 0; };
    const Outcome one = search(1, four);
    ASSERT_EQ(one.status, 0);
    const std::string failed = "Memory allocation failed";
    // The capture's appends must not be among the allocations counted.
    gPrinted.reserve(1 << 16);
    for (const bool workers : {false, true}) {
        const auto setCountdown = workers ? qel_setWorkerAllocFailureCountdown : qel_setAllocFailureCountdown;
        int64_t left = -1;
        uint32_t fellBack = 0, reported = 0;
        for (int64_t k = 0; left < 0; k++) {
            aroundRun = [&](bool before) {
                countLanguageAllocations(before);
                left = setCountdown(before ? k : -1);
            };
            Outcome many = search(2, four);
            aroundRun = nullptr;
            clearMemoryErrorStatus();
            const std::string what = (workers ? "worker allocation " : "allocation ") + std::to_string(k);
            if (many.status == 1) {
                // A worker short of memory hands its work back; only the
                // search's own thread running out ends the search.
                EXPECT_FALSE(workers) << what << many.printed;
                reported++;
                EXPECT_EQ(countOf(many.printed, failed), 1u) << what << many.printed;
                continue;
            }
            ASSERT_EQ(many.status, 0) << what << many.printed;
            EXPECT_EQ(countOf(many.printed, failed), 0u) << what << many.printed;
            fellBack += wentAlone(many, 2);
            expectSame(many, one, what);
        }
        // The workers' threads are made without an allocation of the
        // program's: a thread that cannot be had is the failure there.
        if (!workers) {
            qel_setThreadStartFailureCountdown(0);
            Outcome many = search(2, four);
            qel_setThreadStartFailureCountdown(-1);
            ASSERT_EQ(many.status, 0) << many.printed;
            fellBack += wentAlone(many, 2);
            expectSame(many, one, "no thread");
        }
        EXPECT_EQ(reported > 0, !workers) << "workers " << workers;
        EXPECT_GT(fellBack, 0u) << "workers " << workers;
    }
    expectSame(search(2, four), one, "after the failures");
}

// The C library ends the process when it cannot register a thread_local
// destructor: the threads of a search, which must fail cleanly when memory
// runs out, keep their scratch without one.
TEST_F(HSearchThreadsTest, SearchThreadsRegisterNoThreadExitDestructors)
{
    std::mt19937 gen(53);
    useMatrix(treeSignalMatrix(gen, 14, 30, 20, 2), "01");
    noteTestThread();
    const uint64_t before = threadExitDestructorsElsewhere();
    setTogetherPassOptions(4, 0, false);
    const Outcome ahead = search(4, [] { srch.mulTrees = 0; });
    ASSERT_EQ(ahead.status, 0);
    ASSERT_EQ(lastHSearchAheadCounts().threads, 4u) << "the replicates did not run ahead";
    const Outcome split = search(4, [] { hs.addSeq = kAddSeqSimple, hs.nreps = 1; });
    ASSERT_EQ(split.status, 0);
    EXPECT_EQ(threadExitDestructorsElsewhere(), before);
}

}  // namespace
