// ToNEXUS: converts a file in a foreign matrix format into a NEXUS file. The
// active data set is never touched: an importer reads the foreign file as
// the active input and writes NEXUS text into a growable buffer, which is
// written to the output file in one piece only when the import succeeded.
#pragma once

#include <cstdint>
#include <string>

struct ResizText;

// One importer: appends NEXUS text for the active input; 0, or nonzero after
// reporting the error.
using ImporterFxn = int (*)(ResizText *text);

struct ImporterEntry {
    const char *keyword;
    ImporterFxn importer;  // null: not available in this version
    const char *displayName;
};
// Indexed by imprt.format.
extern const ImporterEntry ImporterTable[10];

// The ToNEXUS command; 0 or 1.
int importFile();

// "    Format datatype=...;" of a DATA block written by an importer, from the
// imprt settings; `symbols` are those of standard data.
int emitFormatCmd(ResizText *text, bool interleaved, const char *symbols);

int importPhylip(ResizText *text);
int importFasta(ResizText *text);
int importPIR(ResizText *text);
int importHennig(ResizText *text);
int importText(ResizText *text);
int importGCG(ResizText *text);
int importMega(ResizText *text);
int importFreqpars(ResizText *text);

// ---- Shared by the importers ------------------------------------------------

// Error 902: the foreign file cannot be read as `formatName`; returns 1.
int importRefused(const char *formatName);
// Error 114: the input ended inside a record; returns 1.
int importUnexpectedEnd();
// Error 910: a sequence differs in length from the first; returns 1.
int importLengthMismatch(const char *name, bool shorter);
// Error 308: symbol c cannot stand in taxon t's character k (both from 0);
// returns 1.
int importInvalidSymbol(int c, uint32_t t, uint64_t k);
// The lines of the active input, one at a time. The reader stays on the
// line it gave until the next is asked for, so that an error found in a line
// names that line.
class ForeignLines {
  public:
    // The next line without its line end: 0, or -1 at the end.
    int next(std::string &line);

  private:
    bool endPending_ = false;
};
// A name in a foreign file: one word ended by white space, every character
// kept, or a word in single quotes (a doubled quote stands for one). At most
// maxLength characters are kept. 0, -1 at the end of the input, or 1 after
// an error report.
int readForeignName(std::string &name, size_t maxLength);
// Foreign names are read up to this length; the NEXUS file holds at most
// kMaxLabelLength characters of each.
inline constexpr size_t kMaxForeignName = 1023;
// The NEXUS word of a foreign name. A name longer than a NEXUS file can
// hold is cut to kMaxLabelLength characters, with a warning the first time
// it is met; two names made equal by cutting are reported, and the
// conversion then fails (importedLabelsClash).
std::string importedLabel(const char *name);
// Starts the record of the cut names of one conversion.
void resetImportedLabels();
bool importedLabelsClash();
// Records the label of each taxon of the converted matrix, once per taxon,
// so that names the file gives more than once are pointed out.
void noteImportedTaxon(const std::string &label);
// Text from a foreign file or path that goes inside a NEXUS comment: its
// brackets are replaced, so that it can neither end the comment early nor
// open a nested one.
std::string commentSafe(std::string text);
