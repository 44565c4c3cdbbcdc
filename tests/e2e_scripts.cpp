// What ./scripts/run builds on: the port held across restarts of the daemon.
#include <gtest/gtest.h>

#include <csignal>

#include "harness.hpp"

using namespace vt;

// The daemon under scripts/keep-port: a malformed message ends it (255), the
// message queued behind it waits in the held socket and the restarted daemon
// handles it; SIGINT then runs the shutdown and ends the holder, the daemon
// and the port.
TEST(Scripts, HeldPortRestartsTheDaemonAfterAMalformedMessage)
{
    reset_database();
    TestEnv env;
    Daemon d(env, {}, {VELMORA_SOURCE_DIR "/scripts/keep-port"});
    d.start();
    d.send("<m><a/><users>");
    d.send_and_wait(message(user_xml("anna", "join")));
    EXPECT_NE(d.err().find("Error: Document not parsed successfully.\n"), std::string::npos);
    EXPECT_NE(d.err().find(" ended with status 255; starting it again\n"), std::string::npos);
    EXPECT_TRUE(d.wait_stdout("[background] restored\n", 1000, 2)) << d.out();
    EXPECT_EQ(user_state("anna"), "online");
    auto children = children_of(d.pid());
    ASSERT_EQ(children.size(), 1u);

    d.sigint();
    EXPECT_EQ(d.wait_exit(), 0) << d.err();
    EXPECT_NE(d.out().find("Thank you for flying with VelmoraServer.\n"), std::string::npos);
    EXPECT_EQ(user_state("anna"), "offline");
    EXPECT_NE(kill(children[0].first, 0), 0) << "the daemon outlived the holder";
    EXPECT_THROW(close(d.connect_open()), std::runtime_error) << "the port is still held";
}
