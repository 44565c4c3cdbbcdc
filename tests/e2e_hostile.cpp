// Hostile texts against the real daemon: wherever a name, a channel or a
// state from a message meets SQL, a program's arguments, a file name or a
// fixed buffer, it stays one value, and the files of the machine stay unread.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "harness.hpp"
#include "secfunc.hpp"

using namespace vt;
namespace fs = std::filesystem;
using Argv = std::vector<std::string>;

namespace {

std::string everything_in_the_database()
{
    std::string all;
    for (const char* table : {"users", "states", "channels", "pictures", "userHasState",
                              "userHasLast", "userHasChannel", "userHasPicture"})
        for (const auto& row : db_rows(std::string("SELECT * FROM ") + table))
            for (const auto& value : row)
                all += value + "|";
    return all;
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Hostile : ::testing::Test {
    void SetUp() override { reset_database(); }
    TestEnv env;
};

} // namespace

// Each text as a user name (join, leave), a channel (change) and a state
// (list). A name or state is only ever a quoted SQL value; a channel reaches
// the player only behind "dvb://" and the notification as one argument after
// "--" when it could pass for an option.
TEST_F(Hostile, TextsStayOneValueEverywhere)
{
    const std::string mark = env.dir() + "/ran";
    const std::string long_text =
        std::string(999, 'n') + "\xc5\xbe"; // 1001 bytes, ends in a 2-byte letter
    const struct {
        const char* what;
        std::string text, xml; // xml: how the message writes it (empty: text, escaped)
    } cases[] = {
        {"quotes", "o'brien \"x\" ' OR '1'='1", ""},
        {"backslashes", "x\\' OR 1; -- \\", ""},
        {"command substitution", "$(touch " + mark + "1)", ""},
        {"backticks", "`touch " + mark + "2`", ""},
        // XML reads a bare CR as a line feed; a character reference keeps it.
        {"line breaks", "a\ntouch " + mark + "3\r\nb", "a\ntouch " + mark + "3&#13;\nb"},
        {"leading dash", "-rf", ""},
        {"parent directories", "../../../../etc/passwd", ""},
        {"a comma", "anna,peter", ""},
        {"1001 bytes from an entity", long_text, "&long;"},
        {"CDATA", "<user>]]>", "<![CDATA[<user>]]]]><![CDATA[>]]>"},
        {"entity chain", "x' OR name='eva", "&q;"},
        {"a trailing blank: not anna", "anna ", ""}, // names compare byte for byte
    };
    const std::string doctype = "<!DOCTYPE m [<!ENTITY n \"" + std::string(111, 'n') +
                                "\"><!ENTITY long \"&n;&n;&n;&n;&n;&n;&n;&n;&n;&#x17E;\">"
                                "<!ENTITY e \"' OR name='eva\"><!ENTITY q \"x&e;\">]>";
    const std::string before = everything_in_the_database();
    Daemon d(env);
    d.start();
    size_t changes = 0, notes = 0, joins = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto send = [&](const std::string& name, const std::string& command,
                        const std::string& presence) {
            std::string user = "<user><name>" + name + "</name><command>" + command +
                               "</command><presence>" + presence + "</presence></user>";
            std::string doc = (c.xml.empty() ? "" : doctype) + message(user);
            ASSERT_LE(doc.size(), 1024u);
            d.send_and_wait(doc);
        };
        std::string v = c.xml;
        if (v.empty())
            for (char ch : c.text)
                v += ch == '&' ? "&amp;" : ch == '<' ? "&lt;" : std::string(1, ch);

        send(v, "join", "");
        EXPECT_EQ(nth_run(env, "convert", joins++).at(1), "pictures/black.jpg"); // nobody's picture
        send(v, "leave", "");
        send("anna", "list", v);
        send("anna", "change", v);
        EXPECT_EQ(nth_run(env, "mplayer", changes++).back(),
                  "dvb://" + std::string(cutText(c.text, 43)));
        Argv note = nth_run(env, "notify-send", notes++);
        ASSERT_GE(note.size(), 3u);
        EXPECT_EQ(note[1] == "--", c.text[0] == '-');
        EXPECT_EQ(note[note.size() - 2], "Changing channel");
        EXPECT_EQ(c.text.compare(0, note.back().size(), note.back()), 0); // the text, maybe cut
        EXPECT_GE(note.back().size(), std::min<size_t>(c.text.size(), 960));
        EXPECT_EQ(everything_in_the_database(), before);
    }
    // Every statement was accepted but the lasts update while nobody is online,
    // whose list of names is empty.
    auto count = [&](const std::string& needle) {
        size_t n = 0;
        for (size_t at = 0; (at = d.err().find(needle, at)) != std::string::npos; ++at)
            ++n;
        return n;
    };
    EXPECT_EQ(count("Failed"), std::size(cases));
    EXPECT_EQ(count("users.name IN() JOIN"), std::size(cases));
    for (char k = '1'; k <= '3'; ++k)
        EXPECT_FALSE(fs::exists(mark + k)) << mark + k;
    EXPECT_TRUE(d.running());
}

// External entities and DTDs are never loaded: the content of a file never
// reaches a log line, a program or the database, whatever refers to it.
TEST_F(Hostile, ExternalEntitiesAreNeverRead)
{
    const std::string secret = "SECRET-" + std::to_string(getpid()) + "-b1c8e";
    const std::string file = env.dir() + "/secret.txt", dtd = env.dir() + "/secret.dtd";
    std::ofstream(file) << secret;
    std::ofstream(dtd) << "<!ENTITY s \"" << secret << "\">";
    const std::string users = "<users><user><name>&x;</name><command>notify</command>"
                              "<presence>&x;</presence></user>"
                              "<user><name>anna</name><command>change</command>"
                              "<presence>a&x;</presence></user></users>";
    const std::string docs[] = {
        "<!DOCTYPE m [<!ENTITY x SYSTEM \"file://" + file + "\">]><m><a/>" + users + "</m>",
        "<!DOCTYPE m [<!ENTITY x SYSTEM \"../secret.txt\">]><m><a/>" + users + "</m>",
        "<!DOCTYPE m SYSTEM \"" + dtd +
            "\"><m><a/><users><user><name>&s;</name>"
            "<command>notify</command><presence>&s;</presence></user></users></m>",
        "<!DOCTYPE m [<!ENTITY % p SYSTEM \"" + dtd + "\"> %p; <!ENTITY x \"&s;\">]><m><a/>" +
            users + "</m>",
        "<?xml version=\"1.0\"?><!DOCTYPE m [<!ENTITY x SYSTEM \"file://" + file +
            "\">]><m><a/><users><user><name>anna</name><command>list</command><presence>"
            "<xi:include xmlns:xi=\"http://www.w3.org/2001/XInclude\" href=\"" +
            file + "\" parse=\"text\"/>&x;</presence></user></users></m>",
    };
    for (const std::string& doc : docs) {
        SCOPED_TRACE(doc);
        ASSERT_LE(doc.size(), 1024u);
        Daemon d(env);
        d.start();
        d.send(doc);
        // Whether the document is handled or refused, it is finished when the
        // daemon has logged its view or has ended.
        for (int i = 0;
             i < 2000 && d.running() && d.out().find("[memory] currentUser: ") == std::string::npos;
             ++i)
            usleep(10000);
        d.sigint();
        int status = d.wait_exit();
        EXPECT_TRUE(status == 0 || status == 255) << status;
        EXPECT_EQ(d.out().find(secret), std::string::npos) << d.out();
        EXPECT_EQ(d.err().find(secret), std::string::npos) << d.err();
    }
    env.wait_invocations_of("mplayer", 1, 3000); // a player child may still be starting
    EXPECT_EQ(slurp(env.logpath()).find(secret), std::string::npos);
    EXPECT_EQ(everything_in_the_database().find(secret), std::string::npos);
}

// Bytes that are no UTF-8, and characters XML does not allow, make the
// document unreadable: it is refused as a whole, and nothing of it is used.
TEST_F(Hostile, InvalidTextIsRefusedWhole)
{
    const std::string before = everything_in_the_database();
    const std::string latin1 = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>" +
                               message(user_xml("\xe9va", "list", "online"));
    const struct {
        const char* what;
        std::string doc;
        bool refused;
    } cases[] = {
        {"a byte that starts no character", message(user_xml("an\xffna", "join")), true},
        {"an overlong slash",
         message(user_xml("\xc0\xaf"
                          "etc",
                          "join")),
         true},
        {"a lone continuation byte", message(user_xml("\x80", "join")), true},
        {"a cut character", message(user_xml("anna\xc5", "join")), true},
        {"a surrogate", message(user_xml("\xed\xa0\x80", "join")), true},
        {"a NUL character reference", message("<user><name>a&#0;</name></user>"), true},
        {"a declared single-byte encoding is read as such", latin1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Daemon d(env);
        d.start();
        d.send(c.doc);
        if (c.refused) {
            EXPECT_EQ(d.wait_exit(), 255);
            EXPECT_NE(d.err().find("Error: Document not parsed successfully.\n"), std::string::npos)
                << d.err();
            EXPECT_EQ(d.out().find("[MSG]"), std::string::npos) << d.out();
        } else {
            EXPECT_TRUE(d.wait_stdout("[memory] currentUser: "));
            EXPECT_NE(d.out().find("\n[MSG] \xc3\xa9va list online\n"), std::string::npos)
                << d.out();
        }
        EXPECT_EQ(everything_in_the_database(), before);
    }
}
