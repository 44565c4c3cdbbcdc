// cmake --install: every file under the prefix and nothing outside it, user
// units that the service manager accepts, and no new file in the build folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <unistd.h>

#include "harness.hpp"

using namespace vt;
namespace fs = std::filesystem;

namespace {

// Installs the build into DIR/prefix, staged below DIR/dest; DIR/prefix then
// points at the staged tree so that the units' paths resolve. Returns the
// staged files, relative to DIR/dest.
std::set<std::string> install_into(const std::string& dir)
{
    const std::string prefix = dir + "/prefix", dest = dir + "/dest";
    Ran ran = run({VELMORA_CMAKE, "--install", VELMORA_BINARY_DIR, "--prefix", prefix}, "",
                  {"DESTDIR=" + dest});
    EXPECT_EQ(ran.status, 0) << ran.out << ran.err;
    std::set<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dest))
        if (!e.is_directory())
            files.insert(e.path().string().substr(dest.size()));
    fs::create_directory_symlink(dest + prefix, prefix);
    return files;
}

} // namespace

// One test: two installs from the same build at once would race on its
// install manifest.
TEST(Install, EveryFileUnderThePrefixAndUnitsThatVerify)
{
    TestEnv env;
    const std::string prefix = env.dir() + "/prefix";
    std::set<std::string> expected;
    for (const char* f :
         {"/bin/velmora-server", "/bin/velmora-send", "/bin/velmora-setup-db",
          "/share/velmora/schema.sql", "/share/velmora/household.sql", "/share/velmora/black.jpg",
          "/share/velmora/velmora.conf", "/share/systemd/user/velmora.socket",
          "/share/systemd/user/velmora.service", "/lib/velmora/velmora-mqtt.so",
          "/lib/velmora/velmora-web.so"})
        expected.insert(prefix + f);
    if (VELMORA_MAN_BUILT)
        for (const char* page : {"man8/velmora-server.8", "man1/velmora-send.1",
                                 "man8/velmora-setup-db.8", "man5/velmora.conf.5"})
            expected.insert(prefix + "/share/man/" + page);
    run({"touch", env.dir() + "/before"});
    EXPECT_EQ(install_into(env.dir()), expected);
    // Only the manifest, made when configuring, is rewritten (not ctest's or the database's).
    EXPECT_EQ(run({"find", VELMORA_BINARY_DIR, "-newer", env.dir() + "/before", "-type", "f",
                   "-not", "-path", "*/Testing/*", "-not", "-path", "*/tests/db/*"})
                  .out,
              VELMORA_BINARY_DIR "/install_manifest.txt\n");

    for (const char* bin : {"/bin/velmora-server", "/bin/velmora-send", "/bin/velmora-setup-db"})
        EXPECT_EQ(access((prefix + bin).c_str(), X_OK), 0) << bin;
    // The version is the one of debian/changelog's first line, "velmora (X.Y.Z) ...".
    Ran version = run({prefix + "/bin/velmora-send", "--version"});
    EXPECT_EQ(version.status, 0);
    Ran top = run({"sed", "-n", "1s/^velmora (\\([0-9.]*\\).*/velmora-send \\1/p",
                   VELMORA_SOURCE_DIR "/debian/changelog"});
    EXPECT_EQ(version.out, top.out);
    EXPECT_NE(top.out, "");
    // The installed daemon opens its page's door from the installed module.
    const std::string conf = env.write_config("[web]\nlisten = 127.0.0.1:8003\nkey_file = " +
                                              env.dir() + "/web.key\n");
    Ran pair = run({prefix + "/bin/velmora-server", "--config", conf, "--pair"});
    EXPECT_EQ(pair.status, 0) << pair.err;
    EXPECT_NE(pair.out.find("http://127.0.0.1:8003/pair?key="), std::string::npos) << pair.out;
    // The service starts the installed daemon and copies the installed screen.
    Ran unit = run({"cat", prefix + "/share/systemd/user/velmora.service"});
    EXPECT_NE(unit.out.find("\nExecStart=" + prefix + "/bin/velmora-server\n"), std::string::npos);
    EXPECT_NE(unit.out.find(" " + prefix + "/share/velmora/black.jpg "), std::string::npos);
    EXPECT_EQ(unit.out.find('@'), std::string::npos) << "a placeholder was left";

    if (run({"sh", "-c", "command -v systemd-analyze"}).status != 0)
        GTEST_SKIP() << "no systemd-analyze here: the units were not verified";
    const std::string runtime = env.dir() + "/runtime";
    fs::create_directory(runtime);
    std::vector<std::string> argv = {"systemd-analyze", "--user", "verify"};
    for (const char* unit : {"velmora.socket", "velmora.service"})
        argv.push_back(prefix + "/share/systemd/user/" + unit);
    // A user manager of its own: runtime and home in the temp dir.
    Ran ran = run(argv, "", {"XDG_RUNTIME_DIR=" + runtime, "HOME=" + env.dir()});
    EXPECT_EQ(ran.status, 0);
    EXPECT_EQ(ran.out + ran.err, ""); // an unknown or invalid setting is only a warning
}
