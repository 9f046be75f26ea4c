// Option sets of the data, assumptions and file exchange commands.
#include "shell/parminit.h"

#include <initializer_list>

#include "data/dataformat.h"
#include "data/getdata.h"
#include "data/taxstat.h"
#include "parsimony/pars_init.h"
#include "parsimony/parsimony_settings.h"
#include "shell/vorn_params.h"
#include "shell/vorn_params.h"

namespace {

DataBlockParams &bp = dataBlockParam;

constexpr const char *kLabelPositions = "none\0left\0right\0";
// "distance" is accepted but not offered: it stands at position 5.
constexpr const char kDataTypes[] = "standard\0DNA\0RNA\0nucleotide\0protein\0\x08\x05"
                                    "distance\0continuous\0";
constexpr uint32_t kNonpersistent = kParamNonpersistent;

int32_t *i32(uint32_t &value) { return reinterpret_cast<int32_t *>(&value); }

void dataDimensions(CmdParamList *list)  // set 24
{
    do_Int_Parm(nullptr, "ntax", kParamInt, 0, &bp.ntax, 0, nullptr, nullptr, list);
    do_Int_Parm(nullptr, "nchar", kParamInt, 0, &bp.nchar, 0, nullptr, nullptr, list);
}

void charFormat(CmdParamList *list)  // set 25
{
    do_Int_Parm(nullptr, "missing", kParamChar, kNonpersistent, &bp.missing, 0, nullptr, nullptr,
                list);
    do_Int_Parm(nullptr, "labels", kParamKeywordOff, kNonpersistent, i32(bp.labels), 0, nullptr,
                kLabelPositions, list);
    do_Fxn_Parm("symbols", nullptr, 0, nullptr, readSymbols, nullptr,
                "\"<list of valid symbols>\"", list);
    do_Bool_Parm(nullptr, "interleave", kParamBool, kNonpersistent, &bp.interleave, 0, nullptr,
                 nullptr, list);
    do_Int_Parm(nullptr, "matchChar", kParamChar, kNonpersistent, &bp.matchChar, 0, nullptr,
                nullptr, list);
    do_Fxn_Parm("equate", nullptr, 0, nullptr, readEquates, nullptr, "\"<symbol=expansion>...\"",
                list);
    do_Bool_Parm(nullptr, "transpose", kParamBool, kNonpersistent, &bp.transpose, 0, nullptr,
                 nullptr, list);
    do_Int_Parm(nullptr, "dataType", kParamKeyword, kNonpersistent, i32(bp.dataType), 0, nullptr,
                kDataTypes, list);
    do_Bool_Parm(nullptr, "respectCase", kParamBool, kNonpersistent, &bp.respectCase, 0, nullptr,
                 nullptr, list);
    do_Int_Parm(nullptr, "gap", kParamChar, kNonpersistent, &bp.gap, 0, nullptr, nullptr, list);
    do_Int_Parm(nullptr, "labelpos", kParamKeywordOff, kParamHidden, i32(bp.labels), 0, nullptr,
                kLabelPositions, list);
}

void dataOptions(CmdParamList *list)  // set 26
{
    // gapMode and msTaxa set the parsimony settings, as PSet does.
    do_Fxn_Parm("zap", nullptr, kParamHidden, nullptr, readZappedChars, nullptr,
                "\"<character-list>\"", list);
    do_Int_Parm(nullptr, "gapMode", kParamKeyword, kParamHidden, i32(gPars.gapMode), 0, gapModeChange,
                "missing\0newState\0indel\0", list);
    do_Fxn_Parm("ignore", nullptr, kParamHidden, nullptr, ignoreNowObsolete, nullptr, nullptr,
                list);
    do_Int_Parm(nullptr, "msTaxa", kParamKeyword, kParamHidden, i32(gPars.msTaxa), 0, forceFullRepack,
                "uncertain\0polymorph\0variable\0", list);
}

void taxaDimensions(CmdParamList *list)  // set 27
{
    do_Int_Parm(nullptr, "ntax", kParamInt, 0, &bp.ntax, 0, nullptr, nullptr, list);
}

void charsDimensions(CmdParamList *list)  // set 28
{
    do_Int_Parm(nullptr, "nchar", kParamInt, 0, &bp.nchar, 0, nullptr, nullptr, list);
    do_Int_Parm(nullptr, "ntax", kParamInt, 0, &bp.ntax, 0, nullptr, nullptr, list);
    do_Bool_Parm(nullptr, "newTaxa", kParamBool, 0, &bp.newTaxa, 0, nullptr, nullptr, list);
}

void distDimensions(CmdParamList *list)  // set 29
{
    do_Int_Parm(nullptr, "ntax", kParamInt, 0, &bp.ntax, 0, nullptr, nullptr, list);
    do_Bool_Parm(nullptr, "newTaxa", kParamBool, 0, &bp.newTaxa, 0, nullptr, nullptr, list);
}

void distFormat(CmdParamList *list)  // set 30
{
    do_Int_Parm(nullptr, "labels", kParamKeywordOff, 0, i32(bp.labels), 0, nullptr,
                kLabelPositions, list);
    do_Int_Parm(nullptr, "triangle", kParamKeyword, kNonpersistent, i32(bp.triangle), 0, nullptr,
                "lower\0upper\0both\0", list);
    do_Bool_Parm(nullptr, "diagonal", kParamBool, kNonpersistent, &bp.diagonal, 0, nullptr,
                 nullptr, list);
    do_Bool_Parm(nullptr, "interleave", kParamBool, kNonpersistent, &bp.interleave, 0, nullptr,
                 nullptr, list);
    do_Int_Parm(nullptr, "missing", kParamChar, 0, &bp.distMissing, 0, nullptr, nullptr, list);
    do_Int_Parm(nullptr, "labelpos", kParamKeyword, kParamHidden, i32(bp.labels), 0, nullptr,
                kLabelPositions, list);
}

// The block commands' sets, 24 to 30; all of them for set 0.
void registerDataBlockOptionSets(uint32_t set, CmdParamList *list)
{
    const bool all = set == 0;
    if (all || set == kDataDimensionsSet)
        dataDimensions(list);
    if (all || set == kCharFormatSet)
        charFormat(list);
    if (all || set == kDataOptionsSet)
        dataOptions(list);
    if (all || set == kTaxaDimensionsSet)
        taxaDimensions(list);
    if (all || set == kCharsDimensionsSet)
        charsDimensions(list);
    if (all || set == kDistDimensionsSet)
        distDimensions(list);
    if (all || set == kDistFormatSet)
        distFormat(list);
}

}  // namespace

uint32_t traverseDataOptionSets(uint32_t set, CmdParamList *list)
{
    registerDataBlockOptionSets(set, list);
    // Sets 41-44: Delete, Undelete/Restore, Outgroup/Ingroup, TStatus. Set 0
    // registers every option once.
    if (set == 0) {
        // Restore's options are a subset of Delete's.
        for (uint32_t s : {kOptSetDelete, kOptSetOutgroup, kOptSetTStatus})
            registerTaxStatusOptions(s, list);
    } else if (set < kDataDimensionsSet || set > kDistFormatSet) {
        registerTaxStatusOptions(set, list);
    }
    return list->failed;
}
