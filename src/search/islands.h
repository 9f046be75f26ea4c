// Tree islands of random-addition searches: the trees that swapping reached
// from one starting tree, how often later replicates landed on them again,
// and the profile printed at the end of a search.
#pragma once

#include <cstdint>

struct Island {
    double score;
    uint32_t firstTree;  // 0 for an island whose trees were discarded
    uint32_t lastTree;
    uint32_t size;
    uint32_t firstRep;   // counted from 1
    uint32_t timesHit;
    uint32_t spare;
};

// What the profile needs to know about the search that made the islands.
struct IslandContext {
    uint32_t retained;     // trees kept in front of the buffer from memory
    uint32_t currentRep;   // 0-based replicate now running
    bool oneTreePerIsland; // swapping off or MulTrees off
    bool keepActive;
    double keepScore;
    bool chuckActive;
    uint32_t nchuck;
};

// Room for `capacity` islands; 1 on memory failure. Resets the count.
int allocIslands(uint32_t capacity);
void deallocIslands();
void setIslandContext(const IslandContext &ctx);
uint32_t numIslands();
const Island *getIsland(uint32_t i);

void addNewIsland(uint32_t first, uint32_t last, uint32_t size, double score);
// The trees kept in front of the buffer (1..n): an island whose score is
// not evaluated, found by no replicate; replicates that land on it hit it.
void addRetainedIsland(uint32_t n);
void incrementIslandCount(uint32_t treeNumber);
void markIslandsUnsaved();
void doUnsavedIsland(double score, uint32_t size);
// Moves the tree ranges of saved islands after trees first..last were
// moved to start at `to` (replicates whose trees move to the front).
void shiftIslandTrees(uint32_t first, uint32_t last, uint32_t to);
int compareIslands(const Island *a, const Island *b);
void showIslandInfo();
