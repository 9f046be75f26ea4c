#include "search/islands.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "search/scores.h"

namespace {

Island *gIsland = nullptr;
uint32_t gCapacity = 0;
uint32_t gCount = 0;
IslandContext gCtx{};

bool isRetained(const Island &i) { return i.firstTree != 0 && i.firstTree <= gCtx.retained; }

Island *appendIsland()
{
    if (gCount >= gCapacity) {
        const uint32_t grown = gCapacity ? 2 * gCapacity : 16;
        if (reallocArrayOf(&gIsland, grown, gCapacity) != 0)
            return nullptr;
        gCapacity = grown;
    }
    Island *i = &gIsland[gCount++];
    *i = Island{};
    return i;
}

}  // namespace

int allocIslands(uint32_t capacity)
{
    deallocIslands();
    gIsland = allocArrayOf<Island>(std::max<uint32_t>(capacity, 1));
    if (!gIsland)
        return 1;
    gCapacity = std::max<uint32_t>(capacity, 1);
    return 0;
}

void deallocIslands()
{
    deallocArray(gIsland);
    gIsland = nullptr;
    gCapacity = gCount = 0;
}

void setIslandContext(const IslandContext &ctx) { gCtx = ctx; }
uint32_t numIslands() { return gCount; }
const Island *getIsland(uint32_t i) { return i < gCount ? &gIsland[i] : nullptr; }

void addNewIsland(uint32_t first, uint32_t last, uint32_t size, double score)
{
    if (Island *i = appendIsland())
        *i = Island{score, first, last, size, gCtx.currentRep + 1, 1, 0};
}

void addRetainedIsland(uint32_t n)
{
    if (Island *i = appendIsland())
        *i = Island{kNoScoreValue, 1, n, n, 0, 0, 0};
}

void incrementIslandCount(uint32_t treeNumber)
{
    for (uint32_t k = 0; k < gCount; k++)
        if (gIsland[k].firstTree && gIsland[k].firstTree <= treeNumber && treeNumber <= gIsland[k].lastTree) {
            gIsland[k].timesHit++;
            return;
        }
}

void markIslandsUnsaved()
{
    for (uint32_t k = 0; k < gCount; k++)
        if (gIsland[k].firstTree > gCtx.retained)
            gIsland[k].firstTree = gIsland[k].lastTree = 0;
}

void doUnsavedIsland(double score, uint32_t size)
{
    for (uint32_t k = 0; k < gCount; k++)
        if (gIsland[k].firstTree == 0 && gIsland[k].size == size && compareScores(gIsland[k].score, score) == 0) {
            gIsland[k].timesHit++;
            return;
        }
    if (Island *i = appendIsland())
        *i = Island{score, 0, 0, size, gCtx.currentRep + 1, 1, 0};
}

void shiftIslandTrees(uint32_t first, uint32_t last, uint32_t to)
{
    for (uint32_t k = 0; k < gCount; k++)
        if (gIsland[k].firstTree >= first && gIsland[k].lastTree <= last && gIsland[k].firstTree) {
            gIsland[k].firstTree = gIsland[k].firstTree - first + to;
            gIsland[k].lastTree = gIsland[k].lastTree - first + to;
        }
}

int compareIslands(const Island *a, const Island *b)
{
    const bool ra = isRetained(*a), rb = isRetained(*b);
    if (ra != rb)
        return ra ? -1 : 1;
    if (int c = compareScores(a->score, b->score))
        return c;
    if (a->size != b->size)
        return a->size < b->size ? -1 : 1;
    if (a->firstTree != b->firstTree)
        return a->firstTree < b->firstTree ? -1 : 1;
    return 0;
}

void showIslandInfo()
{
    if (gCount == 0)
        return;
    const int32_t aborted = setAbortedStatus(0);
    std::vector<Island> rows(gIsland, gIsland + gCount);
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Island &a, const Island &b) { return compareIslands(&a, &b) < 0; });
    // Consecutive unsaved islands of one size and score print as one row.
    std::vector<Island> merged;
    for (const Island &i : rows) {
        Island &prev = merged.empty() ? rows[0] : merged.back();
        if (!merged.empty() && i.firstTree == 0 && prev.firstTree == 0 && i.size == prev.size &&
            compareScores(i.score, prev.score) == 0) {
            prev.size += i.size;
            prev.firstRep = std::min(prev.firstRep, i.firstRep);
            prev.timesHit += i.timesHit;
            continue;
        }
        merged.push_back(i);
    }

    enum Note { kRetained, kKeep, kChuck, kUnsavedHits, kOnePerIsland, kSameScore, kNumNotes };
    static const char *const kMarks[] = {"*", "**", "***", "****", "*****"};
    int markOf[kNumNotes];
    std::fill(markOf, markOf + kNumNotes, -1);
    int nextMark = 0;
    auto useNote = [&](Note n) -> const char * {
        if (markOf[n] < 0 && nextMark < 5)
            markOf[n] = nextMark++;
        return markOf[n] >= 0 ? kMarks[markOf[n]] : "";
    };

    qel_printf("\nTree-island profile:\n");
    qel_printf("                     First      Last                        First    Times\n");
    qel_printf("Island      Size%s     tree      tree           Score    replicate      hit\n",
               gCtx.oneTreePerIsland ? "*" : " ");
    qel_printf("%s\n", std::string(74, '-').c_str());
    if (gCtx.oneTreePerIsland)
        useNote(kOnePerIsland);
    // Rows are in score order (retained islands first), so rows of one
    // score are neighbours.
    const auto sameScore = [&](size_t a, size_t b) {
        return b < merged.size() && compareScores(merged[a].score, merged[b].score) == 0;
    };
    for (size_t k = 0; k < merged.size(); k++) {
        const Island &i = merged[k];
        std::string marks;
        // Marks are runs of asterisks: two side by side would read as a
        // third, so a comma parts them.
        const auto addMark = [&](const char *mark) {
            if (*mark && !marks.empty())
                marks += ',';
            marks += mark;
        };
        if (isRetained(i))
            addMark(useNote(kRetained));
        if (gCtx.keepActive && i.size > 1 && compareScores(i.score, gCtx.keepScore) < 0)
            addMark(useNote(kKeep));
        if (gCtx.chuckActive && i.size == gCtx.nchuck)
            addMark(useNote(kChuck));
        // An unsaved island is known by its score and size alone: equal
        // ones are counted as one as they are found, or merged here.
        if (i.firstTree == 0 && i.timesHit > 1)
            addMark(useNote(kUnsavedHits));
        if ((k > 0 && sameScore(k, k - 1)) || sameScore(k, k + 1))
            addMark(useNote(kSameScore));
        char first[16] = "", last[16] = "";
        if (i.firstTree) {
            std::snprintf(first, sizeof first, "%u", i.firstTree);
            std::snprintf(last, sizeof last, "%u", i.lastTree);
        }
        char firstRep[16] = "-";
        if (i.firstRep)
            std::snprintf(firstRep, sizeof firstRep, "%u", i.firstRep);
        qel_printf("%6u%10u%10s%10s%16s%13s%9u%s\n", static_cast<uint32_t>(k + 1), i.size, first, last,
                   treeScoreToString(0, i.score).c_str(), firstRep, i.timesHit, marks.c_str());
    }
    if (nextMark > 0) {
        qel_printf("\nNote(s):\n");
        const char *const kTexts[kNumNotes] = {
            " %4s \bScores of retained starting trees are not evaluated, and island structure within these trees "
            "is unknown\n",
            " %4s \bIsland may contain trees with scores up to KEEP value (%s)\n",
            " %4s \bIslands of size %d (= limit on trees saved per replicate) found in different replicates may in "
            "fact belong to the same island\n",
            " %4s \bMultiple hits on islands of unsaved trees may in fact represent different islands\n",
            " %4s \bOnly one tree was saved per island; island structure is undetermined\n",
            " %4s \bMultiple observations of the same score do not imply identity of the corresponding trees\n"};
        for (int m = 0; m < nextMark; m++)
            for (int n = 0; n < kNumNotes; n++) {
                if (markOf[n] != m)
                    continue;
                if (n == kKeep)
                    qel_printf(kTexts[n], kMarks[m], treeScoreToString(0, gCtx.keepScore).c_str());
                else if (n == kChuck)
                    qel_printf(kTexts[n], kMarks[m], static_cast<int>(gCtx.nchuck));
                else
                    qel_printf(kTexts[n], kMarks[m]);
            }
    }
    setAbortedStatus(static_cast<uint32_t>(aborted));
}
