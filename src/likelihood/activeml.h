// The prepared state of a likelihood analysis: one record at a time, made
// from the LSet settings and the active models when a likelihood command or
// search starts, and kept across commands while nothing it depends on
// changes. The engine reads most settings from it, the flag bits through
// the small accessors below.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

struct Model;
struct Tree;

// Bits of the ActiveML flag word.
enum : uint32_t {
    kAMLMultithread = 1u << 0,
    kAMLJointBrLens = 1u << 1,  // branch lengths optimised with the parameters
    kAMLRooted = 1u << 2,
    kAMLClock = 1u << 3,
    kAMLBrLenTransform = 1u << 4,
    kAMLTimesTransform = 1u << 5,
    kAMLNotParsStartVals = 1u << 6,
    kAMLNeedRogers = 1u << 7,
    kAMLLbfgsParams = 3u << 8,
    kAMLUseDistances = 1u << 10,
    kAMLPrepMLDist = 1u << 11,
    kAMLDoingMLDist = 1u << 12,
    kAMLFixedBrLens = 1u << 13,
    kAMLRescale = 1u << 14,
    kAMLQuartetPuzzling = 1u << 15,
    kAMLUseApproxLim = 1u << 16,
    kAMLAdjustApproxLim = 1u << 17,
    kAMLParsOrLSBrLens = 1u << 18,
    kAMLLogIter = 1u << 19,
    kAMLVector = 1u << 20,
    kAMLSinglePrecision = 1u << 21,
    kAMLPartitioned = 1u << 22,
    kAMLBeagle = 1u << 23,
    kAMLLocalClocks = 1u << 24,
    kAMLAutoModel = 1u << 25,
};

// Values of blopt and optimizer.
enum : uint32_t { kBloptNewton1D = 0, kBloptBrent1D = 1, kBloptMultiDim = 2 };
enum : uint32_t { kOptimizerPraxis = 0, kOptimizerLBFGS = 1 };

// The fields the likelihood set-up fills. The parameter vectors, the tree,
// the thread group and the least-squares data join them with the engine.
struct ActiveML {
    uint32_t numParams;     // scalars of the parameter vector
    uint32_t numEstParams;  // estimated model parameters other than branch lengths
    uint32_t iterations;
    double clRescale;
    double initArbBrLen;
    double toler;
    double approxLim;
    double brentEps, brentT, praxisTol;
    double minBrlen, maxBrlen;
    double targetThreshFactor;
    // How far over the bound a neighbour the swap screen left out may score
    // locally and still be scored whole before a search ends at a tree;
    // widened, like the approximation limit, when a neighbour found that
    // way was missed by more.
    double swapRecheck;
    double curMLDist;
    double rateScaler;
    uint32_t initBrLenMethod, maxPass, paramClock, optimizer, blopt;
    uint32_t flags;
    Model *firstActive;  // the chain runs through Model::nextActive
    uint32_t numActive;
    uint32_t nthreads;
    uint8_t reconRequested;  // ancestral states are reconstructed with the scores
    std::vector<uint32_t> activeModelIndex;  // list position of each active model
    Tree *tree;                // the tree being evaluated
    float clRescaleFloat;      // the threshold as single-precision kernels compare it
    uint32_t numParamsMLDist;  // scalars of the two-taxon parameter vector (ML distances)
    uint8_t haveLSData;        // least-squares starting lengths are prepared
};

void setActiveTreeForML(Tree *tree);
Tree *getActiveTreeForML();
// The clock, starting-value and precision facts other subsystems read.
double getMinMLBranchLen();
double getMaxMLBranchLen();
void resetTargetThreshFactor();
void setTargetThreshFactor(double percent);
bool setFixedMLBranchLengths(bool on);  // whether it was set before
bool setMLVectorized(bool on);
bool usingApproxLimit();
bool usingLSStartLengths();

// Makes the record when there is none; null when out of memory.
ActiveML *startActiveML();
void finishActiveML();
ActiveML *getActiveML();

void setAMLFlag(ActiveML *aml, uint32_t mask, bool on);
// Each is false without a record.
bool isMultithreadingActive();
bool clockModelInEffect();
bool usingDistancesForML();
bool doingMLdistances();
bool usingFixedMLBranchLengths();
bool rescalingCLs();
bool loggingMLIters();
bool mlIsVectorized();
bool mlIsSinglePrecision();
bool usingPartitionedModel();
bool estimatingLocalClocks();
bool doingQuartetPuzzlingML();

// Clears the validity bytes of the LSet record and forgets the last tree
// whose parameters were optimised: the next likelihood command prepares
// afresh.
void invalidateMLprep();
// The likelihood set-up that things computed from it (maximum-likelihood
// distances) were computed under: a new number after every invalidation and
// every set-up made afresh, 0 while there is no valid set-up.
uint64_t mlSetUpStamp();
void noteNewMLSetUp();
