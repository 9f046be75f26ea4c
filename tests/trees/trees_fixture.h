// A data set with tree hooks for tests of the tree layer, tree blocks read
// from text, and random Newick trees with polytomies.
#pragma once

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "data/data_fixture.h"
#include "trees/readtree.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"

namespace treetest {

class TreesFixture : public datatest::DataFixture {
protected:
    void SetUp() override
    {
        DataFixture::SetUp();
        savedHooks_ = treeDataHooks();
        installTreeHooks();
    }
    void TearDown() override
    {
        clearTrees(false, false);
        setTreeDataHooks(&savedHooks_);
        DataFixture::TearDown();
    }
    // A fresh data set of ntax taxa t1..tn whose main tree buffer is the
    // active one.
    void makeTaxa(uint32_t ntax)
    {
        clearTrees(false, false);
        if (d)
            destroyDataInfo(d);
        makeData(ntax, 1);
        if (!d->mainTreeBuffer)
            d->mainTreeBuffer = getActiveTreeBuffer();
    }
    int readBlock(const std::string &body, uint32_t flags = kReadStoreWeights)
    {
        feed(body + "\nend;\n");
        return processTreesBlock(kKeepReplace, flags, 0, 0xFFFFFFFFu, false, false, false, false);
    }
    TreeDataHooks savedHooks_{};
};

// A random tree on t1..tn: parts joined two to four at a time.
inline std::string randomNewick(std::mt19937 &rng, uint32_t n)
{
    std::vector<std::string> parts;
    for (uint32_t t = 0; t < n; t++)
        parts.push_back("t" + std::to_string(t + 1));
    while (parts.size() > 1) {
        std::shuffle(parts.begin(), parts.end(), rng);
        const size_t k = std::min<size_t>(parts.size(), 2 + rng() % 3);
        std::string text = "(";
        for (size_t i = 0; i < k; i++) {
            text += (i ? "," : "") + parts.back();
            parts.pop_back();
        }
        parts.push_back(text + ")");
    }
    return parts[0] + ";";
}

}  // namespace treetest
