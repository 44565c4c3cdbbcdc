#include <gtest/gtest.h>

#include "harness.hpp"

using namespace vt;

TEST(Smoke, JoinListsAndShutsDown)
{
    reset_database();
    TestEnv env;
    Daemon d(env);
    d.start();
    d.send_and_wait(message(user_xml("anna", "join")));
    EXPECT_EQ(user_state("anna"), "online");
    ASSERT_TRUE(d.wait_stdout("[background] Channels: "));
    d.sigint();
    EXPECT_EQ(d.wait_exit(), 0);
    EXPECT_EQ(user_state("anna"), "offline");
}
