// The real driver module, loaded as a host loads it: dlopen, DrvMain, GetDrvInfo.
#include <gtest/gtest.h>

#include <cstring>

#include "entry/Entry.h"
#include "host/Host.h"

namespace {

TEST(ModuleLoadTest, GetDrvInfoOfTheBuiltModule)
{
    kiv::Runtime::Get().Reset();
    kiv::DriverHost host;
    std::string error;
    ASSERT_TRUE(host.Load(TRSLNK32_PATH, &error)) << error;
    ASSERT_NE(host.Entry(), nullptr);
    DrvInfo info{};
    ASSERT_EQ(host.GetDrvInfo(&info), 0u);
    EXPECT_EQ(info.version, 70u);
    ASSERT_NE(info.shortName, nullptr);
    EXPECT_STREQ(info.shortName, "Wit");
    EXPECT_GT(info.instanceSize, 0u);
    EXPECT_EQ(info.four, 4u);
    EXPECT_EQ(info.lineSettings.baudRate, 1200);
    EXPECT_EQ(info.lineSettings.dataBits, 7);
    EXPECT_EQ(info.lineSettings.stopBits, 0);
    EXPECT_EQ(info.lineSettings.parity, 2);
    EXPECT_EQ(info.one, 1u);
    ASSERT_NE(info.banner, nullptr);
    ASSERT_GE(strlen(info.banner), 2u);
    EXPECT_EQ(static_cast<unsigned char>(info.banner[0]), 0x08);
    EXPECT_EQ(static_cast<unsigned char>(info.banner[1]), 0xC9);
}

// The same driver linked into the process answers the same through Attach.
TEST(ModuleLoadTest, AttachedDriverMatchesTheLoadedModule)
{
    kiv::DriverHost loaded, attached;
    std::string error;
    ASSERT_TRUE(loaded.Load(TRSLNK32_PATH, &error)) << error;
    attached.Attach(DrvMain);
    DrvInfo fromModule{}, fromProcess{};
    ASSERT_EQ(loaded.GetDrvInfo(&fromModule), 0u);
    ASSERT_EQ(attached.GetDrvInfo(&fromProcess), 0u);
    EXPECT_EQ(fromProcess.version, fromModule.version);
    EXPECT_EQ(fromProcess.instanceSize, fromModule.instanceSize);
    EXPECT_STREQ(fromProcess.shortName, fromModule.shortName);
    EXPECT_STREQ(fromProcess.banner, fromModule.banner);
}

} // namespace
