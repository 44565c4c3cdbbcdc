// One number rule for a probability: a JSON text reads as the same text in an
// XML message; a JSON number only as a whole number, whose text reads alike.
#include <gtest/gtest.h>

#include <climits>

#include "inbox.hpp"

TEST(Records, OneProbabilityRuleForXmlAndJson)
{
    const std::pair<const char*, std::optional<int>> cases[] = {
        {R"("1e3")", 1},        {R"("0x60")", 0},         {R"(" 075")", 75},
        {R"("80.5")", 80},      {R"("12 monkeys")", 12},  {R"("-99999999999")", INT_MIN},
        {"77", 77},             {"99999999999", INT_MAX}, {"-3", -3},
        {R"("abc")", {}},       {"1e3", {}},              {"80.5", {}},
    };
    for (const auto& [value, read] : cases) {
        JsonRecords r = recordsFromJson(std::string(R"({"probability": )") + value + "}");
        SCOPED_TRACE(value);
        if (!read) {
            EXPECT_NE(r.error, "");
            continue;
        }
        ASSERT_EQ(r.error, "");
        EXPECT_EQ(leadingInteger(*r.records[0].probability.value), read);
    }
}
