// Progress of long operations.
//
// A long operation creates a ProgData record, reports each unit of work with
// setProgressValue or incrementProgressValue and stops in order when an update
// returns 2 (the user interrupted). The terminal program draws no progress
// window: the record carries the count, the maximum and the abort decision,
// and holds the long-operation status at -1 while the operation runs.
#pragma once

#include <cstdint>
#include <mutex>

// Creation flag: the operation cannot be interrupted; an interrupt that
// arrives during it is discarded at the next update.
inline constexpr uint32_t kProgressNotAbortable = 16;

// What an update returns.
inline constexpr int kProgressContinue = 0;
inline constexpr int kProgressAborted = 2;

inline constexpr uint32_t kNoProgressRecord = 0xFFFFFFFFu;

struct ProgData {
    uint32_t value;
    uint32_t maximum;
    int32_t savedLongOperationStatus;  // restored by finishProgress
    uint8_t abortable;
    std::mutex mutex;  // guards value and maximum once the record is protected
    uint8_t isProtected;
};

ProgData *allocProgData();
ProgData *deallocProgData(ProgData *record);  // null accepted; returns null
// Zeroes the counts and flags; the mutex is left as it is.
void clearProgressData(ProgData *record);

// Null when the record cannot be allocated (the long-operation status and the
// abort flag are then left alone). The title is not shown.
ProgData *createProgressWindow(uint32_t maximum, uint32_t flags, const char *title);
// 0 on success, 1 for a null record.
int initProgress(ProgData *record, uint32_t maximum, uint32_t flags, const char *title,
                 const void *extra);
void finishProgress(ProgData *record);
ProgData *destroyProgressWindow(ProgData *record);  // null accepted; returns null

// Both return kProgressContinue or kProgressAborted.
int setProgressValue(ProgData *record, uint32_t value);
int incrementProgressValue(ProgData *record);  // one atomic step when protected

// Call once, before several threads update the record.
void setProtectedProgressValue(ProgData *record);

void resetProgressWindow(ProgData *record, uint32_t maximum, const char *title);
void resetMaxProgressValue(ProgData *record, uint32_t maximum);
void setNoProgress(ProgData *record);
uint32_t getProgressValue(ProgData *record);  // kNoProgressRecord for null
uint32_t getMaxProgress(ProgData *record);    // kNoProgressRecord for null

// Hooks of a windowed front end; the terminal program has nothing to show.
void hideProgressWindow(ProgData *record);
void setStatusText(const char *format, ...) __attribute__((format(printf, 1, 2)));
bool pushStatusText();
void clearStatusText();
