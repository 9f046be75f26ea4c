#include "search/quartetswap.h"

#include <vector>

#include "qel/qel_interrupts.h"
#include "search/hitlist.h"
#include "search/tbr.h"
#include "trees/treeutil.h"

namespace {

QuartetSearchFxns gFxns{};
double (*gTreeScore)(Tree *) = nullptr;

// A better tree must gain more than rounding can: weights are summed in
// float cells and double sums in different orders.
bool isBetter(double score, double current) { return score < current - 1e-6 * (1.0 + current); }

}  // namespace

int installQuartetSearchFxns(const QuartetSearchFxns &fxns)
{
    if (gFxns.score)
        return 1;
    gFxns = fxns;
    return 0;
}

void resetQuartetSearchFxns() { gFxns = {}; }

void setQuartetTreeScoreFxn(double (*score)(Tree *tree)) { gTreeScore = score; }

int quartetLocalSearchViaTBR(Tree *tree, HSearchData *hsd, int swapType, uint32_t reconLimit, double *score)
{
    double (*scoreFxn)(Tree *) = gTreeScore ? gTreeScore : gFxns.score;
    // A run's own whole-tree score is used for every move.
    auto moveFxn = gTreeScore ? nullptr : gFxns.moveScore;
    if (!scoreFxn)
        return 1;
    checkTraversalSeq(tree);
    double current = scoreFxn(tree);
    std::vector<RearrObject> moves;
    for (;;) {
        moves.clear();
        auto collect = [](void *ctx, TreeNode *K, TreeNode *T, TreeNode *R, double) {
            RearrObject r;
            makeRearrObject(&r, K, T, R, 0.0);
            static_cast<std::vector<RearrObject> *>(ctx)->push_back(r);
            return 0;
        };
        forEachTbrMove(tree, nullptr, swapType, reconLimit, collect, &moves);
        bool improved = false;
        for (const RearrObject &move : moves) {
            if (getAbortedStatus() && confirmAbortRequest())
                return 2;
            double s;
            const bool scored =
                moveFxn && moveFxn(tree, move.node[0], move.node[1], move.node[2], current, &s);
            if (scored && !isBetter(s, current)) {
                hsd->rearrTriedRep += 1.0;
                hsd->rearrTriedTotal += 1.0;
                continue;
            }
            RearrObject inverse;
            if (applyTbrRearr(&inverse, tree, nullptr, &move, false) != 0)
                continue;
            hsd->rearrTriedRep += 1.0;
            hsd->rearrTriedTotal += 1.0;
            afterTreeChange(tree);
            setTraversalSeq(tree);
            if (!scored)
                s = scoreFxn(tree);
            if (isBetter(s, current)) {
                current = s;
                improved = true;
                break;  // the first better neighbour is kept
            }
            undoTbrRearr(tree, nullptr, false);
        }
        if (!improved)
            break;
    }
    tree->score[0] = current;
    *score = current;
    return 0;
}
