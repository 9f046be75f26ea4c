// The option table of the general settings: registration order and nesting,
// the Set command end to end, ranges, and the change callbacks that reach the
// output engine, the search and the engines behind the service hooks.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "data/data_settings.h"
#include "qel/qel_io.h"
#include "qel/qel_output.h"
#include "qel/qel_random.h"
#include "likelihood/likelihood_settings.h"
#include "search/search_settings.h"
#include "app/option_test_support.h"
#include "app/parminit.h"
#include "cli/qel_cmdline.h"
#include "cli/shell_settings.h"
#include "app/vorn_params.h"
#include "trees/tree_settings.h"

namespace {

int gReopts = 0;
std::vector<uint32_t> gCodes;

int recordCode(uint32_t code, const char *, ...)
{
    gCodes.push_back(code);
    return 1;
}
int gRepackLevel = 0;

class ParminitTest : public OptionTest {
protected:
    ParminitTest() : OptionTest(true) {}

    void SetUp() override
    {
        OptionTest::SetUp();
        srch.includeAnc = 0;
        gReopts = gRepackLevel = 0;
        setVornParamServices({[] { ++gReopts; }, [](int level) { gRepackLevel = level; }, nullptr});
    }

    void TearDown() override
    {
        setVornParamServices({});
        OptionTest::TearDown();
    }

    int run(int (*handler)(), std::string input)
    {
        return runAs(handler == doSetCmd ? "Set" : nullptr, std::move(input), handler);
    }

    int set(const std::string &options) { return run(doSetCmd, options); }
};

TEST_F(ParminitTest, SetChangesSettingsAndListsThem)
{
    EXPECT_EQ(set("criterion=likelihood maxtrees=500 noWarnReset taxLabels=full "
                  "allDigLab=noWarn rng=legacy;"),
              0);
    EXPECT_EQ(gCriterion, kCriterionLikelihood);
    EXPECT_EQ(treeInfo.maxtrees, 500u);
    EXPECT_EQ(wrng.warnReset, 0);
    EXPECT_EQ(treeDraw.taxLabels, 1);
    EXPECT_EQ(nexOpt.allDigLab, kAllDigitNoWarn);
    EXPECT_EQ(rngSettings.generator, kRNG_Legacy);
    EXPECT_NE(cap.out.find("Optimality criterion set to likelihood."), std::string::npos);

    EXPECT_EQ(set("criterion=likelihood;"), 0);  // unchanged: nothing announced
    EXPECT_EQ(cap.out, "");

    EXPECT_NE(set("?;"), 0);
    for (const char *shown : {"criterion", "likelihood", "maxtrees", "500", "warnReset"})
        EXPECT_NE(cap.out.find(shown), std::string::npos) << shown;
    for (const char *hidden : {"initSeeds", "randExp", "visNotif"})
        EXPECT_EQ(cap.out.find(hidden), std::string::npos) << hidden;
}

TEST_F(ParminitTest, RangesRefuseAndLeaveEverythingUnchanged)
{
    struct Case {
        const char *input;
        int ok;
    };
    const Case cases[] = {
        {"maxtrees=0;", 0},          {"maxtrees=2147483647;", 0},
        {"maxtrees=2147483646;", 1}, {"autoInc=-5;", 0},
        {"cmColWidth=65;", 0},       {"cmColWidth=64;", 1},
        {"outwidth=-1;", 0},         {"dStatus=-1;", 0},
        {"dStatus=none;", 1},        {"dStatus=2147483647;", 1},
    };
    for (const Case &c : cases) {
        initVornOptions(nullptr);
        EXPECT_EQ(set(std::string("nomonitor ") + c.input) == 0, c.ok != 0) << c.input;
        // The refused value takes the rest of the command with it.
        EXPECT_EQ(outInfo.monitoring, c.ok ? 0 : 1) << c.input;
        if (!c.ok) {
            EXPECT_EQ(treeInfo.maxtrees, kDefaultMaxtrees) << c.input;
            EXPECT_EQ(cmFmt.cmColWidth, 1) << c.input;
            EXPECT_EQ(srch.dStatus, 60) << c.input;
        }
    }
    // A status interval of the largest accepted seconds does not wrap.
    EXPECT_EQ(statusIntervalMs(), 2147483647000ull);
    srch.dStatus = 0;
    EXPECT_EQ(statusIntervalMs(), 0u);
}

TEST_F(ParminitTest, CallbacksChangeDerivedState)
{
    EXPECT_EQ(set("outwidth=150;"), 0);
    EXPECT_EQ(getOutputLineLength(), 150u);
    // Widths outside the allowed range are clamped, on either side.
    EXPECT_EQ(set("outwidth=300;"), 0);
    EXPECT_EQ(getOutputLineLength(), 254u);
    EXPECT_EQ(set("outwidth=50;"), 0);
    EXPECT_EQ(getOutputLineLength(), 100u);
    EXPECT_EQ(set("outwidth=150;"), 0);

    setOutputNumRows(40);
    EXPECT_EQ(set("pause=beep;"), 0);
    EXPECT_EQ(getOutputDisplayRows(), 40u);
    EXPECT_EQ(set("pause=no;"), 0);
    outInfo.linesSincePause = 17;
    EXPECT_EQ(set("pause=msg;"), 0);  // the prompt takes a line
    EXPECT_EQ(getOutputDisplayRows(), 39u);
    EXPECT_EQ(outInfo.linesSincePause, 1u);

    EXPECT_EQ(set("underscores=keep;"), 0);
    EXPECT_TRUE(setKeepUnderscores(false));

    EXPECT_EQ(set("rootMethod=outgroup;"), 0);  // same value: nothing to redo
    EXPECT_EQ(gReopts, 0);
    EXPECT_EQ(set("rootMethod=midpoint forcePolyt;"), 0);
    EXPECT_EQ(gReopts, 2);
    EXPECT_EQ(set("includeAnc;"), 0);
    EXPECT_EQ(gRepackLevel, 3);

    // A criterion of its own makes the old score bounds meaningless.
    srch.keep = 123.5;
    EXPECT_EQ(set("criterion=distance;"), 0);
    EXPECT_EQ(srch.keep, 0.0);
}

TEST_F(ParminitTest, WithdrawnAndUnavailableOptions)
{
    EXPECT_EQ(set("initSeeds=1;"), 0);
    EXPECT_NE(cap.out.find("The initSeeds option in the Set command is no longer supported"),
              std::string::npos)
        << cap.out;
    EXPECT_EQ(optionName(OptionSet::kSet, &srch.enforce), std::string("unknown"));
    EXPECT_EQ(set("initSeeds=clock;"), 0);
    EXPECT_EQ(cap.out, "");

    EXPECT_NE(set("nomonitor ignore=x;"), 0);
    ASSERT_FALSE(cap.errors.empty());
    EXPECT_EQ(cap.errors[0].code, 346u);
    EXPECT_EQ(outInfo.monitoring, 1);

    // No constraint store is linked in: the name is refused, not dropped.
    EXPECT_NE(set("constraints=backbone;"), 0);
    EXPECT_FALSE(cap.errors.empty());
}

TEST_F(ParminitTest, DefaultsFactoryAndReset)
{
    EXPECT_EQ(run(doDefaultsCmd, "Quit nowarnTSave;"), 0);
    EXPECT_EQ(wrng.warnTSave, 0);  // the warning is one setting shared with Set

    EXPECT_EQ(set("criterion=distance maxtrees=42 cmColWidth=3 randExp=inversion nofLock "
                  "increase=auto;"),
              0);
    srch.keep = 9.0;
    EXPECT_EQ(run(doFactoryCmd, ";"), 0);
    EXPECT_NE(cap.out.find("All options have been set to factory defaults."), std::string::npos);
    EXPECT_EQ(wrng.warnTSave, 1);
    EXPECT_EQ(gCriterion, kCriterionParsimony);
    EXPECT_EQ(treeInfo.maxtrees, kDefaultMaxtrees);
    EXPECT_EQ(treeInfo.increase, static_cast<uint32_t>(MaxtreesAction::kPrompt));
    EXPECT_EQ(cmFmt.cmColWidth, 1);
    EXPECT_EQ(rngSettings.expMethod, kRandExpZiggurat);
    EXPECT_TRUE(gQelIo.fileLocking);
    EXPECT_EQ(srch.keep, 0.0);  // the criterion changed back

    EXPECT_EQ(set("maxtrees=7 showAbbrev;"), 0);
    EXPECT_EQ(run(doResetCmd, "startup;"), 0);
    EXPECT_EQ(cap.out.find("factory defaults"), std::string::npos);
    EXPECT_EQ(treeInfo.maxtrees, kDefaultMaxtrees);
    EXPECT_EQ(cmdOpt.showAbbrev, 0);
}

TEST(VornParamsTest, ValueChecksPutTheOldValueBack)
{
    MsgHook savedError = qel_errorMsg;
    std::vector<uint32_t> &codes = gCodes;
    qel_errorMsg = recordCode;
    double value = 0;
    CmdParam p{};
    p.name = "x";
    p.typeFlags = kParamReal;
    p.variable = &value;
    p.saved.d = 0.25;
    struct Case {
        CmdParamChangeFxn fxn;
        double value;
        int result;
        uint32_t code;
    };
    const Case cases[] = {{checkPinvarValue, 1.0, 1, 818},  {checkPinvarValue, -0.01, 1, 818},
                          {checkPinvarValue, 0.999, 0, 0},  {checkPinvarValue, 0.0, 0, 0},
                          {checkGammaShapeValue, 0.0, 1, 805}, {checkGammaShapeValue, 500.5, 1, 806},
                          {checkGammaShapeValue, 500.0, 0, 0}, {checkGammaShapeValue, 0.25, 0, 0},
                          // A multiple of zero or less would make undefined
                          // distances look identical or negative.
                          {checkUndefMultValue, -1.0, 1, 147}, {checkUndefMultValue, 0.0, 1, 147},
                          {checkUndefMultValue, HUGE_VAL, 1, 147}, {checkUndefMultValue, 0.5, 0, 0}};
    for (const Case &c : cases) {
        codes.clear();
        value = c.value;
        EXPECT_EQ(c.fxn(&p), c.result) << c.value;
        EXPECT_EQ(value, c.result ? 0.25 : c.value) << c.value;
        EXPECT_EQ(codes, c.code ? std::vector<uint32_t>{c.code} : std::vector<uint32_t>{});
    }
    qel_errorMsg = savedError;

    char name[kParamPathSize] = "";
    EXPECT_FALSE(checkOptionalFileSave(name, "old.tre"));
    EXPECT_STREQ(name, "old.tre");
    EXPECT_TRUE(checkOptionalFileSave(name, nullptr));
}

}  // namespace

namespace {

// Every nonpersistent option starts each run of its command from its reset
// value (the factory value, or else the declared one), whatever the previous
// run left in it; only the options whose owner sets them up itself before
// reading are left as they are. Function options are moved off their value
// through their own reader (or, bound to a pointer, by pointing elsewhere).
TEST_F(ParminitTest, NonpersistentOptionsStartEveryRunFromTheirResetValue)
{
    // The function options not bound to a variable: a value to type, and
    // where that value lands.
    struct Typed {
        const char *name;
        const char *value;
        std::string (*state)();
    };
    const Typed typed[] = {
        {"start", "current", [] { return std::to_string(hs.startSource); }},
        {"otherOptions", "\"-x 5\"", [] { return std::string(raxmlOpt.otherOptions); }}};
    int checked = 0, ownerSet = 0;
    char elsewhere[8] = {};
    struct Destroy {
        void operator()(CmdParamList *list) const { destroyCmdParamList(list); }
    };
    for (uint32_t set = 1; set < 256; ++set) {
        std::unique_ptr<CmdParamList, Destroy> list(createCmdParamList(OptionSet{set}));
        if (list == nullptr)
            continue;
        for (uint32_t i = 0; i < list->count; ++i) {
            CmdParam *p = &list->params[i];
            if (!(p->typeFlags & kParamNonpersistent))
                continue;
            SCOPED_TRACE(testing::Message() << "set " << set << " " << p->name);
            const uint32_t type = cmdParamType(p);
            const size_t size = cmdParamScalarSize(type);
            // The value each run must start from.
            CmdParamValue start{};
            std::string startText;
            if (type == kParamFxn) {
                if (p->variable)
                    std::memcpy(&start.slot, p->variable, sizeof start.slot);
                else if (auto t = std::find_if(std::begin(typed), std::end(typed),
                                               [&](const Typed &e) { return std::strcmp(e.name, p->name) == 0; });
                         t != std::end(typed))
                    startText = t->state();
            } else {
                ASSERT_NE(size, 0u);
                start = p->factory;
            }
            const CmdParamValue before = [&] {
                CmdParamValue v{};
                if (p->variable)
                    std::memcpy(&v, p->variable, type == kParamFxn ? sizeof v.slot : size);
                return v;
            }();
            // What the previous run may have left: anything but the start value.
            if (type != kParamFxn) {
                ASSERT_NE(p->variable, nullptr);
                auto *bytes = static_cast<uint8_t *>(p->variable);
                bytes[0] = static_cast<uint8_t>(reinterpret_cast<const uint8_t *>(&start)[0] ^ 1);
            } else if (p->variable) {
                void *other = elsewhere;
                std::memcpy(p->variable, &other, sizeof other);
            } else {
                auto t = std::find_if(std::begin(typed), std::end(typed),
                                      [&](const Typed &e) { return std::strcmp(e.name, p->name) == 0; });
                if (t == std::end(typed)) {
                    ADD_FAILURE() << "no value to type for this function option";
                    continue;
                }
                EXPECT_GT(parse(OptionSet{set}, std::string(p->name) + "=" + t->value + ";"), 0);
                EXPECT_NE(t->state(), startText);
                EXPECT_GT(parse(OptionSet{set}, ";"), 0);
                EXPECT_EQ(t->state(), startText);
                ++checked;
                continue;
            }
            const CmdParamValue left = [&] {
                CmdParamValue v{};
                if (p->variable)
                    std::memcpy(&v, p->variable, type == kParamFxn ? sizeof v.slot : size);
                return v;
            }();
            EXPECT_GT(parse(OptionSet{set}, ";"), 0);
            if (p->typeFlags & kParamOwnerPresets) {
                // Its owner put the value there; reading the options keeps it.
                EXPECT_EQ(std::memcmp(p->variable, &left, size), 0);
                ++ownerSet;
            } else {
                EXPECT_EQ(std::memcmp(p->variable, &start, type == kParamFxn ? sizeof start.slot : size), 0);
            }
            if (p->variable)
                std::memcpy(p->variable, &before, type == kParamFxn ? sizeof before.slot : size);
            ++checked;
        }
    }
    // The walk reached the switches of many commands and the reader's Format.
    EXPECT_GE(checked, 50);
    EXPECT_GE(ownerSet, 8);
    // Given in the command, the value holds for that run.
    EXPECT_GT(parse(OptionSet::kHSearch, "start=current retain;"), 0);
    EXPECT_EQ(hs.startSource, kStartCurrent);
    EXPECT_EQ(hs.retain, 1);
    EXPECT_GT(parse(OptionSet::kHSearch, ";"), 0);
    EXPECT_EQ(hs.startSource, kStartStepwise);
    EXPECT_EQ(hs.retain, 0);
}

}  // namespace
