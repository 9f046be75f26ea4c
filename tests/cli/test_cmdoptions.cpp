// Option parsing, listings and factory resets, driven through in-memory
// documents with small option sets registered by the tests themselves.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "qel/qel_errormsg.h"
#include "qel/qel_files.h"
#include "qel/qel_io.h"
#include "qel/qel_malloc.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "cli/qel_commands.h"
#include "support/format_support.h"

namespace {

struct Opts {
    uint8_t enforce;
    uint8_t addRandom;
    uint8_t longFlag;
    uint8_t rule;
    uint8_t replace;
    int32_t addseq;
    int32_t nreps;
    int32_t maxtrees;
    int32_t gapChar;
    int32_t swap;
    int32_t tolerance;
    int32_t nchar;
    double tol;
    double cutoff;
    uint32_t seed[4];
    char title[kParamStringSize];
    char note[kParamStringSize];
    char outFile[kParamPathSize];
    bool operator==(const Opts &) const = default;
};

Opts gO;
int gCallbackCalls = 0;
int gOtherCallbackCalls = 0;
bool gRejectAll = false;
int gNcharInits = 0;

// Rejects a replicate count of 13 (and everything while gRejectAll is set).
int checkNreps(CmdParam *option)
{
    ++gCallbackCalls;
    return gRejectAll || *static_cast<int32_t *>(option->variable) == 13;
}

int countCall(CmdParam *)
{
    ++gOtherCallbackCalls;
    return 0;
}

int ncharFxn(int operation, CmdParam *option, void *place)
{
    if (operation == kParamOpInit)
        ++gNcharInits;
    if (operation == kParamOpDestroy)
        --gNcharInits;
    if (operation == kParamOpValueList) {
        *static_cast<const char **>(place) = "<integer>|all";
        return 0;
    }
    return readIntFxnParamHelper(operation, option, place, &gO.nchar, "all", 0);
}

constexpr char kAddseqList[] = "simple\0closest\0asis\0random\0sequential\0\x08\x04rnd\0";
constexpr char kSwapList[] = "none\0nni\0spr\0tbr\0";
constexpr char kRuleList[] = "strict\0loose\0";
constexpr char kCritList[] = "parsimony\0likelihood\0distance\0quartets\0splits\0";

void searchSet(CmdParamList *list)
{
    do_Separator("Search options", "Test", list);
    do_Bool_Parm("Test", "enforce", kParamBool, kParamHasFactory, &gO.enforce, 0, nullptr,
                 nullptr, list);
    do_Int_Parm("Test", "addseq", kParamKeyword, kParamHasFactory, &gO.addseq, 0, nullptr,
                kAddseqList, list);
    do_Bool_Parm("Test", "addRandom", kParamBool, kParamHidden, &gO.addRandom, 0, nullptr,
                 nullptr, list);
    do_IntRange_Parm("Test", "nreps", kParamInt, kParamHasFactory, &gO.nreps, 10, 1, 1000,
                     checkNreps, nullptr, list);
    do_IntRange_Parm("Test", "maxtrees", kParamIntOrNo, kParamHasFactory, &gO.maxtrees, 100, 1,
                     100000, countCall, nullptr, list);
    do_Flt_Parm("Test", "tol", kParamReal, kParamHasFactory, &gO.tol, nullptr, 0.5, list);
    do_Flt_Parm("Test", "cutoff", kParamRealOrNo, kParamHasFactory, &gO.cutoff, nullptr, 0.0,
                list);
    do_String_Parm("title", "Test", kParamString, kParamHasFactory, gO.title, "untitled",
                   nullptr, "<title-text>", list);
    do_String_Parm("note", "Test", kParamString, kParamHasFactory | kParamNoFactoryText, gO.note,
                   "dropped", nullptr, "<note>", list);
    do_Int_Parm("Test", "gapChar", kParamChar, kParamHasFactory, &gO.gapChar, '-', nullptr,
                nullptr, list);
    do_Int_Parm("Test", "seed", kParamSeed, kParamHasFactory, gO.seed, 0, nullptr, nullptr,
                list);
    do_Int_Parm("Test", "swap", kParamKeywordOff, kParamHasFactory, &gO.swap, 3, nullptr,
                kSwapList, list);
    do_Bool_Parm("Test", "rule", kParamBoolKeyword, kParamHasFactory, &gO.rule, 0, nullptr,
                 kRuleList, list);
    do_IntRange_Parm("Test", "tolerance", kParamIntOrLabel, kParamHasFactory, &gO.tolerance, 0,
                     1, 50, nullptr, "auto\0off\0", list);
    do_String_Parm("outFile", "Test", kParamFilename, 0, gO.outFile, nullptr, nullptr,
                   "<file-name>", list);
    do_Fxn_Parm("nchar", "Test", 0, &gO.nchar, ncharFxn, nullptr, nullptr, list);
    do_Bool_Parm("Test", "treeLengthLimit", kParamBool, 0, &gO.longFlag, 0, nullptr, nullptr,
                 list);
    do_Fxn_Parm("oldOpt", "Test", kParamHidden, nullptr, notifyOptionGone, nullptr, nullptr,
                list);
}

void outputSet(CmdParamList *list)
{
    do_Bool_Parm(nullptr, "replace", kParamBool, kParamNonpersistent, &gO.replace, 0, nullptr,
                 nullptr, list);
    do_Int_Parm("Out", "criterion", kParamKeyword, 0, &gO.swap, 0, nullptr, kCritList, list);
}

void headingsSet(CmdParamList *list)
{
    do_Separator("Options for binary-state models:", "Extra", list);
    do_Bool_Parm("Extra", "flag", kParamBool, kParamHasFactory, &gO.addRandom, 0, nullptr, nullptr, list);
    do_Separator("Search options", "Extra", list);
    do_Bool_Parm("Extra", "enforce", kParamBool, 0, &gO.enforce, 0, nullptr, nullptr, list);
}

// Headings over hidden options only, before and after one with a shown option.
void hiddenHeadingsSet(CmdParamList *list)
{
    do_Separator("Nothing shown here", "Heads", list);
    do_Bool_Parm("Heads", "hiddenA", kParamBool, kParamHidden, &gO.addRandom, 0, nullptr, nullptr, list);
    do_Separator("Shown", "Heads", list);
    do_Bool_Parm("Heads", "enforce", kParamBool, 0, &gO.enforce, 0, nullptr, nullptr, list);
    do_Separator("Nothing shown at the end", "Heads", list);
    do_Bool_Parm("Heads", "hiddenB", kParamBool, kParamHidden, &gO.longFlag, 0, nullptr, nullptr, list);
}

// An option whose short name begins another option's name.
void shortNameSet(CmdParamList *list)
{
    do_Flt_Parm("Short", "shape", kParamReal, kParamHasFactory, &gO.tol, nullptr, 0.5, list);
    do_Bool_Parm("Short", "SHTest", kParamBool, kParamHasFactory, &gO.enforce, 0, nullptr, nullptr, list);
    do_ShortName("SH", list);
}

// The test table borrows five sets' names for its own sets.
constexpr OptionSet kSearchSet = OptionSet::kHSearch;
constexpr OptionSet kOutputSet = OptionSet::kSaveTrees;
constexpr OptionSet kHeadingsSet = OptionSet::kLog;
constexpr OptionSet kHiddenHeadingsSet = OptionSet::kQuit;
constexpr OptionSet kShortNameSet = OptionSet::kLScores;

uint32_t testTraverser(OptionSet set, CmdParamList *list)
{
    if (set == kHeadingsSet)
        headingsSet(list);
    if (set == kSearchSet || set == OptionSet::kAll)
        searchSet(list);
    if (set == kOutputSet || set == OptionSet::kAll)
        outputSet(list);
    if (set == kHiddenHeadingsSet)
        hiddenHeadingsSet(list);
    if (set == kShortNameSet)
        shortNameSet(list);
    return list->failed;
}

Opts factoryOpts()
{
    Opts o{};
    o.nreps = 10;
    o.maxtrees = 100;
    o.tol = 0.5;
    o.gapChar = '-';
    o.swap = 3;
    std::strcpy(o.title, "untitled");
    return o;
}

struct Msg {
    uint32_t code;
    std::string text;
    bool operator==(const Msg &) const = default;
};
std::ostream &operator<<(std::ostream &os, const Msg &m)
{
    return os << "{" << m.code << ", \"" << m.text << "\"}";
}

std::string gOut;
std::vector<Msg> gErrors;
std::vector<Msg> gWarnings;

int capturePrintf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    gOut += testfmt::vformat(format, args);
    va_end(args);
    return 0;
}
int captureError(uint32_t code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    gErrors.push_back({code, testfmt::vformat(format, args)});
    va_end(args);
    return 1;
}
int captureWarning(uint32_t code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    gWarnings.push_back({code, testfmt::vformat(format, args)});
    va_end(args);
    return 0;
}

int noHandler() { return 0; }

const CmdTableEntry kRows[] = {
    {"HSearch", 0, noHandler, "", kSearchSet, nullptr, "search"},
    {"Help", 0, noHandler, "", CMD_NO_OPTIONS, nullptr, "help"},
    {"Output", 0, noHandler, "", kOutputSet, "", "output"},
};

struct ParseCase {
    const char *input;
    std::function<void(Opts &)> before;  // state the command starts from (after factory)
    int result;
    uint32_t errorCode;                  // 0: no error expected
    std::function<void(Opts &)> expect;  // changes the command makes; none when it fails
};

void none(Opts &) {}

class CmdOptionsTest : public ::testing::Test {
protected:
    InputStatus doc{};
    std::string text;

    void SetUp() override
    {
        gO = factoryOpts();
        gOut.clear();
        gErrors.clear();
        gWarnings.clear();
        gCallbackCalls = gOtherCallbackCalls = 0;
        gRejectAll = false;
        savedPrintf_ = qel_printf;
        savedError_ = qel_errorMsg;
        savedWarning_ = qel_warningMsg;
        qel_printf = capturePrintf;
        qel_errorMsg = captureError;
        qel_warningMsg = captureWarning;
        savedTraverser_ = setCmdParamTraverser(testTraverser);
        setCommandTable(&savedTable_, kRows, 3, nullptr);
        savedOpt_ = cmdOpt;
        cmdOpt = {nullptr, 0};
        qel_cmdPeekNextChar = [] { return peekNextChar(nullptr); };
        qel_cmdSkipRestOfCmd = skipRestOfCmd;
        qel_cmdShowOptionTable = nullptr;
        qel_initializeParser(true);
        ASSERT_EQ(qel_initializeCmdOptions(), 0);
    }

    void TearDown() override
    {
        EXPECT_EQ(gNcharInits, 0) << "function options initialised without being destroyed";
        qel_finalizeCmdOptions();
        setActiveInput(nullptr);
        qel_cmdPeekNextChar = nullptr;
        qel_cmdSkipRestOfCmd = nullptr;
        qel_cmdShowOptionTable = nullptr;
        cmdOpt = savedOpt_;
        setCommandTable(nullptr, savedTable_.rows, savedTable_.count, savedTable_.synonyms);
        setCmdParamTraverser(savedTraverser_);
        qel_printf = savedPrintf_;
        qel_errorMsg = savedError_;
        qel_warningMsg = savedWarning_;
    }

    // Makes `input` the active input, as a batch document.
    void feed(std::string input)
    {
        text = std::move(input);
        initDocumentInput(&doc, text.data(), text.size());
        doc.batch = 1;
        setActiveInput(&doc);
    }

    int parse(const std::string &input, OptionSet set = kSearchSet, const char *terms = nullptr,
              const char *note = nullptr)
    {
        feed(input);
        return getCmdParams(set, terms, note);
    }

    // Each case from the factory values and its own starting state: the
    // command makes exactly its changes, or none and one error.
    void runParseCases(const std::vector<ParseCase> &cases, OptionSet set)
    {
        for (const ParseCase &c : cases) {
            SCOPED_TRACE(c.input);
            gO = factoryOpts();
            c.before(gO);
            Opts expected = gO;
            c.expect(expected);
            gErrors.clear();
            EXPECT_EQ(parse(c.input, set), c.result);
            EXPECT_EQ(gO, expected);
            if (c.errorCode == 0) {
                EXPECT_TRUE(gErrors.empty()) << gErrors[0];
            } else {
                ASSERT_EQ(gErrors.size(), 1u);
                EXPECT_EQ(gErrors[0].code, c.errorCode) << gErrors[0];
            }
        }
    }

    // The rest of the document after parsing.
    std::string rest() const { return text.substr(doc.docIndex); }

private:
    PrintHook savedPrintf_{};
    MsgHook savedError_{};
    MsgHook savedWarning_{};
    CmdParamTraverser savedTraverser_{};
    CmdTable savedTable_{};
    CmdOpt savedOpt_{};
};

std::string badValue(const std::string &kw, const std::string &value)
{
    return "Invalid value specified for '" + kw + "': \"" + value + "\".\tUse \"" + kw +
           "=?\" to see a list of valid values for each option.";
}


TEST_F(CmdOptionsTest, ParsingCasesAreAllOrNothing)
{
    const std::vector<ParseCase> cases = {
        // Boolean forms.
        {"enforce;", none, ';', 0, [](Opts &o) { o.enforce = 1; }},
        {"enforce=yes;", none, ';', 0, [](Opts &o) { o.enforce = 1; }},
        {"enforce=y;", none, ';', 0, [](Opts &o) { o.enforce = 1; }},
        {"ENF=On;", none, ';', 0, [](Opts &o) { o.enforce = 1; }},
        {"noenforce;", [](Opts &o) { o.enforce = 1; }, ';', 0, [](Opts &o) { o.enforce = 0; }},
        {"noENF;", [](Opts &o) { o.enforce = 1; }, ';', 0, [](Opts &o) { o.enforce = 0; }},
        {"enforce=no;", [](Opts &o) { o.enforce = 1; }, ';', 0, [](Opts &o) { o.enforce = 0; }},
        {"enforce=of;", [](Opts &o) { o.enforce = 1; }, ';', 0, [](Opts &o) { o.enforce = 0; }},
        {"enforce=o;", none, 0, 141, none},
        {"enforce=maybe;", none, 0, 141, none},
        // Keyword lists, with an alias that stores 3 and never clashes.
        {"addseq=random;", none, ';', 0, [](Opts &o) { o.addseq = 3; }},
        {"addseq=r;", none, ';', 0, [](Opts &o) { o.addseq = 3; }},
        {"addseq=RND;", none, ';', 0, [](Opts &o) { o.addseq = 3; }},
        {"addseq=c;", none, ';', 0, [](Opts &o) { o.addseq = 1; }},
        {"addseq=seq;", none, ';', 0, [](Opts &o) { o.addseq = 4; }},
        {"addseq=s;", none, 0, 142, none},
        {"addseq=x;", none, 0, 141, none},
        {"addseq;", none, 0, 146, none},
        {"swap=tbr;", [](Opts &o) { o.swap = 0; }, ';', 0, [](Opts &o) { o.swap = 3; }},
        {"swap;", [](Opts &o) { o.swap = 0; }, ';', 0, [](Opts &o) { o.swap = 1; }},
        {"noswap;", none, ';', 0, [](Opts &o) { o.swap = 0; }},
        {"rule=l;", none, ';', 0, [](Opts &o) { o.rule = 1; }},
        // Integers with ranges.
        {"nreps=25;", none, ';', 0, [](Opts &o) { o.nreps = 25; }},
        {"nreps=1000;", none, ';', 0, [](Opts &o) { o.nreps = 1000; }},
        {"nreps=0;", none, 0, 141, none},
        {"nreps=1001;", none, 0, 141, none},
        {"nreps=-5;", none, 0, 141, none},
        {"nreps=99999999999;", none, 0, 141, none},
        {"nreps=12x;", none, 0, 141, none},
        {"nreps;", none, 0, 146, none},
        {"maxtrees;", none, ';', 0, [](Opts &o) { o.maxtrees = 1; }},
        {"maxtrees=no;", none, ';', 0, [](Opts &o) { o.maxtrees = 0; }},
        {"nomaxtrees;", none, ';', 0, [](Opts &o) { o.maxtrees = 0; }},
        {"maxtrees=12;", none, ';', 0, [](Opts &o) { o.maxtrees = 12; }},
        {"maxtrees=100001;", none, 0, 141, none},
        {"tolerance=auto;", [](Opts &o) { o.tolerance = 5; }, ';', 0,
         [](Opts &o) { o.tolerance = 0; }},
        {"tolerance=off;", [](Opts &o) { o.tolerance = 5; }, ';', 0,
         [](Opts &o) { o.tolerance = 0; }},
        {"tolerance=7;", none, ';', 0, [](Opts &o) { o.tolerance = 7; }},
        {"tolerance=51;", none, 0, 141, none},
        // Reals: no NaN, no infinities.
        {"tol=0.25;", none, ';', 0, [](Opts &o) { o.tol = 0.25; }},
        {"tol=-1e-3;", none, ';', 0, [](Opts &o) { o.tol = -1e-3; }},
        {"tol=nan;", none, 0, 141, none},
        {"tol=inf;", none, 0, 141, none},
        {"tol=-infinity;", none, 0, 141, none},
        {"tol=1e999;", none, 0, 141, none},
        {"cutoff=2.5;", none, ';', 0, [](Opts &o) { o.cutoff = 2.5; }},
        {"cutoff=no;", [](Opts &o) { o.cutoff = 1; }, ';', 0, [](Opts &o) { o.cutoff = 0; }},
        {"nocutoff;", [](Opts &o) { o.cutoff = 1; }, ';', 0, [](Opts &o) { o.cutoff = 0; }},
        // Texts, characters, file names, seeds.
        {"title='two words';", none, ';', 0, [](Opts &o) { std::strcpy(o.title, "two words"); }},
        {"gapChar=?;", none, ';', 0, [](Opts &o) { o.gapChar = '?'; }},
        {"gapChar=ab;", none, 0, 141, none},
        {"outFile=my_trees.tre;", none, ';', 0,
         [](Opts &o) { std::strcpy(o.outFile, "my_trees.tre"); }},
        {"outFile=;", none, 0, 129, none},  // the ";" ends the command, no file is named ";"
        {"seed=5;", none, ';', 0, [](Opts &o) { o.seed[0] = 5; }},
        {"seed=1:2:3:4;", none, ';', 0,
         [](Opts &o) {
             for (uint32_t i = 0; i < 4; ++i)
                 o.seed[i] = i + 1;
         }},
        {"seed=1:2;", none, 0, 140, none},
        // Function option through the integer-or-keyword helper.
        {"nchar=12;", none, ';', 0, [](Opts &o) { o.nchar = 12; }},
        {"nchar=all;", [](Opts &o) { o.nchar = 4; }, ';', 0, [](Opts &o) { o.nchar = 0; }},
        {"nchar=x;", none, 0, 141, none},
        // Several options; any error undoes all of them.
        {"enforce nreps=5 addseq=closest;", none, ';', 0,
         [](Opts &o) {
             o.enforce = 1;
             o.nreps = 5;
             o.addseq = 1;
         }},
        {"enforce nreps=5 s=1;", none, 0, 145, none},
        {"enforce nreps=13;", none, 0, 0, none},  // rejected by the change callback
        {"enforce nreps=7 bogus;", none, 0, 143, none},
        {"enforce title='x' nchar=3 seed=9 nreps=0;", none, 0, 141, none},
        // Hidden options: a listed partial match wins, the hidden one needs
        // its whole name or a prefix no listed option has.
        {"add=asis;", none, ';', 0, [](Opts &o) { o.addseq = 2; }},
        {"addR;", none, ';', 0, [](Opts &o) { o.addRandom = 1; }},
        {"addRandom;", none, ';', 0, [](Opts &o) { o.addRandom = 1; }},
        // A leading slash, and keywords cut to 15 characters.
        {" / enforce;", none, ';', 0, [](Opts &o) { o.enforce = 1; }},
        {"treeLengthLimitAndMore;", none, ';', 0, [](Opts &o) { o.longFlag = 1; }},
        {"enforce", none, 0, 115, none},
    };
    runParseCases(cases, kSearchSet);
}

TEST_F(CmdOptionsTest, AWholeShortNameSelectsItsOptionOverLongerNamesItBegins)
{
    const std::vector<ParseCase> cases = {
        {"SH;", none, ';', 0, [](Opts &o) { o.enforce = 1; }},
        {"sh=yes;", none, ';', 0, [](Opts &o) { o.enforce = 1; }},
        {"noSH;", [](Opts &o) { o.enforce = 1; }, ';', 0, [](Opts &o) { o.enforce = 0; }},
        {"SHT;", none, ';', 0, [](Opts &o) { o.enforce = 1; }},
        // Longer or shorter than the short name, a word is an abbreviation.
        {"sha=0.25;", none, ';', 0, [](Opts &o) { o.tol = 0.25; }},
        {"s;", none, 0, 145, none},
    };
    runParseCases(cases, kShortNameSet);
}

TEST_F(CmdOptionsTest, MessagesNameTheOptionAndTheValue)
{
    EXPECT_EQ(parse("enforce=o;"), 0);
    EXPECT_EQ(gErrors, (std::vector<Msg>{{141, badValue("enforce", "o")}}));
    gErrors.clear();
    EXPECT_EQ(parse("s=1;"), 0);
    EXPECT_EQ(gErrors, (std::vector<Msg>{{145, "Ambiguous keyword abbreviation: s (swap seed)"}}));
    gErrors.clear();
    EXPECT_EQ(parse("addseq=s;"), 0);
    EXPECT_EQ(gErrors[0].text,
              "Abbreviation \"s\" for addseq value is ambiguous.\tYou should type enough of the "
              "value string to distinguish it from other possible values.");
    gErrors.clear();
    EXPECT_EQ(parse("nreps;"), 0);
    EXPECT_EQ(gErrors[0].text, "The 'nreps' option requires a value field.\tMake sure the keyword "
                               "is followed by an equal sign ('=') and a value.");
    gErrors.clear();
    EXPECT_EQ(parse("frobnicate;"), 0);
    EXPECT_EQ(gErrors[0].text.substr(0, 42), "Keyword \"frobnicate\" is not recognized.\tIf");
}

TEST_F(CmdOptionsTest, TextLongerThanItsFieldIsRefusedNotCut)
{
    std::strcpy(gO.title, "kept");
    std::string longTitle(kParamStringSize, 'x');  // one character more than fits
    EXPECT_EQ(parse("enforce title=" + longTitle + ";"), 0);
    EXPECT_EQ(gErrors, (std::vector<Msg>{{141, badValue("title", longTitle)}}));
    EXPECT_STREQ(gO.title, "kept");
    EXPECT_EQ(gO.enforce, 0);

    std::string fits(kParamStringSize - 1, 'y');
    gErrors.clear();
    EXPECT_EQ(parse("title=" + fits + ";"), ';');
    EXPECT_EQ(std::string(gO.title), fits);

    // A path longer than the reader's word is refused too.
    std::string longPath(kParamPathSize + 10, 'p');
    gErrors.clear();
    EXPECT_EQ(parse("outFile=" + longPath + ";"), 0);
    EXPECT_EQ(gErrors.size(), 1u);
    EXPECT_STREQ(gO.outFile, "");
}

TEST_F(CmdOptionsTest, TerminatorsAndLenientNotes)
{
    EXPECT_EQ(parse("enforce , nreps=4;", kSearchSet, ",;"), ',');
    EXPECT_EQ(gO.enforce, 1);
    EXPECT_EQ(rest(), " nreps=4;");

    // Where "/" ends the options, a path keeps its directories; only a "/" closing the name ends.
    for (const char *cmd : {"outFile=out/run_1.tre / swap=nni;", "outFile=out/run_1.tre/ swap=nni;"}) {
        gO = factoryOpts();
        EXPECT_EQ(parse(cmd, kSearchSet, ";/"), '/') << cmd;
        EXPECT_STREQ(gO.outFile, "out/run_1.tre") << cmd;
        EXPECT_EQ(rest(), " swap=nni;") << cmd;
    }

    // An unknown option with a quoted value holding blanks and semicolons is skipped whole.
    gO = factoryOpts();
    EXPECT_EQ(parse("enforce bogus=\"a b; c\" nreps=3 other=x;", kSearchSet, nullptr, "(ignored)"),
              ';');
    EXPECT_EQ(gO.enforce, 1);
    EXPECT_EQ(gO.nreps, 3);
    EXPECT_EQ(gWarnings, (std::vector<Msg>{{144, "Unrecognized keyword \"bogus\" (ignored)."},
                                           {144, "Unrecognized keyword \"other\" (ignored)."}}));
    EXPECT_TRUE(gErrors.empty());
}

TEST_F(CmdOptionsTest, WithdrawnOptionIsNotedAndItsValueDropped)
{
    const CmdTableEntry *row = &kRows[0];
    cmdOpt.currentCmd = row;
    EXPECT_EQ(parse("oldOpt=5 enforce;"), ';');
    EXPECT_EQ(gO.enforce, 1);
    EXPECT_EQ(gOut, "\nNOTE: \bThe 'oldOpt' option in the HSearch command is now ignored. Please "
                    "update your input file and/or commands accordingly.\n");
}

TEST_F(CmdOptionsTest, ChangeCallbacksRunOnceAfterASuccessfulParse)
{
    EXPECT_EQ(parse("nreps=4 nreps=5;"), ';');
    EXPECT_EQ(gCallbackCalls, 1);
    EXPECT_EQ(gOtherCallbackCalls, 1);
    gCallbackCalls = gOtherCallbackCalls = 0;
    EXPECT_EQ(parse("nreps=0;"), 0);
    EXPECT_EQ(gCallbackCalls, 0);
}

const std::string kHeader =
    "\nKeyword ------- Option type --------------------- Current setting ----------\n";

TEST_F(CmdOptionsTest, QuestionMarkListsOptionsAndChangesNothing)
{
    cmdOpt.currentCmd = &kRows[2];
    gO.replace = 1;  // a nonpersistent value in use: the listing shows it
    EXPECT_EQ(parse("criterion=dist ?;", kOutputSet), -1);
    EXPECT_EQ(gO.swap, 3);  // restored
    std::string expected = std::string("\nUsage: \bOutput") + " ;\n\n" +
                           "\nAvailable options:\n" + kHeader +
                           "replace         no|yes                           *\byes\n"
                           "criterion       \bparsimony|likelihood|distance|   \n"
                           "                quartets|splits                   \bquartets\n";
    expected += std::string(49, ' ') + "*Option is nonpersistent\n";
    EXPECT_EQ(gOut, expected);

    // In a file the listing is all a reader would see of the command, so a
    // warning says that it did not run.
    ASSERT_EQ(gWarnings.size(), 1u);
    EXPECT_NE(gWarnings[0].text.find("the command was not run"), std::string::npos);
}

// Headings are followed by a colon, once even when their text brings one.
TEST_F(CmdOptionsTest, HeadingsEndWithOneColon)
{
    showCmdOptionTable(kHeadingsSet, nullptr, false);
    EXPECT_EQ(gOut, "\nOptions for binary-state models:\n" + kHeader +
                        "flag            no|yes                            \bno\n"
                        "\nSearch options:\n" + kHeader +
                        "enforce         no|yes                            \bno\n");
}

TEST_F(CmdOptionsTest, ListingShowsTypesAndCurrentValues)
{
    gO.enforce = 1;
    gO.cutoff = 0;
    gO.seed[0] = 7;
    std::strcpy(gO.outFile, "run_1.tre");
    gO.nchar = 0;
    showCmdOptionTable(kSearchSet, nullptr, false);
    const std::string expected =
        "\nSearch options:\n" + kHeader +
        "enforce         no|yes                            \byes\n"
        "addseq          \bsimple|closest|asis|random|      \n"
        "                sequential                        \bsimple\n"
        "nreps           <integer-value>                   \b10\n"
        "maxtrees        <integer-value>|No                \b100\n"
        "tol             <real-value>                      \b0.5\n"
        "cutoff          <real-value>|No                   \bNo\n"
        "title           <title-text>                      \buntitled\n"
        "note            <note>                            \b(none)\n"
        "gapChar         <single-character-value>          \b-\n"
        "seed            <int> or <int:int:int:int>        \b7\n"
        "swap            none|nni|spr|tbr                  \btbr\n"
        "rule            strict|loose                      \bstrict\n"
        "tolerance       <integer-value>|auto              \bauto\n"
        "outFile         <file-name>                       \brun_1.tre\n"
        "nchar           <integer>|all                     \ball\n"
        "treeLengthLimit no|yes                            \bno\n";
    EXPECT_EQ(gOut, expected);
}

// A heading stays even when every option under it is hidden: the listing
// shows the sections of the set as they are laid out.
TEST_F(CmdOptionsTest, ListingKeepsHeadingsWithOnlyHiddenOptionsUnderThem)
{
    showCmdOptionTable(kHiddenHeadingsSet, nullptr, false);
    EXPECT_EQ(gOut, "\nNothing shown here:\n" + kHeader + "\nShown:\n" + kHeader +
                        "enforce         no|yes                            \bno\n" +
                        "\nNothing shown at the end:\n" + kHeader);
}

// A four-word seed whose second word is 0 must still show all its words.
TEST_F(CmdOptionsTest, ListingShowsEveryWordOfAFourWordSeed)
{
    gO.seed[0] = 5;
    gO.seed[1] = 0;
    gO.seed[2] = 7;
    gO.seed[3] = 0;
    showCmdOptionTable(kSearchSet, nullptr, false);
    EXPECT_NE(gOut.find("\b5:0:7:0\n"), std::string::npos) << gOut;
}

TEST_F(CmdOptionsTest, KeywordEqualsQuestionMarkShowsAcceptedValues)
{
    EXPECT_EQ(parse("nreps=?;"), -1);
    EXPECT_EQ(gOut, "\nUsage: \bnreps = <integer-value> (current default = 10)\n");
    gOut.clear();
    EXPECT_EQ(parse("enforce addseq=?;"), -1);
    EXPECT_EQ(gO.enforce, 0);
    EXPECT_EQ(gOut, "\nUsage: \baddseq = simple|closest|asis|random|sequential (current "
                    "default = simple)\n");
    gOut.clear();
    gO.nchar = 40;
    EXPECT_EQ(parse("nchar=?;"), -1);
    EXPECT_EQ(gOut, "\nUsage: \bnchar = <integer>|all (current default = 40)\n");
}

TEST_F(CmdOptionsTest, AbbreviatedListingsCapitaliseDistinguishingPrefixes)
{
    cmdOpt.showAbbrev = 1;
    CmdParamList *list = allocAndSaveParamVals(kSearchSet);
    ASSERT_NE(list, nullptr);
    char buf[64];
    // "tol" and "tolerance" share three letters, "title" and "treeLengthLimit" one.
    EXPECT_STREQ(fmtKeywordStr(&list->params[6], list, buf, sizeof buf), "TOL");
    EXPECT_STREQ(fmtKeywordStr(&list->params[14], list, buf, sizeof buf), "TOLErance");
    EXPECT_STREQ(fmtKeywordStr(&list->params[8], list, buf, sizeof buf), "TItle");
    // Entries with different first letters show one capital each; entries
    // that share a prefix show it and the first letter that differs.
    EXPECT_STREQ(typeString(&list->params[12], buf, sizeof buf), "NOne|NNi|Spr|Tbr");
    EXPECT_STREQ(typeString(&list->params[2], buf, sizeof buf),
                 "SImple|Closest|Asis|Random|SEquential");
    EXPECT_EQ(fmtFunctionValueList(&list->params[16]), "<integer>|All");
    destroyCmdParamList(list);
}

TEST_F(CmdOptionsTest, KeywordListLookups)
{
    EXPECT_EQ(paramValueNum(kAddseqList, "RANDOM"), 3);
    EXPECT_EQ(paramValueNum(kAddseqList, "rn"), 3);  // the alias alone
    // An alias may stand for the first keyword too.
    constexpr char kFirstAliased[] = "Zorv\0A\0B\0\x08\x01Ostrel\0";
    EXPECT_EQ(paramValueNum(kFirstAliased, "ostrel"), 0);
    EXPECT_EQ(paramValueNum(kFirstAliased, "Zorv"), 0);
    EXPECT_EQ(paramValueNum(kAddseqList, "s"), -2);
    EXPECT_EQ(paramValueNum(kAddseqList, "z"), -1);
    EXPECT_EQ(paramValueNum(kAddseqList, ""), -1);
    EXPECT_STREQ(enumValue(kSwapList, 2), "spr");
    EXPECT_STREQ(enumValue(kAddseqList, 5), "rnd");
    EXPECT_STREQ(enumValue(kSwapList, 9), "");
    EXPECT_STREQ(optionName(kSearchSet, &gO.tol), "tol");
    EXPECT_STREQ(optionName(OptionSet::kAll, &gO.replace), "replace");
    EXPECT_STREQ(optionName(kSearchSet, &gO.replace), "unknown");
}

TEST_F(CmdOptionsTest, ChangedAndNonzeroQueries)
{
    CmdParamList *list = allocAndSaveParamVals(kSearchSet);
    ASSERT_NE(list, nullptr);
    CmdParam *tol = &list->params[6];
    CmdParam *title = &list->params[8];
    CmdParam *nchar = &list->params[16];
    CmdParam *cutoff = &list->params[7];
    EXPECT_FALSE(cmdParamChanged(tol));
    gO.tol = NAN;
    EXPECT_TRUE(cmdParamChanged(tol));
    std::strcpy(gO.title, "other");
    EXPECT_TRUE(cmdParamChanged(title));
    EXPECT_FALSE(cmdParamChanged(nchar));
    gO.nchar = 3;
    EXPECT_TRUE(cmdParamChanged(nchar));
    gO.cutoff = 1.5;
    EXPECT_TRUE(cmdParamChanged(cutoff));
    EXPECT_TRUE(cmdParamValueIsNonzero(cutoff));
    gO.cutoff = 0;
    EXPECT_FALSE(cmdParamValueIsNonzero(cutoff));
    restoreCmdParamVals(list);
    EXPECT_EQ(gO, factoryOpts());
    destroyCmdParamList(list);
}

Opts changedOpts()
{
    Opts o = factoryOpts();
    o.enforce = 1;
    o.addseq = 3;
    o.nreps = 77;
    o.tol = 9;
    o.cutoff = 1;
    o.gapChar = '.';
    o.seed[0] = o.seed[1] = 4;
    o.swap = 1;
    o.rule = 1;
    o.tolerance = 2;
    o.nchar = 12;
    std::strcpy(o.title, "mine");
    std::strcpy(o.note, "keep?");
    std::strcpy(o.outFile, "out.tre");
    return o;
}

TEST_F(CmdOptionsTest, FactoryRestoresFactoryValues)
{
    gO = changedOpts();
    gO.longFlag = 1;  // no factory value: kept
    feed(";");
    EXPECT_EQ(doFactoryCmd(), 0);
    Opts expected = factoryOpts();
    expected.longFlag = 1;
    EXPECT_EQ(gO, expected);
    EXPECT_EQ(gOut, "\nAll options have been set to factory defaults.\n");
    EXPECT_EQ(gCallbackCalls, 1);
}

TEST_F(CmdOptionsTest, FactoryFailureRunsEveryCallbackAndIsReported)
{
    gO = changedOpts();
    gRejectAll = true;
    feed(";");
    EXPECT_EQ(doFactoryCmd(), 1);
    EXPECT_EQ(gCallbackCalls, 1);
    EXPECT_EQ(gOtherCallbackCalls, 1);  // ran although an earlier callback rejected
    EXPECT_EQ(gOut, "");
    feed("factory;");
    EXPECT_EQ(doResetCmd(), 1);
    EXPECT_EQ(gOut, "");

    // A list that cannot be built fails too.
    gRejectAll = false;
    feed(";");
    qel_setAllocFailureCountdown(0);
    EXPECT_EQ(doFactoryCmd(), 1);
    qel_setAllocFailureCountdown(-1);
    clearMemoryErrorStatus();
    EXPECT_EQ(gOut.find("All options"), std::string::npos);

    feed("junk");
    EXPECT_EQ(doFactoryCmd(), 1);
    EXPECT_EQ(gErrors.back().code, 119u);
}

TEST_F(CmdOptionsTest, ResetWordsAndMessages)
{
    const struct {
        const char *input;
        int result;
        bool message;
        bool reset;
    } cases[] = {
        {";", 0, false, true},         {"startup;", 0, false, true}, {"STARTUP;", 0, false, true},
        {"s;", 0, false, true},        {"f;", 0, true, true},        {"FACTORY;", 0, true, true},
        {"foo;", 1, false, false},     {"factory x;", 1, false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.input);
        gO = changedOpts();
        gOut.clear();
        gErrors.clear();
        feed(c.input);
        EXPECT_EQ(doResetCmd(), c.result);
        EXPECT_EQ(gOut == "\nAll options have been set to factory defaults.\n", c.message);
        EXPECT_EQ(gO.nreps == 10, c.reset);
    }
    gErrors.clear();
    feed("foo;");
    doResetCmd();
    EXPECT_EQ(gErrors,
              (std::vector<Msg>{{921, "The only valid options for the Reset command are "
                                      "'startup' and 'factory'.\tCheck for a missing semicolon "
                                      "or a spelling mistake."}}));
}

TEST_F(CmdOptionsTest, StartupFactoryResetSkipsCallbacksAndInitialisesCriterion)
{
    static int criterion = 0;
    static int inits = 0;
    criterion = 0;
    inits = 0;
    setCmdOptionServices({[] { return criterion; }, [] { ++inits; }, nullptr});
    gO = changedOpts();
    EXPECT_EQ(factorySettings(true), 0);
    EXPECT_EQ(gCallbackCalls, 0);
    EXPECT_EQ(inits, 1);
    EXPECT_EQ(factorySettings(false), 0);
    EXPECT_EQ(inits, 1);  // the criterion did not change
    setCmdOptionServices({});
}

TEST_F(CmdOptionsTest, DefaultsChangesTheStartingValuesWithoutRunning)
{
    feed("hs addseq=random nreps=3;");
    EXPECT_EQ(doDefaultsCmd(), 0);
    EXPECT_EQ(gO.addseq, 3);
    EXPECT_EQ(gO.nreps, 3);
    // The command later starts from them: options it does not name keep them.
    EXPECT_EQ(parse("enforce;"), ';');
    EXPECT_EQ(gO.addseq, 3);

    Opts before = gO;
    feed("hsearch addseq=random nreps=0;");
    EXPECT_EQ(doDefaultsCmd(), 1);
    EXPECT_EQ(gO, before);

    gErrors.clear();
    feed("help x;");
    EXPECT_EQ(doDefaultsCmd(), 1);
    EXPECT_EQ(gErrors, (std::vector<Msg>{{150, "The command 'Help' does not accept options.\n"}}));
    gErrors.clear();
    feed(";");
    EXPECT_EQ(doDefaultsCmd(), 1);
    EXPECT_EQ(gErrors.at(0).code, 118u);
    gErrors.clear();
    feed("zzz x;");
    EXPECT_EQ(doDefaultsCmd(), 1);
    EXPECT_EQ(gErrors.at(0).code, 151u);
    EXPECT_EQ(gErrors.at(0).text, "Unrecognized command name: \"zzz\"\tYou can use \"help "
                                  "commands;\" to obtain a list of valid commands.");
    gErrors.clear();
    feed("h x;");  // ambiguous: shown by the lookup, not called unrecognised
    EXPECT_EQ(doDefaultsCmd(), 1);
    EXPECT_EQ(gErrors, (std::vector<Msg>{{0, "No defaults were changed for \"h\"."}}));
}

TEST_F(CmdOptionsTest, DefaultsExplainsUnknownKeywordsWithTheCommandName)
{
    qel_errorMsg = errorMsg;  // the real message printer, through the captured output
    feed("hsearch bogus;");
    EXPECT_EQ(doDefaultsCmd(), 1);
    EXPECT_NE(gOut.find("Keyword \"bogus\" is not recognized."), std::string::npos) << gOut;
    EXPECT_NE(gOut.find("You can use \"HSearch ?\" to get a list of valid keywords."),
              std::string::npos)
        << gOut;
    // The explanation is for Defaults only.
    gOut.clear();
    EXPECT_EQ(parse("bogus;"), 0);
    EXPECT_EQ(gOut.find("HSearch ?"), std::string::npos);
    EXPECT_NE(gOut.find("look for problems in a previous command"), std::string::npos);
}

TEST_F(CmdOptionsTest, DefaultsQuestionMarkListsTheNamedCommand)
{
    feed("output ?;");
    // The lookup itself sees the "?" and lists the command's options.
    EXPECT_EQ(doDefaultsCmd(), 1);
    EXPECT_EQ(gOut.substr(0, 16), "\nUsage: \bOutput ");
    EXPECT_NE(gOut.find("criterion"), std::string::npos);
    // The listing is plain text, so the failure is reported on its own.
    ASSERT_EQ(gErrors.size(), 1u);
    EXPECT_NE(gErrors[0].text.find("No defaults were changed for \"output\""), std::string::npos);
    gOut.clear();
    feed("output replace ?;");
    EXPECT_EQ(doDefaultsCmd(), 1);
    EXPECT_EQ(gOut.substr(0, 16), "\nUsage: \bOutput ");
    EXPECT_EQ(gO.replace, 0);
}

FilenameParamState gTreeFile{nullptr, ".tre", 0};

uint32_t fileTraverser(OptionSet, CmdParamList *list)
{
    do_Fxn_Parm("treeFile", "Save", 0, &gTreeFile, handleFilenameCmdParam, nullptr,
                "<file-name>", list);
    return list->failed;
}

TEST_F(CmdOptionsTest, DefaultFileNameFollowsTheDataFileUntilTheUserNamesOne)
{
    CmdParamTraverser previous = setCmdParamTraverser(fileTraverser);
    setDataFileName("dir/data.nex");
    char name[kParamPathSize];
    ASSERT_EQ(startCmdParamFilename(&gTreeFile, ".tre", false, name, sizeof name), 0);
    EXPECT_STREQ(name, "data.tre");
    finishCmdParamFilename(&gTreeFile, ".tre", name);
    setDataFileName("other.nex");
    showCmdOptionTable(kOutputSet, nullptr, false);
    EXPECT_NE(gOut.find("<file-name>                       \bother.tre\n"), std::string::npos)
        << gOut;

    EXPECT_EQ(parse("treeFile=my_trees.t;", kOutputSet), ';');
    EXPECT_STREQ(gTreeFile.path, "my_trees.t");
    EXPECT_EQ(parse("treeFile=;", kOutputSet), 0);
    EXPECT_EQ(gErrors.back().code, 129u);
    EXPECT_EQ(readSemicolon(), 0);  // left to end the command
    EXPECT_STREQ(gTreeFile.path, "my_trees.t");
    setDataFileName("third.nex");
    ASSERT_EQ(startCmdParamFilename(&gTreeFile, ".tre", false, name, sizeof name), 0);
    EXPECT_STREQ(name, "my_trees.t");
    finishCmdParamFilename(&gTreeFile, ".tre", name);
    EXPECT_EQ(gTreeFile.nameIsDefault, 0);

    setDataFileName(nullptr);
    setExecFileName(nullptr);
    EXPECT_STREQ(makeBaseFilenameForCmdParam(), "vorn");
    deallocFilenameCmdParamBuffer(&gTreeFile);
    EXPECT_EQ(gTreeFile.path, nullptr);
    setCmdParamTraverser(previous);
}

}  // namespace
