// The built module against its binary contract: exported symbols and needed libraries.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string>

namespace {

std::string Output(const std::string &command)
{
    std::string out;
    char buffer[1024];
    if (FILE *pipe = popen(command.c_str(), "r")) {
        while (fgets(buffer, sizeof buffer, pipe))
            out += buffer;
        pclose(pipe);
    }
    return out;
}

TEST(Module, ExportsDrvMainAloneAndNeedsBothRuntimesBySoname)
{
    const std::string symbols = Output("nm -D --defined-only " TRSLNK32_PATH " 2>&1");
    EXPECT_EQ(symbols.substr(symbols.find(' ') + 1), "T DrvMain\n") << symbols;
    const std::string needed = Output("readelf -d " TRSLNK32_PATH " 2>&1");
    EXPECT_NE(needed.find("(NEEDED)             Shared library: [libKIVRUN.so]"), std::string::npos) << needed;
    EXPECT_NE(needed.find("(NEEDED)             Shared library: [libDIALXNT.so]"), std::string::npos) << needed;
    for (const char *library : {KIVRUN_PATH, DIALXNT_PATH}) {
        const std::string name = std::string(library).substr(std::string(library).rfind('/') + 1);
        EXPECT_NE(Output(std::string("readelf -d ") + library).find("(SONAME)             Library soname: [" + name + "]"),
                  std::string::npos)
            << library;
    }
}

} // namespace
