#include "runtime/Files.h"

#include "runtime/RuntimeError.h"
#include "runtime/Text.h"
#include "support/PlatformSupport.h"
#include "support/ProgramBytes.h"
#include "support/SystemSupport.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace runtime;
using support::failureOf;
using support::incompleteProgram;
using support::readFile;
using support::structAt;
using support::TemporaryFolder;
using support::with;
using support::writeFile;

namespace {

// A whole program for this computer, small enough to copy for every row of a table.
std::string nativeProgram()
{
    return readFile("/bin/true");
}

} // namespace

TEST(QtFiles, RenameNeverOverwritesAndExchangeSwapsAtOnce)
{
    TemporaryFolder dir;
    const auto from = dir.file("new");
    const auto to = dir.file("Korvane.exe");
    writeFile(from, "new bytes");
    writeFile(to, "old bytes");

    EXPECT_EQ(failureOf([&] { renameNoReplace(from, to); }), ErrorKind::Exists);
    EXPECT_EQ(readFile(to), "old bytes");
    EXPECT_EQ(readFile(from), "new bytes");

    if (exchangeFiles(from, to)) {
        EXPECT_EQ(readFile(to), "new bytes");
        EXPECT_EQ(readFile(from), "old bytes");
        EXPECT_EQ(failureOf([&] { exchangeFiles(from, dir.file("missing")); }),
                  ErrorKind::NotFound);
        EXPECT_EQ(readFile(from), "old bytes") << "a refused swap changes nothing";
    }

    deleteFile(to);
    renameNoReplace(from, to);
    EXPECT_FALSE(pathExists(from));
    EXPECT_EQ(failureOf([&] { renameNoReplace(from, to); }), ErrorKind::NotFound);
    EXPECT_EQ(failureOf([&] { deleteFile(from); }), ErrorKind::NotFound);
    EXPECT_NO_THROW(syncFolder(dir.path()));
    EXPECT_EQ(failureOf([&] { syncFolder(dir.file("missing")); }), ErrorKind::NotFound);
}

TEST(QtFiles, RenameRefusesToCrossFileSystemsInsteadOfCopying)
{
    if (!std::filesystem::is_directory("/dev/shm"))
        GTEST_SKIP() << "no second file system (/dev/shm) on this machine";
    TemporaryFolder disk; // on the disk with the build, most likely
    const std::filesystem::path memory =
        "/dev/shm/refitor-files-test-" + std::to_string(::getpid());
    std::filesystem::create_directory(memory);
    writeFile(disk.file("data"), "payload");
    EXPECT_TRUE(failureOf([&] { renameNoReplace(disk.file("data"), memory / "data"); }));
    EXPECT_FALSE(pathExists(memory / "data"));
    EXPECT_TRUE(pathExists(disk.file("data")));
    std::filesystem::remove_all(memory);
}

// What only POSIX has: links, dangling ones, and FIFOs (runtime/FilesTest.cpp has the rest).
TEST(QtFiles, LinksAndFifos)
{
    TemporaryFolder dir;
    writeFile(dir.file("a"), "first");
    std::filesystem::create_symlink(dir.file("a"), dir.file("link"));
    std::filesystem::create_symlink(dir.file("nowhere"), dir.file("dangling"));
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(fileKind(dir.file("link")), FileKind::SymbolicLink);
    EXPECT_EQ(fileKind(dir.file("fifo")), FileKind::Other);
    EXPECT_TRUE(pathExists(dir.file("dangling"))) << "a dangling link still occupies the name";

    auto entries = folderEntries(dir.path());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{"a", "dangling", "fifo", "link"}));

    EXPECT_EQ(readRegularFile(dir.file("link"), 5), "first");
    // No writer ever opens the FIFO: a blocking open would never return.
    auto reading = std::async(std::launch::async, [&] {
        return failureOf([&] { readRegularFile(dir.file("fifo"), 4); });
    });
    ASSERT_EQ(reading.wait_for(std::chrono::seconds(5)), std::future_status::ready)
        << "reading a FIFO blocked";
    EXPECT_EQ(reading.get(), ErrorKind::Refused);

    EXPECT_EQ(folderOf("/a/b/c.exe"), "/a/b");
    EXPECT_EQ(folderOf("/c.exe"), "/");
}

TEST(QtExecutables, OnlyAProgramForThisComputerIsPreparedAndGetsTheOldBits)
{
    TemporaryFolder dir;
    const auto old = dir.file("old");
    const auto fresh = dir.file("fresh");
    writeFile(old, "#!/bin/sh\n");

    std::string foreign = nativeProgram();
    foreign[18] = static_cast<char>(foreign[18] ^ 0x01); // another e_machine
    const struct
    {
        const char *what;
        std::string bytes;
        const char *reason; // "" when accepted
    } files[] = {
        {"script", "#!/bin/sh\necho hi\n", ""},
        {"native program", nativeProgram(), ""},
        {"another machine", foreign, "another kind of computer"},
        {"Windows program", std::string("MZ\x90\x00\x03", 5), "Windows program"},
    };
    for (const auto &file : files) {
        SCOPED_TRACE(file.what);
        writeFile(fresh, file.bytes);
        support::setMode(fresh, 0600);
        if (*file.reason == '\0') {
            EXPECT_NO_THROW(prepareExecutable(fresh, old));
            EXPECT_TRUE(isRunnableExecutable(fresh));
        } else {
            try {
                prepareExecutable(fresh, old);
                ADD_FAILURE() << "accepted";
            } catch (const RuntimeError &error) {
                EXPECT_EQ(error.kind(), ErrorKind::Refused);
                EXPECT_NE(std::string(error.what()).find(file.reason), std::string::npos)
                    << error.what();
            }
            EXPECT_EQ(support::modeOf(fresh), 0600U) << "a refused file is not touched";
            EXPECT_FALSE(isRunnableExecutable(fresh));
        }
    }

    writeFile(fresh, "#!/bin/sh\n");
    for (const auto &[oldMode, newMode] : {std::pair<unsigned, unsigned>{0750, 0750},
                                           {04755, 0755}, // never setuid on downloaded bytes
                                           {02711, 0711},
                                           {01775, 0775},
                                           {0600, 0755}, // the old one could not run
                                           {0, 0755}}) {
        support::setMode(old, oldMode);
        prepareExecutable(fresh, old);
        EXPECT_EQ(support::modeOf(fresh), newMode) << std::oct << oldMode;
    }
    prepareExecutable(fresh, dir.file("missing"));
    EXPECT_EQ(support::modeOf(fresh), 0755U) << "no old file: the usual mode of a program";

    // Never through a link, and only a regular file.
    std::filesystem::create_symlink(fresh, dir.file("link"));
    EXPECT_TRUE(failureOf([&] { prepareExecutable(dir.file("link"), old); }));
    EXPECT_FALSE(isRunnableExecutable(dir.file("link")));
    support::setMode(fresh, 0644);
    EXPECT_FALSE(isRunnableExecutable(fresh)) << "nobody may execute it";
}

TEST(QtExecutables, AProgramThatEndsBeforeWhatItsHeadersDescribeIsRefused)
{
    using Ehdr = ElfW(Ehdr);
    using Phdr = ElfW(Phdr);
    using Shdr = ElfW(Shdr);
    TemporaryFolder dir;
    const auto fresh = dir.file("fresh");
    const std::string whole = nativeProgram();
    const std::uint64_t size = whole.size();
    const auto header = structAt<Ehdr>(whole, 0);
    const std::uint64_t sectionTableBytes = std::uint64_t{header.e_shnum} * header.e_shentsize;
    // The cuts below are measured against the file's end, so the last thing in it must be the
    // section header table, as linkers place it.
    ASSERT_EQ(header.e_shoff + sectionTableBytes, size);
    const auto phdrAt = [&](std::size_t i) { return header.e_phoff + i * header.e_phentsize; };
    const auto segment = [&](std::size_t i) { return structAt<Phdr>(whole, phdrAt(i)); };
    std::vector<std::size_t> loads;
    for (std::size_t i = 0; i < header.e_phnum; ++i) {
        if (segment(i).p_type == PT_LOAD)
            loads.push_back(i);
    }
    ASSERT_FALSE(loads.empty());
    const auto bigSegment =
        segment(*std::max_element(loads.begin(), loads.end(), [&](std::size_t a, std::size_t b) {
            return segment(a).p_filesz < segment(b).p_filesz;
        }));
    const std::size_t last =
        *std::max_element(loads.begin(), loads.end(), [&](std::size_t a, std::size_t b) {
            return segment(a).p_offset + segment(a).p_filesz <
                   segment(b).p_offset + segment(b).p_filesz;
        });
    const auto reachingPast = [&](std::string bytes, std::uint64_t end) {
        auto longer = structAt<Phdr>(bytes, phdrAt(last));
        longer.p_filesz = end - longer.p_offset;
        return with(bytes, phdrAt(last), longer);
    };

    // The counts in section 0, where they go when the header's fields cannot hold them.
    auto extendedHeader = header;
    extendedHeader.e_phnum = PN_XNUM;
    extendedHeader.e_shnum = 0;
    auto zero = structAt<Shdr>(whole, header.e_shoff);
    zero.sh_info = header.e_phnum;
    zero.sh_size = header.e_shnum;
    const std::string extended = with(with(whole, 0, extendedHeader), header.e_shoff, zero);

    auto sectionsPast = header;
    sectionsPast.e_shoff = size;
    auto sectionsWrapping = header;
    sectionsWrapping.e_shoff = ~decltype(header.e_shoff){0} - 8;
    auto wrappingSegment = segment(last);
    wrappingSegment.p_offset = ~decltype(wrappingSegment.p_offset){0} - 8;
    auto smallEntries = header;
    smallEntries.e_phentsize = sizeof(Phdr) - 8;

    const struct
    {
        const char *what;
        std::string bytes;
        std::string reason; // "" when accepted
    } rows[] = {
        {"whole", whole, ""},
        {"with bytes after its end", whole + support::randomBytes(4096), ""},
        {"cut inside the ELF header", whole.substr(0, sizeof(Ehdr) - 4),
         incompleteProgram(sizeof(Ehdr), sizeof(Ehdr) - 4)},
        {"cut inside the program header table", whole.substr(0, phdrAt(1) + 9),
         incompleteProgram(size, phdrAt(1) + 9)},
        {"cut inside a segment", whole.substr(0, bigSegment.p_offset + bigSegment.p_filesz / 2),
         incompleteProgram(size, bigSegment.p_offset + bigSegment.p_filesz / 2)},
        {"cut inside the section header table",
         whole.substr(0, header.e_shoff + header.e_shentsize + 5),
         incompleteProgram(size, header.e_shoff + header.e_shentsize + 5)},
        {"one byte short", whole.substr(0, size - 1), incompleteProgram(size, size - 1)},
        {"section header table placed past the end", with(whole, 0, sectionsPast),
         incompleteProgram(size + sectionTableBytes, size)},
        {"section header table placed where no offset reaches", with(whole, 0, sectionsWrapping),
         "incomplete program"},
        {"a segment reaching past the end", reachingPast(whole, size + 1),
         incompleteProgram(size + 1, size)},
        {"a segment placed where no offset reaches", with(whole, phdrAt(last), wrappingSegment),
         "incomplete program"},
        {"counts in section 0", extended, ""},
        {"counts in section 0, one byte short", extended.substr(0, size - 1),
         incompleteProgram(size, size - 1)},
        {"counts in section 0, a segment reaching past the end", reachingPast(extended, size + 7),
         incompleteProgram(size + 7, size)},
        {"program header entries smaller than a program header", with(whole, 0, smallEntries),
         "damaged program"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        support::expectProgramCheck(fresh, row.bytes, row.reason);
    }
}

// A link under the lock's name is no lock, and nothing is made where it points
// (runtime/FilesTest.cpp has the rest).
TEST(QtFolderLock, ALinkIsNoLock)
{
    TemporaryFolder dir;
    const auto path = dir.file("Korvane.exe.refitor-lock");
    std::filesystem::create_symlink(dir.file("elsewhere"), path);
    EXPECT_EQ(failureOf([&] { tryLockFolder(path); }), ErrorKind::Failed);
    EXPECT_FALSE(pathExists(dir.file("elsewhere")));
}

TEST(QtFolderLock, AnotherProcessIsKeptOutAndExitRemovesTheFile)
{
    TemporaryFolder dir;
    const std::string path = dir.file("lock").string();
    // The other process leaves through exit() with the lock held, the way a library that gives
    // up on the display ends a program.
    support::ChildProcess other(REFITOR_TEST_CHILD, {"refitor-test-child", "hold-lock", path});
    ASSERT_EQ(other.readLine(), "locked");
    EXPECT_EQ(tryLockFolder(path), nullptr) << "another process holds it";
    support::ChildProcess third(REFITOR_TEST_CHILD, {"refitor-test-child", "hold-lock", path});
    EXPECT_EQ(third.readLine(), "busy");
    other.closeInput();
    ASSERT_TRUE(other.wait());
    EXPECT_EQ(other.exitCode(), 0);
    EXPECT_FALSE(pathExists(path)) << "exit() removed the lock file";
    EXPECT_NE(tryLockFolder(path), nullptr);
}
