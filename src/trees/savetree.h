// Writing trees: SaveTrees in its six formats (NEXUS with a Translate table,
// NEXUS with labels, FreqPars ancestor lists, raw Newick, Hennig86 and
// PHYLIP), and MatrixRep, the binary matrix with one character per clade.
// Everything goes through the auxiliary output stream.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "data/taxlabels.h"
#include "trees/treeutil.h"

struct DataInfo;

// Writes a label in a format's convention into buffer; returns buffer.
using TreeLabelFxn = char *(*)(const char *label, char *buffer, size_t size);

// A length as written with that many decimals: fitted lengths that are zero
// come out of the arithmetic as noise of either sign, and are shown as 0
// rather than as "-0.000".
double zeroBelowLastDecimal(double v, int decimals);

// The PHYLIP rule without the cut to 10 characters (relaxed PHYLIP).
char *relaxedPhylipLabel(const char *label, char *buffer, size_t size);
char *nexusTreeLabel(const char *label, char *buffer, size_t size);

// The words a tree file names taxa by, one per label. Newick and PHYLIP:
// the format's label rule with every character that would change how the
// file parses dropped (quotes, comment brackets, colons, "="); NEXUS: the
// label itself, to be quoted as the format needs. A word that would be taken
// for another taxon (the same word, or another taxon's label or Newick word)
// is numbered at its end. PHYLIP words keep at most 10 characters. The tree
// reader maps these words back to their taxa.
std::vector<std::string> treeFileTaxonWords(const std::vector<std::string> &labels, uint32_t format);
// The same for the taxa of the main tree buffer (its labels, else the
// data's); *numbered, when given, counts the words that had to be numbered.
std::vector<std::string> treeFileTaxonWords(const DataInfo *data, uint32_t format, uint32_t *numbered);
// How the tree reader compares such words: blanks and underscores alike,
// case ignored, trailing blanks dropped.
std::string normalizedTreeWord(std::string_view word);

// "%.3f" with trailing zeros (and a bare point) removed; a shared buffer.
std::string formatEdgeSupportValue(double value);

// The NEXUS header, an optional TAXA block, the optional command block that
// turns on branch-length storage, and "Begin trees;".
void auxPutTreesBlkCmd(bool withTaxaBlock, bool withStoreCmd, const DataInfo *data);
void writeTransTable(const DataInfo *data);

// Length modes of a description: 0 none, 1 branch lengths, 2 support values.
enum : uint32_t { kDescrNoLengths = 0, kDescrBrlens = 1, kDescrSupport = 2 };

// Newick text of tree (no semicolon) to the auxiliary stream. A tree held at
// a tip is written from its first fork, so every taxon is named.
void outputTreeDescription(Tree *tree, bool isSupportTree, uint32_t lengthMode, bool supportAsLabels,
                           bool useNumbers, char separator, uint32_t decimals, TreeLabelFxn labelFxn,
                           const DataInfo *data);

// The label writer of a tree-file format.
TreeLabelFxn treeLabelWriter(uint32_t format);
// The FreqPars form of tree: the unrooted binary tree as a list of
// ancestors, rooted at the last taxon (tips 1..n, forks after them in
// postorder), on one line. The tree is rerooted. 0 written, 1 on a write
// error, -1 when the tree is not binary, -2 when it lacks a nondeleted
// taxon (nothing written: FreqPars takes binary trees of every taxon only).
int writeFreqParsDescription(Tree *tree);
// Tree number treeNumber of the main buffer, already in tree, given the
// branch lengths the current criterion fits to the data as they stand now;
// an unrooted tree (rooted false) comes back unrooted, its two root edges
// joined. 0, or the failing status after its message.
int optimizeTreeLengthsForOutput(Tree *tree, DataInfo *data, uint32_t treeNumber, bool rooted);

int saveTreesToFile(DataInfo *data, bool matrixRep);
int doSaveTreesCmd();
int doMatrixRepCmd();
