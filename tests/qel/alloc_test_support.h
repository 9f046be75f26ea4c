// Allocation failures are forced on purpose in these tests: every test starts
// and ends with none pending or recorded, and with its own failure reporter.
#pragma once

#include <gtest/gtest.h>

#include "qel/qel_malloc.h"

namespace alloctest {

inline int gReports = 0;
inline void countingReport() { ++gReports; }
inline void silentReport() {}

class AllocFailureTest : public ::testing::Test {
protected:
    explicit AllocFailureTest(MemFailureMsgFxn report = silentReport) : report_(report) {}

    void SetUp() override
    {
        gReports = 0;
        clearMemoryErrorStatus();
        installMemFailureMsgFxn(report_);
        qel_setAllocFailureCountdown(-1);
    }
    void TearDown() override
    {
        qel_setAllocFailureCountdown(-1);
        clearMemoryErrorStatus();
        installMemFailureMsgFxn(nullptr);
    }

private:
    MemFailureMsgFxn report_;
};

}  // namespace alloctest
