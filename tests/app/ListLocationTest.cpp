#include "TempDir.h"

#include "app/core/ListLocation.h"
#include "common/AppError.h"
#include "list/ListDocument.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace {

unsigned Mode(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return 0;
    return status.st_mode & 07777;
}

TEST(ListLocation, BesideTheExecutableAnywhereButTheInstalledBinFolder) {
    struct Case {
        const char* executableDir;
        const char* installedBinDir;
        const char* expected;
    };
    const Case cases[] = {
        {"/home/ann/quilvane/build", "/usr/local/bin", "/home/ann/quilvane/build"},
        {"/usr/bin", "/usr/local/bin", "/usr/bin"},
        {"/usr/local/bin", "/usr/local/bin", "/home/ann/.local/share/Quilvane"},
        {"/usr/local/bin/", "/usr/local//bin", "/home/ann/.local/share/Quilvane"},
        {"/usr/local/bin/tools", "/usr/local/bin", "/usr/local/bin/tools"},
        {"/usr/local", "/usr/local/bin", "/usr/local"},
        {"/usr/bin", "", "/usr/bin"},
    };
    for (const Case& c : cases) {
        const ListPlaces places{c.executableDir, c.installedBinDir,
                                "/home/ann/.local/share/Quilvane"};
        EXPECT_EQ(ListFolder(places), c.expected)
            << c.executableDir << " with " << c.installedBinDir;
    }
}

TEST(ListLocation, InstalledProgramKeepsAnOwnerOnlyListInTheDataFolder) {
    TempDir root;
    const std::string bin = root.file("usr/bin");
    std::filesystem::create_directories(bin);
    // The configured bin folder reached through a link is still the same folder.
    std::filesystem::create_directory_symlink(bin, root.file("bin"));
    const std::string data = root.file("home/.local/share/Quilvane");

    const std::string path = ListPath({bin, root.file("bin"), data});
    EXPECT_EQ(path, data + "/List.xml");
    EXPECT_EQ(Mode(data), 0700u);
    EXPECT_EQ(Mode(root.file("home/.local")), 0700u);

    ListDocument list(path);
    list.OpenList();
    EXPECT_EQ(Mode(path), 0600u);

    // A folder that exists keeps its mode; a copy outside the bin folder
    // creates nothing.
    ::chmod(data.c_str(), 0750);
    EXPECT_EQ(ListPath({bin, bin, data}), data + "/List.xml");
    EXPECT_EQ(Mode(data), 0750u);
    EXPECT_EQ(ListPath({root.path(), bin, root.file("unused")}), root.file("List.xml"));
    EXPECT_FALSE(std::filesystem::exists(root.file("unused")));
}

TEST(ListLocation, InstalledProgramRefusesADataFolderThatIsNotItsUsersOwn) {
    struct Case {
        unsigned mode;
        uid_t owner;
        const char* reason;
    };
    const uid_t other = ::geteuid() == 0 ? 65534 : 0;
    const Case cases[] = {
        {0770, ::geteuid(), "others can write it"},
        {0702, ::geteuid(), "others can write it"},
        {0700, other, "it belongs to another user"},
    };
    for (const Case& c : cases) {
        TempDir root;
        std::string data = root.file("Quilvane");
        std::filesystem::create_directory(data);
        ::chmod(data.c_str(), c.mode);
        // Only root can give a folder away; anyone else meets root's "/".
        if (c.owner != ::geteuid() && ::chown(data.c_str(), c.owner, -1) != 0) data = "/";
        try {
            ListPath({root.path(), root.path(), data});
            ADD_FAILURE() << "no error for " << c.reason;
        } catch (const AppError& e) {
            EXPECT_EQ(std::string(e.what()), "Cannot use the folder " + data + ": " + c.reason);
        }
        EXPECT_FALSE(std::filesystem::exists(data + "/List.xml"));
    }
}

TEST(ListLocation, AFolderThatCannotBeMadeSaysWhichAndWhy) {
    TempDir root;
    WriteWholeFile(root.file("plain"), "x");
    try {
        CreateOwnerOnlyFolder(root.file("plain/Quilvane"));
        FAIL() << "no error";
    } catch (const AppError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot create the folder " + root.file("plain/Quilvane") + ": Not a directory");
    }
}

} // namespace

namespace {

// A list beside the executable of a copy in "exe": List.xml there is what
// each case makes of it; the result is the file every save goes to.
TEST(ListLocation, AListThatIsALinkIsFollowedToItsTarget) {
    struct Case {
        const char* what;
        const char* link;     // the target of exe/List.xml; null: no link
        const char* expected; // relative to the sandbox; null: the error below
        const char* error;
    };
    const Case cases[] = {
        {"no link", nullptr, "exe/List.xml", nullptr},
        {"a relative link", "../synced/List.xml", "synced/List.xml", nullptr},
        {"a chain of links", "../synced/Link.xml", "synced/List.xml", nullptr},
        {"a target not made yet", "../synced/New.xml", "synced/New.xml", nullptr},
        {"a target in a missing folder", "../gone/List.xml", nullptr, "exe/../gone/List.xml"},
        {"a circle", "List.xml", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        TempDir root;
        std::filesystem::create_directories(root.file("exe"));
        std::filesystem::create_directories(root.file("synced"));
        WriteWholeFile(root.file("synced/List.xml"), "<MAIN/>");
        std::filesystem::create_symlink(root.file("synced/List.xml"), root.file("synced/Link.xml"));
        if (c.link) std::filesystem::create_symlink(c.link, root.file("exe/List.xml"));
        const ListPlaces places{root.file("exe"), "", root.file("unused")};
        try {
            EXPECT_EQ(ListPath(places), root.file(c.expected ? c.expected : "?")) << c.what;
        } catch (const AppError& e) {
            const std::string list = root.file("exe/List.xml");
            EXPECT_EQ(std::string(e.what()),
                      c.error ? "The download list " + list + " links to " + root.file(c.error) +
                                    ", whose folder does not exist"
                              : "The download list " + list +
                                    " is a symbolic link that leads round in a circle")
                << c.what;
            EXPECT_FALSE(c.expected) << c.what;
        }
    }
}

TEST(ListLocation, TheHandOverSocketLivesInAFolderOnlyItsUserCanWrite) {
    const uid_t other = ::geteuid() == 0 ? 65534 : 0;
    struct Case {
        const char* what;
        unsigned mode; // of the runtime folder; 0: there is none
        uid_t owner;
        bool runtimeChosen;
    };
    const Case cases[] = {
        {"a private runtime folder", 0700, ::geteuid(), true},
        {"no runtime folder", 0, ::geteuid(), false},
        {"a runtime folder others can write", 01777, ::geteuid(), false},
        {"another user's runtime folder", 0700, other, false},
    };
    for (const Case& c : cases) {
        TempDir root;
        std::string runtime;
        if (c.mode != 0) {
            runtime = root.file("run");
            std::filesystem::create_directory(runtime);
            ::chmod(runtime.c_str(), c.mode);
            // Only root can give a folder away; anyone else meets root's "/".
            if (c.owner != ::geteuid() && ::chown(runtime.c_str(), c.owner, -1) != 0) runtime = "/";
        }
        const std::string data = root.file("data/Quilvane");
        const std::string folder = HandOverFolder(runtime, data);
        EXPECT_EQ(folder, c.runtimeChosen ? runtime : data + "/sockets") << c.what;
        EXPECT_EQ(Mode(folder), c.runtimeChosen ? c.mode : 0700u) << c.what;
    }
}

} // namespace
