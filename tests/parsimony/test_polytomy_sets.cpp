// The unordered sets of nodes with more than two neighbours against a
// state-by-state count: each field takes the states its neighbours share,
// else the states held by the most of them at a cost of the neighbours less
// that most.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "parsimony/calcsets.h"
#include "parsimony/stateset.h"
#include "pars_test_support.h"

namespace {

// Taxa 1 .. ntax-1 joined two to six at a time.
std::string randomPolytomousTree(std::mt19937 &rng, uint32_t ntax)
{
    std::vector<std::string> g;
    for (uint32_t t = 1; t < ntax; t++)
        g.push_back(std::to_string(t));
    while (g.size() > 1) {
        std::shuffle(g.begin(), g.end(), rng);
        const size_t m = std::min<size_t>(g.size(), 2 + rng() % 5);
        std::string joined = "(";
        for (size_t i = 0; i < m; i++) {
            joined += (i ? "," : "") + g.back();
            g.pop_back();
        }
        g.push_back(joined + ")");
    }
    return g[0];
}

struct RefSet {
    std::vector<uint64_t> lanes;
    uint64_t steps = 0;
};

RefSet refMostHeld(const PackedData *pd, const std::vector<const ParsNodeSets *> &nb)
{
    RefSet out;
    for (uint32_t l = 0; l < 2 * pd->unoWords; l++) {
        const uint32_t w = pd->unoWidth[l / 2];
        const uint64_t mask = w == 64 ? ~uint64_t{0} : (uint64_t{1} << w) - 1;
        uint64_t lane = 0;
        for (uint32_t at = 0; at < 64; at += w) {
            std::vector<uint32_t> held(w, 0);
            uint64_t shared = mask;
            for (const ParsNodeSets *s : nb) {
                const uint64_t f = (s->uno[l] >> at) & mask;
                shared &= f;
                for (uint32_t st = 0; st < w; st++)
                    held[st] += (f >> st) & 1;
            }
            uint64_t f = shared;
            if (!shared && ((pd->unoCountMask[l] >> at) & 1)) {
                const uint32_t most = *std::max_element(held.begin(), held.end());
                for (uint32_t st = 0; st < w; st++)
                    if (held[st] == most)
                        f |= uint64_t{1} << st;
                out.steps += nb.size() - most;
            }
            lane |= f << at;
        }
        out.lanes.push_back(lane);
    }
    return out;
}

class PolytomySets : public ParsDataTest {};

// Every field width the packer uses (4 to 64 bits), missing and two-state
// cells; each polytomy seen whole and without its ancestor or a child, as the
// down, up and final passes see it. With weights only the sets are compared:
// weighted steps are counted character by character.
TEST_F(PolytomySets, HoldTheStatesMostNeighboursHold)
{
    std::mt19937 rng(8080);
    uint32_t checked = 0;
    for (uint32_t ns : {3u, 4u, 6u, 12u, 40u}) {
        SCOPED_TRACE(::testing::Message() << ns << " states");
        const bool weighted = ns == 6;
        dropData();
        data = makeRandomParsData(rng, 24, 120, ns, weighted);
        tree.reset(createTreeForTaxa(data->ntax, data->ntax, true));
        buildTree(randomPolytomousTree(rng, data->ntax));
        pointTreeAtPackedData(tree.get(), data);
        calcStatesetsForSearch(tree.get(), data, false);
        const PackedData *pd = packedData(data);
        ASSERT_GT(pd->unoWords, 0u);
        std::vector<uint64_t> lanes(2 * pd->unoWords);
        ParsNodeSets out{};
        out.uno = lanes.data();
        for (const TreeNode *n = tree->root; n; n = n->next) {
            uint32_t children = 0;
            for (const TreeNode *c = n->firstChild; c; c = c->nextSib)
                children++;
            if (children < 3)
                continue;
            const TreeNode *const leaveOuts[] = {nullptr, n->anc, n->firstChild};
            for (const TreeNode *leaveOut : leaveOuts) {
                std::vector<const ParsNodeSets *> nb;
                for (const TreeNode *c = n->firstChild; c; c = c->nextSib)
                    if (c != leaveOut)
                        nb.push_back(nodeSets(c->abm[0]));
                if (n->anc && n->anc != leaveOut)
                    nb.push_back(nodeSets(n->abm[1]));
                const RefSet ref = refMostHeld(pd, nb);
                double len = 5.0;
                unoSet(data, n, leaveOut, !weighted, false, &out, &len);
                EXPECT_EQ(lanes, ref.lanes);
                if (!weighted) {
                    EXPECT_EQ(len, 5.0 + static_cast<double>(ref.steps));
                }
                checked++;
            }
        }
    }
    EXPECT_GT(checked, 30u);
}

}  // namespace
