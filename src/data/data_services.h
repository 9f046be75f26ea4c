// What the data set needs from the subsystems above it.
//
// The character-data library sits below trees, parsimony, search, distance,
// likelihood, simulation and quartets, yet releasing or re-initialising the
// data set must reach their records hung on it. Each of those subsystems
// installs its entry points here at start-up; every slot it leaves null
// keeps a default that does nothing (or answers with the factory setting), so
// the data library works on its own and in its tests.
#pragma once

#include <cstdint>
#include <string>

struct DataInfo;
struct TreeBuffer;
struct QuartetData;

// Keyword positions of the settings the cell accessors consult.
inline constexpr int kCriterionParsimony = 0;
inline constexpr int kCriterionLikelihood = 1;
inline constexpr int kCriterionDistance = 2;
inline constexpr int kGapModeMissing = 0;
inline constexpr int kGapModeNewState = 1;
inline constexpr int kMsTaxaUncertain = 0;
inline constexpr int kMsTaxaPolymorph = 1;
inline constexpr int kMsTaxaVariable = 2;

struct DataServices {
    // Settings owned elsewhere (search: criterion; parsimony: gapMode, msTaxa).
    int (*criterion)();
    // Makes parsimony the criterion, resetting what depends on it (quietly).
    void (*resetCriterionToParsimony)();
    int (*gapMode)();
    int (*msTaxa)();
    // The current ancestral-states vector of the named-set store (one code per
    // character), or null when none is installed.
    const uint8_t *(*currentAncestralStates)(const DataInfo *d);
    // True while commands come from a PYTHON block (no questions are asked).
    bool (*inPythonBlock)();

    // Status line (shows nothing in the terminal program).
    void (*setStatusText)(const char *text);
    void (*clearStatusText)();

    // Trees and tree comparison.
    void (*destroyTreeBuffer)(TreeBuffer *buffer);
    uint32_t (*numTreesInBuffer)(const TreeBuffer *buffer);
    int (*createPrimaryTree)(DataInfo *d);   // 0 or 1
    // Creates and installs the main tree buffer of ntax taxa; 0 or 1.
    int (*allocMainTreeBuffer)(uint32_t ntax, uint32_t capacity, bool withWeights);
    uint32_t (*getMaxtreesValue)();
    void (*releasePrimaryTree)();
    void (*flagPrimaryTreeTaxonChange)();
    void (*clearTrees)(int keepLabels, int keepSpecial);
    void (*deleteTreeSets)(int all);
    void (*deallocAllConstraints)();
    void (*deallocSpecialTreeData)();
    // Deletion of taxa: the trees in memory. pruneTree removes the deleted
    // taxa from stored tree `index` (0-based) of the old buffer and stores it
    // in the new main buffer; it returns 1 when stored, 0 when the tree kept
    // too few taxa and was dropped, 2 when it duplicated a stored tree
    // (condense), -1 on failure.
    uint32_t (*getTreeBufferCapacity)(const TreeBuffer *buffer);
    bool (*haveTreeWeights)(const TreeBuffer *buffer);
    int (*allocBranchLens)(TreeBuffer *buffer);  // 0 or 1
    bool (*treeFilterInEffect)();
    bool (*haveUserBranchLengths)();
    int (*pruneTree)(TreeBuffer *from, uint32_t index, const DataInfo *d, bool condense);
    void (*disposeSupportValues)(TreeBuffer *buffer);
    void (*forgetLastTreeOptimized)();
    int (*replacePrimaryTree)();  // a fresh primary tree without constraint data; 0 or 1

    // Parsimony.
    void (*setNeedParsPrep)(int level);
    // The parsimony setting "includeAnc": the ancestor counts in tree length.
    bool (*parsIncludeAnc)();
    // Packed class of a character: its type code, with an unordered character
    // of at most two states (or a symmetric user type) reported as ordered.
    uint32_t (*getPkdType)(uint32_t c, const DataInfo *d);
    // User-defined types: whether a character's type is an asymmetric one.
    bool (*isAsymmetricUserType)(uint32_t c, const DataInfo *d);
    void (*deallocPackedData)(DataInfo *d);
    void (*deallocParsimonyRecord)(DataInfo *d);
    void (*releaseParsFxns)(DataInfo *d);

    // Staged parsimony preparation (0 ready or non-zero for a failure). The
    // pending level is 3 full repacking, 2 finishing, 1 final step, 0 none.
    int (*checkParsimonySettings)(DataInfo *d);
    int (*parsPrepLevel)();
    bool (*altParsPrepPending)();
    int (*packPrelim)(DataInfo *d);
    int (*packFinish)(DataInfo *d);
    int (*altParsPrep)(DataInfo *d);
    int (*finalParsPrep)(DataInfo *d, int criterion);

    // The criterion text of status summaries ("parsimony", with its variant).
    std::string (*criterionText)();

    // Tree search: the character count of bootstrap and jackknife resampling.
    void (*setBootJackNChar)(uint32_t nchar);

    // Distance methods.
    void (*deallocDistanceStorage)(int all);
    void (*markUserDistancesForAdjustment)();

    // Distance settings as data preparation sees them; computing the
    // distances answers 1 after an error report while no distance code is
    // linked in.
    bool (*isDnaDistance)(const DataInfo *d);
    bool (*isMLDistance)();
    bool (*distanceNeedsSitePatterns)();
    int (*setDistances)(DataInfo *d);
    // The computed distances no longer match the data.
    void (*invalidateDistances)();
    // The current distance type is computed from the characters' types
    // (total or mean character difference), so a type change outdates it.
    bool (*isStdDistance)(const DataInfo *d);

    // Substitution models, likelihood engine and likelihood settings.
    // Initialises model 0's data from the data set when they are not
    // (dataTypeIndex -1 without characters); 0 or non-zero.
    int (*initModelData)(DataInfo *d, int dataTypeIndex);
    // Likelihood evaluation on the primary tree; flags of the preparation
    // request. Answers 1 after an error report while no likelihood engine is
    // linked in.
    int (*initializeML)(DataInfo *d, uint32_t flags);
    // A primary tree flagged by a taxon change gets nodes for the active taxa.
    void (*refreshPrimaryTreeTaxa)(DataInfo *d);
    void (*disposeML)(int purging);
    void (*deallocAllModelGroupData)(int a, int b);
    void (*resetLikelihoodSetting)();
    void (*clearScoreOptions)();

    // Site patterns of the character-data subsystem itself (compressed later).
    void (*invalidateSitePatterns)(DataInfo *d);

    // Simulation and quartets.
    void (*deallocAllSimData)();
    QuartetData *(*deallocQuartetData)(QuartetData *q);

    // Named sets, user types and the remaining per-data state of the shell.
    void (*deleteAssumptionSets)();
    void (*deallocUserTypes)();
    void (*releasePairDiffTaxa)();
    void (*forgetDefaultOutputFileNames)();
};

// Installs the entry points; each null member keeps what it has. A member
// that is already installed is refused with an error report and keeps its
// first installation: 0, or 1 after such a refusal.
int installDataServices(const DataServices &services);
// Back to the defaults (the tests use this between cases).
void resetDataServices();
const DataServices &dataServices();
