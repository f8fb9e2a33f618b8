#include "runtime/Files.h"

#include "runtime/RuntimeError.h"
#include "runtime/Text.h"
#include "support/SystemSupport.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

// What every runtime's files and folder lock are held to, against the neutral interface; each
// runtime's own file (runtime/qt/FilesTest.cpp, runtime/win32/FilesTest.cpp) keeps what only its
// platform has: links, FIFOs and pipes, file attributes, held files, other processes.

using namespace runtime;
using support::failureOf;
using support::TemporaryFolder;
using support::writeFile;
using Names = std::vector<std::string>;

TEST(Files, KindsEntriesAndRegularFilesOnly)
{
    TemporaryFolder dir;
    writeFile(dir.file("a"), "first");
    const std::string unicodeName = "caf\xC3\xA9 \xF0\x9F\x99\x82.skn"; // "café 🙂.skn"
    writeFile(dir.path() / pathFromUtf8(unicodeName), "skin");
    std::filesystem::create_directory(dir.file("folder"));

    EXPECT_EQ(fileKind(dir.file("a")), FileKind::Regular);
    EXPECT_EQ(fileKind(dir.file("folder")), FileKind::Directory);
    EXPECT_EQ(fileKind(dir.file("missing")), FileKind::Missing);
    EXPECT_EQ(fileKind(dir.file("a/under-a-file")), FileKind::Missing);
    EXPECT_TRUE(pathExists(dir.file("a")));
    EXPECT_FALSE(pathExists(dir.file("missing")));
    EXPECT_FALSE(pathExists(""));

    Names entries = folderEntries(dir.path());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (Names{"a", unicodeName, "folder"}));
    EXPECT_EQ(folderEntries(dir.file("folder")), Names{});
    EXPECT_EQ(failureOf([&] { folderEntries(dir.file("missing")); }), ErrorKind::NotFound);
    EXPECT_TRUE(failureOf([&] { folderEntries(dir.file("a")); })) << "a file is no folder";

    // Up to the limit given and no further, from regular files alone.
    EXPECT_EQ(readRegularFile(dir.file("a"), 5), "first");
    EXPECT_EQ(readRegularFile(dir.path() / pathFromUtf8(unicodeName), 4), "skin");
    EXPECT_EQ(failureOf([&] { readRegularFile(dir.file("a"), 4); }), ErrorKind::Refused);
    EXPECT_EQ(failureOf([&] { readRegularFile(dir.file("missing"), 4); }), ErrorKind::NotFound);
    EXPECT_EQ(failureOf([&] { readRegularFile(dir.file("folder"), 4); }), ErrorKind::Refused);

    EXPECT_EQ(utf8FromPath(pathFromUtf8(unicodeName)), unicodeName);
    EXPECT_EQ(folderOf("c.exe"), "");
}

TEST(FolderLock, OneHolderAtATimeAndTheFileGoesWithIt)
{
    TemporaryFolder dir;
    const auto path = dir.file("Korvane.exe.refitor-lock");
    {
        const auto first = tryLockFolder(path);
        ASSERT_NE(first, nullptr);
        EXPECT_TRUE(pathExists(path));
        EXPECT_EQ(tryLockFolder(path), nullptr) << "held: a second one is refused";
    }
    EXPECT_FALSE(pathExists(path)) << "the lock file goes with the lock";

    // A file left by a holder that was killed or lost its power is taken over, and goes too.
    writeFile(path, "");
    EXPECT_NE(tryLockFolder(path), nullptr);
    EXPECT_FALSE(pathExists(path));

    // A lock file that is a folder is no lock, and is left alone.
    std::filesystem::create_directory(path);
    EXPECT_TRUE(failureOf([&] { tryLockFolder(path); }));
    EXPECT_EQ(fileKind(path), FileKind::Directory);
    EXPECT_TRUE(failureOf([&] { tryLockFolder(dir.file("missing/lock")); }));
}
