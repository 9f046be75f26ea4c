#include "data/saveassum.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "cli/qel_cmdoptions.h"
#include "cli/shell_settings.h"
#include "data/data_services.h"
#include "data/data_settings.h"
#include "data/nexsets.h"
#include "data/prepdata.h"
#include "data/usertypes.h"
#include "data/vorn_data.h"
#include "qel/qel_auxout.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "qel/qel_sets.h"
#include "qel/qel_strings.h"

namespace {

constexpr uint32_t kListWidth = 60;
// Type rows of the built-in table that the typeset is written with: "ord"
// through "Dollo" ("irrev" is a synonym the reader knows).
constexpr int kWrittenStdTypes = 8;

// A name as one NEXUS word, in full: quoting can double every character.
std::string nexusWord(const char *name)
{
    std::vector<char> buffer(2 * std::strlen(name) + 8);
    return nexusizeString(name, buffer.data(), buffer.size());
}

int emitToAux(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    char small[256];
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
        auxPuts(small);
    } else if (n >= 0) {
        std::vector<char> big(static_cast<size_t>(n) + 1);
        std::vsnprintf(big.data(), big.size(), format, args);
        auxPuts(big.data());
    }
    va_end(args);
    return n;
}

// One command being written: text accumulates in a line buffer that the list
// writer breaks at the list width.
class CommandLine {
public:
    CommandLine() : buffer_(8192, '\0'), cursor_(buffer_.data()) {}
    void add(const std::string &text)
    {
        flushIfLong(text.size());
        std::memcpy(cursor_, text.data(), text.size());
        cursor_ += text.size();
    }
    void list(const Set *set, uint32_t indent)
    {
        flushIfLong(kListWidth + 64);
        cursor_ = putNexusList(set, cursor_, buffer_.data(), emitToAux, kListWidth, indent);
    }
    void end()
    {
        add(";\n");
        *cursor_ = '\0';
        auxPuts(buffer_.data());
        cursor_ = buffer_.data();
    }

private:
    // Long names are written on a line of their own before the buffer fills.
    void flushIfLong(size_t more)
    {
        if (static_cast<size_t>(cursor_ - buffer_.data()) + more + 1 < buffer_.size())
            return;
        *cursor_ = '\0';
        auxPrintf("%s\n", buffer_.data());
        cursor_ = buffer_.data();
        std::memset(cursor_, ' ', 8);
        cursor_ += 8;
        if (more + 9 >= buffer_.size())
            buffer_.resize(more + 64), cursor_ = buffer_.data() + 8;
    }
    std::vector<char> buffer_;
    char *cursor_;
};

bool isBuiltinSet(const Nexset *ns)
{
    return ns >= gNexsets.builtins && ns < gNexsets.builtins + kNumBuiltinNexsets;
}

// " [name]" for a current user set, nothing for none or a built-in.
std::string currentName(const Nexset *ns)
{
    return ns && !isBuiltinSet(ns) ? "[" + nexusWord(getNexsetName(ns)) + "] " : "";
}

uint32_t typeCode(const DataInfo *d, uint32_t c) { return d->status[c] & (kCharTypeMask | kCharDownVariant); }

// The characters of a set: a new set over the characters, filled by `has`.
template <typename Has>
SetHandle charsWhere(const DataInfo *d, Has has)
{
    SetHandle s(allocSet(std::max<uint32_t>(d->nchar, 1)));
    if (s)
        for (uint32_t c = 0; c < d->nchar; ++c)
            if (has(c))
                addSetMember(s.get(), c);
    return s;
}

std::string costText(const UserType *ut, uint32_t i, uint32_t j)
{
    if (i == j)
        return "0";
    char text[64];
    if (ut->realValued) {
        const double v = ut->realCosts[i][j];
        if (v >= kUserTypeRealInfinity)
            return "i";
        std::snprintf(text, sizeof text, "%.*f", static_cast<int>(ut->decimals), v);
    } else {
        const int16_t v = ut->intCosts[i][j];
        if (v == kUserTypeIntInfinity)
            return "i";
        std::snprintf(text, sizeof text, "%d", v);
    }
    return text;
}

void writeStepmatrix(const UserType *ut)
{
    const uint32_t n = ut->n;
    size_t longest = 1;
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < n; ++j)
            longest = std::max(longest, costText(ut, i, j).size());
    const int w = static_cast<int>(longest) + 1;
    auxPrintf("    usertype %s stepmatrix = %u\n", nexusWord(ut->name).c_str(), n);
    auxPrintf("%11s", "");
    for (uint32_t j = 0; j < n; ++j)
        auxPrintf("%*c", w, ut->symbols[j]);
    auxPutNewline();
    for (uint32_t i = 0; i < n; ++i) {
        auxPrintf("        [%c]", ut->symbols[i]);
        for (uint32_t j = 0; j < n; ++j)
            auxPrintf("%*s", w, costText(ut, i, j).c_str());
        auxPutNewline();
    }
    auxPuts("        ;\n");
}

bool typeInUse(const DataInfo *d, const UserType *ut)
{
    for (uint32_t c = 0; c < d->nchar; ++c)
        if (d->userTypes && d->userTypes[c] == ut)
            return true;
    return false;
}

// A weight as the score listings write it: at most five decimals, without
// trailing zeros.
std::string weightText(double w)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.5f", w);
    std::string s = text;
    s.erase(s.find_last_not_of('0') + 1);
    if (!s.empty() && s.back() == '.')
        s.pop_back();
    return s;
}

void writeAssumptionsBlock(const DataInfo *d)
{
    const std::time_t now = std::time(nullptr);
    char when[64];
    std::strftime(when, sizeof when, "%a %b %e %H:%M:%S %Y", std::localtime(&now));
    auxPuts("#NEXUS \n\nbegin assumptions;\n");
    auxPrintf("    [!Assumptions saved by VORN on %s]\n", when);
    std::vector<const UserType *> used;
    for (const UserType *ut = gFirstUsertype; ut; ut = ut->next)
        if (typeInUse(d, ut)) {
            used.push_back(ut);
            if (ut->tree) {
                std::vector<char> tree(64 + 4 * kMaxCSTreeNodes, '\0');
                recPutCSTree(ut->tree, tree.data(), static_cast<uint32_t>(tree.size()));
                auxPrintf("    usertype %s cstree = %s;\n", nexusWord(ut->name).c_str(), tree.data());
            } else {
                writeStepmatrix(ut);
            }
        }

    CommandLine line;
    line.add("    typeset *untitled " + currentName(gNexsets.curTypeset) + "=");
    bool first = true;
    auto item = [&](const std::string &label, const Set *set, uint32_t indent) {
        if (!first)
            line.add(",");
        first = false;
        line.add(" " + label + ":");
        line.list(set, indent);
    };
    for (const UserType *ut : used) {
        SetHandle s = charsWhere(d, [&](uint32_t c) { return d->userTypes[c] == ut; });
        item(nexusWord(ut->name), s.get(), 12);
    }
    for (int row = 0; row < kWrittenStdTypes; ++row) {
        const uint32_t code = stdTypes[row].code;
        SetHandle s = charsWhere(d, [&](uint32_t c) {
            return !(d->userTypes && d->userTypes[c]) && typeCode(d, c) == code;
        });
        if (s && !isSetEmpty(s.get()))
            item(stdTypes[row].name, s.get(), 12);
    }
    line.end();

    line.add("    wtset *untitled " + currentName(gNexsets.curWtset) + "=");
    first = true;
    std::vector<double> written;
    for (uint32_t c = 0; c < d->nchar; ++c) {
        const double w = d->weights ? d->weights[c] : 1.0;
        if (std::find(written.begin(), written.end(), w) != written.end())
            continue;
        written.push_back(w);
        SetHandle s = charsWhere(d, [&](uint32_t k) { return (d->weights ? d->weights[k] : 1.0) == w; });
        item(weightText(w), s.get(), 10);
    }
    line.end();

    line.add("    exset *untitled " + currentName(gNexsets.curExset) + "=");
    SetHandle excluded = charsWhere(d, [&](uint32_t c) { return (d->status[c] & kCharExcluded) != 0; });
    if (excluded && !isSetEmpty(excluded.get()))
        line.list(excluded.get(), 10);
    else
        line.add(" [none]");
    line.end();

    const Nexset *anc = gNexsets.curAncestor;
    if (anc && anc != &gNexsets.builtins[kBuiltinStandard]) {
        const uint8_t *states = currentAncestralStates(d);
        line.add("    ancstates *untitled [" + nexusWord(getNexsetName(anc)) + "] =");
        first = true;
        SetHandle missing = charsWhere(d, [&](uint32_t c) { return states[c] >= d->nstates; });
        if (missing && !isSetEmpty(missing.get()))
            item(std::string(1, static_cast<char>(d->missingSymbol)), missing.get(), 14);
        for (uint32_t s = 0; s < d->nstates && d->symbols[s]; ++s) {
            SetHandle with = charsWhere(d, [&](uint32_t c) { return states[c] == s; });
            if (with && !isSetEmpty(with.get()))
                item(std::string(1, d->symbols[s]), with.get(), 14);
        }
        line.end();
    }
    auxPuts("end;\n");
}

// "    delete A B/only;": the labels of a taxon set, lines continued at 60.
void writeTaxa(const char *command, const Set *set, const DataInfo *d)
{
    std::string text = std::string("    ") + command;
    for (uint32_t t = 0; set && t < d->ntax; ++t) {
        if (!isSetMember(set, t))
            continue;
        const std::string word = nexusWord(taxLabelString(d, t));
        if (text.size() + 1 + word.size() > kListWidth && text.find_first_not_of(' ') != std::string::npos &&
            text.size() > 8) {
            auxPrintf("%s\n", text.c_str());
            text.assign(8, ' ');
            text += word;
            continue;
        }
        text += " " + word;
    }
    auxPrintf("%s/only;\n", text.c_str());
}

void writeOwnBlock(const DataInfo *d)
{
    auxPuts("\nbegin VORN;\n");
    writeTaxa("delete", d->taxa.deleted, d);
    writeTaxa("outgroup", d->taxa.outgroup, d);
    const Nexset *anc = gNexsets.curAncestor;
    if (!anc || anc == &gNexsets.builtins[kBuiltinStandard])
        auxPuts("    assume ancstates=standard;\n");
    auxPuts("end;\n");
}

}  // namespace

int doSaveAssumCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d)
        return 1;
    if (prepareData(kPrepCurrentCriterion, 0, true) != 0)
        return 1;
    static bool named = false;
    if (!named && settingsFlnam[0] == '\0')
        std::strcpy(settingsFlnam, "untitled.nex");
    named = true;
    gReplaceFile = 0;
    if (setCmdParamVals(OptionSet::kSaveAssum) != 0)
        return 1;
    if (settingsFlnam[0] == '\0')
        return qel_errorMsg(129, "No file name was specified.\tThe current command was expecting specification of a "
                                 "file name, but none was found.");
    int openStatus = 1;
    AuxOut *aux = openAuxOutStream(settingsFlnam, gReplaceFile != 0, false, &openStatus);
    if (!aux)
        return openStatus;
    const DataServices &s = dataServices();
    s.setStatusText("Saving current assumptions to file...");
    writeAssumptionsBlock(d);
    writeOwnBlock(d);
    // Written only once the stream took everything: a write error is told
    // when the stream is closed.
    const std::string path = auxPathnameForDisplay(aux, 255);
    const int status = closeAuxOutStream(aux);
    if (status == 0)
        qel_printf("\nCurrent assumptions written to file: %s\n", path.c_str());
    s.clearStatusText();
    return status;
}
