// The options kept in the user's configuration folder.

#include "TempDir.h"

#include "app/core/UserOptions.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(UserOptions, KeptInTheConfigurationFolderAndReadBackClamped) {
    TempDir dir;
    const char* before = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = before ? before : "";
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    const std::string path = UserOptionsPath();
    if (before)
        setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(path, dir.path() + "/Quilvane/Quilvane.conf");

    // Missing: the defaults. Written, then read as a new start reads them.
    EXPECT_EQ(ReadUserOptions(path), UserOptions{});
    WriteUserOptions({9, 1024}, path);
    EXPECT_EQ(ReadUserOptions(path), (UserOptions{9, 1024}));

    const struct {
        const char* text;
        UserOptions read;
    } cases[] = {
        {"[General]\nConnections=40\nSpeedLimitKiB=-5\n", {16, 0}},
        {"[General]\nConnections=0\nSpeedLimitKiB=2000000\n", {1, 1000000}},
        {"[General]\nConnections=many\nSpeedLimitKiB=\n", {}},
        {"\x01\x02[[[\nConnections\n==\n", {}},
    };
    for (const auto& c : cases) {
        WriteWholeFile(path, c.text);
        EXPECT_EQ(ReadUserOptions(path), c.read) << c.text;
    }
}

} // namespace
