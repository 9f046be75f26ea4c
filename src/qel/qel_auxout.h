// The auxiliary output stream: the one buffered writer through which every
// file writer of the program writes (tree files, matrices, score tables).
//
// A writer opens a file as an AuxOut, which becomes the active stream, writes
// with the aux* operations (which all work on the active stream) and closes
// it. The first failed write is recorded and reported once, the file is
// closed at once, and every later write to that stream is dropped; the close
// then returns nonzero. Because the failure has already been reported, the
// writer only needs to act on the nonzero result, not report it again.
#pragma once

#include <cstdint>

#include "qel/qel_io.h"

inline constexpr uint32_t kAuxBufferChunk = 2048;
// Error codes besides a system error number.
inline constexpr uint32_t kAuxErrorUnknown = 0xFFFFFFFF;                  // write failed without errno
inline constexpr uint32_t kAuxErrorNoMemory = static_cast<uint32_t>(-999);  // buffer could not grow
inline constexpr uint32_t kAuxErrorAborted = static_cast<uint32_t>(-998);   // abandoned on an interrupt

struct AuxOut {
    uint32_t errorCode;  // 0 while every write succeeded
    char *buffer;
    uint32_t capacity;  // a multiple of kAuxBufferChunk
    uint32_t fill;
    StreamInfo *stream;
    // Drop backspaces and start each line after a newline with the
    // console's current indentation, so console-shaped text reads well in
    // a file.
    uint8_t watch010;
    uint8_t atLineStart;
    // A file whose every flushed part is whole in itself (a table flushed
    // row by row) is kept at its close even when an interrupt is pending:
    // abandoning it would throw away finished rows, not a fragment.
    uint8_t keepOnInterrupt;
};

extern AuxOut *gAux;  // the active stream, or null

AuxOut *createAuxOut(StreamInfo *stream);
// Opens through openOutputStream (which asks before replacing an existing
// file unless replace or append is set). Null when the open fails or the
// record cannot be made; the open failure has been reported. A command that
// stops there returns *status: 2 (stopped by the user) when the user
// declined to replace the file, else 1.
AuxOut *openAuxOutStream(const char *fileName, bool replace, bool append, int *status = nullptr);
// As openAuxOutStream, but the active stream stays as it was: for a file
// opened before the work whose results it will hold, so that a path that
// cannot be written ends a command before the work.
AuxOut *openInactiveAuxOutStream(const char *fileName, bool replace, bool append, int *status = nullptr);
// Writes out the buffer, closes the file, frees the record and clears the
// active stream. 0 when everything reached the file; otherwise nonzero (the
// recorded error code, or 1 when the close itself failed). A file written
// from scratch replaces the old one only here, and only when every write
// succeeded and no interrupt is pending (unless keepOnInterrupt is set);
// otherwise the old file is left as it was (an append is cut back to its old
// length).
int closeAuxOutStream(AuxOut *aux);
// Gives up the file of a writer that failed before it was complete: nothing
// buffered is written, the old file stays as it was (a new file is not
// made, an append is cut back), and the record is freed. Nothing is reported.
void discardAuxOutStream(AuxOut *aux);
AuxOut *destroyAuxOut(AuxOut *aux);  // frees without writing or closing

// Buffered output to a stream the caller keeps: a static record is used.
// 1 when the buffer cannot be allocated (no stream is then active).
int auxBeginOutput(StreamInfo *stream);
// Writes out and closes the caller's stream (nulling the variable); 0 when
// everything reached the file, nonzero otherwise; 0 when no stream is active.
int auxEndOutput(StreamInfo **streamPtr);

AuxOut *setActiveAuxOut(AuxOut *aux);  // returns the previously active one
std::string auxPathnameForDisplay(const AuxOut *aux, uint32_t maxLength);
std::string activeAuxPathnameForDisplay();
void auxSetWatch010(bool flag);
bool auxFileError();

void auxPutc(int c);
void auxPuts(const char *text);
void auxPutInt(int32_t value);
void auxPutNewline();
// Each text in turn up to the null, stopping at the first recorded error.
void auxMPuts(const char *text, ...) __attribute__((sentinel));
// Formats the whole text, however long (a row of a wide matrix or a tree
// description can run to many kilobytes); returns its length.
int auxPrintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
// "#NEXUS" header, only when the file is still empty.
void auxPutNEXUS();
// Writes out the buffer, first growing it to hold `roomNeeded` bytes; with
// `flush` the file is flushed too. 0 on success, 1 when an error is recorded.
int auxFlushBuffer(uint32_t roomNeeded, bool flush);
