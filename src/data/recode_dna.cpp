#include "data/recode_dna.h"

#include <bit>
#include <cctype>
#include <cstring>
#include <string_view>
#include <vector>

#include "cli/qel_cmdoptions.h"
#include "data/charpatterns.h"
#include "data/data_settings.h"
#include "data/data_util.h"
#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"

namespace {

uint32_t baseMaskOfCodonPosition(uint32_t codon, uint32_t position)
{
    return 1u << ((codon >> (2 * (2 - position))) & 3);
}

uint32_t codonOfMasks(uint32_t m1, uint32_t m2, uint32_t m3)
{
    return 16 * static_cast<uint32_t>(std::countr_zero(m1)) + 4 * static_cast<uint32_t>(std::countr_zero(m2)) +
           static_cast<uint32_t>(std::countr_zero(m3));
}

uint32_t concreteIndex(uint32_t codon)
{
    return tripletIndex(baseMaskOfCodonPosition(codon, 0), baseMaskOfCodonPosition(codon, 1),
                        baseMaskOfCodonPosition(codon, 2));
}

void buildRYTable(RecodeTable &table)
{
    for (uint32_t m = 1; m <= kAllBases; ++m) {
        uint32_t r = m;
        if (r & (kBaseA | kBaseG))
            r = (r | kBaseA) & ~kBaseG;
        if (r & (kBaseC | kBaseT))
            r = (r | kBaseC) & ~kBaseT;
        table[m] = static_cast<uint16_t>(r);
    }
}

// deg13: the codons of one amino acid that share a second base take the
// union of their first and of their third bases.
void buildDeg13(const char codonToAA[kNumCodons], RecodeTable &table)
{
    for (uint32_t c = 0; c < kNumCodons; ++c) {
        uint32_t first = 0, third = 0;
        const uint32_t second = baseMaskOfCodonPosition(c, 1);
        for (uint32_t k = 0; k < kNumCodons; ++k)
            if (codonToAA[k] == codonToAA[c] && baseMaskOfCodonPosition(k, 1) == second) {
                first |= baseMaskOfCodonPosition(k, 0);
                third |= baseMaskOfCodonPosition(k, 2);
            }
        table[concreteIndex(c)] = static_cast<uint16_t>(tripletIndex(first, second, third));
    }
}

// The bases found at each position among the codons of c's amino acid.
void positionBasesOfAA(const char codonToAA[kNumCodons], uint32_t c, uint32_t sets[3])
{
    sets[0] = sets[1] = sets[2] = 0;
    for (uint32_t k = 0; k < kNumCodons; ++k)
        if (codonToAA[k] == codonToAA[c])
            for (uint32_t p = 0; p < 3; ++p)
                sets[p] |= baseMaskOfCodonPosition(k, p);
}

void buildDegFull(const char codonToAA[kNumCodons], RecodeTable &table)
{
    for (uint32_t c = 0; c < kNumCodons; ++c) {
        uint32_t sets[3];
        positionBasesOfAA(codonToAA, c, sets);
        table[concreteIndex(c)] = static_cast<uint16_t>(tripletIndex(sets[0], sets[1], sets[2]));
    }
}

void buildDegRY(const char codonToAA[kNumCodons], RecodeTable &table)
{
    constexpr uint32_t purines = kBaseA | kBaseG, pyrimidines = kBaseC | kBaseT;
    for (uint32_t c = 0; c < kNumCodons; ++c) {
        uint32_t sets[3], out[3];
        positionBasesOfAA(codonToAA, c, sets);
        for (uint32_t p = 0; p < 3; ++p) {
            const uint32_t b = baseMaskOfCodonPosition(c, p);
            if ((b & purines) && (sets[p] & purines) == purines)
                out[p] = purines;
            else if ((b & pyrimidines) && (sets[p] & pyrimidines) == pyrimidines)
                out[p] = pyrimidines;
            else
                out[p] = b;
        }
        table[concreteIndex(c)] = static_cast<uint16_t>(tripletIndex(out[0], out[1], out[2]));
    }
}

// A triplet holding ambiguity maps to the union, position by position, of
// the maps of the concrete codons it contains.
void mapTripletCodes(RecodeTable &table)
{
    for (uint32_t m1 = 1; m1 <= kAllBases; ++m1)
        for (uint32_t m2 = 1; m2 <= kAllBases; ++m2)
            for (uint32_t m3 = 1; m3 <= kAllBases; ++m3) {
                if (std::has_single_bit(m1) && std::has_single_bit(m2) && std::has_single_bit(m3))
                    continue;
                uint32_t u = 0;
                for (uint32_t b1 = m1; b1; b1 &= b1 - 1)
                    for (uint32_t b2 = m2; b2; b2 &= b2 - 1)
                        for (uint32_t b3 = m3; b3; b3 &= b3 - 1) {
                            const uint32_t codon = codonOfMasks(b1 & -b1, b2 & -b2, b3 & -b3);
                            u |= table[concreteIndex(codon)];
                        }
                table[tripletIndex(m1, m2, m3)] = static_cast<uint16_t>(u);
            }
}

struct MedrickGroup {
    const char *target;
    const char *triplets;
};

// Applied in this order: a later group overwrites an earlier entry.
constexpr MedrickGroup kMedrickGroups[] = {
    {"YTN", "TTM TTK TTS TTW TTH TTB TTV TTD TTN TTA TTG TTR CTA CTC CTG CTT CTR CTY CTM CTK CTS CTW CTH "
            "CTB CTV CTD CTN YTC YTA YTT YTG YTR YTY YTM YTK YTS YTW YTH YTB YTV YTD YTN"},
    {"TTY", "TTT TTC TTY"},
    {"MGN", "CGT CGA CGC CGG CGR CGY CGM CGK CGS CGW CGH CGB CGV CGD CGN AGA AGG AGR AGM AGK AGS AGW AGH "
            "AGB AGV AGD AGN MGC MGA MGT MGG MGR MGY MGM MGK MGS MGW MGH MGB MGV MGD MGN"},
    {"ATH", "ATT ATC ATA ATH ATY ATM ATW"},
    {"ATN", "ATR ATK ATS ATB ATV ATD ATN"},
    {"ATG", "ATG"},
    {"GTN", "GTT GTA GTC GTG GTR GTY GTM GTK GTS GTW GTH GTB GTV GTD GTN"},
    {"TCN", "TCT TCA TCC TCG TCR TCY TCM TCK TCS TCW TCH TCB TCV TCD TCN"},
    {"AGY", "AGT AGC AGY"},
    {"CCN", "CCT CCA CCC CCG CCR CCY CCM CCK CCS CCW CCH CCB CCV CCD CCN"},
    {"ACN", "ACT ACA ACC ACG ACR ACY ACM ACK ACS ACW ACH ACB ACV ACD ACN"},
    {"GCN", "GCT GCA GCC GCG GCR GCY GCM GCK GCS GCW GCH GCB GCV GCD GCN"},
    {"TAY", "TAT TAC TAY"},
    {"CAY", "CAT CAC CAY"},
    {"CAN", "CAM CAK CAS CAW CAH CAB CAV CAD CAN"},
    {"CAR", "CAA CAG CAR"},
    {"AAY", "AAT AAC AAY"},
    {"AAN", "AAM AAK AAS AAW AAH AAB AAV AAD AAN"},
    {"AAR", "AAA AAG AAR"},
    {"GAY", "GAT GAC GAY"},
    {"GAN", "GAM GAK GAS GAW GAH GAB GAV GAD GAN"},
    {"GAR", "GAA GAG GAR"},
    {"TGY", "TGT TGC TGY"},
    {"TGB", "TGK TGS TGB"},
    {"TGG", "TGG"},
    {"GGN", "GGT GGA GGC GGG GGR GGY GGM GGK GGS GGW GGH GGB GGV GGD GGN"},
    {"NNN", "NNN"},
};

uint32_t tripletOfLetters(const char *s)
{
    return tripletIndex(dnaCodeToBits(s[0]), dnaCodeToBits(s[1]), dnaCodeToBits(s[2]));
}

void buildMedrick(RecodeTable &table)
{
    std::vector<bool> mapped(table.size(), false);
    for (const MedrickGroup &g : kMedrickGroups) {
        const auto target = static_cast<uint16_t>(tripletOfLetters(g.target));
        for (std::string_view list = g.triplets; list.size() >= 3;) {
            const uint32_t i = tripletOfLetters(list.data());
            table[i] = target;
            mapped[i] = true;
            list.remove_prefix(std::min<size_t>(4, list.size()));
        }
    }
    // A base set of two or more bases at the first or second position says
    // nothing of the amino acid.
    for (uint32_t i = 0; i < table.size(); ++i)
        if (!mapped[i]) {
            const uint32_t s1 = i >> 8, s2 = (i >> 4) & 15;
            const bool vague = std::popcount(s1) > 1 || std::popcount(s2) > 1;
            table[i] = static_cast<uint16_t>(vague ? tripletIndex(kAllBases, kAllBases, kAllBases) : i);
        }
}

const char *schemeName(uint32_t scheme)
{
    const char *name = gRecodeDnaSchemes;
    for (uint32_t k = 0; k < scheme && *name; ++k)
        name += std::strlen(name) + 1;
    return name;
}

// ---- Rewriting the matrix ------------------------------------------------------

// The base set of every stored code, and the code of every base set, both by
// symbol: user symbols may stand before A, C, G and T.
struct BaseCoding {
    std::vector<uint32_t> maskOfCode;
    uint8_t codeOfMask[16];
};

int makeBaseCoding(DataInfo *d, BaseCoding &bc)
{
    int stateOfBase[4] = {-1, -1, -1, -1};
    for (uint32_t s = 0; s < d->nstates && d->symbols[s]; ++s) {
        const int b = baseOfSymbol(d->symbols[s]);
        if (b >= 0 && stateOfBase[b] < 0)
            stateOfBase[b] = static_cast<int>(s);
    }
    const uint32_t ncodes = numStateCodes(d);
    bc.maskOfCode.assign(ncodes, 0);
    for (uint32_t code = 0; code < ncodes; ++code) {
        const uint64_t bits = stateBitsOfCode(d, static_cast<uint8_t>(code));
        for (uint32_t b = 0; b < 4; ++b)
            if (stateOfBase[b] >= 0 && ((bits >> stateOfBase[b]) & 1))
                bc.maskOfCode[code] |= 1u << b;
    }
    // Every code the rewrite can need is made before any cell changes, so a
    // refusal leaves the matrix as it was.
    for (uint32_t m = 0; m < 16; ++m) {
        uint64_t bits = 0;
        for (uint32_t b = 0; b < 4; ++b)
            if ((m >> b & 1) && stateOfBase[b] >= 0)
                bits |= uint64_t{1} << stateOfBase[b];
        if ((bc.codeOfMask[m] = stateBitsToCode(bits, d)) == kRefusedCode)
            return 1;
    }
    return 0;
}

uint32_t maskOf(const BaseCoding &bc, uint8_t code)
{
    return code < bc.maskOfCode.size() ? bc.maskOfCode[code] : kAllBases;
}

uint8_t storedCell(const DataInfo *d, uint32_t row, uint32_t c)
{
    if (d->compactStorage)
        return d->patternMatrix[d->patternIndex[c]][row];
    return d->matrix[row][c];
}

struct IncompleteCodons {
    uint32_t count = 0;
    uint32_t firstRow = 0;
    uint32_t firstChar = 0;
};

// Rewrites the columns of `group` (one character, or a codon's three) for
// every taxon.
void recodeColumns(const DataInfo *d, const BaseCoding &bc, const RecodeTable &table, const uint32_t *group,
                   uint32_t width, bool codons, std::vector<uint8_t> *columns, IncompleteCodons &incomplete)
{
    for (uint32_t row = 0; row < d->ntax; ++row) {
        uint8_t cell[3];
        uint32_t gaps = 0;
        for (uint32_t p = 0; p < width; ++p) {
            cell[p] = storedCell(d, row, group[p]);
            gaps += cell[p] == kGapCode;
        }
        if (!codons) {
            columns[0][row] = cell[0] == kGapCode ? kGapCode : bc.codeOfMask[table[maskOf(bc, cell[0])] & 15];
            continue;
        }
        if (gaps > 0) {
            if (gaps < 3 && incomplete.count++ == 0) {
                incomplete.firstRow = row;
                incomplete.firstChar = group[0];
            }
            for (uint32_t p = 0; p < 3; ++p)
                columns[p][row] = kGapCode;
            continue;
        }
        const uint32_t to = table[tripletIndex(maskOf(bc, cell[0]), maskOf(bc, cell[1]), maskOf(bc, cell[2]))];
        columns[0][row] = bc.codeOfMask[to >> 8];
        columns[1][row] = bc.codeOfMask[(to >> 4) & 15];
        columns[2][row] = bc.codeOfMask[to & 15];
    }
}

// The new cells go straight into a full matrix (nothing can fail once the
// codes exist), or into a new pattern tree that replaces the compact storage
// only when it is complete.
int rewriteMatrix(DataInfo *d, const BaseCoding &bc, const RecodeTable &table, bool codons,
                  IncompleteCodons &incomplete)
{
    std::vector<uint32_t> included;
    for (uint32_t c = 0; c < d->nchar; ++c)
        if (!codons || !(d->status[c] & kCharExcluded))
            included.push_back(c);
    PatternTST *tree = nullptr;
    if (d->compactStorage && !(tree = createPatternTST(d->ntax, d->nchar, false)))
        return 1;
    std::vector<uint8_t> columns[3];
    for (auto &col : columns)
        col.resize(d->ntax);
    auto store = [&](const uint32_t *group, uint32_t width) {
        for (uint32_t p = 0; p < width; ++p) {
            if (tree) {
                if (insertFullPatternIntoTST(tree, columns[p].data(), group[p]) != 0)
                    return 1;
            } else {
                for (uint32_t row = 0; row < d->ntax; ++row)
                    d->matrix[row][group[p]] = columns[p][row];
            }
        }
        return 0;
    };
    int status = 0;
    const uint32_t width = codons ? 3 : 1;
    for (size_t k = 0; status == 0 && k + width <= included.size(); k += width) {
        recodeColumns(d, bc, table, &included[k], width, codons, columns, incomplete);
        status = store(&included[k], width);
    }
    // Excluded characters keep their cells under the codon schemes.
    if (tree && codons)
        for (uint32_t c = 0; status == 0 && c < d->nchar; ++c)
            if (d->status[c] & kCharExcluded) {
                for (uint32_t row = 0; row < d->ntax; ++row)
                    columns[0][row] = storedCell(d, row, c);
                status = store(&c, 1);
            }
    if (tree && status == 0)
        status = makePatternMatrix(tree, d);
    destroyPatternTST(tree);
    return status;
}

void showIncompleteCodons(const DataInfo *d, const IncompleteCodons &incomplete)
{
    if (incomplete.count > 0)
        showIncompleteGapMsg(incomplete.count, taxLabelString(d, incomplete.firstRow), incomplete.firstChar);
}

}  // namespace

uint32_t dnaCodeToBits(int letter)
{
    const char *p = std::strchr(dnaBitsToCode + 1, std::toupper(letter));
    return letter != 0 && p ? static_cast<uint32_t>(p - dnaBitsToCode) : 0;
}

void buildRecodeTable(uint32_t scheme, const char codonToAA[kNumCodons], RecodeTable &table)
{
    table.fill(0);
    switch (scheme) {
    case kRecodeRY:
        buildRYTable(table);
        return;
    case kRecodeMedrick:
        buildMedrick(table);
        return;
    case kRecodeDeg13:
        buildDeg13(codonToAA, table);
        break;
    case kRecodeDegFull:
        buildDegFull(codonToAA, table);
        break;
    default:
        buildDegRY(codonToAA, table);
        break;
    }
    mapTripletCodes(table);
}

void showMappings(uint32_t scheme, const RecodeTable &table)
{
    if (scheme == kRecodeRY) {
        qel_printf("\n%s mappings:\n\n", "DNA-code");
        for (uint32_t m = 1; m <= kAllBases; ++m)
            qel_printf("    %c --> %c\n", dnaBitsToCode[m], dnaBitsToCode[table[m] & 15]);
        return;
    }
    qel_printf("\n%s mappings:\n\n", "Triplet");
    qel_printf("    Position     ------------------------ Position 3 -----------------------\n");
    qel_printf("       1 & 2    ");
    for (uint32_t m = 1; m <= kAllBases; ++m)
        qel_printf(" %3c", dnaBitsToCode[m]);
    qel_printf("\n");
    tableLine(12 + 4 * static_cast<int32_t>(kAllBases), 4);
    for (uint32_t m1 = 1; m1 <= kAllBases; ++m1)
        for (uint32_t m2 = 1; m2 <= kAllBases; ++m2) {
            qel_printf("          %c%c    ", dnaBitsToCode[m1], dnaBitsToCode[m2]);
            for (uint32_t m3 = 1; m3 <= kAllBases; ++m3) {
                const uint32_t to = table[tripletIndex(m1, m2, m3)];
                qel_printf(" %c%c%c", dnaBitsToCode[to >> 8], dnaBitsToCode[(to >> 4) & 15],
                           dnaBitsToCode[to & 15]);
            }
            qel_printf("\n");
        }
}

int doDnaRecodeCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d || verifyNucleotideData(d, "DnaRecode") != 0)
        return 1;
    bool deleted = false;
    for (uint32_t row = 0; row < d->ntax; ++row)
        deleted = deleted || isDeletedTaxon(row, d);
    if (deleted) {
        qel_errorMsg(0, "Taxa are not allowed to be deleted at the time DNA recoding is requested.\tYou can "
                        "undelete all taxa, request the recoding, and then re-delete the desired taxa.");
        return 1;
    }
    if (setCmdParamVals(OptionSet::kDnaRecode) != 0)
        return 1;
    const uint32_t scheme = dnaRecOpt.scheme;
    const bool codons = scheme != kRecodeRY;
    int32_t ncodons = -1;
    if (codons && !canDoCodonModels(d, true, &ncodons))
        return 1;
    qel_printf("\nRecoding DNA using scheme = %s\n", schemeName(scheme));
    char codonToAA[kNumCodons];
    std::string aaLetters;
    uint32_t naa = 0;
    const int code = getGenCode(genCodeOpt.genCode, codonToAA, &aaLetters, &naa);
    if (code < 0)
        return 1;
    if (codons) {
        qel_printf("\n    Genetic code used for recoding = %s\n", genCodeName(static_cast<uint32_t>(code)));
        if (genCodeOpt.showGenCode)
            showGeneticCode(nullptr, codonToAA, aaLetters);
    }
    RecodeTable table;
    buildRecodeTable(scheme, codonToAA, table);
    if (dnaRecOpt.showMappings)
        showMappings(scheme, table);

    BaseCoding bc;
    IncompleteCodons incomplete;
    if (!dataMatrixAllocated(d) || makeBaseCoding(d, bc) != 0 ||
        rewriteMatrix(d, bc, table, codons, incomplete) != 0) {
        qel_errorMsg(0, "DNA recoding failed; the original data matrix is unchanged.");
        return 1;
    }
    qel_printf("\nDNA recoding completed; original data matrix has been replaced.\n");
    showIncompleteCodons(d, incomplete);
    // Which characters hold gaps and state combinations changes with the
    // cells: parsimony packs by it.
    updateStdCharsets(d);
    forceCharInitialization(d);
    return 0;
}
