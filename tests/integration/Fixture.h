// A driver instance started through DrvMain, in a private working directory that holds
// its initialisation file, with the driver's waits shortened.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "config/Instance.h"
#include "entry/Entry.h"

namespace trs_test {

class InstanceFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void WriteInitFile(const std::string &text, uint32_t drvNumber = 1); // TRSLNKnn.INT
    DriverInstance *NewBlock(); // a block as a host gives it: malloc'ed, not cleared
    uint32_t Call(DriverInstance *instance, uint32_t function, void *params, uint32_t drvNumber = 1);
    uint32_t ColdStart(DriverInstance *instance, const std::string &port, uint32_t drvNumber = 1,
                       uint32_t enabled = 1, uint32_t hostTimeout = 1500);
    uint32_t EndDrv(DriverInstance *instance, uint32_t drvNumber = 1) { return Call(instance, FN_END_DRV, nullptr, drvNumber); }

    std::string directory_, previous_;
    std::vector<void *> blocks_;
};

} // namespace trs_test
