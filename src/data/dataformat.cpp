#include "data/dataformat.h"

#include <cctype>
#include <cstring>
#include <string>

#include "data/data_services.h"
#include "data/getdata.h"
#include "data/model.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_malloc.h"
#include "cli/qel_cmdline.h"

namespace {

constexpr const char *kEofText =
    "Unexpected end-of-file was encountered.\tMake sure the file format is correct for the "
    "current operation.";
constexpr const char *kInSymbolsText =
    "The \"%s\" character '%c' may not be included in the SYMBOLS list.\tDelete the character "
    "from the list of symbols (and make sure the list is embedded in double quotes).";
constexpr const char *kUniqueText =
    "The characters for 'Gap', 'Missing' and 'MatchChar' must all be unique.";

int eofError() { return qel_errorMsg(114, "%s", kEofText); }

int expectQuote(int c)
{
    if (c == '"')
        return 0;
    return qel_errorMsg(202,
                        "Expecting double-quotes (\") found '%c'.\tEnclose the token within "
                        "quotes, and make sure that quotes are balanced.",
                        c < 0 ? ' ' : c);
}

bool sameSymbol(int a, int b, bool respectCase)
{
    return a == b || (!respectCase && std::tolower(a) == std::tolower(b));
}

bool inSymbols(const char *symbols, int c, bool respectCase)
{
    for (const char *p = symbols; *p; ++p)
        if (sameSymbol(static_cast<unsigned char>(*p), c, respectCase))
            return true;
    return false;
}

// The next character that is not one of `skip`; reports the end of input.
int nextCharSkipping(const char *skip)
{
    int c;
    do
        c = readNextChar();
    while (c >= 0 && c != 0 && std::strchr(skip, c));
    if (c < 0)
        eofError();
    return c;
}

int badSymbolsList() { return qel_errorMsg(315, "Invalid SYMBOLS list."); }

bool addEquatedSymbol(DataInfo *d, int symbol)
{
    if (d->nEquated + 1 >= d->equatedCapacity) {
        uint32_t capacity = d->equatedCapacity + 32;
        void *block = d->equatedSymbols;
        if (reallocBlock(&block, capacity) != 0)
            return false;
        d->equatedSymbols = static_cast<char *>(block);
        d->equatedCapacity = capacity;
    }
    d->equatedSymbols[d->nEquated++] = static_cast<char>(symbol);
    d->equatedSymbols[d->nEquated] = '\0';
    return true;
}

// Reads a user equate's "=expansion"; true when it was well formed.
bool readUserExpansion(int symbol, std::string &expansion, bool &polymorphism)
{
    int c = nextCharSkipping(" \t");
    if (c < 0)
        return false;
    if (c != '=') {
        qel_errorMsg(321, "Invalid EQUATE definition.");
        return false;
    }
    c = nextCharSkipping(" \t");
    if (c < 0)
        return false;
    if (c != '(' && c != '{') {
        if (c == '"') {
            qel_errorMsg(321, "Invalid EQUATE definition.");
            return false;
        }
        expansion.assign(1, static_cast<char>(c));
        return true;
    }
    polymorphism = c == '(';
    const int closer = c == '(' ? ')' : '}';
    int previous = -1;
    for (;;) {
        c = nextCharSkipping(" ,\n\t\r");
        if (c < 0)
            return false;
        if (c == closer)
            break;
        if (c == '"') {
            qel_errorMsg(321, "Invalid EQUATE definition.");
            return false;
        }
        if (c == '~') {
            int last = nextCharSkipping(" \t");
            if (last < 0)
                return false;
            if (previous < 0 || !validRange(previous, last)) {
                qel_errorMsg(321, "Invalid EQUATE definition.");
                return false;
            }
            for (int s = previous + 1; s <= last; ++s)
                expansion += static_cast<char>(s);
            previous = -1;
            continue;
        }
        expansion += static_cast<char>(c);
        previous = c;
    }
    if (expansion.size() > kMaxEquateExpansion) {
        qel_errorMsg(323, "Expansion of EQUATE macro '%c'={%s} exceeds maximum length of %d.",
                     symbol, expansion.c_str(), static_cast<int>(kMaxEquateExpansion));
        return false;
    }
    return true;
}

struct PredefinedEquate {
    char symbol;
    const char *expansion;
};

constexpr PredefinedEquate kNucleotideEquates[] = {
    {'R', "AG"},  {'Y', "CT"},  {'M', "AC"},  {'K', "GT"},  {'S', "CG"},   {'W', "AT"},
    {'H', "ACT"}, {'B', "CGT"}, {'V', "ACG"}, {'D', "AGT"}, {'N', "ACGT"},
};
constexpr PredefinedEquate kProteinEquates[] = {
    {'B', "DN"}, {'Z', "EQ"}, {'X', kAminoAcidStates}};

// The stop "*" is a protein state unless the format makes it the gap,
// missing or match character.
bool stopIsState(const DataInfo *d, uint32_t missing)
{
    return d->gapSymbol != '*' && d->matchChar != '*' && missing != '*';
}

struct TypeSymbols {
    const char *name;        // for messages
    const char *announce;    // "Data read in ... format"
    const char *own;         // letters a user may not list as symbols
    const char *appended;    // the type's states
    uint32_t flags;
};

const TypeSymbols *typeSymbols(uint32_t dataType)
{
    static constexpr TypeSymbols kTypes[] = {
        {"DNA", "DNA", "ACGTacgt", "ACGT", kDataDNA | kDataNucleotide},
        {"RNA", "RNA", "ACGUacgu", "ACGU", kDataRNA | kDataNucleotide},
        {"nucleotide", "nucleotide", "ACGTUacgtu", "ACGT", kDataNucleotide},
        // "*", the stop, follows the amino acids (code 20): files that hold
        // translated sequences read back, and likelihood reads it as missing.
        {"protein", "'protein'", "ACDEFGHIKLMNPQRSTVWYacdefghiklmnpqrstvwy*", "ARNDCQEGHILKMFPSTWYV*",
         kDataProtein},
    };
    if (dataType >= kDataTypeDNA && dataType <= kDataTypeProtein)
        return &kTypes[dataType - kDataTypeDNA];
    return nullptr;
}

// The predefined type's symbols and equates; 0 or 1.
int applyDataType(DataInfo *d, const TypeSymbols &type, bool symbolsGiven, uint32_t missing)
{
    d->flags |= type.flags;
    qel_printf("Data read in %s format\n", type.announce);
    const uint8_t respectCase = d->respectCase;
    d->respectCase = 0;
    int rc = predefineEquates(d);
    d->respectCase = respectCase;
    if (rc != 0)
        return 1;
    if (symbolsGiven) {
        for (const char *p = d->symbols; *p; ++p)
            if (std::strchr(type.own, *p))
                return qel_errorMsg(329,
                                    "User-defined symbol '%c' conflicts with predefined %s state "
                                    "symbol.\n\tIf you are using a predefined format ('DNA', "
                                    "'RNA', 'nucleotide', or 'protein'), you may not specify "
                                    "predefined states for this format as symbols in the Format "
                                    "command.",
                                    *p, type.name);
        d->flags |= kDataUserSymbols;
    } else {
        d->symbols[0] = '\0';
        d->userSymbols[0] = '\0';
    }
    std::string appended = type.appended;
    if (d->dataType == kDataTypeProtein && !stopIsState(d, missing))
        appended.pop_back();
    if (std::strlen(d->symbols) + appended.size() >= sizeof d->symbols)
        return qel_errorMsg(319, "The maximum number of character-state symbols (including the 'gap' symbol if any) is %d.",
                            static_cast<int>(kMaxSymbols));
    std::strcat(d->symbols, appended.c_str());
    return 0;
}

int checkSpecialSymbols(const DataInfo *d)
{
    const bool rc = d->respectCase;
    const int gap = static_cast<int>(d->gapSymbol), match = static_cast<int>(d->matchChar);
    const int missing = static_cast<int>(d->missingSymbol);
    if (gap && inSymbols(d->symbols, gap, rc))
        return qel_errorMsg(316, kInSymbolsText, "gap", gap);
    if (gap && (gap == match || gap == missing))
        return qel_errorMsg(318, "%s", kUniqueText);
    if (match && inSymbols(d->symbols, match, rc))
        return qel_errorMsg(316, kInSymbolsText, "match", match);
    if (match && match == missing)
        return qel_errorMsg(318, "%s", kUniqueText);
    if (missing && inSymbols(d->symbols, missing, rc))
        return qel_errorMsg(316, kInSymbolsText, "missing", missing);
    // Every case, gap or not: a 64th state would share the missing code.
    if (std::strlen(d->symbols) > kMaxSymbols)
        return qel_errorMsg(319,
                            "The maximum number of character-state symbols (including the 'gap' "
                            "symbol if any) is %d.",
                            static_cast<int>(kMaxSymbols));
    return 0;
}

int checkEquateExpansions(const DataInfo *d)
{
    std::string valid = d->symbols;
    for (uint32_t s : {d->missingSymbol, d->missingOtherCase, d->gapSymbol, d->matchChar})
        if (s)
            valid += static_cast<char>(s);
    const bool rc = d->respectCase;
    for (const Equate *e = d->equates; e; e = e->next)
        for (const char *p = e->expansion; *p; ++p)
            if (!inSymbols(valid.c_str(), static_cast<unsigned char>(*p), rc))
                return qel_errorMsg(322,
                                    "Symbol '%c' in expansion of EQUATE macro \"%c => %s\" is "
                                    "invalid.",
                                    *p, e->symbols[0], e->expansion);
    return 0;
}

}  // namespace

bool validRange(int a, int b)
{
    auto same = [&](int (*cls)(int)) { return cls(a) && cls(b); };
    if (a < 0 || b < 0 || a > 255 || b > 255)
        return false;
    return (same(std::islower) || same(std::isupper) || same(std::isdigit)) && a <= b;
}

const Equate *getFirstEquate(const DataInfo *d) { return d ? d->equates : nullptr; }

int appendSymbolToSymbolsList(int symbol, DataInfo *d, bool respectCase)
{
    if (inSymbols(d->symbols, symbol, respectCase))
        return qel_errorMsg(328,
                            "Character-state symbol '%c' appears more than once in the SYMBOLS "
                            "list.",
                            symbol);
    size_t n = std::strlen(d->symbols), u = std::strlen(d->userSymbols);
    if (n + 1 >= sizeof d->symbols || n >= kMaxSymbols)
        return qel_errorMsg(319,
                            "The maximum number of character-state symbols (including the 'gap' "
                            "symbol if any) is %d.",
                            static_cast<int>(kMaxSymbols));
    d->symbols[n] = static_cast<char>(symbol);
    d->symbols[n + 1] = '\0';
    d->userSymbols[u] = static_cast<char>(symbol);
    d->userSymbols[u + 1] = '\0';
    return 0;
}

int readSymbols(int operation, CmdParam *, void *place)
{
    if (operation == kParamOpCurValue || operation == kParamOpValueList) {
        if (place)
            *static_cast<const char **>(place) =
                operation == kParamOpCurValue ? "-" : "\"<list of valid symbols>\"";
        return 0;
    }
    if (operation != kParamOpReadValue)
        return 0;
    DataBlockReader &r = dataBlockReader();
    DataInfo *d = r.d;
    if (!d)
        return 1;
    d->symbols[0] = d->userSymbols[0] = '\0';
    if (expectQuote(readNextDarkChar(nullptr)) != 0)
        return 1;
    const bool respectCase = dataBlockParam.respectCase;
    int previous = -1;
    for (;;) {
        int c = nextCharSkipping(" \t\n\r");
        if (c < 0)
            return 1;
        if (c == '"')
            break;
        if (c == '?')
            return qel_errorMsg(317, "The character '?' is not allowed in the SYMBOLS list.");
        if (std::strchr("(){},;", c))
            return qel_errorMsg(316, kInSymbolsText,
                                c == ',' || c == ';' ? "punctuation" : "set", c);
        if (c == '~') {
            int last = nextCharSkipping(" \t\n\r");
            if (last < 0)
                return 1;
            if (previous < 0 || !validRange(previous, last) || last == previous)
                return badSymbolsList();
            for (int s = previous + 1; s <= last; ++s)
                if (appendSymbolToSymbolsList(s, d, respectCase) != 0)
                    return 1;
            previous = -1;
            continue;
        }
        if (appendSymbolToSymbolsList(c, d, respectCase) != 0)
            return 1;
        previous = c;
    }
    r.symbolsGiven = 1;
    return 0;
}

int readEquates(int operation, CmdParam *, void *place)
{
    if (operation == kParamOpCurValue || operation == kParamOpValueList) {
        if (place)
            *static_cast<const char **>(place) =
                operation == kParamOpCurValue ? "-" : "\"<symbol=expansion>...\"";
        return 0;
    }
    if (operation != kParamOpReadValue)
        return 0;
    DataInfo *d = dataBlockReader().d;
    if (!d || expectQuote(readNextDarkChar(nullptr)) != 0)
        return 1;
    for (;;) {
        int c = readNextChar();
        if (c < 0)
            return eofError();
        if (c == ' ' || c == '\t' || c == '\r')
            continue;
        if (c == '\n')
            return qel_errorMsg(111, "Unterminated quote.\tMake sure quotes are balanced.");
        if (c == '"')
            return 0;
        if (makeNewEquate(c, nullptr, d) != 0)
            return 1;
    }
}

int makeNewEquate(int symbol, const char *expansion, DataInfo *d)
{
    const bool user = expansion == nullptr;
    if (d->equatedSymbols && std::strchr(d->equatedSymbols, symbol)) {
        if (!user)
            return 0;  // the user's own definition takes precedence
        return qel_errorMsg(339, "Symbol '%c' has already been \"equated\".", symbol);
    }
    std::string text;
    bool polymorphism = false;
    if (user) {
        if (!readUserExpansion(symbol, text, polymorphism))
            return 1;
    } else {
        text = expansion;
        polymorphism = dataServices().msTaxa() == kMsTaxaPolymorph;
    }
    if (!addEquatedSymbol(d, symbol))
        return 1;

    Equate **tail = &d->equates;
    for (Equate *e = d->equates; e; e = e->next) {
        if (e->polymorphism == polymorphism && e->userDefined == user && text == e->expansion &&
            e->nSymbols < static_cast<int16_t>(kMaxEquateSymbols)) {
            e->symbols[e->nSymbols++] = static_cast<char>(symbol);
            e->symbols[e->nSymbols] = '\0';
            return 0;
        }
        tail = &e->next;
    }
    auto *e = static_cast<Equate *>(allocBlock(sizeof(Equate)));
    char *owned = static_cast<char *>(allocBlock(text.size() + 1));
    if (!e || !owned) {
        deallocBlock(e);
        deallocBlock(owned);
        return 1;
    }
    std::memcpy(owned, text.c_str(), text.size() + 1);
    e->symbols[0] = static_cast<char>(symbol);
    e->nSymbols = 1;
    e->expansion = owned;
    e->userDefined = user;
    e->polymorphism = polymorphism;
    *tail = e;
    return 0;
}

int predefineEquates(DataInfo *d)
{
    const bool rna = d->dataType == kDataTypeRNA;
    auto define = [&](const PredefinedEquate &p) {
        std::string expansion = p.expansion;
        if (rna)
            for (char &c : expansion)
                if (c == 'T')
                    c = 'U';
        return makeNewEquate(p.symbol, expansion.c_str(), d) ||
               makeNewEquate(std::tolower(p.symbol), expansion.c_str(), d);
    };
    if (isDataTypeNucleotide(d->dataType)) {
        for (const PredefinedEquate &p : kNucleotideEquates)
            if (define(p))
                return 1;
    } else if (d->dataType == kDataTypeProtein) {
        for (const PredefinedEquate &p : kProteinEquates)
            if (define(p))
                return 1;
    }
    return 0;
}

void warnContinuousBlockSkipped()
{
    qel_printf("Warning: \bVORN does not support \"continuous\" data format; this block will "
               "be skipped.\n");
}

int doFormatCmd(DataInfo *d)
{
    DataBlockReader &r = dataBlockReader();
    DataBlockParams &p = dataBlockParam;
    dataServices().setStatusText("Processing 'Format' command...");
    p.distMissing = ' ';
    p.dataType = d->dataType;
    p.interleave = d->interleave;
    p.transpose = d->transpose;
    p.respectCase = d->respectCase;
    p.missing = static_cast<int32_t>(d->missingSymbol);
    p.gap = static_cast<int32_t>(d->gapSymbol);
    p.matchChar = static_cast<int32_t>(d->matchChar);
    p.labels = d->labelsPosition;
    const uint8_t symbolsBefore = r.symbolsGiven;
    r.symbolsGiven = 0;
    const int parsed = getCmdParams(OptionSet::kCharFormat, nullptr, nullptr);
    const bool symbolsHere = r.symbolsGiven;
    r.symbolsGiven |= symbolsBefore;
    if (parsed <= 0)
        return 1;

    if (p.dataType == kDataTypeContinuous) {
        warnContinuousBlockSkipped();
        skipThruEndOfBlock();
        r.skipBlock = 1;
        return 0;
    }
    d->dataType = p.dataType;
    d->interleave = p.interleave;
    d->labelsPosition = p.labels;
    d->matchChar = static_cast<uint32_t>(p.matchChar) & 0xFF;
    d->gapSymbol = static_cast<uint32_t>(p.gap) & 0xFF;
    d->respectCase = p.respectCase;

    if (const TypeSymbols *type = typeSymbols(d->dataType)) {
        if (applyDataType(d, *type, symbolsHere, static_cast<uint32_t>(p.missing) & 0xFF) != 0)
            return 1;
    } else if (d->dataType == kDataTypeDistance) {
        if (p.interleave)
            return qel_errorMsg(0, "Sorry, the 'Interleave' option is not supported for distance "
                                   "matrices.");
        return 0;
    }

    d->missingSymbol = static_cast<uint32_t>(p.missing) & 0xFF;
    d->transpose = p.transpose;
    if (checkSpecialSymbols(d) != 0)
        return 1;
    if (d->equates && checkEquateExpansions(d) != 0)
        return 1;
    d->missingOtherCase = 0;
    if (!d->respectCase && std::isalpha(static_cast<int>(d->missingSymbol))) {
        int other = std::islower(static_cast<int>(d->missingSymbol))
                        ? std::toupper(static_cast<int>(d->missingSymbol))
                        : std::tolower(static_cast<int>(d->missingSymbol));
        d->missingOtherCase = static_cast<uint32_t>(other);
    }
    return 0;
}
