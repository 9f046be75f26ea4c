#include "qel/qel_auxout.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "qel/qel_errormsg.h"
#include "qel/qel_files.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "qel/qel_output.h"

AuxOut *gAux = nullptr;

namespace {

AuxOut gBeginRecord = {};  // the record of auxBeginOutput

uint32_t errnoOrUnknown()
{
    return errno != 0 ? static_cast<uint32_t>(errno) : kAuxErrorUnknown;
}

// Ends the file of a stream without the stream layer's own error report,
// keeping the stream record: the aux layer reports a failure itself, once.
// With `keep` false what was written is abandoned and the old file stays.
// Returns 0 or the error code.
uint32_t closeFileQuietly(StreamInfo *stream, bool keep)
{
    if (!stream || !stream->fp)
        return 0;
    const int err = finishStreamFile(stream, keep);
    return err == 0 ? 0 : err < 0 ? kAuxErrorUnknown : static_cast<uint32_t>(err);
}

// Records the first error of a stream and reports it; a later error of the
// same stream is neither recorded nor reported. A buffer that could not
// grow has been reported by the allocator.
void recordError(AuxOut *aux, uint32_t code)
{
    if (aux->errorCode != 0)
        return;
    aux->errorCode = code;
    if (code != kAuxErrorNoMemory) {
        const int errnum = code == kAuxErrorUnknown ? 0 : static_cast<int>(code);
        showFileError(errnum, auxPathnameForDisplay(aux, 255).c_str());
    }
}

// After a failure nothing more can reach the file: give the buffer back and
// close the file now, so that a long writer does not keep a dead file open.
void abandonStream(AuxOut *aux, uint32_t code)
{
    recordError(aux, code);
    aux->buffer = static_cast<char *>(deallocBlock(aux->buffer));
    aux->capacity = 0;
    aux->fill = 0;
    closeFileQuietly(aux->stream, false);
}

bool growBuffer(AuxOut *aux, uint32_t roomNeeded)
{
    const uint64_t chunks = (static_cast<uint64_t>(roomNeeded) + kAuxBufferChunk - 1) / kAuxBufferChunk;
    const uint64_t newCapacity = chunks * kAuxBufferChunk;
    void *p = aux->buffer;
    if (newCapacity > UINT32_MAX || reallocBlock(&p, newCapacity) != 0) {
        recordError(aux, kAuxErrorNoMemory);
        return false;
    }
    aux->buffer = static_cast<char *>(p);
    aux->capacity = static_cast<uint32_t>(newCapacity);
    return true;
}

int flushAux(AuxOut *aux, uint32_t roomNeeded, bool flush)
{
    if (aux->errorCode != 0)
        return 1;
    if (roomNeeded > aux->capacity && !growBuffer(aux, roomNeeded))
        return 1;
    if (!aux->stream || !aux->stream->fp) {
        abandonStream(aux, kAuxErrorUnknown);
        return 1;
    }
    FILE *fp = aux->stream->fp;
    errno = 0;
    const size_t written = aux->fill ? std::fwrite(aux->buffer, 1, aux->fill, fp) : 0;
    if (written != aux->fill || std::ferror(fp) || (flush && std::fflush(fp) != 0)) {
        abandonStream(aux, errnoOrUnknown());
        return 1;
    }
    aux->fill = 0;
    return 0;
}

void putRawChar(AuxOut *aux, char c)
{
    if (aux->fill >= aux->capacity && flushAux(aux, 1, false) != 0)
        return;
    aux->buffer[aux->fill++] = c;
}

// Console-shaped text: backspaces dropped, each line after a newline
// indented as the console currently is.
void putWatched(AuxOut *aux, const char *text)
{
    for (const char *p = text; *p && aux->errorCode == 0; ++p) {
        if (*p == '\b')
            continue;
        if (aux->atLineStart) {
            aux->atLineStart = 0;
            for (int n = indentOutput(0); n > 0 && aux->errorCode == 0; --n)
                putRawChar(aux, ' ');
        }
        putRawChar(aux, *p);
        if (*p == '\n')
            aux->atLineStart = 1;
    }
}

bool initRecord(AuxOut *aux, StreamInfo *stream)
{
    *aux = AuxOut{};
    aux->buffer = static_cast<char *>(allocBlock(kAuxBufferChunk));
    if (!aux->buffer)
        return false;
    aux->capacity = kAuxBufferChunk;
    aux->stream = stream;
    return true;
}

// Writes out what is buffered and closes the file; 0 when all of it
// reached the file. A write the user interrupted (or a termination signal
// stopped) is abandoned rather than left as a fragment: the file keeps what
// it held before, and the result is nonzero.
int finishRecord(AuxOut *aux)
{
    if (aux->errorCode == 0 && !aux->keepOnInterrupt && getAbortedStatus() != 0) {
        aux->errorCode = kAuxErrorAborted;
        closeFileQuietly(aux->stream, false);
        showWriteLeftAsItWas(auxPathnameForDisplay(aux, 255).c_str());
    }
    if (aux->errorCode == 0)
        flushAux(aux, 0, false);
    const uint32_t closeError = closeFileQuietly(aux->stream, aux->errorCode == 0);
    if (closeError != 0)
        recordError(aux, closeError);
    aux->buffer = static_cast<char *>(deallocBlock(aux->buffer));
    return aux->errorCode != 0 ? 1 : 0;
}

}  // namespace

AuxOut *createAuxOut(StreamInfo *stream)
{
    auto *aux = static_cast<AuxOut *>(allocBlock(sizeof(AuxOut)));
    if (!aux || !initRecord(aux, stream)) {
        deallocBlock(aux);
        gAux = nullptr;
        return nullptr;
    }
    gAux = aux;
    return aux;
}

AuxOut *openAuxOutStream(const char *fileName, bool replace, bool append, int *status)
{
    StreamInfo *stream = nullptr;
    const int opened = openOutputStream(fileName, replace, append, &stream);
    if (status)
        *status = opened == kOpenDeclined ? 2 : 1;
    if (opened != kOpenOK)
        return nullptr;
    AuxOut *aux = createAuxOut(stream);
    if (!aux)
        closeStream(&stream);
    return aux;
}

AuxOut *openInactiveAuxOutStream(const char *fileName, bool replace, bool append, int *status)
{
    AuxOut *previous = setActiveAuxOut(nullptr);
    AuxOut *aux = openAuxOutStream(fileName, replace, append, status);
    setActiveAuxOut(previous);
    return aux;
}

int closeAuxOutStream(AuxOut *aux)
{
    if (!aux)
        return 0;
    const int result = finishRecord(aux);
    closeStream(&aux->stream);  // the file is closed: this frees the record only
    if (gAux == aux)
        gAux = nullptr;
    deallocBlock(aux);
    return result;
}

void discardAuxOutStream(AuxOut *aux)
{
    if (!aux)
        return;
    discardStream(&aux->stream);
    destroyAuxOut(aux);
}

AuxOut *destroyAuxOut(AuxOut *aux)
{
    if (aux) {
        if (gAux == aux)
            gAux = nullptr;
        deallocBlock(aux->buffer);
        deallocBlock(aux);
    }
    return nullptr;
}

int auxBeginOutput(StreamInfo *stream)
{
    if (!initRecord(&gBeginRecord, stream)) {
        gAux = nullptr;
        return 1;
    }
    gAux = &gBeginRecord;
    return 0;
}

int auxEndOutput(StreamInfo **streamPtr)
{
    AuxOut *aux = gAux;
    if (!aux)
        return 0;
    int result = finishRecord(aux);
    // The caller's variable is the only owner of the stream record: a
    // failed write closed the file but left the record for this close.
    if (streamPtr && *streamPtr != aux->stream)
        result |= closeStream(streamPtr);
    closeStream(&aux->stream);
    if (streamPtr)
        *streamPtr = nullptr;
    gAux = nullptr;
    return result;
}

AuxOut *setActiveAuxOut(AuxOut *aux)
{
    AuxOut *previous = gAux;
    gAux = aux;
    return previous;
}

std::string auxPathnameForDisplay(const AuxOut *aux, uint32_t maxLength)
{
    // The stream layer would fall back to the active input for a null stream.
    if (!aux || !aux->stream)
        return "(none)";
    return streamPathnameForDisplay(aux->stream, maxLength);
}

std::string activeAuxPathnameForDisplay() { return auxPathnameForDisplay(gAux, 255); }

void auxSetWatch010(bool flag)
{
    if (gAux)
        gAux->watch010 = flag;
}

bool auxFileError() { return gAux && gAux->errorCode != 0; }

int auxFlushBuffer(uint32_t roomNeeded, bool flush)
{
    return gAux ? flushAux(gAux, roomNeeded, flush) : 1;
}

void auxPutc(int c)
{
    if (!gAux || gAux->errorCode != 0)
        return;
    const char ch = static_cast<char>(c);
    if (gAux->watch010) {
        const char text[2] = {ch, '\0'};
        if (ch != '\0')
            putWatched(gAux, text);
        return;
    }
    putRawChar(gAux, ch);
}

void auxPuts(const char *text)
{
    AuxOut *aux = gAux;
    if (!aux || aux->errorCode != 0 || !text)
        return;
    if (aux->watch010) {
        putWatched(aux, text);
        return;
    }
    const size_t len = std::strlen(text);
    if (len >= UINT32_MAX - kAuxBufferChunk) {
        recordError(aux, kAuxErrorNoMemory);
        return;
    }
    if (aux->fill + len >= aux->capacity && flushAux(aux, static_cast<uint32_t>(len + 1), false) != 0)
        return;
    std::memcpy(aux->buffer + aux->fill, text, len);
    aux->fill += static_cast<uint32_t>(len);
}

void auxPutInt(int32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    auxPuts(text);
}

void auxPutNewline() { auxPutc('\n'); }

void auxMPuts(const char *text, ...)
{
    va_list args;
    va_start(args, text);
    for (const char *t = text; t && !auxFileError(); t = va_arg(args, const char *))
        auxPuts(t);
    va_end(args);
}

int auxPrintf(const char *format, ...)
{
    char small[1024];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return n;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        va_end(again);
        auxPuts(small);
        return n;
    }
    std::vector<char> large(static_cast<size_t>(n) + 1);
    std::vsnprintf(large.data(), large.size(), format, again);
    va_end(again);
    auxPuts(large.data());
    return n;
}

void auxPutNEXUS()
{
    if (!gAux || gAux->errorCode != 0 || !gAux->stream || !gAux->stream->fp)
        return;
    // Text still in either buffer means the file is not empty.
    if (gAux->fill == 0 && std::fflush(gAux->stream->fp) == 0 && getFileSize(gAux->stream->fp) == 0)
        auxPuts("#NEXUS \n");
}
