#include "data/codons.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "cli/qel_cmdoptions.h"
#include "data/data_settings.h"
#include "data/vorn_util.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "qel/qel_praxis.h"

namespace {

// The amino acid of every codon, codons in the order T, C, A, G at each
// position (first position slowest); in the order of kGenCodeNames.
constexpr const char *kCodeTables[kNumGenCodes] = {
    "FFLLSSSSYY**CC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",  // standard
    "FFLLSSSSYY**CCWWLLLLPPPPHHQQRRRRIIMMTTTTNNKKSS**VVVVAAAADDEEGGGG",  // vertMito
    "FFLLSSSSYY**CCWWTTTTPPPPHHQQRRRRIIMMTTTTNNKKSSRRVVVVAAAADDEEGGGG",  // yeastMito
    "FFLLSSSSYY**CCWWLLLLPPPPHHQQRRRRIIMMTTTTNNKKSSSSVVVVAAAADDEEGGGG",  // invertMito
    "FFLLSSSSYY**CC*WLLLSPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",  // altYeast
    "FFLLSSSSYY**CCWWLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",  // ncbi4
    "FFLLSSSSYYQQCC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",  // ncbi6
    "FFLLSSSSYY**CCWWLLLLPPPPHHQQRRRRIIIMTTTTNNNKSSSSVVVVAAAADDEEGGGG",  // ncbi9
    "FFLLSSSSYY**CCCWLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",  // ncbi10
    "FFLLSSSSYY**CCWWLLLLPPPPHHQQRRRRIIMMTTTTNNKKSSGGVVVVAAAADDEEGGGG",  // ncbi13
    "FFLLSSSSYYY*CCWWLLLLPPPPHHQQRRRRIIIMTTTTNNNKSSSSVVVVAAAADDEEGGGG",  // ncbi14
    "FFLLSSSSYY*LCC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",  // ncbi16
    "FFLLSSSSYY**CCWWLLLLPPPPHHQQRRRRIIMMTTTTNNNKSSSSVVVVAAAADDEEGGGG",  // ncbi21
};

// Position of a base (A, C, G, T) in the tables' order T, C, A, G.
constexpr uint32_t kTableOrder[4] = {2, 1, 3, 0};
constexpr const char kBases[] = "ACGT";
// IUPAC symbol of a set of bases, bits A=1, C=2, G=4, T=8.
constexpr const char kIupac[] = "?ACMGRSVTWYHKDBN";

uint32_t baseAt(uint32_t codon, uint32_t position) { return (codon >> (2 * (2 - position))) & 3; }

bool compareAACodesAscending(char a, char b)
{
    const bool la = std::isalpha(static_cast<unsigned char>(a)), lb = std::isalpha(static_cast<unsigned char>(b));
    if (la != lb)
        return la;
    if (!la)
        return static_cast<unsigned char>(a) < static_cast<unsigned char>(b);
    const int ua = std::toupper(static_cast<unsigned char>(a)), ub = std::toupper(static_cast<unsigned char>(b));
    if (ua != ub)
        return ua < ub;
    return std::isupper(static_cast<unsigned char>(a)) && !std::isupper(static_cast<unsigned char>(b));
}

int digitsOf(uint32_t n) { return static_cast<int>(std::to_string(n).size()); }

bool isStop(const CodonFreqData &cf, uint32_t codon) { return cf.codonToAA[codon] == kStopSymbol; }

void showIgnoredCodons(uint32_t partial, uint32_t gapped, uint32_t ambiguous, const std::string &firstTaxon,
                       uint32_t firstChar)
{
    qel_printf("\n");
    if (partial)
        showIncompleteGapMsg(partial, firstTaxon.c_str(), firstChar);
    if (gapped)
        qel_printf("%u codon%s containing gap(s) are ignored in codon-level analyses.\n", gapped,
                   gapped == 1 ? "" : "s");
    if (ambiguous)
        qel_printf("%u codon(s) containing missing data and/or partial ambiguities are ignored in codon-level "
                   "analyses.\n",
                   ambiguous);
    qel_printf("\n");
}

// The CF3x4 error: the observed position frequencies against those the
// fitted ones give once stop codons are removed.
struct CF3x4Problem {
    const CodonFreqData *cf;
    double observed[3][4];
};

void positionFreqs(const double *x, double p[3][4])
{
    for (int i = 0; i < 3; ++i) {
        p[i][3] = 1.0;
        for (int b = 0; b < 3; ++b) {
            p[i][b] = x[3 * i + b];
            p[i][3] -= p[i][b];
        }
    }
}

double cf3x4Error(const double *x, void *arg)
{
    const auto *problem = static_cast<const CF3x4Problem *>(arg);
    double p[3][4];
    positionFreqs(x, p);
    // Frequencies outside [0, 1] are no solution: the penalty grows with
    // the distance from the allowed range.
    double penalty = 0.0;
    for (auto &row : p)
        for (double v : row)
            if (v < 0.0 || v > 1.0)
                penalty += 1.0 + 1e3 * (v < 0.0 ? -v : v - 1.0);
    if (penalty > 0.0)
        return 1e3 * penalty;
    double stopMass = 0.0, m[3][4] = {};
    for (uint32_t codon = 0; codon < kNumCodons; ++codon) {
        if (!isStop(*problem->cf, codon))
            continue;
        const uint32_t b[3] = {baseAt(codon, 0), baseAt(codon, 1), baseAt(codon, 2)};
        stopMass += p[0][b[0]] * p[1][b[1]] * p[2][b[2]];
        m[0][b[0]] += p[1][b[1]] * p[2][b[2]];
        m[1][b[1]] += p[0][b[0]] * p[2][b[2]];
        m[2][b[2]] += p[0][b[0]] * p[1][b[1]];
    }
    double error = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int b = 0; b < 4; ++b) {
            const double e = p[i][b] * (1.0 - m[i][b]) / (1.0 - stopMass) - problem->observed[i][b];
            error += e * e;
        }
    return error;
}

// Codon frequencies as products of position frequencies, divided by one
// minus their own stop-codon mass (stop codons keep their products).
void productFreqs(const CodonFreqData &cf, const double p[3][4], double out[kNumCodons])
{
    double stopMass = 0.0;
    for (uint32_t codon = 0; codon < kNumCodons; ++codon) {
        out[codon] = p[0][baseAt(codon, 0)] * p[1][baseAt(codon, 1)] * p[2][baseAt(codon, 2)];
        if (isStop(cf, codon))
            stopMass += out[codon];
    }
    for (uint32_t codon = 0; codon < kNumCodons; ++codon)
        out[codon] /= 1.0 - stopMass;
}

int prepareCodonCommand(CodonFreqData &cf, OptionSet options)
{
    cf.d = activeDataInfo();
    if (!cf.d)
        return 1;
    int32_t codons = -1;
    if (!canDoCodonModels(cf.d, true, &codons))
        return 1;
    if (setCmdParamVals(options) != 0)
        return 1;
    return initCodonFreqData(cf, cf.d, genCodeOpt.genCode);
}

void showCodeInEffect(const CodonFreqData &cf)
{
    qel_printf("\n    Genetic code in effect = %s\n", genCodeName(static_cast<uint32_t>(codeNameToNum(genCodeOpt.genCode))));
    if (genCodeOpt.showGenCode)
        showGeneticCode(nullptr, cf.codonToAA, cf.aaLetters);
}

void showCodonUsage(CodonFreqData &cf)
{
    getCodonCounts(cf);
    const DataInfo *d = cf.d;
    uint32_t m = 1;
    for (uint32_t a = 0; a < cf.nAA; ++a)
        m = std::max(m, cf.codonsPerAA[a]);
    int lw = 8;
    for (int32_t t = 0; t < d->nActive; ++t)
        lw = std::max(lw, static_cast<int>(std::strlen(getTaxLabel(d, static_cast<uint32_t>(t)))));
    const int nWidth = digitsOf(d->nchar) + 3;
    qel_printf("\nCodon usage for each amino acid (degenerate codons only):\n\n");
    qel_printf("%-2s  %-*s  %-*s%*s\n", "AA", lw, "Taxon", 52, "Codon frequencies", nWidth, "n");
    tableLine(kUnderlineLastLine, 0);
    for (uint32_t a = 0; a < cf.nAA; ++a) {
        std::vector<uint32_t> codons;
        bool seen = false;
        for (uint32_t codon = 0; codon < kNumCodons; ++codon)
            if (cf.codonAAIndex[codon] == a) {
                codons.push_back(codon);
                seen = seen || cf.observed[codon];
            }
        if (codons.size() < 2 || !seen)
            continue;
        const int padding = static_cast<int>(9 * (m - codons.size()));
        qel_printf(" %c  %*s", cf.aaLetters[a], lw, "");
        for (uint32_t codon : codons)
            qel_printf("  --%3s--", makeCodonString(codon).c_str());
        qel_printf("%-*s\n", padding, "");
        for (int32_t t = 0; t < d->nActive; ++t) {
            const auto &counts = cf.counts[static_cast<size_t>(t)];
            uint32_t total = 0;
            for (uint32_t codon : codons)
                total += counts[codon];
            qel_printf("    %-*s", lw, getTaxLabel(d, static_cast<uint32_t>(t)));
            for (uint32_t codon : codons) {
                if (total)
                    qel_printf("%9.5f", static_cast<double>(counts[codon]) / total);
                else
                    qel_printf("%9c", '-');
            }
            qel_printf("%*s%*u\n", padding, "", nWidth, total);
        }
    }
}

}  // namespace

int initCodonFreqData(CodonFreqData &cf, const DataInfo *d, const char *codeName)
{
    cf = CodonFreqData{};
    cf.d = d;
    uint32_t count = 0;
    if (getGenCode(codeName, cf.codonToAA, &cf.aaLetters, &count) < 0)
        return 1;
    cf.nAA = count;
    for (uint32_t codon = 0; codon < kNumCodons; ++codon) {
        cf.codonAAIndex[codon] = static_cast<uint32_t>(cf.aaLetters.find(cf.codonToAA[codon]));
        ++cf.codonsPerAA[cf.codonAAIndex[codon]];
    }
    return 0;
}

void showIncompleteGapMsg(uint32_t count, const char *taxon, uint32_t firstChar)
{
    qel_warningMsg(0,
                   "A gap symbol was encountered at one or two but not all three codon positions in %u "
                   "location%s (e.g., taxon %s, characters %u-%u).  These are treated as complete gaps in "
                   "codon-level analyses.",
                   count, count == 1 ? "" : "s", taxon, firstChar + 1, firstChar + 3);
}

int baseOfSymbol(int symbol)
{
    switch (std::toupper(symbol)) {
    case 'A': return 0;
    case 'C': return 1;
    case 'G': return 2;
    case 'T':
    case 'U': return 3;
    default: return -1;
    }
}

std::string makeCodonString(uint32_t codon)
{
    return {kBases[baseAt(codon, 0)], kBases[baseAt(codon, 1)], kBases[baseAt(codon, 2)]};
}

int getGenCode(const char *name, char codonToAA[kNumCodons], std::string *aaLetters, uint32_t *count)
{
    const int index = codeNameToNum(name);
    if (index < 0)
        return -1;
    const char *table = kCodeTables[index];
    for (uint32_t codon = 0; codon < kNumCodons; ++codon) {
        const uint32_t row = 16 * kTableOrder[baseAt(codon, 0)] + 4 * kTableOrder[baseAt(codon, 1)] +
                             kTableOrder[baseAt(codon, 2)];
        codonToAA[codon] = table[row];
    }
    if (aaLetters) {
        aaLetters->clear();
        for (uint32_t codon = 0; codon < kNumCodons; ++codon)
            if (aaLetters->find(codonToAA[codon]) == std::string::npos)
                aaLetters->push_back(codonToAA[codon]);
        std::sort(aaLetters->begin(), aaLetters->end(), compareAACodesAscending);
        if (count)
            *count = static_cast<uint32_t>(aaLetters->size());
    }
    return index;
}

bool canDoCodonModels(const DataInfo *d, bool report, int32_t *codons)
{
    *codons = -1;
    if (!d || !(d->flags & kHaveCharacters) || !isDataTypeNucleotide(d->dataType)) {
        if (report)
            qel_errorMsg(0, "Codon-based models and operations are only allowed for nucleotide data.\tThe "
                            "requested operation is not allowed for standard or amino-acid data.");
        return false;
    }
    const uint32_t included = countIncludedChars(d, 0);
    if (included % 3 != 0) {
        qel_errorMsg(0, "The number of included nucleotide characters must be a multiple of 3 for codon-based "
                        "models and operations.\tYou must exclude (or re-include) characters such that the "
                        "first and last included characters begin and end, respectively, a valid reading "
                        "frame.");
        return false;
    }
    *codons = static_cast<int32_t>(included / 3);
    return true;
}

void showGeneticCode(const char *title, const char codonToAA[kNumCodons], const std::string &aaLetters)
{
    if (title)
        qel_printf("%s\n", title);
    qel_printf("\n    AA code    Codons%40s\n    ", "");
    putRepeatedChar('-', 40);
    qel_printf("\n");
    for (char aa : aaLetters) {
        qel_printf("    %7c   ", aa);
        uint32_t sets[3] = {};
        for (uint32_t codon = 0; codon < kNumCodons; ++codon) {
            if (codonToAA[codon] != aa)
                continue;
            qel_printf(" %s", makeCodonString(codon).c_str());
            for (uint32_t p = 0; p < 3; ++p)
                sets[p] |= 1u << baseAt(codon, p);
        }
        qel_printf(" (%c%c%c)\n", kIupac[sets[0]], kIupac[sets[1]], kIupac[sets[2]]);
    }
}

void getCodonCounts(CodonFreqData &cf)
{
    const DataInfo *d = cf.d;
    std::vector<uint32_t> chars;
    for (uint32_t c = 0; c < d->nchar; ++c)
        if (!(d->status[c] & kCharExcluded))
            chars.push_back(c);
    const size_t nSymbols = std::strlen(d->symbols);
    cf.counts.assign(static_cast<size_t>(std::max(d->nActive, 0)), {});
    std::fill(std::begin(cf.observed), std::end(cf.observed), false);
    uint32_t partial = 0, gapped = 0, ambiguous = 0, firstChar = 0;
    std::string firstTaxon;
    for (int32_t t = 0; t < d->nActive; ++t)
        for (size_t k = 0; k + 2 < chars.size(); k += 3) {
            int bases[3];
            int gaps = 0;
            bool complete = true;
            for (int p = 0; p < 3; ++p) {
                const uint8_t code = getXijRaw(d, t, chars[k + static_cast<size_t>(p)]);
                // By symbol: user symbols may stand before A, C, G and T.
                bases[p] = code == kGapCode ? -1 : code < nSymbols && code < d->nstates ? baseOfSymbol(d->symbols[code]) : -1;
                gaps += code == kGapCode;
                complete = complete && bases[p] >= 0;
            }
            if (gaps == 3) {
                ++gapped;
            } else if (gaps > 0) {
                if (partial++ == 0) {
                    firstTaxon = getTaxLabel(d, static_cast<uint32_t>(t));
                    firstChar = chars[k];
                }
            } else if (!complete) {
                ++ambiguous;
            } else {
                const uint32_t codon = static_cast<uint32_t>(16 * bases[0] + 4 * bases[1] + bases[2]);
                ++cf.counts[static_cast<size_t>(t)][codon];
                cf.observed[codon] = true;
            }
        }
    showIgnoredCodons(partial, gapped, ambiguous, firstTaxon, firstChar);
}

int calcEmpirCodonFreqs(CodonFreqData &cf)
{
    getCodonCounts(cf);
    double total = 0.0;
    for (uint32_t codon = 0; codon < kNumCodons; ++codon) {
        double n = 0.0;
        for (const auto &row : cf.counts)
            n += row[codon];
        cf.empirical[codon] = n;
        total += n;
    }
    std::fill(std::begin(cf.empiricalAA), std::end(cf.empiricalAA), 0.0);
    std::memset(cf.baseFreqs, 0, sizeof cf.baseFreqs);
    for (uint32_t codon = 0; codon < kNumCodons; ++codon) {
        cf.empirical[codon] = total > 0 ? cf.empirical[codon] / total : 0.0;
        cf.empiricalAA[cf.codonAAIndex[codon]] += cf.empirical[codon];
        for (uint32_t p = 0; p < 3; ++p)
            cf.baseFreqs[p][baseAt(codon, p)] += cf.empirical[codon];
    }
    for (int b = 0; b < 4; ++b)
        cf.baseFreqs[3][b] = (cf.baseFreqs[0][b] + cf.baseFreqs[1][b] + cf.baseFreqs[2][b]) / 3.0;

    CF3x4Problem problem{&cf, {}};
    double x[9];
    for (int i = 0; i < 3; ++i) {
        for (int b = 0; b < 4; ++b)
            problem.observed[i][b] = cf.baseFreqs[i][b];
        for (int b = 0; b < 3; ++b)
            x[3 * i + b] = cf.baseFreqs[i][b];
    }
    PraxisData *px = createPraxisData(x, 9, false);
    if (!px)
        return 1;
    MinStatus status = MinStatus::kDone;
    praxis(9, cf3x4Error, &problem, px, 0.0, 0.0, &status);
    destroyPraxisData(px);
    if (status == MinStatus::kAborted)
        return 2;
    positionFreqs(x, cf.fitted);
    // Rounding can leave a frequency a hair outside [0, 1].
    for (auto &row : cf.fitted) {
        double sum = 0.0;
        for (double &v : row)
            sum += (v = std::clamp(v, 0.0, 1.0));
        for (double &v : row)
            v /= sum;
    }

    double overall[3][4], observed[3][4];
    for (int i = 0; i < 3; ++i)
        for (int b = 0; b < 4; ++b) {
            overall[i][b] = cf.baseFreqs[3][b];
            observed[i][b] = cf.baseFreqs[i][b];
        }
    productFreqs(cf, overall, cf.f1x4);
    productFreqs(cf, observed, cf.f3x4);
    productFreqs(cf, cf.fitted, cf.cf3x4);
    std::fill(std::begin(cf.cf3x4AA), std::end(cf.cf3x4AA), 0.0);
    for (uint32_t codon = 0; codon < kNumCodons; ++codon)
        if (!isStop(cf, codon))
            cf.cf3x4AA[cf.codonAAIndex[codon]] += cf.cf3x4[codon];
    return 0;
}

double codonCorrectionTerm(const CodonFreqData &cf)
{
    double term = 0.0;
    for (const auto &row : cf.counts)
        for (uint32_t codon = 0; codon < kNumCodons; ++codon)
            // A codon never seen adds nothing, even where its frequency is 0.
            if (row[codon] && !isStop(cf, codon))
                term += row[codon] * std::log(cf.cf3x4[codon] / cf.cf3x4AA[cf.codonAAIndex[codon]]);
    return term;
}

int doCodonUsageCmd()
{
    CodonFreqData cf;
    if (prepareCodonCommand(cf, OptionSet::kCodonUsage) != 0)
        return 1;
    qel_printf("\nCodon usage summary:\n\n");
    showCodeInEffect(cf);
    showCodonUsage(cf);
    return 0;
}

int doModProjectCmd()
{
    CodonFreqData cf;
    if (prepareCodonCommand(cf, OptionSet::kModProject) != 0)
        return 1;
    qel_printf("\nCalculating terms for projecting likelihoods between models of different dimension:\n");
    showCodeInEffect(cf);
    if (int status = calcEmpirCodonFreqs(cf); status != 0)
        return status;
    if (genCodeOpt.showFreq) {
        qel_printf("\nCodon frequencies for F3x4 and F1x4 models:\n\n");
        qel_printf("codon  AA   empirical        F1x4        F3x4       CF3x4\n");
        tableLine(kUnderlineLastLine, 0);
        double totals[4] = {};
        for (uint32_t codon = 0; codon < kNumCodons; ++codon) {
            const bool stop = isStop(cf, codon);
            const double f1 = stop ? 0.0 : cf.f1x4[codon], f3 = stop ? 0.0 : cf.f3x4[codon],
                         c3 = stop ? 0.0 : cf.cf3x4[codon];
            qel_printf("  %s   %c%12.5f", makeCodonString(codon).c_str(), cf.codonToAA[codon], cf.empirical[codon]);
            qel_printf("%12.5f%12.5f%12.5f\n", f1, f3, c3);
            totals[0] += cf.empirical[codon];
            totals[1] += f1;
            totals[2] += f3;
            totals[3] += c3;
        }
        tableLine(kUnderlineLastLine, 0);
        qel_printf("totals   %12.5f%12.5f%12.5f%12.5f\n", totals[0], totals[1], totals[2], totals[3]);
    }
    qel_printf("\nCorrection term for converting likelihoods for \"+F\" amino-acid models to DNA/codon models = "
               "%.10g\n\n",
               codonCorrectionTerm(cf));
    return 0;
}
