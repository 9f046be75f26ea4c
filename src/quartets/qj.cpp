// QJ: quartet joining. From the star tree, the two clusters whose members
// group together most strongly, on average, against pairs of other
// clusters are joined until three remain. Each cluster is represented by one
// taxon of a working copy of the weight table, whose weights are summed over
// the members as clusters merge.
#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "qel/qel_interrupts.h"
#include "quartets/qmethods.h"
#include "quartets/quartets.h"

namespace {

struct TableDeleter {
    void operator()(QwtTable *t) const { destroyQwtTable(t); }
};

}  // namespace

int qsearch_QJ(QuartetData *qd, Tree *tree)
{
    const uint32_t n = qd->table->n;
    try {
        std::unique_ptr<QwtTable, TableDeleter> work(copyQwt(qd->table, false));
        if (!work)
            return 1;
        QwtTable *w = work.get();
        struct Cluster {
            uint32_t rep;
            uint32_t size;
            uint32_t node;  // in the graph
        };
        QGraph g;
        std::vector<Cluster> cl;
        for (uint32_t k = 0; k < n; k++)
            cl.push_back({k, 1, g.addNode(static_cast<int32_t>(k))});
        // S and N by representatives, the larger first.
        std::vector<double> S(uint64_t{n} * n, 0.0), N(uint64_t{n} * n, 0.0);
        auto at = [n](std::vector<double> &m, uint32_t a, uint32_t b) -> double & {
            return a > b ? m[uint64_t{a} * n + b] : m[uint64_t{b} * n + a];
        };
        // First sums in one sweep of the table: each topology ab|cd counts
        // for the pair a, b and for the pair c, d.
        forEachQuartetWts(w, [&](uint32_t a, uint32_t b, uint32_t c, uint32_t d, const float *f) {
            at(S, a, b) += f[0], at(S, c, d) += f[0];
            at(S, a, c) += f[1], at(S, b, d) += f[1];
            at(S, a, d) += f[2], at(S, b, c) += f[2];
        });
        const double otherPairs = static_cast<double>(n - 2) * (n - 3) / 2.0;
        for (uint32_t a = 0; a < n; a++)
            for (uint32_t b = 0; b < a; b++)
                at(N, a, b) = otherPairs;
        while (cl.size() > 3) {
            if (getAbortedStatus() && confirmAbortRequest())
                return 2;
            size_t bu = 1, bv = 0;
            double best = 0.0;
            bool first = true;
            for (size_t u = 1; u < cl.size(); u++)
                for (size_t v = 0; v < u; v++) {
                    const double nn = at(N, cl[u].rep, cl[v].rep);
                    // A pair with no other pairs to count scores 0.
                    const double score = nn != 0.0 ? at(S, cl[u].rep, cl[v].rep) / nn : 0.0;
                    if (first || score > best) {
                        best = score, bu = u, bv = v;
                        first = false;
                    }
                }
            const Cluster U = cl[bu], V = cl[bv];
            const uint32_t joined = g.addNode(-1);
            g.link(joined, U.node);
            g.link(joined, V.node);
            cl[bv] = {V.rep, U.size + V.size, joined};
            cl.erase(cl.begin() + static_cast<long>(bu));
            const size_t j = bv < bu ? bv : bv - 1;
            const uint32_t v = V.rep, u = U.rep;
            // The new cluster's rows: u's weights move onto v.
            for (size_t x = 0; x < cl.size(); x++) {
                if (x == j)
                    continue;
                double s = 0.0, sizes = 0.0;
                for (size_t y = 0; y < cl.size(); y++) {
                    if (y == x || y == j)
                        continue;
                    for (size_t z = y + 1; z < cl.size(); z++) {
                        if (z == x || z == j)
                            continue;
                        const uint32_t xr = cl[x].rep, yr = cl[y].rep, zr = cl[z].rep;
                        const float merged = getQuartetWt(w, v, xr, yr, zr) + getQuartetWt(w, u, xr, yr, zr);
                        setQuartetWt(w, v, xr, yr, zr, merged);
                        s += merged;
                        sizes += static_cast<double>(cl[y].size) * cl[z].size;
                    }
                }
                at(S, v, cl[x].rep) = s;
                at(N, v, cl[x].rep) = static_cast<double>(cl[j].size) * cl[x].size * sizes;
            }
            // u and v no longer count as two different other clusters.
            for (size_t y = 0; y < cl.size(); y++) {
                if (y == j)
                    continue;
                for (size_t z = y + 1; z < cl.size(); z++) {
                    if (z == j)
                        continue;
                    const uint32_t yr = cl[y].rep, zr = cl[z].rep;
                    at(N, yr, zr) -= static_cast<double>(U.size) * V.size * cl[y].size * cl[z].size;
                    at(S, yr, zr) -= getQuartetWt(w, yr, zr, v, u);
                }
            }
        }
        const uint32_t hub = g.addNode(-1);
        for (const Cluster &c : cl)
            g.link(hub, c.node);
        return buildTreeFromGraph(tree, n, g, 0);
    } catch (const std::bad_alloc &) {
        return 1;
    }
}
