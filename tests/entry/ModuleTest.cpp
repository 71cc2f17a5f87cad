// The built module against its binary contract: exported symbols and needed libraries.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdio.h>
#include <string>
#include <vector>

#include "entry/Records.h"

namespace {

std::vector<std::string> RunCommand(const std::string &command)
{
    std::vector<std::string> lines;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return lines;
    char buffer[1024];
    while (fgets(buffer, sizeof buffer, pipe)) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        lines.push_back(line);
    }
    pclose(pipe);
    return lines;
}

std::string LastWord(const std::string &line)
{
    size_t space = line.find_last_of(' ');
    return space == std::string::npos ? line : line.substr(space + 1);
}

TEST(Module, ExportsDrvMainAlone)
{
    auto lines = RunCommand("nm -D --defined-only " TRSLNK32_PATH " 2>&1");
    ASSERT_EQ(lines.size(), 1u) << "defined dynamic symbols: " << ::testing::PrintToString(lines);
    EXPECT_EQ(LastWord(lines[0]), "DrvMain");
    EXPECT_NE(lines[0].find(" T "), std::string::npos) << lines[0];
}

TEST(Module, NeedsBothRuntimeLibrariesBySoname)
{
    auto lines = RunCommand("readelf -d " TRSLNK32_PATH " 2>&1");
    bool kivrun = false, dialx = false;
    for (const auto &line : lines) {
        if (line.find("(NEEDED)") == std::string::npos)
            continue;
        kivrun |= line.find("[libKIVRUN.so]") != std::string::npos;
        dialx |= line.find("[libDIALXNT.so]") != std::string::npos;
    }
    EXPECT_TRUE(kivrun);
    EXPECT_TRUE(dialx);
}

TEST(Module, RuntimeLibrariesCarryTheirSonames)
{
    struct {
        const char *path, *soname;
    } libraries[] = {{KIVRUN_PATH, "[libKIVRUN.so]"}, {DIALXNT_PATH, "[libDIALXNT.so]"}};
    for (const auto &library : libraries) {
        bool found = false;
        for (const auto &line : RunCommand(std::string("readelf -d ") + library.path + " 2>&1"))
            found |= line.find("(SONAME)") != std::string::npos && line.find(library.soname) != std::string::npos;
        EXPECT_TRUE(found) << library.path;
    }
}

TEST(Module, LoadsAndAnswersGetDrvInfo)
{
    void *module = dlopen(TRSLNK32_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto drvMain = reinterpret_cast<DrvMainFn>(dlsym(module, "DrvMain"));
    ASSERT_NE(drvMain, nullptr);
    EXPECT_EQ(dlsym(module, "_Z10GetDrvInfoP12RequestBlock"), nullptr) << "internal procedures stay hidden";
    DrvInfo info{};
    RequestBlock request{nullptr, FN_GET_DRV_INFO, 1, 0, &info};
    EXPECT_EQ(drvMain(&request), 0u);
    EXPECT_EQ(info.version, 70u);
    EXPECT_STREQ(info.shortName, "Wit");
    dlclose(module);
}

} // namespace
