// ShowDist and SaveDist: the current distance matrix on the terminal and in
// files other programs read (one-column and tab-separated text, NEXUS,
// PHYLIP and relaxed PHYLIP), and the printer of square taxon-by-taxon
// tables that other displays share.
#pragma once

#include <cstdint>
#include <string>

#include "distance/distance_settings.h"

struct DataInfo;
struct DMatrix;

int doShowDistCmd();
int doExportDistCmd();

// Prints a matrix with its heading and settings: 0, 1 when there is none,
// 2 when the user stopped it.
int showDistanceMatrix(const DMatrix *dm, DataInfo *d);

enum : int { kCellScore = 0, kCellInt = 1, kCellFloat = 2, kCellDouble = 3 };

// A square table of n rows (row pointers to int32_t, float or double by the
// cell kind), in blocks of columns that fit the output width. taxonList
// holds the taxon numbers (0-based) shown for the rows, null for 0 .. n-1.
// With both triangles the doubles above the diagonal take `decimals`, those
// below the parsimony score decimals. 0, or 2 when the user stopped the
// display (which says so).
int showPairwiseTaxaMatrix(const void *const *matrix, const DataInfo *d, int cellKind, uint32_t triangle, uint32_t n,
                            const uint32_t *taxonList, const char *title, const char *captionBelow,
                            const char *captionAbove, int width, int decimals);

// The field width of the matrix's values; *decimalsOut gets the decimals.
int setDistFieldWidths(const DMatrix *dm, int *decimalsOut, int requested);
std::string makeDistanceHeader(uint32_t type, uint32_t subst);

// Writes the matrix in the options' format; 0, or 1 when the file could not
// be written (nothing is left half-written by a failure to open).
int writeDistanceFile(const DMatrix *dm, DataInfo *d, const SaveDistSettings &opts, const char *path, bool replace,
                      bool append);
