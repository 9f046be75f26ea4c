#include "qel/qel_progress.h"

#include <new>

#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"

namespace {

// Runs fn on the record, under its mutex once the record is shared between
// threads.
template <typename Fn>
auto withRecord(ProgData *record, Fn fn)
{
    if (record->isProtected) {
        std::lock_guard<std::mutex> lock(record->mutex);
        return fn();
    }
    return fn();
}

// The abort flag is read without the lock: the interrupt handler writes it
// and it is a lock-free atomic.
int pollAbort(const ProgData *record)
{
    if (gAborted_.load() == 0)
        return kProgressContinue;
    if (!record->abortable) {
        setAbortedStatus(0);
        return kProgressContinue;
    }
    // Questions to the user belong to the main thread; a record updated by
    // several threads reports the interrupt as it is.
    if (record->isProtected)
        return kProgressAborted;
    return confirmAbortRequest() ? kProgressAborted : kProgressContinue;
}

}  // namespace

ProgData *allocProgData()
{
    void *block = allocBlock(sizeof(ProgData));
    if (!block)
        return nullptr;
    return new (block) ProgData{};
}

ProgData *deallocProgData(ProgData *record)
{
    if (record) {
        record->~ProgData();
        deallocBlock(record);
    }
    return nullptr;
}

void clearProgressData(ProgData *record)
{
    if (!record)
        return;
    record->value = 0;
    record->maximum = 0;
    record->savedLongOperationStatus = 0;
    record->abortable = 0;
    record->isProtected = 0;
}

ProgData *createProgressWindow(uint32_t maximum, uint32_t flags, const char *title)
{
    ProgData *record = allocProgData();
    if (record)
        initProgress(record, maximum, flags, title, nullptr);
    return record;
}

int initProgress(ProgData *record, uint32_t maximum, uint32_t flags, const char *, const void *)
{
    if (!record)
        return 1;
    clearProgressData(record);
    record->maximum = maximum;
    record->savedLongOperationStatus = getLongOperationStatus();
    record->abortable = (flags & kProgressNotAbortable) ? 0 : 1;
    setLongOperationStatus(-1);
    // An interrupt that came before the operation began is not meant for it.
    setAbortedStatus(0);
    return 0;
}

void finishProgress(ProgData *record)
{
    if (record)
        setLongOperationStatus(record->savedLongOperationStatus);
}

ProgData *destroyProgressWindow(ProgData *record)
{
    finishProgress(record);
    return deallocProgData(record);
}

int setProgressValue(ProgData *record, uint32_t value)
{
    if (!record)
        return kProgressContinue;
    withRecord(record, [&] { record->value = value; });
    return pollAbort(record);
}

int incrementProgressValue(ProgData *record)
{
    if (!record)
        return kProgressContinue;
    // Read and write in one locked step: two threads that each read the old
    // value and stored it plus one would lose a count.
    withRecord(record, [&] { ++record->value; });
    return pollAbort(record);
}

void setProtectedProgressValue(ProgData *record)
{
    // The mutex was constructed with the record; marking it protected is all
    // that is left, and it happens before any other thread sees the record.
    if (record)
        record->isProtected = 1;
}

void resetProgressWindow(ProgData *record, uint32_t maximum, const char *)
{
    if (!record)
        return;
    withRecord(record, [&] {
        record->value = 0;
        record->maximum = maximum;
    });
}

void resetMaxProgressValue(ProgData *record, uint32_t maximum)
{
    if (record)
        withRecord(record, [&] { record->maximum = maximum; });
}

void setNoProgress(ProgData *record)
{
    if (record)
        withRecord(record, [&] { record->value = 0; });
}

uint32_t getProgressValue(ProgData *record)
{
    if (!record)
        return kNoProgressRecord;
    return withRecord(record, [&] { return record->value; });
}

uint32_t getMaxProgress(ProgData *record)
{
    if (!record)
        return kNoProgressRecord;
    return withRecord(record, [&] { return record->maximum; });
}

void hideProgressWindow(ProgData *) {}

// The text is never formatted: there is no status line to show it on.
void setStatusText(const char *, ...) {}

bool pushStatusText() { return true; }

void clearStatusText() {}
