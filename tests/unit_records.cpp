// One number rule for a probability: a JSON text reads as the same text in an
// XML message; a JSON number only when whole, so that its text reads alike.
#include <gtest/gtest.h>

#include <climits>

#include "inbox.hpp"

TEST(Records, OneProbabilityRuleForXmlAndJson)
{
    const std::pair<const char*, std::optional<int>> cases[] = {
        {R"("1e3")", 1},  {R"("0x60")", 0},         {R"(" 075")", 75},   {R"("80.5")", 80},
        {"77", 77},       {R"("12 monkeys")", 12},  {"99999999999", INT_MAX},
        {R"("abc")", {}}, {"1e3", {}},              {"80.5", {}},        {R"("-9999999999")", INT_MIN},
    };
    for (const auto& [value, read] : cases) {
        JsonRecords r = recordsFromJson(std::string(R"({"probability": )") + value + "}");
        EXPECT_EQ(r.error.empty(), read.has_value()) << value << r.error;
        if (read && r.error.empty()) {
            EXPECT_EQ(leadingInteger(*r.records[0].probability.value), read) << value;
        }
    }
}
