#include "runtime/Files.h"

#include "runtime/FilesTest.h"
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
#include <optional>
#include <windows.h>

using namespace runtime;
using support::failureOf;
using support::incompleteProgram;
using support::readFile;
using support::structAt;
using support::TemporaryFolder;
using support::with;
using support::writeFile;
using Names = std::vector<std::string>;

namespace {

template <typename Statement> std::string reasonOf(Statement statement)
{
    try {
        statement();
    } catch (const RuntimeError &error) {
        return error.what();
    }
    return {};
}

/// A handle of this test, closed when it goes.
class Opened
{
public:
    Opened(const std::filesystem::path &path, DWORD access, DWORD sharing)
        : m_handle(::CreateFileW(path.c_str(), access, sharing, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr))
    {
        if (m_handle == INVALID_HANDLE_VALUE)
            throw std::runtime_error("cannot open " + path.string());
    }
    ~Opened() { ::CloseHandle(m_handle); }
    Opened(const Opened &) = delete;
    Opened &operator=(const Opened &) = delete;

private:
    HANDLE m_handle;
};

// A whole program for this computer: this test program, its symbols after its image included.
std::string nativeProgram()
{
    std::wstring self(MAX_PATH * 4, L'\0');
    self.resize(::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    return readFile(self);
}

std::string patched(std::string bytes, std::size_t at, std::uint16_t value)
{
    bytes[at] = static_cast<char>(value & 0xFFU);
    bytes[at + 1] = static_cast<char>(value >> 8U);
    return bytes;
}

// Wine answers CreateSymbolicLinkW with success but makes no link.
bool makeLink(const std::filesystem::path &link, const std::filesystem::path &target)
{
    ::CreateSymbolicLinkW(link.c_str(), target.c_str(),
                          SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    return pathExists(link);
}

} // namespace

TEST(Win32Files, RenameNeverReplacesNorCopiesAndExchangeIsLeftToTheCaller)
{
    TemporaryFolder dir;
    const auto from = dir.file("new");
    const auto to = dir.file("Korvane.exe");
    writeFile(from, "new bytes");
    writeFile(to, "old bytes");

    EXPECT_EQ(failureOf([&] { renameNoReplace(from, to); }), ErrorKind::Exists);
    EXPECT_EQ(readFile(to), "old bytes");
    EXPECT_FALSE(exchangeFiles(from, to)) << "Windows swaps no names in one step";
    EXPECT_EQ(readFile(from), "new bytes") << "a refused swap changes nothing";

    deleteFile(to);
    renameNoReplace(from, to);
    EXPECT_EQ(readFile(to), "new bytes");
    EXPECT_FALSE(pathExists(from));
    EXPECT_EQ(failureOf([&] { renameNoReplace(from, to); }), ErrorKind::NotFound);
    EXPECT_EQ(failureOf([&] { deleteFile(from); }), ErrorKind::NotFound);
    EXPECT_NO_THROW(syncFolder(dir.path()));
    EXPECT_EQ(failureOf([&] { syncFolder(dir.file("missing")); }), ErrorKind::NotFound);
    EXPECT_EQ(failureOf([&] { syncFolder(to); }), ErrorKind::NotFound);

    // Installers leave programs read-only now and then; their backup must still go.
    ASSERT_TRUE(::SetFileAttributesW(to.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_NO_THROW(deleteFile(to));
    EXPECT_FALSE(pathExists(to));

    // Another drive: Wine's Z: reaches a memory file system, the prefix's C: the disk.
    const std::filesystem::path memory = L"Z:\\dev\\shm";
    if (fileKind(memory) == FileKind::Directory) {
        writeFile(from, "payload");
        const auto elsewhere =
            memory / ("refitor-files-test-" + std::to_string(::GetCurrentProcessId()));
        EXPECT_TRUE(failureOf([&] { renameNoReplace(from, elsewhere); }));
        EXPECT_FALSE(pathExists(elsewhere)) << "never copied";
        EXPECT_TRUE(pathExists(from));
    }
}

TEST(Win32Files, AFileHeldOpenIsBusyUntilLetGo)
{
    TemporaryFolder dir;
    const auto exe = dir.file("Korvane.exe");
    const auto backup = dir.file("Korvane.exe.refitor-backup");
    writeFile(exe, "old");
    for (const DWORD sharing : {0UL, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE)}) {
        SCOPED_TRACE(sharing == 0 ? "no sharing" : "shared but for deletion");
        {
            const Opened held(exe, GENERIC_READ, sharing);
            EXPECT_EQ(failureOf([&] { renameNoReplace(exe, backup); }), ErrorKind::Busy);
            const std::string reason = reasonOf([&] { renameNoReplace(exe, backup); });
            EXPECT_NE(reason.find(exe.string() + " is in use by another program"),
                      std::string::npos)
                << reason;
            EXPECT_EQ(failureOf([&] { deleteFile(exe); }), ErrorKind::Busy);
            EXPECT_FALSE(pathExists(backup));
        }
        EXPECT_EQ(readFile(exe), "old");
        renameNoReplace(exe, backup);
        renameNoReplace(backup, exe);
    }
    // Sharing deletion, as Windows does for a running program's image, lets the name move.
    {
        const Opened running(exe, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
        EXPECT_NO_THROW(renameNoReplace(exe, backup));
    }
    EXPECT_EQ(readFile(backup), "old");
}

// What only Windows has: hidden files, devices, files open in another program, named pipes,
// links where Wine makes them (runtime/FilesTest.cpp has the rest).
TEST(Win32Files, HiddenFilesDevicesHeldFilesPipesAndLinks)
{
    TemporaryFolder dir;
    writeFile(dir.file("a"), "first");
    writeFile(dir.file(".hidden"), "");
    ASSERT_TRUE(::SetFileAttributesW(dir.file(".hidden").c_str(), FILE_ATTRIBUTE_HIDDEN));

    auto entries = folderEntries(dir.path());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (Names{".hidden", "a"}));
    EXPECT_EQ(failureOf([&] { folderEntries(dir.file("a")); }), ErrorKind::NotFound)
        << reasonOf([&] { folderEntries(dir.file("a")); });

    EXPECT_EQ(failureOf([&] { readRegularFile(L"NUL", 4); }), ErrorKind::Refused);
    {
        // A skin open in an editor is read all the same.
        const Opened editing(dir.file("a"), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE);
        EXPECT_EQ(readRegularFile(dir.file("a"), 5), "first");
    }

    // A pipe whose server never writes: a read would wait forever.
    const std::wstring pipeName =
        L"\\\\.\\pipe\\refitor-files-test-" + std::to_wstring(::GetCurrentProcessId());
    const HANDLE server = ::CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE,
                                             1, 0, 0, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    auto reading = std::async(std::launch::async,
                              [&] { return failureOf([&] { readRegularFile(pipeName, 4); }); });
    ASSERT_EQ(reading.wait_for(std::chrono::seconds(5)), std::future_status::ready)
        << "reading a pipe blocked";
    EXPECT_EQ(reading.get(), ErrorKind::Refused);
    ::CloseHandle(server);

    if (makeLink(dir.file("link"), dir.file("a"))) {
        EXPECT_EQ(fileKind(dir.file("link")), FileKind::SymbolicLink);
        EXPECT_EQ(readRegularFile(dir.file("link"), 5), "first");
    }
}

TEST(Win32Files, FoldersOfPathsAndUtf8)
{
    EXPECT_EQ(folderOf("C:\\Program Files\\Korvane\\Korvane.exe"), "C:\\Program Files\\Korvane");
    EXPECT_EQ(folderOf("C:\\Korvane.exe"), "C:\\");
    EXPECT_EQ(folderOf("C:/Korvane/Korvane.exe"), "C:/Korvane");
    EXPECT_EQ(folderOf("\\Korvane.exe"), "\\");
    EXPECT_EQ(folderOf("\\\\server\\share\\Korvane.exe"), "\\\\server\\share");
    EXPECT_EQ(folderOf("Korvane.exe"), "");

    const std::string text = "C:\\Users\\J\xC3\xB6rg\\\xF0\x9F\x99\x82.skn";
    EXPECT_EQ(pathFromUtf8(text).native(), L"C:\\Users\\J\u00F6rg\\\U0001F642.skn");
    EXPECT_EQ(utf8FromPath(pathFromUtf8(text)), text);
    // Windows names may hold a lone surrogate, which UTF-8 cannot: it shows as U+FFFD.
    EXPECT_EQ(utf8FromPath(std::filesystem::path(std::wstring(L"a\xD800z"))), "a\xEF\xBF\xBDz");
}

TEST(Win32Executables, OnlyAProgramForThisComputerIsPrepared)
{
    TemporaryFolder dir;
    const auto fresh = dir.file("fresh");
    const std::string native = nativeProgram();
    const std::size_t peAt =
        static_cast<unsigned char>(native[0x3C]) |
        (static_cast<std::size_t>(static_cast<unsigned char>(native[0x3D])) << 8U);
    const std::size_t machineAt = peAt + 4;
    const std::size_t characteristicsAt = peAt + 4 + 18;
    const std::uint16_t characteristics = static_cast<std::uint16_t>(
        static_cast<unsigned char>(native[characteristicsAt]) |
        (static_cast<unsigned char>(native[characteristicsAt + 1]) << 8U));
    std::string dos = "MZ" + std::string(0x3E, '\0') + "NE" + std::string(64, '\0');
    dos[0x3C] = 0x40;
    const std::vector<filestest::Judged> files = {
        {"native program", native, ""},
        {"32-bit x86 program", patched(native, machineAt, IMAGE_FILE_MACHINE_I386),
         "another kind of computer"},
        {"ARM64 program", patched(native, machineAt, 0xAA64), "another kind of computer"},
        {"DLL", patched(native, characteristicsAt, characteristics | IMAGE_FILE_DLL),
         "not a program"},
        {"16-bit program", dos, "another kind of computer"},
        {"script", "#!/bin/sh\necho hi\n", "not a program"},
        {"short MZ", "MZ", "not a program"},
    };
    filestest::expectJudged(fresh, files);

    writeFile(fresh, native);
    {
        // Someone still writing it: nothing may change the file between check and flush.
        const Opened writing(fresh, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
        EXPECT_EQ(failureOf([&] { prepareExecutable(fresh, {}); }), ErrorKind::Busy);
        EXPECT_TRUE(isRunnableExecutable(fresh)) << "looking needs no exclusive hold";
    }
    EXPECT_EQ(failureOf([&] { prepareExecutable(dir.file("missing"), {}); }), ErrorKind::NotFound);
    if (makeLink(dir.file("link"), fresh)) {
        EXPECT_EQ(failureOf([&] { prepareExecutable(dir.file("link"), {}); }), ErrorKind::Refused);
        EXPECT_FALSE(isRunnableExecutable(dir.file("link")));
    }
}

TEST(Win32Executables, AProgramThatEndsBeforeWhatItsHeadersDescribeIsRefused)
{
    TemporaryFolder dir;
    const auto fresh = dir.file("fresh");
    // A stand-in: a real image of this computer, its instructions in bytes after the image.
    const std::string program = support::markerProgram(dir.file("marker"), "new");
    const std::uint64_t size = program.size();
    const std::size_t ntAt = structAt<IMAGE_DOS_HEADER>(program, 0).e_lfanew;
    const auto nt = structAt<IMAGE_NT_HEADERS>(program, ntAt);
    const std::size_t tableAt =
        ntAt + offsetof(IMAGE_NT_HEADERS, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
    const std::size_t tableEnd =
        tableAt + nt.FileHeader.NumberOfSections * sizeof(IMAGE_SECTION_HEADER);
    const auto sectionAt = [&](std::size_t i) {
        return tableAt + i * sizeof(IMAGE_SECTION_HEADER);
    };
    std::uint64_t imageEnd = nt.OptionalHeader.SizeOfHeaders;
    std::size_t biggest = 0; // the section with the most raw data
    std::size_t last = 0;    // the section whose raw data ends the image
    for (std::size_t i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
        const auto section = structAt<IMAGE_SECTION_HEADER>(program, sectionAt(i));
        if (section.SizeOfRawData >
            structAt<IMAGE_SECTION_HEADER>(program, sectionAt(biggest)).SizeOfRawData)
            biggest = i;
        if (section.SizeOfRawData > 0 &&
            section.PointerToRawData + section.SizeOfRawData >= imageEnd) {
            imageEnd = section.PointerToRawData + section.SizeOfRawData;
            last = i;
        }
    }
    const auto big = structAt<IMAGE_SECTION_HEADER>(program, sectionAt(biggest));
    ASSERT_LT(imageEnd, size) << "the instructions follow the image";
    ASSERT_LT(tableEnd + 8, nt.OptionalHeader.SizeOfHeaders) << "room between table and sections";
    ASSERT_GT(nt.OptionalHeader.NumberOfRvaAndSizes, DWORD{IMAGE_DIRECTORY_ENTRY_SECURITY});

    // The certificate table's entry holds a file offset where the others hold addresses.
    const std::size_t certificateAt = ntAt + offsetof(IMAGE_NT_HEADERS, OptionalHeader) +
                                      offsetof(IMAGE_OPTIONAL_HEADER, DataDirectory) +
                                      IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(IMAGE_DATA_DIRECTORY);
    const auto withCertificate = [&](std::uint32_t at, std::uint32_t bytes) {
        return with(program, certificateAt, IMAGE_DATA_DIRECTORY{at, bytes});
    };
    const auto optionalField = [&](std::size_t field) {
        return ntAt + offsetof(IMAGE_NT_HEADERS, OptionalHeader) + field;
    };
    const auto withLastSection = [&](std::uint32_t at) {
        auto moved = structAt<IMAGE_SECTION_HEADER>(program, sectionAt(last));
        moved.PointerToRawData = at;
        return with(program, sectionAt(last), moved);
    };
    const std::uint32_t lastBytes =
        structAt<IMAGE_SECTION_HEADER>(program, sectionAt(last)).SizeOfRawData;
    const std::uint32_t nearTop = 0xFFFFFFFFU - lastBytes / 2;

    const struct
    {
        const char *what;
        std::string bytes;
        std::string reason; // "" when accepted
    } rows[] = {
        {"stand-in", program, ""},
        {"its image alone", program.substr(0, imageEnd), ""},
        {"cut inside the section table", program.substr(0, sectionAt(1) + 9),
         incompleteProgram(tableEnd, sectionAt(1) + 9)},
        {"cut inside the headers", program.substr(0, tableEnd + 8),
         incompleteProgram(imageEnd, tableEnd + 8)},
        {"cut inside a section", program.substr(0, big.PointerToRawData + big.SizeOfRawData / 2),
         incompleteProgram(imageEnd, big.PointerToRawData + big.SizeOfRawData / 2)},
        {"one byte short", program.substr(0, imageEnd - 1),
         incompleteProgram(imageEnd, imageEnd - 1)},
        {"headers longer than the file",
         with(program, optionalField(offsetof(IMAGE_OPTIONAL_HEADER, SizeOfHeaders)),
              static_cast<DWORD>(size + 0x200)),
         incompleteProgram(size + 0x200, size)},
        {"a section placed past the end", withLastSection(static_cast<std::uint32_t>(size)),
         incompleteProgram(size + lastBytes, size)},
        {"a section ending beyond 4 GB", withLastSection(nearTop),
         incompleteProgram(std::uint64_t{nearTop} + lastBytes, size)},
        {"a certificate table past the end",
         withCertificate(static_cast<std::uint32_t>(size - 16), 64),
         incompleteProgram(size + 48, size)},
        {"a certificate table ending beyond 4 GB", withCertificate(0xFFFFFFF0U, 0x100),
         incompleteProgram(0x1000000F0ULL, size)},
        {"a certificate table in the bytes after the image",
         withCertificate(static_cast<std::uint32_t>(imageEnd),
                         static_cast<std::uint32_t>(size - imageEnd)),
         ""},
        {"a certificate entry beyond the directories counted",
         with(withCertificate(static_cast<std::uint32_t>(size), 64),
              optionalField(offsetof(IMAGE_OPTIONAL_HEADER, NumberOfRvaAndSizes)),
              DWORD{IMAGE_DIRECTORY_ENTRY_SECURITY}),
         ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        support::expectProgramCheck(fresh, row.bytes, row.reason);
    }
}

// A folder under the lock's name is refused as such (runtime/FilesTest.cpp has the rest).
TEST(Win32FolderLock, AFolderIsRefused)
{
    TemporaryFolder dir;
    const auto path = dir.file("Korvane.exe.refitor-lock");
    std::filesystem::create_directory(path);
    EXPECT_EQ(failureOf([&] { tryLockFolder(path); }), ErrorKind::Refused);
}

TEST(Win32FolderLock, AnotherProcessIsKeptOutAndItsEndHoweverItComesRemovesTheFile)
{
    TemporaryFolder dir;
    const std::string path = dir.file("lock").string();
    for (const bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "killed" : "exit()");
        {
            support::ChildProcess other(REFITOR_TEST_CHILD,
                                        {"refitor-test-child", "hold-lock", path});
            ASSERT_EQ(other.readLine(), "locked");
            EXPECT_EQ(tryLockFolder(path), nullptr) << "another process holds it";
            support::ChildProcess third(REFITOR_TEST_CHILD,
                                        {"refitor-test-child", "hold-lock", path});
            EXPECT_EQ(third.readLine(), "busy");
            if (!killed) {
                other.closeInput();
                ASSERT_TRUE(other.wait());
                EXPECT_EQ(other.exitCode(), 0);
            }
        } // a ChildProcess still running is killed here
        EXPECT_TRUE(support::waitUntil([&] { return !pathExists(path); }))
            << "the lock file went with the process";
        EXPECT_NE(tryLockFolder(path), nullptr);
    }
}
