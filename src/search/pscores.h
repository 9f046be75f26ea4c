// The PScores command: parsimony lengths, compatibility and fit indices of
// the trees in memory, per tree and per character, to the main window and
// the tree-score file, and the parsimony tests comparing the trees.
//
// It lives with the search because the tree-score file, the score
// comparison and the temporary switch of criterion belong to this layer; the
// measures themselves come from the parsimony subsystem below.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "cli/option_sets.h"

struct DataInfo;
struct StreamInfo;

int doPScoresCmd();

// The start the tree-scoring commands (PScores, DScores, LScores) share:
// trees in memory, the minimum number of taxa for their rootedness, the
// tree list, then the command's options with the score-output choices at
// their per-command values. A score-file name counts only when this command
// names it; otherwise the remembered name is kept for the next command.
struct ScoreCmdRequest {
    const char *subject;  // "Calculating tree lengths for "
    OptionSet options;
    // Called just before the options are read (to clear what only this
    // command may set) and right after the options were read (parsed: they were read
    // without error), before the outcome is acted on; may be empty.
    std::function<void()> beforeOptions;
    std::function<void(bool parsed)> afterOptions;
    // The criterion whose scores the command computes, for the check that
    // it can score the trees as rooted or unrooted as they are; none when
    // the command makes its own.
    std::optional<uint32_t> criterion;
};
struct ScoreCmdStart {
    std::vector<uint32_t> trees;  // 0-based, the visible trees when no list was given
    bool fileNamed = false;       // a score file is to be written
    bool rooted = false;
};
// 0 go on; 1 after an error report; -1 the user left the options (the
// command returns 0).
int startScoreCmd(const DataInfo *d, const ScoreCmdRequest &request, ScoreCmdStart &start);

// Opens a score (or other result) file through the stream layer, so that a
// replaced file takes the old one's place only once it is complete; honours
// the shared replace and append flags, and otherwise asks before replacing
// an existing file (replaces unasked where no one can answer). Null after
// an error report, or when the user declined: *status then says which
// (2 declined, 1 failed).
StreamInfo *openScoreFile(const char *name, int *status = nullptr);
// Puts a score file opened by openScoreFile in place and frees the stream;
// 0 when written, else 1 after reporting the error.
int closeScoreFile(StreamInfo **stream);
