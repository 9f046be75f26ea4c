#include "data/usertypes.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "data/assump.h"
#include "data/data_services.h"
#include "data/nexsets.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "qel/qel_matrices.h"
#include "qel/qel_output.h"
#include "qel/qel_strings.h"
#include "cli/qel_cmdline.h"
#include "cli/shell_settings.h"

UserType *gFirstUsertype = nullptr;

namespace {

constexpr const char *kUsertypeFormats = "stepmatrix\0cstree\0realmatrix\0";

// Costs while a stepmatrix is built: every cost as a double, infinity as
// +inf, so that the checks read one way for both storage kinds.
struct CostTable {
    uint32_t n = 0;
    std::vector<double> d;
    double &at(uint32_t i, uint32_t j) { return d[static_cast<size_t>(i) * n + j]; }
};

int quietMsg(uint32_t, const char *, ...) { return 1; }

bool isStateSymbolOf(const DataInfo *d, int c)
{
    if (c == static_cast<int>(d->gapSymbol) && d->gapSymbol)
        return true;
    for (const char *s = d->symbols; *s; ++s)
        if (*s == c || (!d->respectCase && std::tolower(static_cast<unsigned char>(*s)) ==
                                               std::tolower(static_cast<unsigned char>(c))))
            return true;
    return false;
}

uint32_t countDecimals(const char *token)
{
    const char *dot = std::strchr(token, '.');
    if (!dot)
        return 0;
    uint32_t n = 0;
    for (const char *p = dot + 1; std::isdigit(static_cast<unsigned char>(*p)); ++p)
        ++n;
    return n;
}

// Warning 422 runs straight into its list of violations, so it has no
// blank line after it as other warnings do.
void warnInconsistent(const char *name)
{
    errorSound();
    qel_printf("\n");
    const char *previous = setOutputPrefix("******  ");
    qel_printf("\nWarning: \bUser-defined stepmatrix type \"%s\" is internally inconsistent:\n", name);
    setOutputPrefix(previous);
}

double roundTo(double x, double tolerance) { return std::round(x / tolerance) * tolerance; }

// The triangle-inequality check and the adjustment, on the working table.
// Integer tables compare exactly; real ones within the tolerance.
void checkTriangle(UserType *ut, CostTable &t)
{
    const uint32_t n = t.n;
    const bool real = ut->realValued;
    const int dec = static_cast<int>(ut->decimals);
    bool marked = false, reported = false;
    for (uint32_t i = 0; i < n; ++i) {
        for (uint32_t j = 0; j < n; ++j) {
            if (j == i)
                continue;
            for (uint32_t k = 0; k < n; ++k) {
                if (k == i || k == j || std::isinf(t.at(i, k)) || std::isinf(t.at(k, j)))
                    continue;
                double s = t.at(i, k) + t.at(k, j);
                const double dij = t.at(i, j);
                bool report;
                if (real) {
                    s = roundTo(s, ut->tolerance);
                    if (!(dij > s))
                        continue;
                    marked = true;
                    report = dij - s > 2 * ut->tolerance;
                } else {
                    if (!(s < dij))
                        continue;
                    marked = report = true;
                }
                if (!report)
                    continue;
                if (!reported) {
                    warnInconsistent(ut->name);
                    reported = true;
                }
                const char a = ut->symbols[i], b = ut->symbols[j], c = ut->symbols[k];
                if (real)
                    qel_printf("     d(%c,%c) + d(%c,%c) = \b%.*f + %.*f = %.*f < d(%c,%c) = ", a, c, c, b, dec,
                               t.at(i, k), dec, t.at(k, j), dec, s, a, b);
                else
                    qel_printf("     d(%c,%c) + d(%c,%c) = \b%d + %d = %d < d(%c,%c) = ", a, c, c, b,
                               static_cast<int>(t.at(i, k)), static_cast<int>(t.at(k, j)), static_cast<int>(s),
                               a, b);
                if (std::isinf(dij))
                    qel_printf("infinity\n");
                else if (real)
                    qel_printf("%.*f\n", dec, dij);
                else
                    qel_printf("%d\n", static_cast<int>(dij));
            }
        }
    }
    if (!marked)
        return;
    // Relaxation until nothing changes: costs are never negative, so every
    // change lowers a cost towards its shortest path and the passes end.
    bool changed = true;
    while (changed) {
        changed = false;
        for (uint32_t i = 0; i < n; ++i) {
            for (uint32_t j = ut->asymmetric ? 0 : i + 1; j < n; ++j) {
                if (j == i)
                    continue;
                for (uint32_t k = 0; k < n; ++k) {
                    if (k == i || k == j || std::isinf(t.at(i, k)) || std::isinf(t.at(k, j)))
                        continue;
                    const double s = t.at(i, k) + t.at(k, j);
                    if (t.at(i, j) > s) {
                        t.at(i, j) = s;
                        if (!ut->asymmetric)
                            t.at(j, i) = s;
                        changed = true;
                    }
                }
            }
        }
    }
    if (!reported)
        return;
    qel_printf("   Stepmatrix has been adjusted %s.\n",
               ut->asymmetric ? "to eliminate all inconsistencies" : "for satisfaction of triangle inequality");
    double maxCost = 0;
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < n; ++j)
            if (i != j && !std::isinf(t.at(i, j)))
                maxCost = std::max(maxCost, t.at(i, j));
    if (maxCost == 0)
        qel_warningMsg(431, "All costs in adjusted stepmatrix \"%s\" are now zero!\n", ut->name);
}

// Stores the working table in the record's own matrix and fills the summary
// fields. 1 on memory failure.
int storeCosts(UserType *ut, CostTable &t)
{
    const uint32_t n = t.n;
    ut->maxCost = 0;
    ut->hasInfinity = 0;
    if (ut->realValued) {
        ut->realCosts = static_cast<double **>(allocMatrix(sizeof(double), n, n));
        if (!ut->realCosts)
            return 1;
    } else {
        ut->intCosts = static_cast<int16_t **>(allocMatrix(sizeof(int16_t), n, n));
        if (!ut->intCosts)
            return 1;
    }
    for (uint32_t i = 0; i < n; ++i) {
        for (uint32_t j = 0; j < n; ++j) {
            const double v = i == j ? 0.0 : t.at(i, j);
            const bool inf = std::isinf(v);
            ut->hasInfinity |= inf;
            if (!inf)
                ut->maxCost = std::max(ut->maxCost, v);
            if (ut->realValued)
                ut->realCosts[i][j] = inf ? kUserTypeRealInfinity : v;
            else
                ut->intCosts[i][j] = inf ? kUserTypeIntInfinity : static_cast<int16_t>(v);
        }
    }
    return 0;
}

// Reads "n symbols costs ;" into ut. 0, or 1 after an error report.
int readStepmatrix(UserType *ut, DataInfo *d, bool forceReal)
{
    char token[17];
    if (readSpecialToken(token, sizeof token, nullptr, getNumericPunct(), nullptr, false) < 0)
        return 1;
    uint32_t n = 0;
    const bool digits = token[0] && std::strspn(token, "0123456789") == std::strlen(token);
    if (!digits || tokenWasTruncated() || (n = static_cast<uint32_t>(std::strtoul(token, nullptr, 10))) == 0 ||
        n > 255)
        return qel_errorMsg(407, "Invalid number of character states specified for stepmatrix: %s", token), 1;
    ut->n = static_cast<uint8_t>(n);
    ut->symbols = allocArrayOf<char>(n + 1);
    if (!ut->symbols)
        return 1;
    for (uint32_t i = 0; i < n; ++i) {
        const int c = readNextDarkChar(nullptr);
        if (c < 0 || c == ';')
            return qel_errorMsg(404, "Invalid stepmatrix definition."), 1;
        if (!isStateSymbolOf(d, c))
            qel_warningMsg(403, "Unrecognized character-state for usertype \"%s\": '%c'", ut->name, c);
        ut->symbols[i] = static_cast<char>(c);
    }
    CostTable t;
    t.n = n;
    t.d.assign(static_cast<size_t>(n) * n, 0.0);
    ut->realValued = forceReal;
    for (uint32_t i = 0; i < n; ++i) {
        for (uint32_t j = 0; j < n; ++j) {
            if (readSpecialToken(token, sizeof token, nullptr, getNumericPunct(), nullptr, false) < 0)
                return 1;
            if (isTokenSemicolon(token))
                return qel_errorMsg(404, "Invalid stepmatrix definition."), 1;
            if (i == j)
                continue;
            double v;
            if (token[0] == 'i' || token[0] == 'I') {
                v = HUGE_VAL;
            } else if (tokenWasTruncated() || stringToDouble(token, &v) != kConvOk || !std::isfinite(v) ||
                       v < 0) {
                // A negative cost could make the adjustment below run forever.
                return qel_errorMsg(402, "Invalid cost in definition of usertype \"%s\": \"%s\"", ut->name, token),
                       1;
            } else {
                if (std::strchr(token, '.') || v != std::floor(v))
                    ut->realValued = 1;
                ut->decimals = std::max(ut->decimals, countDecimals(token));
            }
            t.at(i, j) = v;
            if (i > j && !(t.at(i, j) == t.at(j, i)))
                ut->asymmetric = 1;
        }
    }
    if (ut->realValued) {
        ut->tolerance = std::pow(10.0, -static_cast<double>(ut->decimals));
    } else {
        // 32767 is the integer matrix's infinity: a finite cost must stay below it.
        for (double v : t.d)
            if (!std::isinf(v) && v >= kUserTypeIntInfinity)
                return qel_errorMsg(430,
                                    "Integer stepmatrix cost values may not exceed %d.\tUse smaller numbers, or "
                                    "use decimal points to force slower floating-point calculations.",
                                    kUserTypeIntInfinity - 1),
                       1;
    }
    if (readSemicolon() != 0)
        return 1;
    checkTriangle(ut, t);
    return storeCosts(ut, t);
}

int readCSTreeType(UserType *ut)
{
    uint32_t count = 0;
    ut->tree = getCSTreeNode(ut->name, &count);
    if (!ut->tree)
        return 1;
    ut->n = static_cast<uint8_t>(count);
    ut->symbols = allocArrayOf<char>(count + 1);
    ut->intCosts = static_cast<int16_t **>(allocMatrix(sizeof(int16_t), count, count));
    if (!ut->symbols || !ut->intCosts)
        return 1;
    std::vector<const CSTreeNode *> nodes;
    for (const CSTreeNode *p = ut->tree; p; p = p->nextNode)
        nodes.push_back(p);
    ut->maxCost = 0;
    for (uint32_t i = 0; i < count; ++i) {
        ut->symbols[i] = nodes[i]->symbol;
        for (uint32_t j = 0; j < count; ++j) {
            // Edges on the path: the bits of either mask not in the common ancestor's.
            const auto steps = static_cast<int16_t>(std::popcount(nodes[i]->pathMask ^ nodes[j]->pathMask));
            ut->intCosts[i][j] = steps;
            ut->maxCost = std::max(ut->maxCost, static_cast<double>(steps));
        }
    }
    return 0;
}

// Characters and type sets that named the old record name the new one, or
// fall back to unordered when the new definition does not fit them.
void moveUsertypeReferences(UserType *old, UserType *replacement)
{
    DataInfo *d = activeDataInfo();
    const uint32_t newCode = replacement ? usertypeCharCode(replacement) : kCharUnordered;
    auto fits = [&](uint32_t c) {
        if (!replacement)
            return false;
        // The check's own message is not wanted here: a misfit falls back quietly.
        const MsgHook saved = qel_errorMsg;
        qel_errorMsg = quietMsg;
        const bool ok = checkUsertypeCompat(c, replacement, d, false) == 0;
        qel_errorMsg = saved;
        return ok;
    };
    bool changed = false;
    if (d && d->userTypes && d->status) {
        for (uint32_t c = 0; c < d->nchar; ++c) {
            if (d->userTypes[c] != old)
                continue;
            const bool ok = fits(c);
            d->userTypes[c] = ok ? replacement : nullptr;
            d->status[c] = (d->status[c] & ~(kCharTypeMask | kCharDownVariant | kCharStateTree)) |
                           (ok ? newCode : kCharUnordered);
            changed = true;
        }
    }
    for (Nexset *ts = gNexsets.typesets; ts; ts = ts->next) {
        if (!ts->payload || !ts->second.typeCodes)
            continue;
        auto *refs = static_cast<UserType **>(ts->payload);
        for (uint32_t c = 0; d && c < d->nchar; ++c) {
            if (refs[c] != old)
                continue;
            const bool ok = fits(c);
            refs[c] = ok ? replacement : nullptr;
            ts->second.typeCodes[c] = ok ? newCode : kCharUnordered;
        }
    }
    if (changed) {
        d->statusUpToDate = 0;
        dataServices().setNeedParsPrep(3);
    }
}

void linkUsertype(UserType *ut)
{
    UserType **slot = &gFirstUsertype;
    while (*slot && stricmp((*slot)->name, ut->name) != 0)
        slot = &(*slot)->next;
    UserType *old = *slot;
    ut->next = old ? old->next : nullptr;
    *slot = ut;
    if (old) {
        moveUsertypeReferences(old, ut);
        deleteUsertype(old);
        showRedefined("User-defined type", ut->name);
    }
}

// ---- ShowUserTypes -------------------------------------------------------------

void showStepmatrix(const UserType *ut)
{
    qel_printf("\nStepmatrix \"%s\" (%s):\n", ut->name, ut->asymmetric ? "asymmetric" : "symmetric");
    const uint32_t n = ut->n;
    const int dec = static_cast<int>(ut->decimals);
    auto text = [&](uint32_t i, uint32_t j, char *buf, size_t size) {
        const double v = usertypeCost(ut, i, j);
        if (i == j)
            std::snprintf(buf, size, "-");
        else if (v >= kUserTypeRealInfinity)
            std::snprintf(buf, size, "inf");
        else if (ut->realValued)
            std::snprintf(buf, size, "%.*f", dec, v);
        else
            std::snprintf(buf, size, "%d", static_cast<int>(v));
    };
    int widest = 1;
    char buf[64];
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < n; ++j)
            if (i != j) {
                text(i, j, buf, sizeof buf);
                widest = std::max(widest, static_cast<int>(std::strlen(buf)));
            }
    int width = widest + 2;
    if (ut->hasInfinity)
        width = std::max(width, 4);
    const uint32_t room = std::max<uint32_t>(getOutputLineLength(), 20) - 10;
    const uint32_t perBlock = std::max<uint32_t>(1, room / static_cast<uint32_t>(width));
    for (uint32_t first = 0; first < n; first += perBlock) {
        const uint32_t last = std::min(n, first + perBlock);
        qel_printf("\n       TO:");
        for (uint32_t j = first; j < last; ++j)
            qel_printf("%*c", width, ut->symbols[j]);
        qel_printf("\n");
        for (uint32_t i = 0; i < n; ++i) {
            qel_printf("%7s %c ", i == 0 ? "  FROM:" : "", ut->symbols[i]);
            for (uint32_t j = first; j < last; ++j) {
                text(i, j, buf, sizeof buf);
                qel_printf("%*s", width, buf);
            }
            qel_printf("\n");
        }
        if (getAbortedStatus())
            return;
    }
}

// Leaves four columns apart; a parent sits over the middle of its children.
uint32_t getCoords(const CSTreeNode *node, uint32_t depth, uint32_t &nextLeaf, std::vector<uint32_t> &x,
                   std::vector<uint32_t> &level)
{
    level[node->nodeNum] = depth;
    if (!node->firstChild) {
        x[node->nodeNum] = nextLeaf;
        nextLeaf += 4;
    } else {
        uint32_t lo = 0, hi = 0;
        for (const CSTreeNode *c = node->firstChild; c; c = c->nextSib) {
            const uint32_t cx = getCoords(c, depth + 1, nextLeaf, x, level);
            if (c == node->firstChild)
                lo = cx;
            hi = cx;
        }
        x[node->nodeNum] = (lo + hi) / 2;
    }
    return x[node->nodeNum];
}

// The root on top; under each parent a "|" drops to a row of "-" that
// spans its children, with "+" over each child and under the parent.
void showCSTree(const UserType *ut)
{
    qel_printf("\nCharacter-state tree \"%s\":\n\n", ut->name);
    std::vector<const CSTreeNode *> nodes;
    for (const CSTreeNode *p = ut->tree; p; p = p->nextNode)
        nodes.push_back(p);
    std::vector<uint32_t> x(nodes.size()), level(nodes.size());
    uint32_t nextLeaf = 0;
    getCoords(ut->tree, 0, nextLeaf, x, level);
    const uint32_t depth = *std::max_element(level.begin(), level.end());
    const size_t width = nextLeaf + 1;
    for (uint32_t l = 0; l <= depth; ++l) {
        std::string row(width, ' '), joins(width, ' '), drops(width, ' ');
        bool anyJoin = false;
        for (const CSTreeNode *p : nodes) {
            if (level[p->nodeNum] != l)
                continue;
            row[x[p->nodeNum]] = p->symbol;
            if (!p->firstChild)
                continue;
            anyJoin = true;
            const uint32_t lo = x[p->firstChild->nodeNum], hi = x[p->lastChild->nodeNum];
            for (uint32_t i = lo; i <= hi; ++i)
                joins[i] = '-';
            for (const CSTreeNode *c = p->firstChild; c; c = c->nextSib)
                joins[x[c->nodeNum]] = '+';
            joins[x[p->nodeNum]] = '+';
            drops[x[p->nodeNum]] = '|';
        }
        row.erase(row.find_last_not_of(' ') + 1);
        qel_printf("    %s\n", row.c_str());
        if (anyJoin) {
            drops.erase(drops.find_last_not_of(' ') + 1);
            qel_printf("    %s\n", drops.c_str());
            joins.erase(joins.find_last_not_of(' ') + 1);
            qel_printf("    %s\n", joins.c_str());
        }
    }
}

}  // namespace

uint32_t usertypeCharCode(const UserType *ut) { return ut->tree ? (kCharOrdered | kCharStateTree) : kCharUserType; }

UserType *findUsertype(const char *name)
{
    for (UserType *ut = gFirstUsertype; ut; ut = ut->next)
        if (stricmp(ut->name, name) == 0)
            return ut;
    return nullptr;
}

double usertypeCost(const UserType *ut, uint32_t i, uint32_t j)
{
    if (ut->realValued)
        return ut->realCosts[i][j];
    const int16_t v = ut->intCosts[i][j];
    return v == kUserTypeIntInfinity ? kUserTypeRealInfinity : v;
}

CSTreeNode *createCSTreeNode(CSTreeNode *parent, char state, uint32_t nodeNum)
{
    auto *node = static_cast<CSTreeNode *>(allocBlock(sizeof(CSTreeNode)));
    if (!node)
        return nullptr;
    node->symbol = state;
    node->nodeNum = nodeNum;
    node->parent = parent;
    if (parent) {
        node->pathMask = parent->pathMask | (uint64_t{1} << (nodeNum - 1));
        if (parent->lastChild)
            parent->lastChild->nextSib = node;
        else
            parent->firstChild = node;
        parent->lastChild = node;
    }
    return node;
}

CSTreeNode *deallocCSTree(CSTreeNode *root)
{
    while (root) {
        CSTreeNode *next = root->nextNode;
        deallocBlock(root);
        root = next;
    }
    return nullptr;
}

CSTreeNode *getCSTreeNode(const char *typeName, uint32_t *nodeCount)
{
    CSTreeNode *root = createCSTreeNode(nullptr, '*', 0);
    if (!root)
        return nullptr;
    CSTreeNode *cur = root, *lastMade = root;
    uint32_t count = 1, open = 0;
    bool canName = true;
    auto fail = [&](int code) {
        if (code == 418)
            qel_errorMsg(418, "Unbalanced parentheses in character-state-tree definition.");
        else if (code == 419)
            qel_errorMsg(419, "Invalid character-state-tree definition.");
        return deallocCSTree(root);
    };
    auto newNode = [&](CSTreeNode *parent) -> CSTreeNode * {
        if (count > kMaxCSTreeNodes) {
            qel_errorMsg(0, "Character-state tree \"%s\" has more than %u nodes below its root.", typeName,
                         kMaxCSTreeNodes);
            return nullptr;
        }
        CSTreeNode *node = createCSTreeNode(parent, '*', count);
        if (!node)
            return nullptr;
        lastMade->nextNode = node;
        lastMade = node;
        ++count;
        return node;
    };
    for (;;) {
        const int c = readNextDarkChar(nullptr);
        if (c < 0) {
            if (c == kCharEnd)
                qel_errorMsg(114, "Unexpected end-of-file was encountered.\tMake sure the file format is correct "
                                  "for the current operation.");
            return fail(0);
        }
        if (c == '(') {
            if (!(cur = newNode(cur)))
                return fail(0);
            ++open;
            canName = true;
        } else if (c == ',') {
            if (cur == root)
                return fail(419);
            if (!(cur = newNode(cur->parent)))
                return fail(0);
            canName = true;
        } else if (c == ')') {
            if (open == 0)
                return fail(418);
            --open;
            cur = cur->parent;
            canName = true;
        } else if (c == ';') {
            if (open)
                return fail(418);
            break;
        } else {
            if (!canName || cur->symbol != '*')
                return fail(419);
            cur->symbol = static_cast<char>(c);
            canName = false;
        }
    }
    *nodeCount = count;
    return root;
}

void recPutCSTree(const CSTreeNode *node, char *out, uint32_t size)
{
    auto put = [&](char c) {
        size_t len = std::strlen(out);
        if (len + 1 < size) {
            out[len] = c;
            out[len + 1] = '\0';
        }
    };
    if (node->firstChild) {
        put('(');
        for (const CSTreeNode *c = node->firstChild; c; c = c->nextSib) {
            if (c != node->firstChild)
                put(',');
            recPutCSTree(c, out, size);
        }
        put(')');
    }
    if (node->symbol != '*')
        put(node->symbol);
}

UserType *deleteUsertype(UserType *ut)
{
    if (!ut)
        return nullptr;
    deallocCSTree(ut->tree);
    deallocMatrix(ut->intCosts);
    deallocMatrix(ut->realCosts);
    deallocArray(ut->symbols);
    deallocBlock(ut);
    return nullptr;
}

void deallocAllUsertypes()
{
    while (gFirstUsertype) {
        UserType *next = gFirstUsertype->next;
        moveUsertypeReferences(gFirstUsertype, nullptr);
        deleteUsertype(gFirstUsertype);
        gFirstUsertype = next;
    }
}

int checkUsertypeCompat(uint32_t c, const UserType *ut, DataInfo *d, bool gapModeChange)
{
    const Set *allMissing = getNexsetSet(&gNexsets.builtins[kBuiltinAllMissing]);
    if (allMissing && c < allMissing->capacity && isSetMember(allMissing, c))
        return 0;
    const bool gapIsState = gapModeChange || dataServices().gapMode() == kGapModeNewState;
    auto known = [&](char sym) {
        for (uint32_t i = 0; i < ut->n; ++i)
            if (ut->symbols[i] == sym ||
                (!d->respectCase && std::tolower(static_cast<unsigned char>(ut->symbols[i])) ==
                                        std::tolower(static_cast<unsigned char>(sym))))
                return true;
        return false;
    };
    const uint32_t nsym = static_cast<uint32_t>(std::strlen(d->symbols));
    for (int32_t t = 0; t < d->nActive; ++t) {
        const uint8_t code = getXijRaw(d, t, c);
        char bad = 0;
        if (code == kGapCode) {
            if (gapIsState && !known(static_cast<char>(d->gapSymbol)))
                bad = static_cast<char>(d->gapSymbol);
        } else if (code != d->nstates) {
            for (uint64_t w = stateBitsOfCode(d, code); w && !bad; w &= w - 1) {
                const auto s = static_cast<uint32_t>(std::countr_zero(w));
                if (s < nsym && !known(d->symbols[s]))
                    bad = d->symbols[s];
            }
        }
        if (!bad)
            continue;
        if (gapModeChange)
            return qel_errorMsg(432, "One or more active stepmatrix definitions does not include costs for changes "
                                     "to the gap state. You must assign different types to these characters before "
                                     "changing the gap-mode setting."),
                   1;
        char label[160];
        const char *name = d->charLabels ? getCharLabel(d, c) : nullptr;
        if (name && *name)
            std::snprintf(label, sizeof label, "%u (%s)", c + 1, name);
        else
            std::snprintf(label, sizeof label, "%u", c + 1);
        return qel_errorMsg(412, "Character %s is not compatible with usertype \"%s\" (state '%c' is not defined in "
                                 "the stepmatrix).",
                            label, ut->name, bad),
               1;
    }
    return 0;
}

int doUsertypeCmd()
{
    DataInfo *d = activeDataInfo();
    char name[kNexsetNameSize];
    bool star = false;
    uint32_t mask = 0;
    const int head = readTagAndFmt("UserType", kUsertypeFormats, name, sizeof name, &star, &mask);
    if (head != 0)
        return head == 2 ? 0 : 1;
    auto *ut = static_cast<UserType *>(allocBlock(sizeof(UserType)));
    if (!ut)
        return 1;
    strcpy_n(ut->name, name, sizeof ut->name);
    // "cstree" alone selects a tree; any other choice is a stepmatrix.
    const bool tree = mask == 2;
    const int status = tree ? readCSTreeType(ut) : readStepmatrix(ut, d, (mask & 4) != 0);
    if (status != 0 || memoryErrorHasOccurred()) {
        deleteUsertype(ut);
        return 1;
    }
    linkUsertype(ut);
    return 0;
}

int doShowUsrTypesCmd()
{
    if (!gFirstUsertype) {
        qel_printf("\nNo user-defined types have been declared.\n");
        return skipRestOfCmd() == 0 ? 0 : 1;
    }
    char token[129];
    if (readToken(token, sizeof token) < 0)
        return 1;
    const UserType *only = nullptr;
    if (!isTokenSemicolon(token)) {
        if (!(only = findUsertype(token)))
            return qel_errorMsg(406, "%s name \"%s\" is unrecognized.", "User-defined-type", token), 1;
        if (readSemicolon() != 0)
            return 1;
    }
    for (const UserType *ut = gFirstUsertype; ut; ut = ut->next) {
        if (only && ut != only)
            continue;
        if (ut->tree)
            showCSTree(ut);
        else
            showStepmatrix(ut);
        if (getAbortedStatus())
            return 2;
    }
    return 0;
}
