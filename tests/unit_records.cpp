// One number rule for a probability: a JSON text reads as the same text in an
// XML message; a JSON number only when whole, so that its text reads alike.
#include <gtest/gtest.h>

#include <climits>

#include "json_records.hpp"

TEST(Records, OneProbabilityRuleForXmlAndJson)
{
    const std::pair<const char*, std::optional<int>> cases[] = {
        {R"("1e3")", 1}, {R"("0x60")", 0}, {R"("80.5")", 80}, {R"("-9999999999")", INT_MIN},
        {"77", 77},      {"1e3", {}},      {"80.5", {}},      {R"("abc")", {}},
    };
    for (const auto& [value, read] : cases) {
        JsonRecords r = recordsFromJson(std::string(R"({"probability": )") + value + "}");
        const auto got =
            r.error.empty() ? leadingInteger(*r.records[0].probability.value) : std::nullopt;
        EXPECT_EQ(got, read) << value << ": " << r.error;
    }
}
