// Alignments simulated down random trees (fixed seeds) for the checks
// against peer programs, and a scratch directory for their files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "rate_reference.h"

namespace simtest {

namespace fs = std::filesystem;

inline constexpr char kBases[] = "ACGT";

// Sequences evolved down a random binary tree under a GTR model.
inline std::vector<std::string> simulate(uint32_t ntax, uint32_t nsites, uint32_t seed, double maxLength = 0.15)
{
    std::mt19937 rng(seed);
    const double pi[4] = {0.3, 0.2, 0.2, 0.3};
    const double ex[6] = {1.0, 4.0, 0.7, 1.2, 3.5, 1.0};
    const distref::Mat q = distref::rateMatrix(pi, ex);
    std::uniform_real_distribution<double> uni(0.0, 1.0), length(0.01, maxLength);
    auto evolve = [&](const std::string &from, double t) {
        distref::Mat qt = q;
        for (auto &row : qt)
            for (double &x : row)
                x *= t;
        const distref::Mat p = distref::expm(qt);
        std::string to = from;
        for (char &c : to) {
            const int a = static_cast<int>(std::string(kBases).find(c));
            double u = uni(rng);
            int b = 0;
            while (b < 3 && (u -= p[a][b]) > 0)
                ++b;
            c = kBases[b];
        }
        return to;
    };
    std::string root(nsites, 'A');
    for (char &c : root) {
        double u = uni(rng);
        int b = 0;
        while (b < 3 && (u -= pi[b]) > 0)
            ++b;
        c = kBases[b];
    }
    // Split a random lineage until there are ntax.
    std::vector<std::string> seqs{evolve(root, length(rng)), evolve(root, length(rng))};
    while (seqs.size() < ntax) {
        const size_t k = std::uniform_int_distribution<size_t>(0, seqs.size() - 1)(rng);
        const std::string parent = seqs[k];
        seqs[k] = evolve(parent, length(rng));
        seqs.push_back(evolve(parent, length(rng)));
    }
    return seqs;
}

inline std::string label(size_t t) { return "t" + std::to_string(t + 1); }

// A scratch directory removed with the object.
struct TempDir {
    fs::path path;
    TempDir()
    {
        char name[] = "/tmp/vorndistXXXXXX";
        path = mkdtemp(name) ? fs::path(name) : fs::path();
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path.empty())
            fs::remove_all(path, ec);
    }
};

}  // namespace simtest
