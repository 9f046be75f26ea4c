// Prints the parsimony length of each user tree for a DNA data set, for the
// comparison with an independent parsimony program.
//
// Input (stdin): "ntax nchar", then one line per taxon with its sequence
// (A C G T, IUPAC ambiguity codes as uncertainty, N ? - as missing), then one
// Newick tree per line whose leaves are 0-based taxon numbers. Output: one
// line "<tree number> <length>" per tree.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "parsimony/pars_init.h"
#include "parsimony/treelen.h"
#include "trees/treeutil.h"

namespace {

uint64_t nucleotideBits(char ch)
{
    static const char *const kCodes[] = {"A1", "C2", "G4", "T8", "U8", "R5", "Y10", "M3", "K12",
                                         "S6", "W9", "B14", "D13", "H11", "V7"};
    for (const char *code : kCodes)
        if (code[0] == ch)
            return std::stoull(code + 1);
    return 0;  // missing
}

// Undirected adjacency of the Newick tree: leaves are taxa 0..ntax-1, the
// inner nodes follow.
struct Graph {
    std::vector<std::vector<uint32_t>> adj;
    uint32_t ntax;
};

bool parseNewick(const std::string &text, Graph &g)
{
    size_t pos = 0;
    std::vector<uint32_t> open;
    uint32_t last = UINT32_MAX;
    auto link = [&](uint32_t child) {
        if (!open.empty()) {
            g.adj[open.back()].push_back(child);
            g.adj[child].push_back(open.back());
        }
    };
    while (pos < text.size() && text[pos] != ';') {
        char ch = text[pos];
        if (ch == '(') {
            g.adj.emplace_back();
            uint32_t n = static_cast<uint32_t>(g.adj.size() - 1);
            link(n);
            open.push_back(n);
            pos++;
        } else if (ch == ')') {
            if (open.empty())
                return false;
            last = open.back();
            open.pop_back();
            pos++;
        } else if (ch >= '0' && ch <= '9') {
            size_t used = 0;
            unsigned long t = std::stoul(text.substr(pos), &used);
            if (t >= g.ntax)
                return false;
            link(static_cast<uint32_t>(t));
            pos += used;
        } else {
            pos++;  // commas and blanks
        }
    }
    return open.empty() && last != UINT32_MAX;
}

// Hangs the tree from the tip of taxon 0; inner nodes of degree two vanish.
TreeNode *hang(Tree *tree, const Graph &g, uint32_t v, uint32_t from, uint32_t &nextFork)
{
    if (v < g.ntax && from != UINT32_MAX)
        return tree->firstTip + v;
    std::vector<TreeNode *> kids;
    for (uint32_t w : g.adj[v])
        if (w != from)
            kids.push_back(hang(tree, g, w, v, nextFork));
    if (kids.size() == 1)
        return kids[0];
    TreeNode *fork = tree->nodes + nextFork++;
    TreeNode **tail = &fork->firstChild;
    for (TreeNode *k : kids) {
        k->anc = fork;
        *tail = k;
        tail = &k->nextSib;
    }
    return fork;
}

}  // namespace

int main()
{
    uint32_t ntax = 0, nchar = 0;
    if (!(std::cin >> ntax >> nchar) || ntax < 3 || nchar == 0) {
        std::fprintf(stderr, "bad header\n");
        return 2;
    }
    DataInfo *d = createDataInfo();
    std::strcpy(d->symbols, "ACGT");
    d->nchar = nchar;
    if (allocTaxaMemory(d, ntax) || initCharInfo(d) || initializeRawData(d, 0))
        return 2;
    d->flags |= kHaveTaxa | kHaveCharacters;
    for (uint32_t t = 0; t < ntax; t++) {
        std::string seq;
        if (!(std::cin >> seq) || seq.size() != nchar) {
            std::fprintf(stderr, "bad sequence %u\n", t);
            return 2;
        }
        for (uint32_t c = 0; c < nchar; c++) {
            uint64_t bits = nucleotideBits(seq[c]);
            setXijRaw(d, t, c, bits ? stateBitsToCode(bits, d) : static_cast<uint8_t>(d->nstates));
        }
    }
    resetParsSettings();
    if (prepareParsimonyData(d)) {
        std::fprintf(stderr, "packing failed\n");
        return 2;
    }
    Tree *tree = createTreeForTaxa(ntax, ntax, true);
    std::string line;
    int number = 0, status = 0;
    while (std::getline(std::cin, line)) {
        if (line.find(';') == std::string::npos)
            continue;
        Graph g{std::vector<std::vector<uint32_t>>(ntax), ntax};
        if (!parseNewick(line, g) || g.adj[0].size() != 1) {
            std::fprintf(stderr, "bad tree: %s\n", line.c_str());
            status = 2;
            break;
        }
        initNodes(tree, ntax);
        uint32_t nextFork = ntax + 1;
        TreeNode *top = hang(tree, g, g.adj[0][0], 0, nextFork);
        tree->root = tree->firstTip;
        tree->root->firstChild = top;
        top->anc = tree->root;
        afterTreeChange(tree);
        pointTreeAtPackedData(tree, d);
        std::printf("%d %.6f\n", ++number, calcTreeLength(d, tree, true, false));
    }
    destroyTree(tree, true);
    deallocPackedData(d);
    destroyDataInfo(d);
    return status;
}
