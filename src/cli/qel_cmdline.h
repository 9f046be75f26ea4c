// The NEXUS tokenizer: everything the program reads (typed commands, files,
// texts handed over by the scripting layer) is turned into words here. Around
// the core sit the small readers every command uses, the interactive
// command-line buffer that feeds typed lines to the input layer, and the
// dispatcher that runs the commands of a NEXUS block through a table.
#pragma once

#include <array>
#include <cstdint>

#include "qel/qel_io.h"

// ---- Settings ---------------------------------------------------------------

struct ParserSettings {
    uint8_t keepUnderscores;         // off: "_" inside a plain word reads as a blank
    uint8_t showVisibleComments;     // "[!...]" comments are printed
    uint8_t parsingNexusBlock;       // a NEXUS block is being read
    uint8_t nexusMode;               // selects the end-of-file message, with the above
    uint8_t recognizeNexusComments;  // "[" starts a comment wherever words are read
    const char *stdPunct;
    const char *numericPunct;  // without + and -, for signed numbers
    const char *stdWhitespace;
};
extern ParserSettings gSettings;

int qel_initializeParser(bool nexusMode);
// Sets NEXUS mode, comment recognition and visible comments together; returns
// the previous NEXUS mode.
bool setNexusMode(bool on);
bool setKeepUnderscores(bool on);
bool setShowVisibleComments(bool on);
bool setRecognizeNexusComments(bool on);
bool setParsingNexusBlock(bool on);
bool doingNexusBlock();
const char *getStdPunct();
const char *getNumericPunct();
const char *getStdWhitespace();

// Change callback of the underscores option ("convert" = 0, "keep" = 1): the
// option's new value is passed in; returns 0 (never rejects).
int changeUndscSetting(uint32_t newValue);

// ---- The core ---------------------------------------------------------------

// Character classes of the word reader, one table per pair of sets: the
// per-character work of a reader is then a single load.
enum : uint8_t {
    kCharClassWhite = 1,
    kCharClassPunct = 2,
    kCharClassQuote = 4,
    kCharClassBracket = 8,
    kCharClassUnderscore = 16
};
constexpr std::array<uint8_t, 256> wordCharClasses(const char *whitespace, const char *punctuation)
{
    std::array<uint8_t, 256> cls{};
    for (const char *p = whitespace; *p; ++p)
        cls[static_cast<unsigned char>(*p)] |= kCharClassWhite;
    for (const char *p = punctuation; *p; ++p)
        cls[static_cast<unsigned char>(*p)] |= kCharClassPunct;
    cls['\''] |= kCharClassQuote;
    cls['['] |= kCharClassBracket;
    cls['_'] |= kCharClassUnderscore;
    return cls;
}
// The standard whitespace of words.
inline constexpr const char *kStdWhitespaceChars = " \n\t\r";

// Results of readSpecialToken.
inline constexpr int kTokenPlain = 0;
inline constexpr int kTokenQuoted = 1;
inline constexpr int kTokenEnd = -1;          // clean end of the input
inline constexpr int kTokenRefused = -2;      // refused by the validator
inline constexpr int kTokenUnterminated = -3;  // open quote or open comment at the end; error shown

// True to accept the word.
using TokenValidatorFxn = bool (*)(const char *word, bool quoted);

// Reads one word into buffer (at most size - 1 characters). Null whitespace or
// punctuation select the standard sets. A word longer than the buffer is read
// to its end and cut; tokenWasTruncated() then tells so.
int readSpecialToken(char *buffer, uint32_t size, const char *whitespace, const char *punctuation,
                     TokenValidatorFxn validator, bool endOk);
int readToken(char *buffer, uint32_t size);
// Whether the last word read by readSpecialToken was longer than its buffer.
bool tokenWasTruncated();

// ---- Characters -------------------------------------------------------------

// Results of the character readers besides 0..255.
inline constexpr int kCharEnd = -1;
inline constexpr int kCharOpenComment = -2;  // a comment could not be closed; error shown

int readNextDarkChar(const char *whitespace);
// For a character reader's end result c met in the middle of a command:
// reports a file that ended there (an unclosed comment was reported where
// it began); returns 1.
int reportCharReaderEnd(int c);
int readNextDarkCharAsToken(const char *whitespace);
int readNextCharAsToken();
int peekNextChar(const char *whitespace);
void putCharBack(int c);
int readNextNoncommentChar();

// ---- Readers every command uses --------------------------------------------
// Each reports its own error; 0 is success unless stated otherwise.

int readSemicolon();
int readEqualSign();
int readIntValue(char *buffer, uint32_t size, int32_t *out);
int readUIntValue(char *buffer, uint32_t size, uint32_t *out);
bool isNextCharWhite();
int readDelimitedToken(char *buffer, uint32_t size, const char *pair);
// 0 a name, -1 the end of the input (silent), 1 an error (no name, a name
// longer than size - 1 characters), -3 an open quote or comment.
int readPathName(char *buffer, uint32_t size);
// The value of a file-name option: one word, underscores kept, ended by the
// punctuation given (";" at least). A ";" in place of the name names no
// file: error 129, and the ";" is left to end the command. 0 with the word
// in buffer (*truncated when it was cut), 1 after an error.
int readFileNameValue(char *buffer, uint32_t size, const char *punctuation, bool *truncated);
uint32_t readListIncrement();  // 0xFFFFFFFF for an invalid step
uint32_t readDoubleVector(double *values, uint32_t n, bool negativesOk, bool semicolonIsError);
uint32_t readNotokensVector(char *chars, uint32_t n, const char *allowed, bool semicolonIsError);
int readTokensFmtSetting(uint32_t flags, uint32_t tokensBit, uint32_t notokensBit, int defaultValue);
int readVectorFmtSetting(uint32_t flags, uint32_t standardBit, uint32_t vectorBit, int defaultValue);
bool isValidTag(const char *name, bool anyOk);
bool isTokenSemicolon(const char *word);
bool isEndBlock(const char *word);

// ---- Skipping ---------------------------------------------------------------

int skipNextToken();
int skipThru(int c);  // 0 found, nonzero at the end of the input
int skipThruEOL();    // 0 found, nonzero at the end of the input
bool skipThruToken(const char *word, const char *whitespace, const char *punctuation);
int skipRestOfCmd();
int skipThruEndOfBlock();

struct TokenLoc {
    InputPos pos;
    InputPos wordStart;
    InputPos wordEnd;
};
void storeTokenLoc(TokenLoc *saved);
void resetTokenLoc(const TokenLoc *saved);

// A place in the active input that reading can return to, so that a word can
// be looked at before deciding who reads it. Valid until the input changes.
struct InputMark {
    TokenLoc loc;
    InputPos prevPos;
    uint64_t docIndex;
    int32_t cmdLinePos;
    long filePos;
};
void markInput(InputMark *mark);
void rewindInput(const InputMark *mark);

// ---- Special comments ahead of a tree ---------------------------------------

struct SpecialCommentFxn {
    const char *name;  // with its "&", e.g. "&R"
    int (*callback)(void *argument);
    void *argument;
};
int checkSpecialComments(const SpecialCommentFxn *table, uint32_t n);

// ---- The interactive command line ------------------------------------------

inline constexpr uint32_t kCmdLineBufferSize = 256;

struct CmdLineBuffer {
    char *text;
    int32_t pos;
    int32_t length;
};
extern CmdLineBuffer cmdLine;

int allocCmdLine();  // 0, or 1 when the buffer could not be allocated
void deallocCmdLine();
uint32_t getMaxCmdLineChars();
// The next byte of the typed command; a new command is read when the buffer
// is used up. Shaped to serve as the input layer's nextCommandChar hook.
int readCharFromCmdLine();
int32_t stuffCmdLineText(const char *text, int32_t length, bool addSemicolon);
char *setCmdLineBuffer(char *text, int32_t length);
// Discards the rest of the typed command (the error module calls it after an
// error so that the rest of the line does not run).
void flushCmdLineBuffer();
// What an error does to a typed command: the rest of it is thrown away, and
// a skip to its semicolon then reads nothing more (until the next command).
void discardTypedCommand();
void decrementCmdLinePos();
// Set while the scripting layer runs commands: a used-up buffer then ends
// the input instead of prompting. Returns the previous value.
bool setNoActiveTerminal(bool on);

// ---- Block commands ---------------------------------------------------------

struct NexusBlockCmd {
    const char *name;
    int (*handler)();
};

int doNexusBlock(const char *blockName, const NexusBlockCmd *table, uint32_t count);

// Where the errorStop setting is read; null restores the factory value (on).
void setErrorStopQuery(bool (*query)());
