// The matrix display: the data matrix (ShowMatrix) and the state sets of
// reconstructions and ancestors, in pages of characters that fit the output
// width, one character a column, with multistate cells written down their
// column.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "data/vorn_data.h"

enum class MatrixMode : uint32_t {
    Data = 1,      // the active taxa
    Internal = 2,  // the internal nodes of a tree
    Both = 3,      // taxa, then internal nodes
    MprSets = 4,   // the MPR sets of the internal nodes
    Ancestor = 5,  // the current ancestral-states vector
};

struct MatrixDisplayRow {
    std::string label;
    int32_t taxon = -1;  // active index of a taxon row; -1 for a node or the ancestor
};

struct MatrixDisplay {
    MatrixMode mode = MatrixMode::Data;
    // Cells come from the data set, whose excluded characters ShowMatrix can show.
    bool fromData = false;
    std::string ancestorName;  // the title of MatrixMode::Ancestor
    std::vector<MatrixDisplayRow> rows;
    // The state set of a cell of a row that is not a taxon.
    std::function<uint64_t(size_t row, uint32_t c)> states;
};

// The printer; 0, or 2 when the user aborted.
int showMatrixOutputProc(const MatrixDisplay &m, const DataInfo *d);
// The data matrix (fromData: the ShowMatrix options are read first) or the
// ancestor; 0, 1 or 2.
int showDataMatrix(MatrixMode mode, bool fromData);

int doShowMatrixCmd();
// ShowAnc [name]: the current (or named) ancestral-states vector.
int doShowAncStatesCmd();
