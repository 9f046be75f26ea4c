// Scores under the current optimality criterion: the comparison installed for
// the criterion, validity, formatting into text, the temporary criterion
// switch, and the name of the shared tree-score file.
//
// Every score is minimised; 1e37 is "no score" and prints "-", 9e36 is
// infinity and prints "Inf".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "search/search_settings.h"

struct DataInfo;

inline constexpr double kNoScoreValue = 1e37;
inline constexpr double kInfiniteScore = 9e36;
inline constexpr double kLowestScore = -1e37;

// -1 when a is better (smaller), 0 when equal within the criterion's
// tolerance, 1 when worse.
using CompareScoresFxn = int (*)(double a, double b);
extern CompareScoresFxn gCompareScoresFxn;
extern bool gScoresAreFlt;

void setCompareScoresFxn(uint32_t criterion);
int compareParsimonyScores(double a, double b);
int compareLikelihoodScores(double a, double b);
int compareDistanceScores(double a, double b);
// The relative tolerance of likelihood comparisons (the likelihood settings
// own it; they push it here when it changes).
void setLikelihoodRelTolerance(double tolerance);
inline int compareScores(double a, double b) { return gCompareScoresFxn(a, b); }

// The criterion-dependent state of this unit, reset on every criterion
// change; installSearchCriterionHook registers it with the criterion setter
// (once; 1 when the hook table is full).
void resetScoresForCriterion(uint32_t criterion);
int installSearchCriterionHook();
// Weights, exclusions and scoring settings decide whether parsimony scores
// are real-valued; the parsimony preparation reports each change through
// this hook, so that comparisons use the tolerance from then on.
void installScoreTypeHook();
// Every entry point the search subsystem offers to the layers below it: the
// criterion hook above, and the criterion the character-status commands
// report and prepare for. 0, or 1 when a slot was already taken.
int installSearchHooks();

bool criterionIsRealValued(uint32_t criterion);
bool areScoresFlt();
void setFltScore(uint32_t criterion);
bool isScoreValid(double s);
double getBaseScore(const DataInfo *data, bool wanted);

// A temporary switch of criterion (e.g. to distance while an NJ tree is
// built); returns the criterion to give back to restoreOriginalOptCrit.
uint32_t tempResetOptCrit(uint32_t criterion);
void restoreOriginalOptCrit(uint32_t old);

bool criterionSpecifiesRootedTrees(const DataInfo *data);
// Whether criterion c (kCriterionCurrent: the one in force) can score the
// trees in memory as rooted or unrooted as they are: 0, else nonzero after
// the error (none when the character status could not be brought up to date,
// which has reported its own).
int checkCritRootedness(bool treesRooted, uint32_t criterion);
// The criterion name with the parsimony variant in effect.
char *makeFullCriterionString(char *buffer, size_t size);

// Formatting: texts are at most kScoreBufSize - 1 characters.
inline constexpr size_t kScoreBufSize = 64;
std::string intScoreToStr(int32_t n);
std::string fltScoreToStr(int width, int decimals, double s);
double set_cutoff_for_e(double v);
double set_cutoff_for_0(double v);
void set_suppress_e_format(bool on);
int nDecimalsForCriterion(uint32_t criterion, int width, double s);
std::string scoreToString(uint32_t criterion, int width, int decimals, double s);
std::string treeScoreToString(int width, double s);
// A bound the user gave (a Keep score, an upper bound) in the form of the
// scores: unlike a score it may lie outside their range (a positive Keep
// under a fit stored as negative numbers), and is printed all the same.
std::string boundToString(double s);
std::string treeLengthToString(double len);
std::string brLenToString(uint32_t criterion, int width, int decimals, double v);
uint32_t getColumnWidth(int decimals, uint32_t minWidth, double s);

// The tree-score file shared by the score and search commands.
// The tree-score file settings (sfopt) are in search_settings.h.
void initScoreFilename(const char *value);
void setDefaultScoreFilename();
const char *getDefaultScoreFilename();
int closeScorefile();
