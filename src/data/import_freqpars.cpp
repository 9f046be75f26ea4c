// The FreqPars importer of ToNEXUS: allele frequencies per taxon and locus,
// read through the file's own FORMAT statement. Each locus becomes a
// character whose states are the distinct frequency vectors among the taxa;
// where frequencies are fractional, a step matrix charges half the summed
// frequency differences between two states.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "data/data_settings.h"
#include "data/exchange.h"
#include "data/fpars_format.h"
#include "data/getdata.h"
#include "data/nexsets.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_strings.h"
#include "qel/qel_textbuffer.h"

namespace {

constexpr uint32_t kMaxFreqparsStates = 63;  // a 64th state would meet the missing code
constexpr uint32_t kMaxLoci = 1u << 20;
constexpr uint32_t kMaxAlleles = 1u << 16;
constexpr uint64_t kMaxCells = uint64_t{1} << 28;  // frequencies of one locus, states of the matrix
constexpr size_t kFieldSize = 256;

char freqparsSymbol(int state)
{
    static constexpr char kSymbols[] = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-+";
    return state < 0 ? '?' : kSymbols[state];
}

// The lines of the file, for the FORMAT parser's record reader, which takes
// no context of its own.
struct RecordSource {
    ForeignLines lines;
    std::string record;
};
thread_local RecordSource *tRecords = nullptr;

// A line as the FORMAT reads it: padded with blanks to the width the FORMAT
// needs, anything beyond dropped.
int loadNewInputLine(uint32_t width, const char **record, uint32_t *length)
{
    RecordSource &s = *tRecords;
    if (s.lines.next(s.record) != 0)
        return kFmtEndOfFile;
    if (width > 0)
        s.record.resize(width, ' ');
    *record = s.record.c_str();
    *length = static_cast<uint32_t>(s.record.size());
    return 0;
}

std::vector<std::string> words(const std::string &line)
{
    std::vector<std::string> out;
    size_t i = 0;
    while ((i = line.find_first_not_of(" \t\r", i)) != std::string::npos) {
        const size_t e = line.find_first_of(" \t\r", i);
        out.push_back(line.substr(i, e - i));
        i = e;
    }
    return out;
}

// A field of the FORMAT without the blanks that pad it.
std::string trimmed(const char *field)
{
    std::string text = field;
    const size_t b = text.find_first_not_of(' ');
    if (b == std::string::npos)
        return {};
    return text.substr(b, text.find_last_not_of(' ') - b + 1);
}

// A positive count no larger than limit, else 0.
constexpr uint32_t kCountTooLarge = UINT32_MAX;

// A count of the file: 0 when the word is no positive number, kCountTooLarge
// when it is a number above the limit.
uint32_t countOf(const std::string &word, uint32_t limit)
{
    if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    const size_t digits = word.size() - std::min(word.find_first_not_of('0'), word.size());
    if (digits > 9)
        return kCountTooLarge;
    const unsigned long v = std::stoul(word);
    return v <= limit ? static_cast<uint32_t>(v) : kCountTooLarge;
}

// The file asks for more than this version can hold: said so, not that the
// number is missing.
int countTooLarge(const char *what, const std::string &word, uint32_t limit)
{
    return qel_errorMsg(0, "The number of %s in the file (%s) exceeds the maximum permitted in this version of VORN "
                           "(%u).",
                        what, word.c_str(), limit);
}

int formatFailure(int code)
{
    if (code == kFmtNoMemory)
        return 1;
    char message[128];
    return qel_errorMsg(917, "%s", fortranFmtErrStr(code, message, sizeof message));
}

struct Locus {
    std::string name;  // converted
    uint32_t index = 0;
    uint32_t nstates = 0;
    std::vector<double> costs;  // nstates x nstates, or empty
};

class FreqparsReader {
  public:
    explicit FreqparsReader(ResizText *text) : text_(text) {}
    int run();

  private:
    int readHead();
    int readLocus(uint32_t l);
    int nextWords(std::vector<std::string> &out);
    std::string usertypeName(const std::string &locus) const;
    void write() const;

    ResizText *text_;
    RecordSource source_;
    std::string title_;
    std::string format_;
    uint32_t ntax_ = 0;
    uint32_t nloci_ = 0;
    std::vector<std::string> names_;
    std::vector<int16_t> states_;  // taxon-major: ntax x nloci
    std::vector<Locus> loci_;      // those with more than one state
    uint32_t maxStates_ = 0;
    bool missing_ = false;
};

// The words of the next line that has any; 0, or 1 after error 114.
int FreqparsReader::nextWords(std::vector<std::string> &out)
{
    std::string line;
    do {
        if (source_.lines.next(line) != 0)
            return importUnexpectedEnd();
        out = words(line);
    } while (out.empty());
    return 0;
}

int FreqparsReader::readHead()
{
    if (source_.lines.next(title_) != 0)
        return importUnexpectedEnd();
    std::vector<std::string> w;
    if (nextWords(w) != 0)
        return 1;
    ntax_ = countOf(w[0], kMaxTaxa);
    if (ntax_ == 0)
        return qel_errorMsg(914, "Expecting number of taxa found \"%s\"", w[0].c_str());
    if (ntax_ == kCountTooLarge)
        return qel_errorMsg(302, "Value of 'NTax' exceeds maximum permitted in this version of VORN (%d)",
                            static_cast<int>(kMaxTaxa));
    nloci_ = w.size() > 1 ? countOf(w[1], kMaxLoci) : 0;
    if (nloci_ == 0)
        return qel_errorMsg(915, "Expecting number of loci found \"%s\"", w.size() > 1 ? w[1].c_str() : "");
    if (nloci_ == kCountTooLarge)
        return countTooLarge("loci", w[1], kMaxLoci);
    if (static_cast<uint64_t>(ntax_) * nloci_ > kMaxCells)
        return qel_errorMsg(0, "The FREQPARS matrix is too large (%u taxa, %u loci).", ntax_, nloci_);
    // The names follow the counts, on their line or the next ones.
    for (size_t k = 2; k < w.size() && names_.size() < ntax_; k++)
        names_.push_back(w[k]);
    while (names_.size() < ntax_) {
        if (nextWords(w) != 0)
            return 1;
        for (size_t k = 0; k < w.size() && names_.size() < ntax_; k++)
            names_.push_back(w[k]);
    }
    if (source_.lines.next(format_) != 0)
        return importUnexpectedEnd();
    const size_t b = format_.find_first_not_of(" \t");
    if (b != std::string::npos && strnicmp(format_.c_str() + b, "OPTIONS", 7) == 0 &&
        source_.lines.next(format_) != 0)
        return importUnexpectedEnd();
    char field[kFieldSize];
    const int rc = initFormatParser(format_.data(), format_.size(), field, sizeof field, loadNewInputLine);
    return rc != 0 ? formatFailure(rc) : 0;
}

int FreqparsReader::readLocus(uint32_t l)
{
    std::vector<std::string> w;
    if (nextWords(w) != 0)
        return 1;
    const uint32_t nalleles = w.size() > 1 ? countOf(w[1], kMaxAlleles) : 0;
    if (nalleles == 0)
        return qel_errorMsg(916, "Expecting number of alleles found \"%s\"", w.size() > 1 ? w[1].c_str() : "");
    if (nalleles == kCountTooLarge)
        return countTooLarge("alleles", w[1], kMaxAlleles);
    if (static_cast<uint64_t>(nalleles) * ntax_ > kMaxCells)
        return qel_errorMsg(0, "Locus %s has too many alleles (%u).", w[0].c_str(), nalleles);
    // Frequencies allele-major: freq[a * ntax + t].
    std::vector<float> freq(static_cast<size_t>(nalleles) * ntax_);
    bool fractional = false;
    char field[kFieldSize];
    for (uint32_t a = 0; a < nalleles; a++) {
        int rc = initFormatParser(format_.data(), format_.size(), field, sizeof field, loadNewInputLine);
        if (rc == 0)
            rc = formatGetText();  // the allele's name
        for (uint32_t t = 0; rc == 0 && t < ntax_; t++) {
            rc = formatGetRealText();
            if (rc == 0) {
                const float f = std::strtof(field, nullptr);
                // A frequency outside 0..1 (a missing-value code such as
                // -9) would be taken for a state and priced in the costs.
                if (!(f >= 0.0f && f <= 1.0f))
                    return qel_errorMsg(0,
                                        "Allele frequency \"%s\" of allele %u of locus %s for taxon %s is not "
                                        "between 0 and 1.",
                                        trimmed(field).c_str(), a + 1, w[0].c_str(), names_[t].c_str());
                freq[static_cast<size_t>(a) * ntax_ + t] = f;
                fractional = fractional || (f != 0.0f && f != 1.0f);
            }
        }
        if (rc != 0)
            return formatFailure(rc);
    }
    // States: the distinct vectors, numbered in order of first appearance.
    std::vector<uint32_t> representative;
    for (uint32_t t = 0; t < ntax_; t++) {
        double sum = 0.0;
        for (uint32_t a = 0; a < nalleles; a++)
            sum += freq[static_cast<size_t>(a) * ntax_ + t];
        int16_t state = -1;
        if (sum == 0.0) {
            missing_ = true;
        } else {
            auto same = [&](uint32_t r) {
                for (uint32_t a = 0; a < nalleles; a++)
                    if (freq[static_cast<size_t>(a) * ntax_ + t] != freq[static_cast<size_t>(a) * ntax_ + r])
                        return false;
                return true;
            };
            const auto found = std::find_if(representative.begin(), representative.end(), same);
            if (found == representative.end()) {
                if (representative.size() == kMaxFreqparsStates)
                    return qel_errorMsg(918, "Cannot convert FREQPARS matrices having more than %u allelic "
                                             "frequency combinations at any locus.",
                                        kMaxFreqparsStates);
                representative.push_back(t);
                state = static_cast<int16_t>(representative.size() - 1);
            } else {
                state = static_cast<int16_t>(found - representative.begin());
            }
        }
        states_[static_cast<size_t>(t) * nloci_ + l] = state;
    }
    const auto n = static_cast<uint32_t>(representative.size());
    maxStates_ = std::max(maxStates_, n);
    if (n > 1) {
        Locus locus;
        locus.name = usertypeName(w[0]);
        locus.index = l;
        locus.nstates = n;
        if (fractional) {
            locus.costs.assign(static_cast<size_t>(n) * n, 0.0);
            for (uint32_t i = 0; i < n; i++)
                for (uint32_t j = 0; j < i; j++) {
                    double d = 0.0;
                    for (uint32_t a = 0; a < nalleles; a++)
                        d += std::fabs(static_cast<double>(freq[static_cast<size_t>(a) * ntax_ + representative[i]]) -
                                       freq[static_cast<size_t>(a) * ntax_ + representative[j]]);
                    locus.costs[i * n + j] = locus.costs[j * n + i] = 0.5 * d;
                }
        }
        loci_.push_back(std::move(locus));
    }
    return 0;
}

// The locus name as a user-type name the Usertype and TypeSet commands read:
// those refuse punctuation even quoted, and take names without regard to
// case, a later type replacing an earlier one of the same name. Punctuation
// becomes "_", and a name an earlier locus took gets a number.
std::string FreqparsReader::usertypeName(const std::string &locus) const
{
    std::string base = locus.substr(0, kNexsetNameSize - 12);
    for (char &c : base)
        if (std::strchr("\"'()[],;=:-", c))
            c = '_';
    std::string name = base;
    for (uint32_t n = 2; std::any_of(loci_.begin(), loci_.end(), [&](const Locus &other) {
             return !other.costs.empty() && stricmp(other.name.c_str(), name.c_str()) == 0;
         });
         n++)
        name = base + "_" + std::to_string(n);
    return name;
}

void FreqparsReader::write() const
{
    eprintf(text_, "[!Title=%s]\n\nBegin data;\n\tDimensions ntax=%u nchar=%u;\n", commentSafe(title_).c_str(), ntax_,
            nloci_);
    std::string symbols;
    for (uint32_t s = 0; s < maxStates_; s++)
        symbols += freqparsSymbol(static_cast<int>(s));
    eprintf(text_, "\tFormat %ssymbols=\"%s\"%s;\n\tMatrix\n", maxStates_ >= 37 ? "respectCase " : "", symbols.c_str(),
            missing_ ? " missing=?" : "");
    std::vector<std::string> labels;
    size_t width = 0;
    for (const std::string &name : names_) {
        labels.push_back(importedLabel(name.c_str()));
        noteImportedTaxon(labels.back());
        width = std::max(width, labels.back().size());
    }
    for (uint32_t t = 0; t < ntax_; t++) {
        std::string row = labels[t];
        row.append(width - labels[t].size() + 1, ' ');
        for (uint32_t l = 0; l < nloci_; l++)
            row += freqparsSymbol(states_[static_cast<size_t>(t) * nloci_ + l]);
        row += '\n';
        ewrite(row.data(), row.size(), text_);
    }
    eputs("\t;\nEnd;\n\nBegin assumptions;\n", text_);
    for (const Locus &locus : loci_) {
        if (locus.costs.empty())
            continue;
        eprintf(text_, "\tUsertype %s = %u ", locus.name.c_str(), locus.nstates);
        for (uint32_t s = 0; s < locus.nstates; s++)
            eputc(freqparsSymbol(static_cast<int>(s)), text_);
        eputc('\n', text_);
        for (uint32_t i = 0; i < locus.nstates; i++) {
            eprintf(text_, "\t\t[%c]", freqparsSymbol(static_cast<int>(i)));
            for (uint32_t j = 0; j < locus.nstates; j++)
                eprintf(text_, "%8.5f", locus.costs[i * locus.nstates + j]);
            eputc('\n', text_);
        }
        eputs("\t\t;\n", text_);
    }
    eputs("\ttypeset *manob =\n", text_);
    for (const Locus &locus : loci_)
        if (!locus.costs.empty())
            eprintf(text_, "\t\t%s:%u,\n", locus.name.c_str(), locus.index + 1);
    eputs("\t\tunord:remainder\n\t\t;\nEnd;\n", text_);
}

int FreqparsReader::run()
{
    tRecords = &source_;
    int rc = readHead();
    if (rc == 0)
        states_.assign(static_cast<size_t>(ntax_) * nloci_, -1);
    for (uint32_t l = 0; rc == 0 && l < nloci_; l++)
        rc = readLocus(l);
    tRecords = nullptr;
    if (rc == 0)
        write();
    return rc;
}

}  // namespace

int importFreqpars(ResizText *text) { return FreqparsReader(text).run(); }
