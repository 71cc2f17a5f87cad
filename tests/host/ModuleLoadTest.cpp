// The real driver module, loaded as a host loads it (dlopen, DrvMain), answers GetDrvInfo
// exactly as the same driver linked into the process.
#include <gtest/gtest.h>

#include <cstring>

#include "entry/Entry.h"
#include "host/Host.h"

namespace {

TEST(ModuleLoadTest, GetDrvInfoOfTheBuiltModuleMatchesTheLinkedDriver)
{
    kiv::Runtime::Get().Reset();
    kiv::DriverHost loaded, attached;
    std::string error;
    ASSERT_TRUE(loaded.Load(TRSLNK32_PATH, &error)) << error;
    ASSERT_NE(loaded.Entry(), nullptr);
    attached.Attach(DrvMain);
    DrvInfo info{}, fromProcess{};
    ASSERT_EQ(loaded.GetDrvInfo(&info), 0u);
    ASSERT_EQ(attached.GetDrvInfo(&fromProcess), 0u);
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

    EXPECT_EQ(fromProcess.version, info.version);
    EXPECT_EQ(fromProcess.instanceSize, info.instanceSize);
    EXPECT_STREQ(fromProcess.shortName, info.shortName);
    EXPECT_STREQ(fromProcess.banner, info.banner);
}

} // namespace
