// A small matrix of states 0-2 prepared for parsimony, and a tree over its
// taxa written as text: the ground of the reconstruction tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "data/data_services.h"
#include "data/taxstat.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "parsimony/optimize.h"
#include "parsimony/pars_init.h"
#include "support/tree_test_support.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

// A random binary tree over taxa 1 .. ntax-1 as text, for buildTree.
inline std::string randomTree(std::mt19937 &rng, uint32_t ntax)
{
    std::vector<std::string> g;
    for (uint32_t t = 1; t < ntax; t++)
        g.push_back(std::to_string(t));
    while (g.size() > 1) {
        std::shuffle(g.begin(), g.end(), rng);
        std::string a = g.back();
        g.pop_back();
        g.back() = "(" + a + "," + g.back() + ")";
    }
    return g[0];
}

// Random data of ns states (2 to 63): ordered and unordered characters,
// weighted when asked, with missing and two-state cells; made active and
// prepared for parsimony. The caller owns it.
inline DataInfo *makeRandomParsData(std::mt19937 &rng, uint32_t ntax, uint32_t nchar, uint32_t ns, bool weights)
{
    static const char kSymbols[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz@";
    DataInfo *data = createDataInfo();
    std::memcpy(data->symbols, kSymbols, ns);
    data->symbols[ns] = 0;
    data->nchar = nchar;
    EXPECT_EQ(allocTaxaMemory(data, ntax), 0);
    EXPECT_EQ(initCharInfo(data), 0);
    EXPECT_EQ(initializeRawData(data, 0), 0);
    data->flags |= kHaveTaxa | kHaveCharacters;
    for (uint32_t c = 0; c < nchar; c++) {
        data->status[c] = rng() % 2 ? kCharOrdered : kCharUnordered;
        if (weights)
            data->weights[c] = 1 + rng() % 4;
        for (uint32_t t = 0; t < ntax; t++) {
            uint32_t r = rng() % 14, k = rng() % ns;
            uint64_t bits = (uint64_t{1} << k) | (r == 1 ? uint64_t{1} << ((k + 1) % ns) : 0);
            EXPECT_EQ(setXijRaw(data, t, c, r == 0 ? static_cast<uint8_t>(ns) : stateBitsToCode(bits, data)), 0);
        }
    }
    setActiveDataInfo(data);
    gPars.pending = 3;
    EXPECT_EQ(prepareParsimonyData(data), 0);
    return data;
}

// Deletes the given stored rows as Delete does: what is constant or
// informative is derived again over the taxa left, and the data prepared.
inline void deleteRowsAndPrepare(DataInfo *data, const std::vector<uint32_t> &gone)
{
    for (uint32_t r : gone)
        addSetMember(data->taxa.deleted, r);
    forceTaxaInitialization(data);
    initTaxStatus(data);
    gPars.pending = 3;
    ASSERT_EQ(prepareParsimonyData(data), 0);
}

class ParsDataTest : public ::testing::Test {
protected:
    void SetUp() override { resetParsSettings(); }
    void TearDown() override
    {
        tree.reset();
        dropData();
        resetParsSettings();
    }
    void dropData()
    {
        if (!data)
            return;
        setActiveDataInfo(nullptr);
        deallocPackedData(data);
        destroyDataInfo(data);
        data = nullptr;
    }
    // One row of digits per taxon; the data becomes active and prepared, and
    // `tree` an empty tree over its taxa.
    void makeData(const std::vector<std::string> &rows)
    {
        dropData();
        data = createDataInfo();
        std::snprintf(data->symbols, sizeof data->symbols, "012");
        data->nchar = static_cast<uint32_t>(rows[0].size());
        ASSERT_EQ(allocTaxaMemory(data, static_cast<uint32_t>(rows.size())), 0);
        ASSERT_EQ(initCharInfo(data), 0);
        ASSERT_EQ(initializeRawData(data, 0), 0);
        data->flags |= kHaveTaxa | kHaveCharacters;
        for (uint32_t t = 0; t < rows.size(); t++)
            for (uint32_t c = 0; c < rows[t].size(); c++)
                ASSERT_EQ(setXijRaw(data, t, c, static_cast<uint8_t>(rows[t][c] - '0')), 0);
        setActiveDataInfo(data);
        gPars.pending = 3;
        ASSERT_EQ(prepareParsimonyData(data), 0);
        tree.reset(createTreeForTaxa(data->ntax, data->ntax, true));
    }
    // "((1,2),3)" hung under tip 0, ":x" giving branch lengths; forks take
    // positions ntax+1, ntax+2, ... in reading order.
    void buildTree(const std::string &text)
    {
        buildTestTree(tree.get(), text, 0);
        setTraversalSeq(tree.get());
    }

    // One reconstruction of the tree as built, lengths counted afresh.
    void reconstruct(ParsOpt opt)
    {
        gPars.opt = static_cast<uint32_t>(opt);
        zeroAllBranchLengths(tree.get());
        optimizeParsimony(data, tree.get(), true);
    }
    TreeNode *tip(int t) const { return tree->firstTip + t; }
    TreeNode *fork(int k) const { return tree->nodes + tree->ntax + 1 + k; }

    DataInfo *data = nullptr;
    TreePtr tree;
};
