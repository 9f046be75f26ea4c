// Fit measures of parsimony (consistency, retention, rescaled consistency,
// homoplasy indices and Goloboff fit) for one character and for a tree, with
// one convention for values that do not exist and one text form.
#pragma once

#include <cstddef>
#include <cstdint>

struct DataInfo;

enum FitMeasure : uint32_t {
    kFitLength = 0,
    kFitCompat = 1,
    kFitCI = 2,
    kFitRI = 3,
    kFitRC = 4,
    kFitHI = 5,
    kFitGFit = 6,
    kNumFitMeasures = 7,
};

inline constexpr double kFitUndefined = -1.0;      // prints "0/0"
inline constexpr double kFitNotApplicable = -2.0;  // prints "n/a"
inline constexpr double kFitNoValue = -3.0;        // prints "-"

const char *fitMeasureTitle(uint32_t measure);  // "Consistency indices"
const char *fitMeasureLabel(uint32_t measure);  // "CI"

double calc1CI(double min, double len);
double calc1RI(double min, double len, double max);
double calc1GFit(double min, double len);

// Length of character c on the tree last scored with per-character counts.
double charLengthOnTree(const DataInfo *d, uint32_t c);
// One character's value of measure 2 to 6 from its length on the tree last
// scored and the current length bounds. *flag (when given) is set for a
// Goloboff fit left out of the total (uninformative, excluded by gUninf).
double get1FitMeasure(const DataInfo *d, uint32_t c, uint32_t measure, bool *flag);

// The length the tree-level indices divide by: the weighted lengths, on the
// tree last scored per character, of the included characters that have fit
// measures. *leftOut (when given) counts the included characters without
// them (their minimum is unknown), which the bound sums leave out too.
double calcLengthForEnsembleFits(const DataInfo *d, uint32_t *leftOut);

// Tree-level indices from the tree length L and the bound sums.
struct TreeFitIndices {
    double ci, ri, rc, hi;
};
TreeFitIndices treeFitIndices(double length, double sumMin, double sumMax, double sumRangeMin);

// "-", "n/a", "0/0" or the value with the given decimals; returns buffer.
char *fitMeasureToStr(char *buffer, size_t size, int decimals, double value);
