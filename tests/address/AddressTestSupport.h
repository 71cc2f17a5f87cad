// An instance with a few stations and a way to run the address parsers on one string.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "address/Address.h"
#include "support/Support.h"

namespace address_test {

struct Line {
    int level;
    std::string text;
    bool operator==(const Line &other) const { return level == other.level && text == other.text; }
};

inline std::ostream &operator<<(std::ostream &out, const Line &line)
{
    return out << "[" << line.level << "] " << line.text;
}

inline std::vector<Line> Logged()
{
    std::vector<Line> lines;
    for (const auto &line : trs_test::Lines())
        lines.push_back({line.level, line.text});
    return lines;
}

// Stations 1, 2, 3, 5 and 255 are declared; 4 is not.
class AddressTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        instance_ = trs_test::NewInstance(1);
        for (unsigned station : {1u, 2u, 3u, 5u, 255u})
            trs_test::AddStation(instance_, station, "PLC", "CODE");
    }
    void TearDown() override { trs_test::FreeInstance(instance_); }

    // Runs one function code on gas; the record starts filled with 0xEE bytes.
    uint32_t Run(uint32_t (*parser)(RequestBlock *), const char *gas, uint32_t gateType = 0,
                 uint32_t blockLength = 1, uint32_t gateIndex = 0, uint32_t drvNumber = 1)
    {
        block_ = AddressParseBlock{};
        block_.gas = const_cast<char *>(gas);
        block_.gateIndex = gateIndex;
        block_.gateType = gateType;
        block_.blockLength = blockLength;
        memset(&block_.address, 0xEE, sizeof block_.address);
        instance_->drvNumber = drvNumber;
        RequestBlock request{instance_, FN_SINGLE_ADDRESS_PARSER, drvNumber, 1, &block_};
        trs_test::ClearLog();
        return parser(&request);
    }

    DriverInstance *instance_ = nullptr;
    AddressParseBlock block_{};
};

} // namespace address_test
