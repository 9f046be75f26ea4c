#include "data/data_settings.h"

#include "data/charstat.h"
#include "data/data_services.h"
#include "data/nexsets.h"
#include "data/vorn_memory.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_strings.h"

NexusOptions nexOpt = {kAllDigitWarn, 0, 0, 1, 0, 0};
CharMatrixFormat cmFmt = {0, 0, 1, 0, 1};
DataParams dataParam = {1};

char typesetTag[kParamStringSize];
char wtsetTag[kParamStringSize];
char exsetTag[kParamStringSize];
char defTypeStr[kParamStringSize] = "unord";
uint32_t gPolyTcount = kPolyTcountMaxSteps;
char settingsFlnam[kParamPathSize];

ReweightOptions rewt = {kRewtIndexRC, kRewtFitMaximum, 1.0, 0, 0};
CharWeightState charWts = {nullptr, 1.0, 1.0, 0, 0, 0, 0};
CStatusOptions cstOpt = {0, 0};
MissDataOptions missdOpt = {nullptr, 0, 90.0, 0};

ImportOptions imprt = {.format = kImportRelPhylip, .fromFile = {}, .toFile = {},
                       .dataType = kImportNucleotide, .interleaved = 0, .dmatrix = kDmatrixLower,
                       .gapSymbol = '-', .missSymbol = '?', .identSymbol = '.',
                       .megaDataType = kMegaNucleotide, .megaNtax = 0, .megaNsites = 0, .equateMissing = 0,
                       .megaIgnored = {}};
ExportOptions exprt = {.format = kExportRelPhylip, .file = {}, .lineBreaks = kLineBreakNative,
                       .interleaved = 0, .charsPerLine = 100, .mstaxaHennig = 0,
                       .unordPhylip = 0, .ordPhylip = 1, .translateToAA = 0};
GenCodeOptions genCodeOpt = {"standard", 1, 1};
const char gRecodeDnaSchemes[] = "RY\0deg13\0degFull\0degRY\0medrick\0";
DnaRecodeOptions dnaRecOpt = {kRecodeRY, 1};
double gBruvantThresh = 0.0;
double gBruvantPct = 0.0;

namespace {

// A new default type applies at once to every character of the active data
// set, which no longer follows any typeset then.
void installDefaultType(const StdType &type)
{
    if (type.code == defaultCharTypeCode())
        return;
    setDefaultCharType(type.name, type.code);
    dataServices().setNeedParsPrep(3);
    DataInfo *d = activeDataInfo();
    if (!d || !d->status)
        return;
    setDefltCharType(nullptr, d, type.name);
    gNexsets.curTypeset = nullptr;
}

}  // namespace

int checkDeftype(CmdParam *option)
{
    auto *name = static_cast<char *>(option->variable);
    for (const StdType &t : stdTypes)
        if (stricmp(t.name, name) == 0) {
            installDefaultType(t);
            return 0;
        }
    // The refusal makes the option reader put back the previous value, so
    // the characters keep the types they have.
    qel_errorMsg(401, "Unknown type \"%s\" specified for 'DefType'.", name);
    strcpy_n(name, "unord", kParamStringSize);
    return 1;
}

// Keyword lists cannot carry an alias of value 0, so "DNA" is read as the
// value just past the listed ones and folded onto "nucleotide" here.
int foldImportDnaType(CmdParam *option)
{
    auto *value = static_cast<uint32_t *>(option->variable);
    if (*value > kImportDistance)
        *value = kImportNucleotide;
    return 0;
}

const char *exportFormatExtension(uint32_t format)
{
    static constexpr const char *kExtensions[kNumExportFormats] = {
        ".phy", ".phy", ".fas", ".hng", ".txt", ".txt", ".nex", ".meg"};
    return format < kNumExportFormats ? kExtensions[format] : ".txt";
}

int getExportFlnam(int operation, CmdParam *option, void *place)
{
    setFilenameDefaultExt(option, exportFormatExtension(exprt.format));
    return handleFilenameCmdParam(operation, option, place);
}

int codeNameToNum(const char *name)
{
    for (uint32_t i = 0; i < kNumGenCodes; ++i)
        if (stricmp(kGenCodeNames[i], name) == 0)
            return static_cast<int>(i);
    qel_errorMsg(0,
                 "Genetic code '%s' is not defined.\tMake sure you have spelled the code name "
                 "correctly (abbreviation is not allowed).",
                 name);
    return -1;
}

uint32_t getGenCodeTableSize() { return kNumGenCodes; }

const char *genCodeName(uint32_t index) { return index < kNumGenCodes ? kGenCodeNames[index] : ""; }

int checkGenCodeName(CmdParam *option)
{
    return codeNameToNum(static_cast<const char *>(option->variable)) < 0 ? 1 : 0;
}
