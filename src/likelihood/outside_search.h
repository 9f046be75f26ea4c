// RAxMLSearch and GarliSearch: the active DNA data and the current model
// handed to an outside maximum-likelihood search program, run in a
// temporary directory, and its trees read back into the main tree buffer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct DataInfo;
struct Model;

// The handlers: 0, 1 after an error, 2 when interrupted.
int doRaxmlCmd();
int doGarliCmd();

// Labels for a program that splits names at blanks and punctuation: each
// taxon's label with every character other than a letter, digit, "_", "."
// or "-" made "_", kept whole and made unique (case ignored) by a suffix.
std::vector<std::string> outsideProgramLabels(const std::vector<std::string> &labels);

// The included characters of the active taxa: PHYLIP for RAxML (labels as
// given, padded), or NEXUS with a garli block for GARLI. 0, or 1 after an
// error report.
int writeDataForRaxmlOrGarli(const DataInfo *d, const std::string &path, bool nexus,
                             const std::vector<std::string> &labels);

// "cd <directory> && <command>": the program runs where its files are.
std::string writeChangeToTempDirString(const std::string &command, const std::string &directory);

// The RAxML model options for a nucleotide model (" -m GTRGAMMAIX ... --HKY85"),
// with the notes on what RAxML does differently printed. 1 after an error
// report (models RAxML cannot run).
int raxmlModelOptions(const Model *m, int32_t nst, std::string &options);

// The model lines of the configuration file; 1 after an error report.
int writeGarliModel(const Model *m, std::string &out);
// The model line of the data file's garli block.
std::string writeModelToGarliBlock(const Model *m);

// Increasing numbers as ranges: "1-3, 7, 9-12" (a NEXUS list with the
// separator " ").
std::string characterRanges(const std::vector<uint32_t> &numbers, const char *separator = ", ");
