// Tests comparing parsimony trees character by character against the
// shortest one: Kishino-Hasegawa (paired t), Templeton (Wilcoxon
// signed-ranks) and winning-sites (sign) tests, their statistics and tables.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct DataInfo;

struct KHStats {
    double diff;  // L_T - L_B
    double sd;    // s.d. of the summed difference
    double t;
    double p;
};
// Per-character lengths of the included characters on the best tree B and
// on tree T, with the two tree lengths.
KHStats khStats(std::span<const double> best, std::span<const double> other, double lenBest, double lenOther);

struct NonparStats {
    std::vector<uint32_t> kept;  // positions (into the spans) of the differing characters
    std::vector<double> diff;    // per kept character, T - B
    std::vector<double> rank;    // per kept character
    uint32_t n = 0, nPlus = 0, nMinus = 0;
    double rPlus = 0.0, rMinus = 0.0, ties = 0.0;
    double stat = 0.0;  // Wilcoxon T: the smaller rank sum
    double z = 0.0, pT = 1.0;
    double zW = 0.0, pW = 1.0;
    bool exactW = true;
};
NonparStats nonparStats(std::span<const double> best, std::span<const double> other, double tolerance);

// One listed tree as the tables show it.
struct ParsTestTree {
    uint32_t number;
    double length;
    std::string lengthText;     // as the length column prints it
    std::vector<double> charLen;  // included characters, in character order
};

// Tables; best is the index of the shortest tree in trees; diffText formats
// a length difference as the score column does. Each returns 2 when the user
// stopped it, else 0.
int printKHTest(const std::vector<ParsTestTree> &trees, size_t best, std::string (*diffText)(double));
int printNonparTests(const DataInfo *d, const std::vector<ParsTestTree> &trees, size_t best,
                     std::span<const uint32_t> charIndex, double tolerance, bool detailed);
