// cmake --install: every file under the prefix and nothing outside it, user
// units that the service manager accepts and finds, and a build folder that
// the install leaves as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.hpp"

using namespace vt;
namespace fs = std::filesystem;

namespace {

// Every file of the build folder (ctest's records aside): its inode and, but
// for the manifest that an install rewrites in place, its modification time.
std::map<std::string, std::pair<ino_t, long long>> build_files()
{
    std::map<std::string, std::pair<ino_t, long long>> files;
    for (const auto& e : fs::recursive_directory_iterator(VELMORA_BINARY_DIR)) {
        struct stat st {};
        const std::string path = e.path().string();
        if (path.find("/Testing/") != std::string::npos || lstat(path.c_str(), &st) != 0 ||
            S_ISDIR(st.st_mode))
            continue;
        const bool manifest = path == VELMORA_BINARY_DIR "/install_manifest.txt";
        files[path] = {st.st_ino,
                       manifest ? 0 : st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
    }
    return files;
}

// Installs the build into DIR/home/.local, staged below DIR/dest; the prefix
// then points at the staged tree so that the units' paths resolve. Returns the
// staged files, relative to DIR/dest.
std::set<std::string> install_into(const std::string& dir)
{
    const std::string prefix = dir + "/home/.local", dest = dir + "/dest";
    Ran ran = run({VELMORA_CMAKE, "--install", VELMORA_BINARY_DIR, "--prefix", prefix}, "",
                  {"DESTDIR=" + dest});
    EXPECT_EQ(ran.status, 0) << ran.out << ran.err;
    std::set<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dest))
        if (!e.is_directory())
            files.insert(e.path().string().substr(dest.size()));
    fs::create_directories(dir + "/home");
    fs::create_directory_symlink(dest + prefix, prefix);
    return files;
}

} // namespace

// One test: two installs from the same build at once would race on its
// install manifest.
TEST(Install, EveryFileUnderThePrefixAndUnitsThatVerify)
{
    TestEnv env;
    const std::string prefix = env.dir() + "/home/.local", units = prefix + "/share/systemd/user";
    std::set<std::string> expected;
    for (const char* f :
         {"/bin/velmora-server", "/bin/velmora-send", "/bin/velmora-setup-db",
          "/share/velmora/schema.sql", "/share/velmora/household.sql", "/share/velmora/black.jpg",
          "/share/systemd/user/velmora.socket", "/share/systemd/user/velmora.service"})
        expected.insert(prefix + f);
    const auto before = build_files();
    EXPECT_EQ(install_into(env.dir()), expected);
    // An install as root writes nothing new into the build folder (which
    // would then be root's): only the manifest made by configuring is rewritten.
    EXPECT_EQ(build_files(), before);

    for (const char* bin : {"/bin/velmora-server", "/bin/velmora-send", "/bin/velmora-setup-db"})
        EXPECT_EQ(access((prefix + bin).c_str(), X_OK), 0) << bin;
    Ran version = run({prefix + "/bin/velmora-send", "--version"});
    EXPECT_EQ(version.status, 0);
    // The service starts the installed daemon and copies the installed screen.
    Ran unit = run({"cat", units + "/velmora.service"});
    EXPECT_NE(unit.out.find("\nExecStart=" + prefix + "/bin/velmora-server\n"), std::string::npos);
    EXPECT_NE(unit.out.find(" " + prefix + "/share/velmora/black.jpg "), std::string::npos);
    EXPECT_EQ(unit.out.find('@'), std::string::npos) << "a placeholder was left";

    if (run({"sh", "-c", "command -v systemd-analyze"}).status != 0)
        GTEST_SKIP() << "no systemd-analyze here: the units were not verified";
    const std::string runtime = env.dir() + "/runtime";
    fs::create_directory(runtime);
    std::vector<std::string> argv = {"systemd-analyze", "--user", "verify"};
    for (const char* unit : {"velmora.socket", "velmora.service"})
        argv.push_back(units + "/" + unit);
    // A user manager of its own: runtime and home in the temp dir.
    const std::vector<std::string> user = {"XDG_RUNTIME_DIR=" + runtime,
                                           "HOME=" + env.dir() + "/home"};
    Ran ran = run(argv, "", user);
    EXPECT_EQ(ran.status, 0);
    EXPECT_EQ(ran.out + ran.err, ""); // an unknown or invalid setting is only a warning
    Ran paths = run({"systemd-analyze", "--user", "unit-paths"}, "", user);
    EXPECT_NE(("\n" + paths.out).find("\n" + units + "\n"), std::string::npos) << paths.out;
}
