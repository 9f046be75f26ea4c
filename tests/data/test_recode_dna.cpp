// DNA recoding: the printed mapping tables against a reference worked out
// here from the genetic code with sets of letters, medrick's groups, and the
// rewrite of the matrix under full and compact storage.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "data/data_settings.h"
#include "data/recode_dna.h"
#include "qel/qel_malloc.h"
#include "reader_test_support.h"
#include "support/capture_support.h"

namespace {

using testcap::gOut;
std::string &gError = testcap::gErrorText;

// ---- Reference: bases as letters, base sets as sorted strings ------------------

const std::map<char, std::string> kIupac = {
    {'A', "A"},   {'C', "C"},   {'G', "G"},   {'T', "T"},   {'R', "AG"},  {'Y', "CT"},
    {'M', "AC"},  {'K', "GT"},  {'S', "CG"},  {'W', "AT"},  {'H', "ACT"}, {'B', "CGT"},
    {'V', "ACG"}, {'D', "AGT"}, {'N', "ACGT"},
};
const std::string kLetters = "ACMGRSVTWYHKDBN";  // the printed order

char letterOf(std::string bases)
{
    std::sort(bases.begin(), bases.end());
    bases.erase(std::unique(bases.begin(), bases.end()), bases.end());
    for (const auto &[letter, set] : kIupac)
        if (set == bases)
            return letter;
    return '?';
}

// NCBI tables, codons in T, C, A, G order with the first position slowest.
const char *kStandard = "FFLLSSSSYY**CC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG";
const char *kVertMito = "FFLLSSSSYY**CCWWLLLLPPPPHHQQRRRRIIMMTTTTNNKKSS**VVVVAAAADDEEGGGG";

char aminoAcid(const char *code, const std::string &codon)
{
    const std::string order = "TCAG";
    return code[16 * order.find(codon[0]) + 4 * order.find(codon[1]) + order.find(codon[2])];
}

std::vector<std::string> allCodons()
{
    std::vector<std::string> v;
    for (char a : std::string("ACGT"))
        for (char b : std::string("ACGT"))
            for (char c : std::string("ACGT"))
                v.push_back({a, b, c});
    return v;
}

// The map of one concrete codon under a scheme, as three base strings.
std::vector<std::string> referenceCodon(uint32_t scheme, const char *code, const std::string &codon)
{
    const char aa = aminoAcid(code, codon);
    std::vector<std::string> at(3);  // bases at each position among the relevant synonyms
    for (const std::string &k : allCodons()) {
        if (aminoAcid(code, k) != aa || (scheme == kRecodeDeg13 && k[1] != codon[1]))
            continue;
        for (int p = 0; p < 3; ++p)
            at[p] += k[p];
    }
    std::vector<std::string> out(3);
    for (int p = 0; p < 3; ++p) {
        const auto has = [&](char b) { return at[p].find(b) != std::string::npos; };
        const char x = codon[p];
        if (scheme == kRecodeDegRY) {
            if ((x == 'A' || x == 'G') && has('A') && has('G'))
                out[p] = "AG";
            else if ((x == 'C' || x == 'T') && has('C') && has('T'))
                out[p] = "CT";
            else
                out[p] = std::string(1, x);
        } else {
            out[p] = scheme == kRecodeDeg13 && p == 1 ? std::string(1, x) : at[p];
        }
    }
    return out;
}

std::string referenceTriplet(const std::map<std::string, std::vector<std::string>> &codons, const std::string &t)
{
    std::vector<std::string> u(3);
    for (char a : kIupac.at(t[0]))
        for (char b : kIupac.at(t[1]))
            for (char c : kIupac.at(t[2])) {
                const auto &m = codons.at({a, b, c});
                for (int p = 0; p < 3; ++p)
                    u[p] += m[p];
            }
    return {letterOf(u[0]), letterOf(u[1]), letterOf(u[2])};
}

// The printed triplet table: "XYZ" -> its mapping.
std::map<std::string, std::string> parseTripletTable(const std::string &text)
{
    std::map<std::string, std::string> table;
    std::istringstream in(text.substr(text.find("Triplet mappings:")));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string first;
        fields >> first;
        if (first.size() != 2 || kLetters.find(first[0]) == std::string::npos ||
            kLetters.find(first[1]) == std::string::npos)
            continue;
        for (char third : kLetters) {
            std::string to;
            fields >> to;
            table[first + third] = to;
        }
    }
    return table;
}

class RecodeTest : public DataReaderTest {
protected:
    RecodeTest() : DataReaderTest(testcap::capturePrintf, testcap::captureError<false>, testcap::captureError<false>) {}
    void SetUp() override
    {
        gOut.clear();
        gError.clear();
        savedStorage_ = dataParam.dataStorage;
        DataReaderTest::SetUp();
    }
    void TearDown() override
    {
        DataReaderTest::TearDown();
        dataParam.dataStorage = savedStorage_;
    }

    std::map<std::string, std::string> printed(uint32_t scheme, const char *codeName)
    {
        char codonToAA[kNumCodons];
        EXPECT_GE(getGenCode(codeName, codonToAA, nullptr, nullptr), 0);
        RecodeTable table;
        buildRecodeTable(scheme, codonToAA, table);
        gOut.clear();
        showMappings(scheme, table);
        return parseTripletTable(gOut);
    }

    void read(const std::vector<std::string> &rows, const std::string &format, bool compact)
    {
        dataParam.dataStorage = compact ? 1 : 0;
        std::string s = "begin data; dimensions ntax=" + std::to_string(rows.size()) +
                        " nchar=" + std::to_string(rows[0].size()) + "; format " + format + "; matrix\n";
        for (size_t t = 0; t < rows.size(); ++t)
            s += "t" + std::to_string(t + 1) + " " + rows[t] + "\n";
        feed(s + ";\nend;\n", true);
        char word[64];
        readToken(word, sizeof word);
        readToken(word, sizeof word);
        readSemicolon();
        ASSERT_EQ(readData(kBlockData, activeDataInfo()), 0) << gError;
    }

    int recode(const std::string &options)
    {
        feed(options + ";", true);
        return doDnaRecodeCmd();
    }

    // Each row as letters of the base sets of its cells ('-' for gaps).
    static std::vector<std::string> rows()
    {
        const DataInfo *d = activeDataInfo();
        std::vector<std::string> out;
        for (int32_t t = 0; t < d->nActive; ++t) {
            std::string row;
            for (uint32_t c = 0; c < d->nchar; ++c) {
                const uint8_t code = getXijRaw(d, t, c);
                std::string bases;
                const uint64_t bits = stateBitsOfCode(d, code);
                for (uint32_t s = 0; s < d->nstates; ++s)
                    if ((bits >> s & 1) && std::string("ACGT").find(d->symbols[s]) != std::string::npos)
                        bases += d->symbols[s];
                row += code == kGapCode ? '-' : letterOf(bases);
            }
            out.push_back(row);
        }
        return out;
    }

private:
    int savedStorage_ = 0;
};

TEST_F(RecodeTest, CodonTablesEqualTheGeneticCodeEntryByEntry)
{
    for (const auto &[name, code] : {std::pair{"standard", kStandard}, std::pair{"vertMito", kVertMito}})
        for (uint32_t scheme : {kRecodeDeg13, kRecodeDegFull, kRecodeDegRY}) {
            const auto table = printed(scheme, name);
            ASSERT_EQ(table.size(), 15u * 15u * 15u) << name << " " << scheme;
            std::map<std::string, std::vector<std::string>> codons;
            for (const std::string &c : allCodons())
                codons[c] = referenceCodon(scheme, code, c);
            uint32_t wrong = 0;
            for (const auto &[from, to] : table)
                wrong += to != referenceTriplet(codons, from);
            EXPECT_EQ(wrong, 0u) << name << " scheme " << scheme;
        }
    // The known cases under the standard code.
    const auto full = printed(kRecodeDegFull, "standard");
    for (const char *leu : {"TTA", "TTG", "CTT", "CTC", "CTA", "CTG"})
        EXPECT_EQ(full.at(leu), "YTN") << leu;
    for (const char *ser : {"TCT", "TCC", "TCA", "TCG", "AGT", "AGC"})
        EXPECT_EQ(full.at(ser), "WSN") << ser;
    const auto deg13 = printed(kRecodeDeg13, "standard");
    for (const char *arg : {"AGA", "AGG", "CGT"})
        EXPECT_EQ(deg13.at(arg), "MGN") << arg;
    EXPECT_EQ(deg13.at("AGT"), "AGY");
    const auto degRY = printed(kRecodeDegRY, "standard");
    EXPECT_EQ(degRY.at("TTA"), "YTR");
    EXPECT_EQ(degRY.at("CTC"), "YTY");
    // Under vertMito AGA and AGG are stops of their own: deg13 joins them
    // with no arginine codon.
    EXPECT_EQ(printed(kRecodeDeg13, "vertMito").at("AGA"), "AGR");
}

TEST_F(RecodeTest, MedrickGroupsAndTheRestOfTheTable)
{
    // Groups in order; later ones overwrite earlier entries.
    const std::vector<std::pair<std::string, std::string>> groups = {
        {"YTN", "TTM TTK TTS TTW TTH TTB TTV TTD TTN TTA TTG TTR CTA CTC CTG CTT CTR CTY CTM CTK CTS CTW "
                "CTH CTB CTV CTD CTN YTC YTA YTT YTG YTR YTY YTM YTK YTS YTW YTH YTB YTV YTD YTN"},
        {"TTY", "TTT TTC TTY"},
        {"MGN", "CGT CGA CGC CGG CGR CGY CGM CGK CGS CGW CGH CGB CGV CGD CGN AGA AGG AGR AGM AGK AGS AGW "
                "AGH AGB AGV AGD AGN MGC MGA MGT MGG MGR MGY MGM MGK MGS MGW MGH MGB MGV MGD MGN"},
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
    std::map<std::string, std::string> expected;
    for (const auto &[target, list] : groups) {
        std::istringstream in(list);
        for (std::string t; in >> t;)
            expected[t] = target;
    }
    const auto table = printed(kRecodeMedrick, "standard");
    ASSERT_EQ(table.size(), 15u * 15u * 15u);
    for (const auto &[from, to] : table) {
        if (auto it = expected.find(from); it != expected.end()) {
            EXPECT_EQ(to, it->second) << from;
            continue;
        }
        const bool vague = kIupac.at(from[0]).size() > 1 || kIupac.at(from[1]).size() > 1;
        EXPECT_EQ(to, vague ? "NNN" : from) << from;
    }
    // Serine's AGN is overwritten by the later AGY group only for AGT, AGC, AGY.
    EXPECT_EQ(table.at("AGT"), "AGY");
    EXPECT_EQ(table.at("AGN"), "MGN");
    EXPECT_EQ(dnaCodeToBits('U'), 0u);
    EXPECT_EQ(dnaCodeToBits('n'), 15u);
}

// Cells go through their base sets, so user symbols standing before A, C,
// G and T change nothing; gaps stay gaps, and a triplet with one or two
// gaps becomes three gaps with the warning.
TEST_F(RecodeTest, RewritesCellsByBaseSetUnderBothStorages)
{
    for (bool compact : {false, true}) {
        read({"AGCTRYN-?", "ACGTACGTA", "AGCTRYN-?"}, "datatype=dna gap=- symbols=\"XZ\"", compact);
        ASSERT_EQ(recode("scheme=ry showmappings=no"), 0) << gError;
        EXPECT_EQ(rows(), (std::vector<std::string>{"AACCACM-M", "ACACACACA", "AACCACM-M"})) << compact;
        destroyDataInfo(activeDataInfo());
        setActiveDataInfo(createDataInfo());

        read({"TTACT-GAT", "CTCAGT---", "AGA--AGGN"}, "datatype=dna gap=-", compact);
        gError.clear();
        ASSERT_EQ(recode("scheme=degFull showmappings=no showgencode=no"), 0) << gError;
        EXPECT_EQ(rows(), (std::vector<std::string>{"YTN---GAY", "YTNWSN---", "MGN---GGN"})) << compact;
        EXPECT_NE(gError.find("in 2 locations (e.g., taxon t1, characters 4-6)"), std::string::npos) << gError;
        destroyDataInfo(activeDataInfo());
        setActiveDataInfo(createDataInfo());
    }
}

// R becomes A: the character no longer holds a state combination, which
// the status word must say (parsimony packs by it).
TEST_F(RecodeTest, CharacterFlagsFollowTheNewCells)
{
    read({"RAC", "AAC", "GA-"}, "datatype=dna gap=-", false);
    ASSERT_TRUE(activeDataInfo()->status[0] & kCharHasCombination);
    ASSERT_EQ(recode("scheme=ry showmappings=no"), 0) << gError;
    EXPECT_FALSE(activeDataInfo()->status[0] & kCharHasCombination);
    EXPECT_TRUE(isSetMember(activeDataInfo()->gappedChars, 2));
}

TEST_F(RecodeTest, RefusalsLeaveTheMatrixAlone)
{
    read({"ACGTACGT", "ACGTACGA"}, "datatype=dna", false);
    const auto before = rows();
    EXPECT_EQ(recode("scheme=deg13"), 1);  // eight characters are not whole codons
    EXPECT_NE(gError.find("multiple of 3"), std::string::npos) << gError;
    EXPECT_EQ(rows(), before);
    destroyDataInfo(activeDataInfo());
    setActiveDataInfo(createDataInfo());
    gError.clear();
    read({"0101", "0110"}, "datatype=standard", false);
    EXPECT_EQ(recode(""), 1);
    EXPECT_NE(gError.find("only valid for nucleotide"), std::string::npos) << gError;
}

// Under compact storage every allocation of the rewrite is made to fail in
// turn: each failure keeps the old cells, and the first run that gets
// through holds the recoded ones.
TEST_F(RecodeTest, CompactStorageFailureKeepsTheOldMatrix)
{
    read({"ACGTRYACGTAA", "ACGTRYACGTAG", "GGGGTTTTCCAA"}, "datatype=dna gap=-", true);
    ASSERT_TRUE(activeDataInfo()->compactStorage);
    const auto before = rows();
    bool done = false;
    uint32_t failures = 0;
    for (int64_t countdown = 0; countdown < 200 && !done; ++countdown) {
        gError.clear();
        qel_setAllocFailureCountdown(countdown);
        const int status = recode("scheme=ry showmappings=no");
        qel_setAllocFailureCountdown(-1);
        clearMemoryErrorStatus();
        if (status != 0) {
            ++failures;
            ASSERT_EQ(rows(), before) << "countdown " << countdown;
            continue;
        }
        done = true;
        EXPECT_EQ(rows(), (std::vector<std::string>{"ACACACACACAA", "ACACACACACAA", "AAAACCCCCCAA"}));
    }
    EXPECT_TRUE(done);
    EXPECT_GT(failures, 2u);
}

}  // namespace
