#include "runtime/Files.h"

#include "runtime/FilesTest.h"
#include "runtime/RuntimeError.h"
#include "runtime/Text.h"
#include "support/PlatformSupport.h"
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
using support::readFile;
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

void filestest::expectJudged(const std::filesystem::path &fresh, const std::vector<Judged> &files)
{
    const std::filesystem::path noOldOne = fresh.parent_path() / "missing";
    for (const Judged &file : files) {
        SCOPED_TRACE(file.what);
        writeFile(fresh, file.bytes);
        if (*file.reason == '\0') {
            EXPECT_NO_THROW(prepareExecutable(fresh, noOldOne));
            EXPECT_TRUE(isRunnableExecutable(fresh));
            continue;
        }
        try {
            prepareExecutable(fresh, noOldOne);
            ADD_FAILURE() << "accepted";
        } catch (const RuntimeError &error) {
            EXPECT_EQ(error.kind(), ErrorKind::Refused);
            EXPECT_NE(std::string(error.what()).find(file.reason), std::string::npos)
                << error.what();
        }
        EXPECT_EQ(readFile(fresh), file.bytes) << "a refused file is not touched";
        EXPECT_FALSE(isRunnableExecutable(fresh));
    }
}

TEST(Executables, WhatIsNoProgramHereIsToldForWhatItIsAndLeftUntouched)
{
    TemporaryFolder dir;
    const auto fresh = dir.file("fresh");
    // Another platform's program: a 64-bit ELF header for no machine at all, which runs nowhere.
    const std::string elf = std::string("\x7F"
                                        "ELF\x02\x01\x01",
                                        7) +
                            std::string(57, '\0');
    const std::vector<filestest::Judged> files = {
        {"a program of this platform", support::markerProgram(dir.file("marker"), "new"), ""},
        {"empty", "", "empty file"},
        {"HTML with a byte-order mark",
         "\xEF\xBB\xBF\r\n  <!DOCTYPE html><html><body>Sign in</body></html>", "HTML page"},
        {"HTML without doctype", "<HTML lang=en><HEAD><TITLE>Portal", "HTML page"},
        {"an ELF program of no machine", elf, "another kind of computer"},
        {"ELF's mark without a header", elf.substr(0, 20), "not a program"},
        {"text", "Korvane 2.0 is coming soon", "not a program"},
        {"XML", "<?xml version=\"1.0\"?><Error>AccessDenied</Error>", "not a program"},
    };
    filestest::expectJudged(fresh, files);

    EXPECT_EQ(failureOf([&] { prepareExecutable(dir.path(), {}); }), ErrorKind::Refused);
    EXPECT_FALSE(isRunnableExecutable(dir.path()));
    // Failed or NotFound: the kind of a missing file is each platform's to tell.
    EXPECT_TRUE(failureOf([&] { prepareExecutable(dir.file("missing"), {}); }));
    EXPECT_FALSE(isRunnableExecutable(dir.file("missing")));
}
