// QSearch method=QMC: the quartets handed to the outside quartet max-cut
// program and the tree it writes read back into the working tree.
#pragma once

#include <cstdint>
#include <cstdio>

struct QuartetData;
struct Tree;

// 0; 1 after an error report or a failing program; 2 when the user stopped it.
int qsearch_QMC(QuartetData *qd, Tree *tree);

// One line of the quartet file: "a,b|c,d" with the taxa counted from 1, and
// ":weight" (10 decimals) when the data are weighted.
void writeOneQuartet(std::FILE *fp, uint32_t a, uint32_t b, uint32_t c, uint32_t d, bool weighted, double weight);
