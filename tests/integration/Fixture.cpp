#include "Fixture.h"

#include <filesystem>
#include <cstring>
#include <fstream>

#include "platform/Platform.h"
#include "support/Support.h"

namespace fs = std::filesystem;

namespace trs_test {

void InstanceFixture::SetUp()
{
    PlatformSetTimeScale(0.01);
    ClearLog();
    std::string pattern = (fs::temp_directory_path() / "trs-it-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
    previous_ = fs::current_path().string();
    fs::current_path(directory_);
}

void InstanceFixture::TearDown()
{
    for (void *block : blocks_)
        free(block);
    fs::current_path(previous_);
    std::error_code error;
    fs::remove_all(directory_, error);
    PlatformSetTimeScale(1.0);
}

void InstanceFixture::WriteInitFile(const std::string &text, uint32_t drvNumber)
{
    std::ofstream(Format("TRSLNK%02u.INT", drvNumber), std::ios::binary) << text;
}

DriverInstance *InstanceFixture::NewBlock()
{
    blocks_.push_back(malloc(sizeof(DriverInstance)));
    memset(blocks_.back(), 0xA5, sizeof(DriverInstance));
    return static_cast<DriverInstance *>(blocks_.back());
}

uint32_t InstanceFixture::Call(DriverInstance *instance, uint32_t function, void *params, uint32_t drvNumber)
{
    RequestBlock request{instance, function, drvNumber, 0, params};
    return DrvMain(&request);
}

uint32_t InstanceFixture::ColdStart(DriverInstance *instance, const std::string &port, uint32_t drvNumber,
                                    uint32_t enabled, uint32_t hostTimeout)
{
    ColdStartParams params = StartParams(port);
    params.enabled = enabled;
    params.hostTimeout = hostTimeout;
    return Call(instance, FN_COLD_START, &params, drvNumber);
}

} // namespace trs_test
