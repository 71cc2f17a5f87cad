// Checksum character and framing, worked out by hand from the byte sums.
#include <gtest/gtest.h>

#include "sim/Simulator.h"

namespace {

using trs::sim::Checksum;
using trs::sim::Frame;

struct ChecksumCase {
    const char *what;
    std::string payload;
    char expected;
};

TEST(SimFrame, ChecksumVectors) {
    const ChecksumCase cases[] = {
        {"abc: sum 294", "abc", 'Z'},
        {"empty payload", "", '@'},
        {"sum 64, a multiple of 64", "@", '@'},
        {"IDENT? request, sum 444", "IDENT?\t", 'D'},
        {"sum 65 gives the top value 0x7F", "A", '\x7f'},
        {"status reply, sum 647", "STATUT\t000\t", 'y'},
        {"identity reply", "IDENT=\t005\t", 'h'},
        {"bytes above 0x7F count unsigned", std::string("\xC0", 1), '@'},
        {"sum 252", "~~", 'D'},
    };
    for (const auto &c : cases) EXPECT_EQ(Checksum(c.payload), c.expected) << c.what;
}

TEST(SimFrame, FrameAppendsChecksumAndCr) {
    EXPECT_EQ(Frame("abc"), std::string("abcZ\r"));
    EXPECT_EQ(Frame(""), std::string("@\r"));
}

TEST(SimFrame, PrintableShowsControlBytes) {
    EXPECT_EQ(trs::sim::Printable("IDENT?\tD\r"), "IDENT?\\tD\\r");
    EXPECT_EQ(trs::sim::Printable(std::string("\x03\x1bW06\x03", 6)), "\\x03\\x1BW06\\x03");
    EXPECT_EQ(trs::sim::Printable("a\\b\n"), "a\\\\b\\n");
}

} // namespace
