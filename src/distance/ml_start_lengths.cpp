#include "distance/ml_start_lengths.h"

#include "distance/dcalc.h"
#include "distance/dmatrix.h"
#include "distance/lsfit.h"

namespace {

LSData *gStartLS = nullptr;

}  // namespace

int prepareMLStartLengths(DataInfo *d, Tree *tree, int distType, bool reuseMatrix)
{
    releaseMLStartLengths();
    if (!reuseMatrix || gDistancesForML == nullptr) {
        const int rc = calcDistanceMatrix(d, static_cast<uint32_t>(distType), true, true, false, nullptr,
                                          &gDistancesForML);
        if (rc != 0)
            return rc;
    }
    if (gDistancesForML == nullptr)
        return 1;
    if (tree == nullptr)
        return 0;
    gStartLS = createLSData(gDistancesForML->distances, tree, gDistancesForML->ntax, true);
    if (gStartLS == nullptr)
        return 1;
    if (prepLS(gStartLS, true) != 0) {
        releaseMLStartLengths();
        return 1;
    }
    return 0;
}

int fitMLStartLengths(Tree *tree)
{
    if (gStartLS == nullptr)
        return 1;
    // The fit follows whichever tree the driver is starting from.
    gStartLS->tree = tree;
    olsFitUnconstr(gStartLS, tree, true);
    copyBrLensToTree(gStartLS);
    return 0;
}

void releaseMLStartLengths() { gStartLS = destroyLSData(gStartLS); }
