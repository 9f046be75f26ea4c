// The option sets of the data, assumption and file-exchange commands: values
// parsed into their records, unlisted aliases, nesting of the genetic-code
// sets, refusals that leave everything unchanged, listings and factory values.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "data/data_settings.h"
#include "data/getdata.h"
#include "parsimony/pars_init.h"
#include "qel/qel_output.h"
#include "app/option_test_support.h"
#include "app/parminit.h"
#include "cli/qel_cmdline.h"
#include "cli/shell_settings.h"

namespace {

class DataOptionsTest : public OptionTest {
protected:
    void afterFactoryReset() override { deallocFilenameCmdParamBuffer(&exprt.file); }
};

TEST_F(DataOptionsTest, CommandOptionsReachTheirRecords)
{
    EXPECT_EQ(parse(OptionSet::kAssume, "typeSet=myTypes wtSet=w2 exSet=noThird;"), ';');
    EXPECT_STREQ(typesetTag, "myTypes");
    EXPECT_STREQ(wtsetTag, "w2");
    EXPECT_STREQ(exsetTag, "noThird");

    EXPECT_EQ(parse(OptionSet::kAssumptionsOptions,
                    "defType=Dollo.up polytcount=minSteps gapMode=newState;"),
              ';');
    EXPECT_STREQ(defTypeStr, "Dollo.up");
    EXPECT_EQ(gPolyTcount, kPolyTcountMinSteps);
    EXPECT_EQ(gPars.gapMode, 1u);

    EXPECT_EQ(
        parse(OptionSet::kReweight, "index=ri fit=mean baseWt=10 truncate minForFit=minLength;"),
        ';');
    EXPECT_EQ(rewt.index, kRewtIndexRI);
    EXPECT_EQ(rewt.fit, kRewtFitMean);
    EXPECT_EQ(rewt.baseWt, 10.0);
    EXPECT_EQ(rewt.truncate, 1);
    EXPECT_EQ(rewt.minForFit, 1);

    // Weights reads its options up to the colon of "scale baseWt=...:".
    EXPECT_EQ(parse(OptionSet::kWeightsScale, "baseWt=4: 1-3;", ":;,"), ':');
    EXPECT_EQ(charWts.baseWt, 4.0);

    EXPECT_EQ(parse(OptionSet::kCStatus, "full excluded=hide;"), ';');
    EXPECT_EQ(cstOpt.full, 1);
    EXPECT_EQ(cstOpt.excluded, 1);
    EXPECT_EQ(parse(OptionSet::kMissData, "exclude threshold=75 output=cstatusOnly;"), ';');
    EXPECT_EQ(missdOpt.exclude, 1);
    EXPECT_EQ(missdOpt.threshold, 75.0);
    EXPECT_EQ(missdOpt.output, 1);

    EXPECT_EQ(parse(OptionSet::kDnaRecode, "scheme=degRY noshowMappings genCode=VERTMITO;"), ';');
    EXPECT_EQ(dnaRecOpt.scheme, kRecodeDegRY);
    EXPECT_EQ(dnaRecOpt.showMappings, 0);
    EXPECT_STREQ(genCodeOpt.genCode, "VERTMITO");  // case is ignored, not the name
    EXPECT_EQ(parse(OptionSet::kNSFilter, "lrExclude=3.5 pctExclude=10;"), ';');
    EXPECT_EQ(gBruvantThresh, 3.5);
    EXPECT_EQ(gBruvantPct, 10.0);
}

TEST_F(DataOptionsTest, ImportAndExportOptions)
{
    EXPECT_EQ(imprt.format, kImportRelPhylip);
    EXPECT_EQ(parse(OptionSet::kToNexus,
                    "format=FASTA fromFile=in.fas toFile=out.nex dataType=protein "
                    "interleaved dmatrix=diaglower gapSymbol=~ missSymbol=N "
                    "identSymbol=:;"),
              ';');
    EXPECT_EQ(imprt.format, kImportFasta);
    EXPECT_STREQ(imprt.fromFile, "in.fas");
    EXPECT_STREQ(imprt.toFile, "out.nex");
    EXPECT_EQ(imprt.dataType, kImportProtein);
    EXPECT_EQ(imprt.interleaved, 1);
    EXPECT_EQ(imprt.dmatrix, kDmatrixDiagLower);
    EXPECT_EQ(imprt.gapSymbol, '~');
    EXPECT_EQ(imprt.missSymbol, 'N');
    EXPECT_EQ(imprt.identSymbol, ':');
    // "DNA" is an unlisted synonym of "nucleotide"; "d" still means "distance".
    EXPECT_EQ(parse(OptionSet::kToNexus, "dataType=DNA;"), ';');
    EXPECT_EQ(imprt.dataType, kImportNucleotide);
    EXPECT_EQ(parse(OptionSet::kToNexus, "dataType=d;"), ';');
    EXPECT_EQ(imprt.dataType, kImportDistance);
    EXPECT_EQ(parse(OptionSet::kToNexus, "dataType=?;"), -1);
    EXPECT_EQ(cap.out.find("DNA"), std::string::npos) << cap.out;
    EXPECT_NE(cap.out.find("restSite"), std::string::npos) << cap.out;

    // A MEGA header binds the same symbols; nseqs and ntaxa are one count.
    EXPECT_EQ(parse(OptionSet::kMegaHeader,
                    "dataType=protein nseqs=7 nsites=120 indel=- "
                    "identical=. codeTable=Standard property=Coding;"),
              ';');
    EXPECT_EQ(imprt.megaDataType, kMegaProtein);
    EXPECT_EQ(imprt.megaNtax, 7);
    EXPECT_EQ(imprt.megaNsites, 120);
    EXPECT_EQ(imprt.gapSymbol, '-');
    EXPECT_EQ(imprt.identSymbol, '.');
    EXPECT_EQ(parse(OptionSet::kMegaHeader, "ntaxa=9;"), ';');
    EXPECT_EQ(imprt.megaNtax, 9);

    // The same position names different formats in the two commands.
    EXPECT_EQ(parse(OptionSet::kToNexus, "format=Hennig86;"), ';');
    EXPECT_EQ(parse(OptionSet::kExport, "format=Hennig;"), ';');
    EXPECT_EQ(imprt.format, exprt.format);
    EXPECT_EQ(parse(OptionSet::kExport,
                    "format=Nexus charsPerLine=All lineBreaks=DOS "
                    "nexusBlocks=taxaChar ordPhylip=Unmodified translateToAA "
                    "genCode=ncbi21 noshowGenCode;"),
              ';');
    EXPECT_EQ(exprt.format, kExportNexus);
    EXPECT_EQ(exprt.charsPerLine, 0);
    EXPECT_EQ(exprt.lineBreaks, kLineBreakDos);
    EXPECT_EQ(nexOpt.nexusBlocks, 1);
    EXPECT_EQ(exprt.ordPhylip, 2u);
    EXPECT_EQ(exprt.translateToAA, 1);
    EXPECT_STREQ(genCodeOpt.genCode, "ncbi21");
    EXPECT_EQ(genCodeOpt.showGenCode, 0);
    // The proposed file name follows the chosen format until one is typed.
    EXPECT_EQ(parse(OptionSet::kExport, "format=FASTA ?;"), -1);
    EXPECT_NE(cap.out.find(".fas\n"), std::string::npos) << cap.out;
    EXPECT_EQ(parse(OptionSet::kExport, "file=my.phy format=MEGA ?;"), -1);
    EXPECT_NE(cap.out.find("my.phy\n"), std::string::npos) << cap.out;
}

TEST_F(DataOptionsTest, RefusedValuesLeaveEveryOptionUnchanged)
{
    ASSERT_EQ(parse(OptionSet::kExport, "format=MEGA charsPerLine=60;"), ';');
    ASSERT_EQ(parse(OptionSet::kMegaHeader, "nseqs=4 nsites=50;"), ';');
    ASSERT_EQ(parse(OptionSet::kAssume, "typeSet=t1;"), ';');
    const std::string longName(300, 'x');
    struct Case {
        OptionSet set;
        std::string input;
        uint32_t code;
    } cases[] = {
        // A code name must be given in full.
        {OptionSet::kExport, "format=Text genCode=vert;", 0},
        {OptionSet::kExport, "format=Text charsPerLine=-5;", 141},
        {OptionSet::kMegaHeader, "nsites=3 nseqs=0;", 141},
        {OptionSet::kAssumptionsOptions, "polytcount=minSteps defType=bogus;", 401},
        {OptionSet::kAssume, "typeSet=" + longName + ";", 141},
        {OptionSet::kToNexus, "format=PIR gapSymbol=ab;", 141},
        {OptionSet::kReweight, "index=ci baseWt=nan;", 141},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(parse(c.set, c.input), 0) << c.input;
        ASSERT_EQ(cap.errors.size(), 1u) << c.input;
        EXPECT_EQ(cap.errors[0].code, c.code) << c.input;
        EXPECT_EQ(exprt.format, kExportMega) << c.input;
        EXPECT_EQ(exprt.charsPerLine, 60) << c.input;
        EXPECT_STREQ(genCodeOpt.genCode, "standard") << c.input;
        EXPECT_EQ(imprt.megaNtax, 4) << c.input;
        EXPECT_EQ(imprt.megaNsites, 50) << c.input;
        EXPECT_STREQ(defTypeStr, "unord") << c.input;
        EXPECT_EQ(gPolyTcount, kPolyTcountMaxSteps) << c.input;
        EXPECT_STREQ(typesetTag, "t1") << c.input;
        EXPECT_EQ(imprt.format, kImportRelPhylip) << c.input;
        EXPECT_EQ(rewt.index, kRewtIndexRC) << c.input;
    }
    EXPECT_EQ(cap.errors[0].text.rfind("Invalid value specified for 'baseWt'", 0), 0u);
}

TEST_F(DataOptionsTest, DataBlockAliasesAndSharedLabelVariable)
{
    // FORMAT takes "distance" (value 5) without offering it.
    EXPECT_EQ(parse(OptionSet::kCharFormat, "dataType=distance;"), ';');
    EXPECT_EQ(dataBlockParam.dataType, 5u);
    EXPECT_EQ(parse(OptionSet::kCharFormat, "dataType=?;"), -1);
    EXPECT_NE(cap.out.find("= standard|DNA|RNA|nucleotide|protein|continuous (current default = "
                           "distance)"),
              std::string::npos)
        << cap.out;
    // labels and the hidden labelpos set one variable; only FORMAT of a
    // character block reads "nolabelpos" as the off value.
    EXPECT_EQ(parse(OptionSet::kCharFormat, "labelpos=right;"), ';');
    EXPECT_EQ(dataBlockParam.labels, 2u);
    EXPECT_EQ(parse(OptionSet::kCharFormat, "nolabels;"), ';');
    EXPECT_EQ(dataBlockParam.labels, 0u);
    EXPECT_EQ(parse(OptionSet::kDistFormat, "labelpos=left;"), ';');
    EXPECT_EQ(dataBlockParam.labels, 1u);
    EXPECT_EQ(parse(OptionSet::kDistFormat, "nolabels;"), ';');
    EXPECT_EQ(dataBlockParam.labels, 0u);
    EXPECT_EQ(parse(OptionSet::kDistFormat, "nolabelpos;"), 0);
    EXPECT_EQ(parse(OptionSet::kCharFormat, "?;"), -1);
    EXPECT_EQ(cap.out.find("labelpos"), std::string::npos) << cap.out;
}

TEST_F(DataOptionsTest, ListingsOfCStatusAndModProject)
{
    const std::string header = "\nAvailable options:\n\nKeyword ------- Option type "
                               "--------------------- Current setting ----------\n";
    EXPECT_EQ(parse(OptionSet::kCStatus, "full ?;"), -1);
    EXPECT_EQ(cap.out, header +
                           "full            no|yes                            \bno\n"
                           "excluded        show|hide                         \bshow\n");
    EXPECT_EQ(cstOpt.full, 0);  // a listing takes nothing
    EXPECT_EQ(parse(OptionSet::kModProject, "?;"), -1);
    EXPECT_EQ(cap.out, header +
                           "genCode         <genetic-code-name>               \bstandard\n"
                           "showGenCode     no|yes                            \byes\n"
                           "showFreq        no|yes                            \byes\n");
    // Before a Dimensions command gives them the counts hold no value to show.
    dataBlockParam.ntax = dataBlockParam.nchar = kNotGiven;
    EXPECT_EQ(parse(OptionSet::kDataDimensions, "?;"), -1);
    EXPECT_EQ(cap.out, header +
                           "ntax            <integer-value>                   \b(none)\n"
                           "nchar           <integer-value>                   \b(none)\n");
    // Include and Exclude list nothing: "only" is hidden, yet accepted.
    EXPECT_EQ(parse(OptionSet::kIncludeExclude, "only;"), ';');
    EXPECT_EQ(gOnly, 1);
    gOnly = 0;
}

}  // namespace
