// The bytes of the active input that are already in memory, for readers
// that scan many characters at once instead of asking for them one by one:
// the rest of an in-memory document, or what a file's stream has buffered.
#pragma once

#include <cstddef>
#include <span>

#include "qel/qel_io.h"

class InputWindow {
public:
    // Over the active input; empty when it is not a document or a file
    // read in batch mode.
    InputWindow();

    // The raw bytes ahead, possibly none (at the end of a file's buffer:
    // the next character read one at a time refills it).
    std::span<const char> bytes() const;

    // Takes the first n bytes of bytes() as read. They must be characters
    // the input passes on unchanged and that end no line: tabs and bytes
    // 32 and up other than 127. Positions are kept as by readNextChar.
    void consume(size_t n);

private:
    InputStatus *in_ = nullptr;
    FILE *fp_ = nullptr;
};
