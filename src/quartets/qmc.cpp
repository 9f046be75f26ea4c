#include "quartets/qmc.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "qel/qel_errormsg.h"
#include "qel/qel_output.h"
#include "qel/qel_subprocess.h"
#include "quartets/quartets.h"
#include "quartets/quartets_settings.h"
#include "trees/foreign_trees.h"
#include "trees/treeutil.h"

namespace {

constexpr const char *kQuartetFile = "vorndata.txt";
constexpr const char *kTreeFile = "qmctree.txt";

struct FileCloser {
    void operator()(std::FILE *fp) const { std::fclose(fp); }
};

// The quartets with a nonzero weight, the last taxon outermost; each
// topology a line of its own.
int writeQuartetFile(const QwtTable *t, bool weighted, const std::string &path)
{
    std::unique_ptr<std::FILE, FileCloser> fp(std::fopen(path.c_str(), "w"));
    if (!fp)
        return qel_errorMsg(0, "Could not write the quartet file \"%s\" (%s).", path.c_str(), std::strerror(errno));
    float w[3];
    for (uint32_t d = 3; d < t->n; ++d)
        for (uint32_t c = 2; c < d; ++c)
            for (uint32_t b = 1; b < c; ++b)
                for (uint32_t a = 0; a < b; ++a) {
                    getQuartetCellWts(t, a, b, c, d, w);
                    if (w[0] != 0.0f)
                        writeOneQuartet(fp.get(), a, b, c, d, weighted, w[0]);
                    if (w[1] != 0.0f)
                        writeOneQuartet(fp.get(), a, c, b, d, weighted, w[1]);
                    if (w[2] != 0.0f)
                        writeOneQuartet(fp.get(), a, d, b, c, weighted, w[2]);
                }
    if (std::fflush(fp.get()) != 0 || std::ferror(fp.get()))
        return qel_errorMsg(0, "Could not write the quartet file \"%s\".", path.c_str());
    return 0;
}

}  // namespace

void writeOneQuartet(std::FILE *fp, uint32_t a, uint32_t b, uint32_t c, uint32_t d, bool weighted, double weight)
{
    std::fprintf(fp, "%u,%u|%u,%u", a + 1, b + 1, c + 1, d + 1);
    if (weighted)
        std::fprintf(fp, ":%.10f", weight);
    std::fputc('\n', fp);
}

int qsearch_QMC(QuartetData *qd, Tree *tree)
{
    const std::string program = resolveProgramCommand(qopt.startQMC, {}, "QSearch", "startQMC");
    if (program.empty())
        return 1;
    ScratchDirectory dir("vorn.");
    if (!dir.made())
        return 1;
    // The quartet file and the program's tree stay where the user can look
    // at them: what the outside program was given and what it made of it.
    dir.keep(true);
    const bool weighted = qd->weighted != 0;
    if (writeQuartetFile(qd->table, weighted, dir.file(kQuartetFile)) != 0)
        return 1;
    std::string line = "cd " + shellQuote(dir.path().c_str()) + " && " + program + " qrtt=" + kQuartetFile +
                       " otre=" + kTreeFile;
    if (weighted)
        line += " weights=on";
    qel_printf("\n| QMC output follows:\n");
    uint32_t exitCode = 0;
    const int rc = runCommandInNewShell(line.c_str(), "QMC", false, qopt.qmcOutput != 0, "| ", &exitCode);
    if (rc == kRunAborted)
        return 2;
    if (rc != kRunDone)
        return 1;
    if (exitCode != 0) {
        qel_printf("\nQMC search failed, return code = %d\n", static_cast<int>(exitCode));
        return 1;
    }
    // QMC names the taxa by their numbers in the quartet file.
    const uint32_t n = qd->table->n;
    const ForeignTaxonFxn taxonOf = [n](const std::string &word, bool) {
        char *end = nullptr;
        const unsigned long k = std::strtoul(word.c_str(), &end, 10);
        return !word.empty() && *end == '\0' && k >= 1 && k <= n ? static_cast<int32_t>(k - 1) : -1;
    };
    uint32_t read = 0;
    const ForeignTreeStoreFxn store = [tree, &read](Tree *t) { return read == 0 ? copyTree(t, tree) : 0; };
    const int status = readForeignTrees(dir.file(kTreeFile), "QMC", taxonOf, store, &read);
    if (status == 0 && read == 0)
        return qel_errorMsg(0, "The QMC program wrote no tree."), 1;
    return status;
}
