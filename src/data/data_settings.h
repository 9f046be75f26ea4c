// Settings of NEXUS input, of character-matrix display and of data storage,
// and the option records of the commands that describe, weight, exclude and
// exchange character data, as the option table binds them.
#pragma once

#include <cstdint>

#include "cli/qel_cmdoptions.h"

struct Nexset;

enum : uint32_t { kAllDigitProhibit = 0, kAllDigitWarn = 1, kAllDigitNoWarn = 2 };

struct NexusOptions {
    uint32_t allDigLab;    // kAllDigit*: all-digit taxon and character names
    uint8_t allowPunct;    // only ";" ends a label
    uint8_t nexusBlocks;   // 0 one DATA block, 1 TAXA and CHARACTERS blocks
    uint8_t taxlabMatch;   // 0 relaxed, 1 strict
    uint8_t underscores;   // 0 convert to blanks, 1 keep
    uint8_t dotPlot;       // partitions and rate sets shown as a grid of dots
};
extern NexusOptions nexOpt;

struct CharMatrixFormat {
    uint8_t showExcluded;
    uint8_t cmLabels;     // character labels in the heading
    uint8_t cmShowEq;     // equate symbols for ambiguous cells
    uint8_t cmCstatus;    // a row of character status
    int32_t cmColWidth;   // columns per character
};
extern CharMatrixFormat cmFmt;

// cmColWidth spaces the cells of a row: keep a few cells on any line.
inline constexpr int32_t kMaxCharMatrixColWidth = 64;

struct DataParams {
    uint8_t dataStorage;  // 0 full, 1 compact (site patterns)
};
extern DataParams dataParam;

// ---- Assumptions ---------------------------------------------------------------

// Assume: the names of the type, weight and exclusion sets to apply.
extern char typesetTag[kParamStringSize];
extern char wtsetTag[kParamStringSize];
extern char exsetTag[kParamStringSize];

// OPTIONS of an ASSUMPTIONS block: the default character type, a name of
// stdTypes, and how polymorphic taxa count in parsimony.
extern char defTypeStr[kParamStringSize];
enum : uint32_t { kPolyTcountMinSteps = 0, kPolyTcountMaxSteps = 1 };
extern uint32_t gPolyTcount;

// The "defType" callback: an unknown type name is error 401; the setting
// goes back to "unord" and the options are refused.
int checkDeftype(CmdParam *option);

// SaveAssum: the file the assumptions are written to.
extern char settingsFlnam[kParamPathSize];

// Reweight: the fit index that becomes each character's weight.
enum : uint32_t { kRewtIndexRC = 0, kRewtIndexCI = 1, kRewtIndexRI = 2 };
enum : uint32_t { kRewtFitMaximum = 0, kRewtFitMinimum = 1, kRewtFitMean = 2 };
struct ReweightOptions {
    uint32_t index;     // kRewtIndex*
    uint32_t fit;       // kRewtFit*: how the values over the trees combine
    double baseWt;      // 1.0: real weights in 0..1; else the scale of integer weights
    uint8_t truncate;   // cut instead of rounding integer weights
    uint8_t minForFit;  // 0 range, 1 minLength
};
extern ReweightOptions rewt;

// The weight state of the Weights command and the weight flags of the data.
struct CharWeightState {
    Nexset *prevWtset;      // the weight set current before Weights ran
    double maxWt;           // largest weight of an included non-constant character
    double baseWt;          // "baseWt" of the "scale" form
    int32_t decimals;       // decimal places for weight display
    uint8_t patWtsInvalid;  // the pattern weights must be recomputed
    uint8_t notWhole;       // some weight is not a whole number
    uint8_t notOne;         // some weight differs from 1
};
extern CharWeightState charWts;

// CStatus.
struct CStatusOptions {
    uint8_t full;      // list every character
    uint8_t excluded;  // 0 show, 1 hide excluded characters in the list
};
extern CStatusOptions cstOpt;

// MissData.
struct MissDataOptions {
    Nexset *partition;  // character partition whose subsets are checked; null: none
    uint8_t exclude;    // exclude the subsets that miss the threshold
    double threshold;   // percentage of non-missing cells a taxon needs
    uint8_t output;     // 0 full, 1 cstatusOnly
};
extern MissDataOptions missdOpt;

// ---- File exchange -------------------------------------------------------------

// ToNEXUS, and the "!Format" header of a MEGA file that it reads.
enum : uint32_t {
    kImportPhylip = 0, kImportRelPhylip, kImportFasta, kImportHennig86, kImportTabText,
    kImportText, kImportGCG, kImportMega, kImportPIR, kImportFreqPars
};
enum : uint32_t {
    kImportNucleotide = 0, kImportProtein, kImportRestSite, kImportStandard, kImportDistance
};
enum : uint32_t { kDmatrixLower = 0, kDmatrixDiagLower, kDmatrixFull };
enum : uint32_t { kMegaDna = 0, kMegaRna, kMegaNucleotide, kMegaProtein };
struct ImportOptions {
    uint32_t format;                // kImport*: the importer
    char fromFile[kParamPathSize];  // the foreign file
    char toFile[kParamPathSize];    // the NEXUS file written
    uint32_t dataType;              // kImportNucleotide...
    uint8_t interleaved;
    uint32_t dmatrix;               // kDmatrix*
    int32_t gapSymbol;
    int32_t missSymbol;
    int32_t identSymbol;            // a cell identical to the first taxon's
    // Read from a MEGA header.
    uint32_t megaDataType;          // kMega*
    int32_t megaNtax;
    int32_t megaNsites;
    uint8_t equateMissing;
    char megaIgnored[kParamStringSize];  // codeTable and property: read, not used
};
extern ImportOptions imprt;

// The "dataType" callback of ToNEXUS: "DNA" is read as "nucleotide".
int foldImportDnaType(CmdParam *option);

// Export.
enum : uint32_t {
    kExportPhylip = 0, kExportRelPhylip, kExportFasta, kExportHennig, kExportTabText,
    kExportText, kExportNexus, kExportMega, kNumExportFormats
};
enum : uint32_t { kLineBreakNative = 0, kLineBreakMac, kLineBreakDos, kLineBreakUnix };
struct ExportOptions {
    uint32_t format;          // kExport*
    FilenameParamState file;  // the output file; its default follows the format
    uint32_t lineBreaks;      // kLineBreak*
    uint8_t interleaved;
    int32_t charsPerLine;     // 0: all on one line
    uint32_t mstaxaHennig;    // 0 BinCode, 1 Missing
    uint32_t unordPhylip;     // 0 Exclude, 1 Unmodified
    uint32_t ordPhylip;       // 0 Exclude, 1 BinCode, 2 Unmodified
    uint8_t translateToAA;    // translate codons into amino acids
};
extern ExportOptions exprt;

// The extension of an Export format's file (".phy", ".fas"...).
const char *exportFormatExtension(uint32_t format);
// The "file" option of Export: a file name whose default extension is the
// one of the format chosen.
int getExportFlnam(int operation, CmdParam *option, void *place);

// ---- Genetic codes and DNA recoding ------------------------------------------

struct GenCodeOptions {
    char genCode[kParamStringSize];  // a name of the genetic-code table
    uint8_t showGenCode;             // print the code in effect
    uint8_t showFreq;                // ModProject: print the codon frequencies
};
extern GenCodeOptions genCodeOpt;

// The names of the genetic codes, in table order.
inline constexpr uint32_t kNumGenCodes = 13;
inline constexpr const char *kGenCodeNames[kNumGenCodes] = {
    "standard", "vertMito", "yeastMito", "invertMito", "altYeast", "ncbi4", "ncbi6",
    "ncbi9",    "ncbi10",   "ncbi13",    "ncbi14",     "ncbi16",   "ncbi21"};
// Index of a genetic code by its full name, case ignored; an unknown name is
// reported and gives -1.
int codeNameToNum(const char *name);
uint32_t getGenCodeTableSize();
const char *genCodeName(uint32_t index);
// The "genCode" callback: refuses a name codeNameToNum does not know.
int checkGenCodeName(CmdParam *option);

// The DNA recoding schemes, as a keyword list.
extern const char gRecodeDnaSchemes[];
enum : uint32_t { kRecodeRY = 0, kRecodeDeg13, kRecodeDegFull, kRecodeDegRY, kRecodeMedrick };
struct DnaRecodeOptions {
    uint32_t scheme;       // kRecode*
    uint8_t showMappings;  // print the table of mappings
};
extern DnaRecodeOptions dnaRecOpt;

// NSFilter: the likelihood-ratio threshold and the percentage of sites above
// which sites are excluded; both 0 means report only.
extern double gBruvantThresh;
extern double gBruvantPct;
