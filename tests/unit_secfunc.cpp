// Comma lists and fixed-capacity texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "log.hpp"
#include "secfunc.hpp"

TEST(CommaList, CountsItemsByCommas)
{
    EXPECT_EQ(countList(""), 0);
    EXPECT_EQ(countList("anna"), 1);
    EXPECT_EQ(countList("anna,peter,eva"), 3);
    EXPECT_EQ(countList("anna,"), 2);
    EXPECT_EQ(countList(","), 2);
}

TEST(CommaList, ItemAtPosition)
{
    const std::string l = "anna,peter,eva";
    EXPECT_EQ(getAtPos(l, 0), "anna");
    EXPECT_EQ(getAtPos(l, 1), "peter");
    EXPECT_EQ(getAtPos(l, 2), "eva");
    // Past the end lands on the last item; a negative position is the list.
    EXPECT_EQ(getAtPos(l, 7), "eva");
    EXPECT_EQ(getAtPos(l, -1), l);
    EXPECT_EQ(getAtPos("anna", 0), "anna");
    EXPECT_EQ(getAtPos("anna", 5), "anna");
}

TEST(CommaList, EmptyItemsArePassedOverAndNothingIsEmptyText)
{
    EXPECT_EQ(getAtPos("", 0), "");
    EXPECT_EQ(getAtPos("", 3), "");
    EXPECT_EQ(getAtPos(",,", 0), "");
    EXPECT_EQ(getAtPos("anna,,eva", 1), "eva");
    EXPECT_EQ(getAtPos(",anna", 0), "anna");
    EXPECT_EQ(getAtPos("anna,", 1), "");
}

TEST(CommaList, FindsFirstExactItem)
{
    EXPECT_EQ(findItem("anna", ""), -1);
    EXPECT_EQ(findItem("", ""), -1);
    EXPECT_EQ(findItem("peter", "anna,peter,eva"), 1);
    EXPECT_EQ(findItem("eva", "eva,anna,eva"), 0);
    EXPECT_EQ(findItem("Anna", "anna,peter"), -1);
    EXPECT_EQ(findItem("ann", "anna,peter"), -1);
    EXPECT_EQ(findItem("anna,peter", "anna,peter"), -1);
}

TEST(CommaList, CaptionRenderingUsesBackslashN)
{
    EXPECT_EQ(fmtList(""), "");
    EXPECT_EQ(fmtList("anna,peter"), "1. anna\\n2. peter\\n");
    EXPECT_EQ(fmtList("anna,peter").find('\n'), std::string::npos);
    // Only whole entries within the capacity.
    EXPECT_EQ(fmtList("anna,peter", 10), "1. anna\\n");
    EXPECT_EQ(fmtList("anna,peter", 9), "1. anna\\n");
    EXPECT_EQ(fmtList("anna,peter", 8), "");
}

TEST(CommaList, SqlRenderingQuotesEachItem)
{
    EXPECT_EQ(fmtList2(""), "");
    EXPECT_EQ(fmtList2("anna"), "'anna'");
    EXPECT_EQ(fmtList2("anna,peter"), "'anna','peter'");
    EXPECT_EQ(fmtList2("anna,peter", 13), "'anna'");
}

TEST(CommaList, LongListsStayWithinTheirCapacity)
{
    std::string list;
    for (int i = 0; i < 200; ++i)
        list += (i ? ",user" : "user") + std::to_string(i);
    std::string r = fmtList(list);
    EXPECT_LE(r.size(), LIST_MAX);
    EXPECT_EQ(r.substr(r.size() - 2), "\\n");
    EXPECT_LE(fmtList2(list).size(), LIST_MAX);
    EXPECT_EQ(fmtList2(list).back(), '\'');
}

TEST(CommaList, BuildingRowByRowKeepsWholeItems)
{
    std::string list;
    EXPECT_TRUE(appendItem(list, "anna", true));
    EXPECT_TRUE(appendItem(list, "peter", false));
    EXPECT_EQ(list, "anna,peter");
    std::string empty_first;
    EXPECT_TRUE(appendItem(empty_first, "", true));
    EXPECT_TRUE(appendItem(empty_first, "eva", false));
    EXPECT_EQ(empty_first, ",eva");

    std::string full(LIST_MAX - 3, 'x');
    EXPECT_TRUE(appendItem(full, "ab", false));
    EXPECT_EQ(full.size(), LIST_MAX);
    EXPECT_FALSE(appendItem(full, "c", false));
    EXPECT_EQ(full.size(), LIST_MAX);
}

TEST(FixedText, CutsOnCharacterBoundaries)
{
    EXPECT_EQ(cutText("anna", 19), "anna");
    EXPECT_EQ(cutText("abcdef", 3), "abc");
    // "é" is two bytes: a cut inside it drops the whole character.
    EXPECT_EQ(cutText("ab\xC3\xA9", 3), "ab");
    EXPECT_EQ(cutText("ab\xC3\xA9", 4), "ab\xC3\xA9");
    // A four-byte character cut after one, two or three bytes.
    for (std::size_t n = 1; n <= 3; ++n)
        EXPECT_EQ(cutText("\xF0\x9F\x93\xBA", n), "");

    char buf[20];
    std::memset(buf, 'Z', sizeof buf);
    copyText(buf, sizeof buf, "a-name-that-is-far-too-long");
    EXPECT_STREQ(buf, "a-name-that-is-far-");
    std::string nineteen_with_utf8 = std::string(18, 'x') + "\xC5\xBE"; // 20 bytes
    copyText(buf, sizeof buf, nineteen_with_utf8);
    EXPECT_EQ(std::string(buf), std::string(18, 'x'));
    // Copying a buffer onto itself keeps it.
    copyText(buf, sizeof buf, buf);
    EXPECT_EQ(std::string(buf), std::string(18, 'x'));
}

TEST(LogText, ControlCharactersAreWrittenAsHex)
{
    const struct {
        std::string in, plain, layout;
    } cases[] = {
        {"anna", "anna", "anna"},
        {"x\n[server] forged", "x\\x0a[server] forged", "x\\x0a[server] forged"},
        {"a\tb\rc", "a\\x09b\\x0dc", "a\tb\\x0dc"},
        {"\x1b[2J\x7f", "\\x1b[2J\\x7f", "\\x1b[2J\\x7f"},
        {std::string("a\0b", 3), "a\\x00b", "a\\x00b"},
        {"\xc5\xbe\\x41", "\xc5\xbe\\x41", "\xc5\xbe\\x41"}, // UTF-8 and backslashes stay
        {"\xc2\x9b[2J\xc2\xa0\xc2", "\\xc2\\x9b[2J\xc2\xa0\xc2", "\\xc2\\x9b[2J\xc2\xa0\xc2"}, // C1
    };
    for (const auto& c : cases) {
        EXPECT_EQ(logSafe(c.in), c.plain);
        EXPECT_EQ(logSafe(c.in, true), c.layout);
    }
}
