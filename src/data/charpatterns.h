// The pattern tree of compact storage: a ternary search tree over the
// columns of a matrix (one site pattern per distinct column), and the
// pattern matrix it becomes when the matrix is complete.
//
// A path from the root spells a column, taxon 0 first. Each level of the
// tree holds the codes of eight consecutive taxa packed into one 64-bit key
// (taxon 0 of the group in the most significant byte), so comparing keys is
// comparing the column's codes in order and an in-order walk yields the
// patterns in increasing lexicographic order. The siblings of one level
// under one parent form a binary search tree balanced as a treap, so
// building costs the same whatever order the columns arrive in.
//
// The tree pays only while columns repeat: once its nodes would outweigh a
// sixteenth of the full byte matrix (and a floor of a mebibyte), or once it
// has made a node for most keys it looked up, a tree with
// per-character arrays gives way to a plain ntax x nchar byte matrix, and
// the columns are grouped by hashing them once the matrix is complete.
#pragma once

#include <cstdint>

#include "data/vorn_data.h"

inline constexpr uint32_t kNoPattern = UINT32_MAX;

// perCharacterArrays: room to receive cells taxon by taxon (the Matrix
// command); without it only whole columns can be inserted. Null on memory
// failure or for sizes beyond the tree's 32-bit node numbers.
PatternTST *createPatternTST(uint32_t ntax, uint32_t nchar, bool perCharacterArrays);
PatternTST *destroyPatternTST(PatternTST *t);

// One cell when cells arrive taxon by taxon: for each character the rows
// must come in increasing order, each once. 1 on memory failure, on a row or
// character out of range, or on a row out of order (nothing stored).
int insertStateIntoPatternTST(PatternTST *t, uint32_t row, uint32_t c, uint8_t code);
// The cells of one row for the characters c .. c + n - 1, as many calls of
// insertStateIntoPatternTST would store them; 1 as that would fail.
int insertRowRunIntoPatternTST(PatternTST *t, uint32_t row, uint32_t c, const uint8_t *codes,
                               uint32_t n);
// Marks the end of a row of cells.
void finishCharGroupTST(PatternTST *t);
// A whole column of ntax codes for character c; 1 on memory failure or a
// character out of range.
int insertFullPatternIntoTST(PatternTST *t, const uint8_t *column, uint32_t c);

uint32_t numPatternsInTST(const PatternTST *t);
uint32_t numNodesInTST(const PatternTST *t);
// The pattern of character c in order of first appearance, kNoPattern while
// its column is incomplete.
uint32_t charPatternInTST(const PatternTST *t, uint32_t c);

// True once the cells went to a byte matrix (see above).
bool patternTSTHoldsMatrix(const PatternTST *t);

// Replaces the compact storage of d (d->nchar characters of d->ntax taxa,
// which must match the tree) by the tree's pattern matrix, the pattern index
// of every character and the list of the characters of every pattern. 1 on
// memory failure or when a character's column is incomplete (d unchanged).
// With mayStoreFull, a tree that holds a byte matrix whose distinct columns
// are more than an eighth of all hands it to d as full storage instead
// (d->compactStorage cleared): the pattern matrix would save too little to
// pay for having both at once.
int makePatternMatrix(PatternTST *t, DataInfo *d, bool mayStoreFull = false);

// True when a sample of the columns of the byte matrix (ntax rows of nchar
// cells) shows so few repeats that distinct patterns are surely more than an
// eighth of the columns, so that full storage is the cheaper one without
// grouping every column. False whenever compact storage might pay.
bool columnSampleShowsFullStorage(const uint8_t *const *cells, uint32_t ntax, uint32_t nchar);
