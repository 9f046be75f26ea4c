// Option sets of the data, assumptions and file exchange commands.
#include "data/parminit_data.h"

#include <initializer_list>

#include "data/data_settings.h"
#include "data/dataformat.h"
#include "data/getdata.h"
#include "data/nexsets.h"
#include "data/taxstat.h"
#include "cli/option_registry.h"
#include "cli/shell_settings.h"
#include "qel/qel_errormsg.h"

using namespace optreg;

namespace {

DataBlockParams &bp = dataBlockParam;

constexpr const char *kLabelPositions = "none\0left\0right\0";
// "distance" is accepted but not offered: it stands at position 5.
constexpr const char kDataTypes[] = "standard\0DNA\0RNA\0nucleotide\0protein\0\x08\x06"
                                    "distance\0continuous\0";
constexpr uint32_t kHiddenOnce = kParamNonpersistent | kParamHidden;
// The block reader sets these up from the block being read before each
// Format command, so that every block starts from its own defaults.
constexpr uint32_t kReaderSets = kParamNonpersistent | kParamOwnerPresets;

// The counts hold "not given" until a Dimensions command gives them: its
// usage shows no current value rather than that marker.
constexpr uint32_t kCountShown = kParamShowNone;

DataParsOptionRegistrar gParsOptions = nullptr;

void parsOptions(DataParsOptions which, CmdParamList *list)
{
    if (gParsOptions != nullptr)
        gParsOptions(which, list);
}

void dataDimensions(CmdParamList *list)
{
    do_Int_Parm(nullptr, "ntax", kParamInt, kCountShown, &bp.ntax, 0, nullptr, nullptr, list);
    do_Int_Parm(nullptr, "nchar", kParamInt, kCountShown, &bp.nchar, 0, nullptr, nullptr, list);
}

void charFormat(CmdParamList *list)
{
    do_Int_Parm(nullptr, "missing", kParamChar, kReaderSets, &bp.missing, 0, nullptr, nullptr,
                list);
    do_Int_Parm(nullptr, "labels", kParamKeywordOff, kReaderSets, i32Of(bp.labels), 0, nullptr,
                kLabelPositions, list);
    do_Fxn_Parm("symbols", nullptr, 0, nullptr, readSymbols, nullptr,
                "\"<list of valid symbols>\"", list);
    do_Bool_Parm(nullptr, "interleave", kParamBool, kReaderSets, &bp.interleave, 0, nullptr,
                 nullptr, list);
    do_Int_Parm(nullptr, "matchChar", kParamChar, kReaderSets, &bp.matchChar, 0, nullptr,
                nullptr, list);
    do_Fxn_Parm("equate", nullptr, 0, nullptr, readEquates, nullptr, "\"<symbol=expansion>...\"",
                list);
    do_Bool_Parm(nullptr, "transpose", kParamBool, kReaderSets, &bp.transpose, 0, nullptr,
                 nullptr, list);
    do_Int_Parm(nullptr, "dataType", kParamKeyword, kReaderSets, i32Of(bp.dataType), 0, nullptr,
                kDataTypes, list);
    do_Bool_Parm(nullptr, "respectCase", kParamBool, kReaderSets, &bp.respectCase, 0, nullptr,
                 nullptr, list);
    do_Int_Parm(nullptr, "gap", kParamChar, kReaderSets, &bp.gap, 0, nullptr, nullptr, list);
    do_Int_Parm(nullptr, "labelpos", kParamKeywordOff, kParamHidden, i32Of(bp.labels), 0, nullptr,
                kLabelPositions, list);
}

void dataOptions(CmdParamList *list)
{
    // gapMode and msTaxa set the parsimony settings, as PSet does.
    do_Fxn_Parm("zap", nullptr, kParamHidden, nullptr, readZappedChars, nullptr,
                "\"<character-list>\"", list);
    do_Fxn_Parm("ignore", nullptr, kParamHidden, nullptr, ignoreNowObsolete, nullptr, nullptr,
                list);
    parsOptions(DataParsOptions::kDataBlockOptions, list);
}

void taxaDimensions(CmdParamList *list)
{
    do_Int_Parm(nullptr, "ntax", kParamInt, kCountShown, &bp.ntax, 0, nullptr, nullptr, list);
}

void charsDimensions(CmdParamList *list)
{
    do_Int_Parm(nullptr, "nchar", kParamInt, kCountShown, &bp.nchar, 0, nullptr, nullptr, list);
    do_Int_Parm(nullptr, "ntax", kParamInt, kCountShown, &bp.ntax, 0, nullptr, nullptr, list);
    do_Bool_Parm(nullptr, "newTaxa", kParamBool, 0, &bp.newTaxa, 0, nullptr, nullptr, list);
}

void distDimensions(CmdParamList *list)
{
    do_Int_Parm(nullptr, "ntax", kParamInt, kCountShown, &bp.ntax, 0, nullptr, nullptr, list);
    do_Bool_Parm(nullptr, "newTaxa", kParamBool, 0, &bp.newTaxa, 0, nullptr, nullptr, list);
}

void distFormat(CmdParamList *list)
{
    do_Int_Parm(nullptr, "labels", kParamKeywordOff, 0, i32Of(bp.labels), 0, nullptr,
                kLabelPositions, list);
    do_Int_Parm(nullptr, "triangle", kParamKeyword, kReaderSets, i32Of(bp.triangle), 0, nullptr,
                "lower\0upper\0both\0", list);
    do_Bool_Parm(nullptr, "diagonal", kParamBool, kReaderSets, &bp.diagonal, 0, nullptr,
                 nullptr, list);
    do_Bool_Parm(nullptr, "interleave", kParamBool, kReaderSets, &bp.interleave, 0, nullptr,
                 nullptr, list);
    do_Int_Parm(nullptr, "missing", kParamChar, 0, &bp.distMissing, 0, nullptr, nullptr, list);
    do_Int_Parm(nullptr, "labelpos", kParamKeyword, kParamHidden, i32Of(bp.labels), 0, nullptr,
                kLabelPositions, list);
}

// The block commands' sets; all of them for OptionSet::kAll.
void registerDataBlockOptionSets(OptionSet set, CmdParamList *list)
{
    const bool all = set == OptionSet::kAll;
    if (all || set == OptionSet::kDataDimensions)
        dataDimensions(list);
    if (all || set == OptionSet::kCharFormat)
        charFormat(list);
    if (all || set == OptionSet::kDataOptions)
        dataOptions(list);
    if (all || set == OptionSet::kTaxaDimensions)
        taxaDimensions(list);
    if (all || set == OptionSet::kCharsDimensions)
        charsDimensions(list);
    if (all || set == OptionSet::kDistDimensions)
        distDimensions(list);
    if (all || set == OptionSet::kDistFormat)
        distFormat(list);
}

void assumeOptions(CmdParamList *list)
{
    do_String_Parm("typeSet", nullptr, kParamString, kNoShow, typesetTag, nullptr, nullptr,
                   "<typeset-name>", list);
    do_String_Parm("wtSet", nullptr, kParamString, kNoShow, wtsetTag, nullptr, nullptr,
                   "<wtset-name>", list);
    do_String_Parm("exSet", nullptr, kParamString, kNoShow, exsetTag, nullptr, nullptr,
                   "<exset-name>", list);
    do_Fxn_Parm("ancStates", nullptr, 0, nullptr, getAncStParm, nullptr, "<ancstates-name>",
                list);
}

void assumptionsBlockOptions(CmdParamList *list)
{
    const char *cat = "Assump";
    do_String_Parm("defType", cat, kParamString, kFactory, defTypeStr, "unord", checkDeftype,
                   "<type-name>", list);
    do_Int_Parm(cat, "polytcount", kParamKeyword, kFactory, &gPolyTcount, kPolyTcountMaxSteps,
                nullptr, "minSteps\0maxSteps\0", list);
    parsOptions(DataParsOptions::kAssumptionsOptions, list);
}

void reweightOptions(CmdParamList *list)
{
    const char *cat = "Rewt";
    do_Int_Parm(cat, "index", kParamKeyword, kFactory, &rewt.index, kRewtIndexRC, nullptr,
                "rc\0ci\0ri\0", list);
    do_Int_Parm(cat, "fit", kParamKeyword, kFactory, &rewt.fit, kRewtFitMaximum, nullptr,
                "maximum\0minimum\0mean\0", list);
    do_Flt_Parm(cat, "baseWt", kParamReal, kFactory, &rewt.baseWt, nullptr, 1.0, list);
    do_Bool_Parm(cat, "truncate", kOnOff, kFactory, &rewt.truncate, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "minForFit", kParamBoolKeyword, kFactory, &rewt.minForFit, 0, nullptr,
                 "range\0minLength\0", list);
}

void missDataOptions(CmdParamList *list)
{
    const char *cat = "MissData";
    do_Fxn_Parm("partition", cat, kOnce, &missdOpt.partition, handleCharPtnName, nullptr,
                "<charpartition-name>", list);
    do_Bool_Parm(cat, "exclude", kOnOff, kOnce, &missdOpt.exclude, 0, nullptr, nullptr, list);
    do_Flt_Parm(cat, "threshold", kParamReal, kFactory, &missdOpt.threshold, nullptr, 90.0, list);
    do_Bool_Parm(cat, "output", kParamBoolKeyword, kFactory, &missdOpt.output, 0, nullptr,
                 "full\0cstatusOnly\0", list);
}

// Assumptions, weights and character status.
void registerAssumptionOptionSets(OptionSet set, CmdParamList *list)
{
    if (runs(set, OptionSet::kAssume))
        assumeOptions(list);
    if (runs(set, OptionSet::kAssumptionsOptions))
        assumptionsBlockOptions(list);
    if (runs(set, OptionSet::kSaveAssum)) {
        do_String_Parm("file", nullptr, kParamFilename, 0, settingsFlnam, nullptr, nullptr,
                       "<filename-for-settings>", list);
        do_Bool_Parm(nullptr, "replace", kOnOff, kOnce, &gReplaceFile, 0, nullptr, nullptr, list);
    }
    if (runs(set, OptionSet::kIncludeExclude))
        do_Bool_Parm(nullptr, "only", kOnOff, kHiddenOnce, &gOnly, 0, nullptr, nullptr, list);
    if (runs(set, OptionSet::kReweight))
        reweightOptions(list);
    if (runs(set, OptionSet::kWeightsScale))
        do_Flt_Parm("Wts", "baseWt", kParamReal, kFactory, &charWts.baseWt, nullptr, 1.0, list);
    if (runs(set, OptionSet::kCStatus)) {
        do_Bool_Parm("CStatus", "full", kOnOff, kFactory, &cstOpt.full, 0, nullptr, nullptr, list);
        do_Bool_Parm("CStatus", "excluded", kParamBoolKeyword, kFactory, &cstOpt.excluded, 0,
                     nullptr, "show\0hide\0", list);
    }
    if (runs(set, OptionSet::kMissData))
        missDataOptions(list);
}

// "DNA" is an unlisted synonym of "nucleotide" (see foldImportDnaType).
constexpr const char kImportDataTypes[] =
    "nucleotide\0protein\0restSite\0standard\0distance\0\x08\x06"
    "DNA\0";

void toNexusOptions(CmdParamList *list)
{
    const char *cat = "ToNexus";
    do_Int_Parm(cat, "format", kParamKeyword, kFactory, &imprt.format, kImportRelPhylip, nullptr,
                "PHYLIP\0RelPHYLIP\0FASTA\0Hennig86\0tabText\0text\0GCG\0MEGA\0PIR\0FreqPars\0",
                list);
    do_String_Parm("fromFile", cat, kParamFilename, kNoShow, imprt.fromFile, nullptr, nullptr,
                   "<foreign-filename>", list);
    do_String_Parm("toFile", cat, kParamFilename, kNoShow, imprt.toFile, nullptr, nullptr,
                   "<Nexus-filename>", list);
    do_Int_Parm(cat, "dataType", kParamKeyword, kFactory, &imprt.dataType, kImportNucleotide,
                foldImportDnaType, kImportDataTypes, list);
    do_Bool_Parm(cat, "interleaved", kOnOff, kFactory, &imprt.interleaved, 0, nullptr, nullptr,
                 list);
    do_Int_Parm(cat, "dmatrix", kParamKeyword, kFactory, &imprt.dmatrix, kDmatrixLower, nullptr,
                "lower\0diaglower\0full\0", list);
    do_Int_Parm(cat, "gapSymbol", kParamChar, kFactory, &imprt.gapSymbol, '-', nullptr, nullptr,
                list);
    do_Int_Parm(cat, "missSymbol", kParamChar, kFactory, &imprt.missSymbol, '?', nullptr,
                nullptr, list);
    do_Int_Parm(cat, "identSymbol", kParamChar, kFactory, &imprt.identSymbol, '.', nullptr,
                nullptr, list);
    do_Bool_Parm(cat, "replace", kOnOff, kOnce, &gReplaceFile, 0, nullptr, nullptr, list);
}

// The counts of a MEGA header size the matrix the importer reads.
constexpr int32_t kMaxMegaCount = 0x7FFFFFFF;

void megaHeaderOptions(CmdParamList *list)
{
    const char *cat = "MegaImport";
    do_Int_Parm(cat, "dataType", kParamKeyword, kFactory, &imprt.megaDataType, kMegaNucleotide,
                nullptr, "DNA\0RNA\0nucleotide\0protein\0", list);
    do_IntRange_Parm(cat, "nseqs", kParamInt, 0, &imprt.megaNtax, 0, 1, kMaxMegaCount, nullptr,
                     nullptr, list);
    do_IntRange_Parm(cat, "ntaxa", kParamInt, 0, &imprt.megaNtax, 0, 1, kMaxMegaCount, nullptr,
                     nullptr, list);
    do_IntRange_Parm(cat, "nsites", kParamInt, 0, &imprt.megaNsites, 0, 1, kMaxMegaCount, nullptr,
                     nullptr, list);
    do_Int_Parm(cat, "indel", kParamChar, kFactory, &imprt.gapSymbol, '-', nullptr, nullptr, list);
    do_Int_Parm(cat, "missing", kParamChar, kFactory, &imprt.missSymbol, '?', nullptr, nullptr,
                list);
    do_Int_Parm(cat, "matchChar", kParamChar, kFactory, &imprt.identSymbol, '.', nullptr, nullptr,
                list);
    do_Int_Parm(cat, "identical", kParamChar, kParamHidden, &imprt.identSymbol, 0, nullptr,
                nullptr, list);
    do_String_Parm("codeTable", cat, kParamString, kNoShow, imprt.megaIgnored, nullptr, nullptr,
                   "<ignored>", list);
    do_String_Parm("property", cat, kParamString, kNoShow, imprt.megaIgnored, nullptr, nullptr,
                   "<ignored>", list);
}

// Export writes lines of at most this many characters ("All": no limit).
constexpr int32_t kMaxExportCharsPerLine = 0x7FFFFFFF;

void exportOptions(OptionSet set, CmdParamList *list)
{
    const char *cat = "Export";
    do_Int_Parm(cat, "format", kParamKeyword, kFactory, &exprt.format, kExportRelPhylip, nullptr,
                "PHYLIP\0RelPHYLIP\0FASTA\0Hennig\0TabText\0Text\0Nexus\0MEGA\0", list);
    do_Fxn_Parm("file", cat, kParamNoFactoryText, &exprt.file, getExportFlnam, nullptr,
                "<export-filename>", list);
    do_Int_Parm(cat, "lineBreaks", kParamKeyword, kFactory, &exprt.lineBreaks, kLineBreakNative,
                nullptr, "Native\0Macintosh\0DOSWindows\0Unix\0", list);
    do_Bool_Parm(cat, "interleaved", kOnOff, kFactory, &exprt.interleaved, 0, nullptr, nullptr,
                 list);
    do_IntRange_Parm(cat, "charsPerLine", kParamIntOrLabel, kFactory, &exprt.charsPerLine, 100, 1,
                     kMaxExportCharsPerLine, nullptr, "All\0", list);
    do_Bool_Parm(cat, "nexusBlocks", kParamBoolKeyword, kFactory, &nexOpt.nexusBlocks, 0, nullptr,
                 "data\0taxaChar\0", list);
    do_Int_Parm(cat, "mstaxaHennig", kParamKeyword, kFactory, &exprt.mstaxaHennig, 0, nullptr,
                "BinCode\0Missing\0", list);
    do_Int_Parm(cat, "unordPhylip", kParamKeyword, kFactory, &exprt.unordPhylip, 0, nullptr,
                "Exclude\0Unmodified\0", list);
    do_Int_Parm(cat, "ordPhylip", kParamKeyword, kFactory, &exprt.ordPhylip, 1, nullptr,
                "Exclude\0BinCode\0Unmodified\0", list);
    do_Bool_Parm(cat, "replace", kOnOff, kOnce, &gReplaceFile, 0, nullptr, nullptr, list);
    do_Bool_Parm(cat, "translateToAA", kOnOff, kOnce, &exprt.translateToAA, 0, nullptr, nullptr,
                 list);
    include(set, OptionSet::kCodonUsage, list);
}

// File exchange, genetic codes, recoding.
void registerExchangeOptionSets(OptionSet set, CmdParamList *list)
{
    if (runs(set, OptionSet::kToNexus))
        toNexusOptions(list);
    if (runs(set, OptionSet::kExport))
        exportOptions(set, list);
    if (runs(set, OptionSet::kShowPartitions))
        do_Bool_Parm(nullptr, "dotPlot", kOnOff, kOnce, &nexOpt.dotPlot, 0, nullptr, nullptr, list);
    if (runs(set, OptionSet::kMegaHeader))
        megaHeaderOptions(list);
    if (runs(set, OptionSet::kGenCode))
        do_String_Parm("genCode", "GenCode", kParamString, kFactory, genCodeOpt.genCode,
                       "standard", checkGenCodeName, "<genetic-code-name>", list);
    if (runs(set, OptionSet::kCodonUsage)) {
        include(set, OptionSet::kGenCode, list);
        do_Bool_Parm("GenCodeOptions", "showGenCode", kOnOff, kFactory, &genCodeOpt.showGenCode,
                     1, nullptr, nullptr, list);
    }
    if (runs(set, OptionSet::kDnaRecode)) {
        do_Int_Parm("DnaRecode", "scheme", kParamKeyword, kFactory, &dnaRecOpt.scheme, kRecodeRY,
                    nullptr, gRecodeDnaSchemes, list);
        do_Bool_Parm("DnaRecode", "showMappings", kOnOff, kFactory, &dnaRecOpt.showMappings, 1,
                     nullptr, nullptr, list);
        include(set, OptionSet::kCodonUsage, list);
    }
    if (runs(set, OptionSet::kModProject)) {
        include(set, OptionSet::kCodonUsage, list);
        do_Bool_Parm("ModProject", "showFreq", kOnOff, kFactory, &genCodeOpt.showFreq, 1,
                     nullptr, nullptr, list);
    }
    if (runs(set, OptionSet::kNSFilter)) {
        do_Flt_Parm("NSFilter", "lrExclude", kParamReal, kNoShow, &gBruvantThresh, nullptr, 0.0,
                    list);
        do_Flt_Parm("NSFilter", "pctExclude", kParamReal, kNoShow, &gBruvantPct, nullptr, 0.0,
                    list);
    }
}

}  // namespace

uint32_t traverseDataOptionSets(OptionSet set, CmdParamList *list)
{
    registerDataBlockOptionSets(set, list);
    registerAssumptionOptionSets(set, list);
    // Delete, Undelete/Restore, Outgroup/Ingroup, TStatus; OptionSet::kAll
    // registers every option once.
    if (set == OptionSet::kAll) {
        // Restore's options are a subset of Delete's.
        for (OptionSet s : {OptionSet::kDelete, OptionSet::kOutgroup, OptionSet::kTStatus})
            registerTaxStatusOptions(s, list);
    } else {
        registerTaxStatusOptions(set, list);
    }
    registerExchangeOptionSets(set, list);
    return list->failed;
}

int installDataParsOptionRegistrar(DataParsOptionRegistrar registrar)
{
    if (gParsOptions != nullptr && gParsOptions != registrar) {
        qel_errorMsg(0, "Internal error: the parsimony options of the data commands are installed twice.");
        return 1;
    }
    gParsOptions = registrar;
    return 0;
}

int ignoreNowObsolete(int operation, CmdParam *, void *)
{
    if (operation != kParamOpReadValue)
        return 0;
    qel_errorMsg(346, "The IGNORE option is no longer available. Exclude characters using the "
                      "predefined 'CStat_Constant' and 'UNINF' character-sets instead.");
    return 1;
}
