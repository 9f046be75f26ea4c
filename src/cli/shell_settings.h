// Settings of the Set command that the command loop, the block readers and
// every file writer consult: warnings before losing work, stopping on errors,
// and whether an output file is replaced or appended to.
#pragma once

#include <cstdint>

struct WarningSettings {
    uint8_t warnReset;    // ask before a data block replaces the data set
    uint8_t warnTree;     // ask before unsaved trees are replaced; also the implicit TAXA block
    uint8_t warnTSave;    // ask before Quit loses unsaved trees
    uint8_t warnBlkName;  // name the blocks that are skipped
    uint8_t warnRoot;
    uint8_t warnRedef;
    uint8_t warnTFileNoData;
};
extern WarningSettings wrng;

extern uint8_t gErrorStop;       // a failing command ends the file being executed
extern uint8_t gReplaceFile;     // an existing output file is replaced without asking
extern uint8_t gAppendToFile;    // ... or appended to
extern uint8_t gAllowEndAbbrev;  // "end" of a block may be abbreviated
