// The last-event file: profile-file reading and writing as the journal uses it, and a
// file that is missing, foreign or garbage, and writers at once.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "journal/Journal.h"
#include "platform/Platform.h"
#include "integration/Fixture.h"
#include "support/Support.h"

namespace journal_test {
namespace {

namespace fs = std::filesystem;

// In a private working directory, where the file is looked for.
class LastEventFileTest : public trs_test::InstanceFixture {
protected:
    static std::string File() { return std::string(std::istreambuf_iterator<char>(std::ifstream("Last_Eve.ini").rdbuf()), {}); }
    static void Put(const std::string &text) { std::ofstream("Last_Eve.ini", std::ios::binary) << text; }
    static std::pair<uint32_t, uint16_t> Get(uint16_t station)
    {
        uint16_t number = 4321;
        uint32_t found = GetLastEventNo(&number, station);
        return {found, number};
    }
};

TEST_F(LastEventFileTest, MissingFileIsCreatedOnTheFirstStore)
{
    EXPECT_EQ(Get(5), std::make_pair(0u, uint16_t{4321})) << "the number is left alone";
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: GetLastEventNo() Failed"), 1u);
    ASSERT_EQ(StoreLastEventNo(120, 5), 1u);
    ASSERT_EQ(StoreLastEventNo(87, 12), 1u);
    ASSERT_EQ(StoreLastEventNo(121, 5), 1u);
    EXPECT_EQ(File(), "[STATIONS]\n005=121\n012=87\n");
    EXPECT_EQ(Get(5), std::make_pair(1u, uint16_t{121}));
    EXPECT_EQ(Get(120), std::make_pair(0u, uint16_t{4321})) << "station 120 is key 120";
}

TEST_F(LastEventFileTest, OtherContentIsKeptAndNamesIgnoreCase)
{
    Put("; kept comment\r\n[Other]\r\n005=999\r\n\r\n[stations]\r\n007 = 1234\r\n005=1\r\nNOTE\r\n");
    EXPECT_EQ(Get(7), std::make_pair(1u, uint16_t{1234}));
    ASSERT_EQ(StoreLastEventNo(2, 5), 1u);
    ASSERT_EQ(StoreLastEventNo(3, 9), 1u);
    EXPECT_EQ(File(), "; kept comment\r\n[Other]\r\n005=999\r\n\r\n[stations]\r\n007 = 1234\r\n005=2\r\nNOTE\r\n009=3\n");
    EXPECT_EQ(Get(5), std::make_pair(1u, uint16_t{2})) << "the other section's key is not ours";
}

TEST_F(LastEventFileTest, ValuesAreTakenByTheirLeadingDigits)
{
    const std::pair<const char *, uint16_t> rows[] = {
        {"", 0}, {"12abc", 12}, {"abc", 0}, {"65537", 1}, {"1234567890", static_cast<uint16_t>(123456789)}};
    for (const auto &[text, number] : rows) {
        Put(std::string("[STATIONS]\n005=") + text + "\n");
        EXPECT_EQ(Get(5), std::make_pair(1u, number)) << text;
    }
    Put("[STATIONS]\n005=FAIL\n");
    EXPECT_EQ(Get(5).first, 0u) << "the default text itself counts as no entry";
}

// A file too large or a folder in its place: see the reliability tests.
TEST_F(LastEventFileTest, GarbageIsNoEntryAndAWriteKeepsIt)
{
    Put(std::string("\x01\x02garbage\0\n=\n[", 14));
    EXPECT_EQ(Get(5).first, 0u);
    EXPECT_EQ(StoreLastEventNo(6, 5), 1u);
    EXPECT_EQ(Get(5), std::make_pair(1u, uint16_t{6}));
}

TEST_F(LastEventFileTest, AWriteReplacesTheFileWholeAndWritersTakeTurns)
{
    Put("[STATIONS]\n001=1\n");
    int old = open("Last_Eve.ini", O_RDONLY);
    ASSERT_GE(old, 0);
    ASSERT_EQ(StoreLastEventNo(2, 1), 1u);
    char text[64] = {};
    ASSERT_GT(pread(old, text, sizeof text - 1, 0), 0);
    EXPECT_STREQ(text, "[STATIONS]\n001=1\n") << "the old file is never written in place";
    close(old);

    // Two processes with two threads each, every writer with keys of its own.
    const int kKeys = 25;
    auto writer = [](int base) {
        for (int k = 0; k < kKeys; k++)
            StoreLastEventNo(static_cast<uint16_t>(base + k), static_cast<uint16_t>(base + k));
    };
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::thread a(writer, 100), b(writer, 150);
        a.join();
        b.join();
        _exit(0);
    }
    std::thread c(writer, 200), d(writer, 250);
    c.join();
    d.join();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    for (int base : {100, 150, 200, 250})
        for (int k = 0; k < kKeys; k++)
            ASSERT_EQ(Get(static_cast<uint16_t>(base + k)), std::make_pair(1u, static_cast<uint16_t>(base + k))) << base + k;
    for (const auto &entry : fs::directory_iterator("."))
        EXPECT_EQ(entry.path().filename(), "Last_Eve.ini") << "no temporary file is left behind";
}

} // namespace
} // namespace journal_test
