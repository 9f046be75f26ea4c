// A copy of the parsimony record for another thread scores exactly as the
// data set's own and writes nothing the data set's record holds.
#include <random>
#include <thread>

#include "parsimony/packx.h"
#include "parsimony/treelen.h"
#include "pars_test_support.h"

namespace {

std::vector<uint64_t> setsOf(const PackedData *pd)
{
    const uint64_t sets = uint64_t{3} * pd->nodeCount;
    std::vector<uint64_t> all(pd->ordSets, pd->ordSets + uint64_t{4} * pd->ordWords * sets);
    all.insert(all.end(), pd->unoSets, pd->unoSets + uint64_t{2} * pd->unoWords * sets);
    return all;
}

TEST(ParsRecordClone, ScoresOnAnotherThreadAsTheDataSetAndLeavesItsSetsAlone)
{
    resetParsSettings();
    std::mt19937 rng(21);
    for (uint32_t trial = 0; trial < 6; trial++) {
        SCOPED_TRACE(trial);
        const uint32_t ntax = 6 + trial, ns = trial % 2 ? 4 : 7;
        DataInfo *data = makeRandomParsData(rng, ntax, 40 + 30 * trial, ns, trial % 3 == 0);
        std::vector<std::string> shapes;
        for (int k = 0; k < 8; k++)
            shapes.push_back(randomTree(rng, ntax));
        // The data set's own scores, then the same trees in reverse order on
        // a copy, on a thread of its own: shared sets would end as the first
        // tree's, not the last one's.
        std::vector<double> own, copied;
        TreePtr tree(createTreeForTaxa(ntax, ntax, true));
        for (const std::string &shape : shapes) {
            buildTestTree(tree.get(), shape, 0);
            setTraversalSeq(tree.get());
            pointTreeAtPackedData(tree.get(), data);
            own.push_back(calcParsimonyScore(data, tree.get(), false));
        }
        const std::vector<uint64_t> before = setsOf(packedData(data));
        DataInfo copy = *data;
        copy.pars = cloneParsRecordForThread(data);
        ASSERT_NE(copy.pars, nullptr);
        std::thread([&] {
            TreePtr t(createTreeForTaxa(ntax, ntax, true));
            for (auto shape = shapes.rbegin(); shape != shapes.rend(); ++shape) {
                buildTestTree(t.get(), *shape, 0);
                setTraversalSeq(t.get());
                pointTreeAtPackedData(t.get(), &copy);
                copied.insert(copied.begin(), calcParsimonyScore(&copy, t.get(), false));
            }
        }).join();
        EXPECT_EQ(copied, own);
        EXPECT_EQ(setsOf(packedData(data)), before);
        destroyParsRecordClone(copy.pars);
        setActiveDataInfo(nullptr);
        deallocPackedData(data);
        destroyDataInfo(data);
    }
    resetParsSettings();
}

}  // namespace
