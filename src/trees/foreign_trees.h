// Tree files written by outside programs (tree searches, quartet programs)
// that know the taxa only by the words they were given: plain Newick
// descriptions or a NEXUS TREES block with an optional Translate table. Each
// tip word is mapped back to its taxon by the caller, and the description is
// then read by the tree reader with the data set's own labels, so that a
// word the program was given never has to match a label.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct Tree;

// The active taxon a tip word names, or -1. `quoted`: the word was written
// in single quotes (its doubled quotes already undone).
using ForeignTaxonFxn = std::function<int32_t(const std::string &word, bool quoted)>;
// Receives each tree read; a nonzero return stops the reading with that status.
using ForeignTreeStoreFxn = std::function<int(Tree *tree)>;

// Every tree of the file at `path`, read unrooted with its branch lengths;
// `program` names the writer in messages. 0; 1 after an error report (a
// missing file, a description naming an unknown word); or the status the
// store function returned.
int readForeignTrees(const std::string &path, const char *program, const ForeignTaxonFxn &taxonOf,
                     const ForeignTreeStoreFxn &store, uint32_t *treesRead);

// A Newick description (through its ";") rewritten with each tip word
// replaced by the NEXUS word of its taxon's label; internal-node labels
// and comments are dropped. 1 after an error report.
int relabelForeignNewick(const std::string &description, const char *program, const ForeignTaxonFxn &taxonOf,
                         std::string &out);
