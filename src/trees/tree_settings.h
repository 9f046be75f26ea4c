// Settings of tree rooting, tree drawing, tree storage and the size of the
// main tree buffer, as the option table binds them. The tree units read them.
#pragma once

#include <cstdint>

enum : uint32_t { kRootOutgroup = 0, kRootLundberg = 1, kRootMidpoint = 2 };
enum : uint32_t { kOutRootPolytomy = 0, kOutRootParaphyletic = 1, kOutRootMonophyletic = 2 };

struct RootingSettings {
    uint32_t rootMethod;  // kRootOutgroup, kRootLundberg, kRootMidpoint
    uint32_t outRoot;     // how the outgroup hangs from the root
    uint8_t forcePolyt;   // a basal polytomy even for a rooted tree
};
extern RootingSettings rooting;

enum : uint32_t { kTreeOrderStandard = 0, kTreeOrderRight, kTreeOrderLeft, kTreeOrderAlphabet };

struct TreeDrawSettings {
    uint32_t tOrder;      // kTreeOrder*
    uint8_t tCompress;
    uint8_t showTaxNum;
    uint8_t taxLabels;    // 0 truncate, 1 full
};
extern TreeDrawSettings treeDraw;

// What a tree read from a file keeps.
struct GetTreesSettings {
    uint8_t storeBrLens;
    uint8_t storeTreeWts;
};
extern GetTreesSettings getr;

// What happens when the main buffer is full ("increase").
enum class MaxtreesAction : uint32_t { kLeave = 0, kPrompt = 1, kAuto = 2 };

inline constexpr uint32_t kDefaultMaxtrees = 100;
inline constexpr uint32_t kDefaultAutoInc = 100;
// maxtrees sizes the main buffer; it is kept within what an i32 option holds.
inline constexpr uint32_t kMaxtreesCeiling = 2147483646u;

struct TreeInfo {
    uint32_t maxtrees;
    uint32_t increase;  // MaxtreesAction
    uint32_t autoInc;
    uint32_t source;    // low 6 bits: where the trees in memory came from
    uint8_t maxtreesFixed;
    uint8_t treesSaved;
    uint8_t userBrlens;
    uint8_t speciesTrees;
};
extern TreeInfo treeInfo;

uint32_t getMaxtreesValue();
