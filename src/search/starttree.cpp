#include "search/starttree.h"

#include "search/search.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "qel/qel_errormsg.h"
#include "search/search_settings.h"

namespace {

bool isPrefixOf(const char *word, const char *keyword)
{
    const size_t n = std::strlen(word);
    return n > 0 && n <= std::strlen(keyword) && strncasecmp(word, keyword, n) == 0;
}

// A positive tree number filling the whole text; 0 when it is not one.
uint32_t treeNumber(const char *text, const char **end)
{
    if (!std::isdigit(static_cast<unsigned char>(*text)))
        return 0;
    char *stop = nullptr;
    const unsigned long v = std::strtoul(text, &stop, 10);
    *end = stop;
    return v == 0 || v > 0x7FFFFFFFul ? 0 : static_cast<uint32_t>(v);
}

int badTreeNumber() { return qel_errorMsg(505, "Invalid tree identifier(s) for starting tree(s)."), 1; }

}  // namespace

int parseStartOption(const char *word, StartTreeSpec *spec)
{
    if (!word || !*word)
        return badTreeNumber();
    if (std::isdigit(static_cast<unsigned char>(*word))) {
        const char *end = word;
        const uint32_t first = treeNumber(word, &end);
        uint32_t last = first;
        if (first && *end == '-') {
            const char *end2 = end + 1;
            last = treeNumber(end + 1, &end2);
            end = end2;
        }
        if (!first || !last || *end != '\0' || last < first)
            return badTreeNumber();
        *spec = StartTreeSpec{kStartRange, first, last};
        return 0;
    }
    if (isPrefixOf(word, "Stepwise")) {
        *spec = StartTreeSpec{kStartStepwise, 0, 0};
        return 0;
    }
    if (isPrefixOf(word, "Current")) {
        *spec = StartTreeSpec{kStartCurrent, 0, 0};
        return 0;
    }
    if (isPrefixOf(word, "Nj")) {
        if (gCriterion == kCriterionParsimony)
            return qel_errorMsg(556,
                                "Neighbor-joining is not permitted for starting tree when optimality criterion is "
                                "parsimony.\tThis would require computing a (potentially large) distance matrix.  "
                                "You can always compute the NJ tree separately and then start the heuristic search "
                                "with \"start=1\""),
                   1;
        *spec = StartTreeSpec{kStartNJ, 0, 0};
        return 0;
    }
    return badTreeNumber();
}

const char *defaultStartString() { return gCriterion == kCriterionDistance ? "NJ" : "Stepwise"; }

void resetStartSpec(StartTreeSpec *spec) { *spec = StartTreeSpec{kStartStepwise, 0, 0}; }

namespace {
NJStartTreeFxn gNJStartTree = nullptr;
}

void setNJStartTreeFxn(NJStartTreeFxn fxn) { gNJStartTree = fxn; }

bool upgmaStartTree(const DataInfo *data) { return gCriterion == kCriterionLikelihood && isRootedSearch(data); }

int makeNJStartingTree(DataInfo *data, Tree *tree)
{
    if (!gNJStartTree)
        return qel_errorMsg(0, "Neighbor-joining starting trees are not available."), 1;
    return gNJStartTree(data, tree);
}
