#include "runtime/Programs.h"

#include "runtime/Files.h"
#include "runtime/RuntimeError.h"
#include "support/PlatformSupport.h"
#include "support/SystemSupport.h"
#include "support/win32/StandInFormat.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winsock2.h>

using runtime::StartedProgram;
using runtime::WindowState;
using support::readFile;
using support::writeFile;
using State = StartedProgram::State;

namespace {

// Stand-ins for the product in a folder of their own, and the marker they write beside it.
class ProgramTest : public ::testing::Test
{
protected:
    std::filesystem::path program() const { return m_app.file("Korvane.exe"); }
    std::filesystem::path marker() const { return m_outside.file("marker"); }
    std::string markerFile(const char *suffix) const
    {
        return readFile(marker().string() + suffix);
    }

    void install(support::Ending ending) const
    {
        writeFile(program(), support::markerProgram(marker(), "new", ending));
    }

    support::TemporaryFolder m_app;
    support::TemporaryFolder m_outside;
};

// A stand-in without instructions runs until a file named "release" appears in its folder.
std::string standInWithoutInstructions()
{
    const std::string told = support::markerProgram("marker", "word");
    const std::size_t length = std::stoul(told.substr(told.size() - standin::kLengthDigits));
    return told.substr(0, told.size() - standin::kFooterBytes - length);
}

int g_ticks = 0;

void CALLBACK countTick(HWND, UINT, UINT_PTR, DWORD)
{
    ++g_ticks;
}

bool containsAny(const std::vector<std::string> &lines, const std::string &part)
{
    for (const std::string &line : lines) {
        if (line.find(part) != std::string::npos)
            return true;
    }
    return false;
}

} // namespace

TEST_F(ProgramTest, HowAProgramEndsIsToldAndItRanInItsOwnFolderAsAsked)
{
    using support::Ending;
    const struct
    {
        const char *what;
        Ending ending;
        WindowState state;
        const char *shown; // the show state it was given
        State expected;
        const char *crash;
    } rows[] = {
        {"exit 0, minimized", Ending::Exit0, WindowState::MinimizedFocus, "2", State::Exited, ""},
        {"exit 3, normal", Ending::Exit3, WindowState::Normal, "1", State::Exited, ""},
        {"crash, maximized", Ending::CrashesAtOnce, WindowState::MaximizedFocus, "3",
         State::Crashed, "an access violation (0xC0000005)"},
        {"killed, hidden", Ending::KilledAtOnce, WindowState::Hidden, "0", State::Crashed,
         "a fail-fast exit (0xC0000409)"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        std::filesystem::remove(marker());
        install(row.ending);
        const auto started = runtime::startProgram(program(), row.state);
        EXPECT_EQ(started->watch(std::chrono::seconds(20)), row.expected);
        EXPECT_EQ(started->crash(), row.crash);
        EXPECT_EQ(readFile(marker()), "new\n");
        EXPECT_EQ(markerFile(".cwd"), m_app.text() + "\n");
        EXPECT_EQ(markerFile(".show"), std::string(row.shown) + "\n");
    }
}

TEST_F(ProgramTest, WhatCannotStartIsToldAndARunningOneIsWatchedWithoutSpinning)
{
    using runtime::ErrorKind;
    const auto failure = [](const std::filesystem::path &path) -> std::optional<ErrorKind> {
        try {
            runtime::startProgram(path, WindowState::Normal);
        } catch (const runtime::RuntimeError &error) {
            EXPECT_NE(std::string(error.what()).find("cannot start"), std::string::npos)
                << error.what();
            return error.kind();
        }
        return std::nullopt;
    };
    EXPECT_EQ(failure(program()), ErrorKind::NotFound);
    writeFile(program(), support::unstartableProgram());
    ASSERT_TRUE(runtime::isRunnableExecutable(program())) << "it passes for a program";
    EXPECT_EQ(failure(program()), ErrorKind::Failed);
    writeFile(program(), "Korvane 2.0 is coming soon");
    EXPECT_EQ(failure(program()), ErrorKind::Failed);

    writeFile(program(), standInWithoutInstructions());
    const auto started = runtime::startProgram(program(), WindowState::Normal);
    g_ticks = 0;
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 20, &countTick);
    ASSERT_NE(timer, 0U);
    const double before = support::processorSeconds();
    EXPECT_EQ(started->watch(std::chrono::milliseconds(500)), State::Running);
    EXPECT_LT(support::processorSeconds() - before, 0.25) << "watching keeps no processor busy";
    ::KillTimer(nullptr, timer);
    EXPECT_GE(g_ticks, 5) << "messages are dispatched while watching";
    writeFile(m_app.file("release"), "");
    EXPECT_EQ(started->watch(std::chrono::seconds(20)), State::Exited);
    EXPECT_EQ(started->crash(), "");
}

TEST_F(ProgramTest, AStartedProgramInheritsNoHandleOfOurs)
{
    // What the updater has open when it starts the product: its lock file and a connection.
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const auto lock = m_app.file("Korvane.exe.refitor-lock");
    const HANDLE lockFile = ::CreateFileW(lock.c_str(), GENERIC_WRITE, 0, &inheritable, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lockFile, INVALID_HANDLE_VALUE);
    WSADATA sockets;
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &sockets), 0);
    const SOCKET connection = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(connection, INVALID_SOCKET);
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(connection, reinterpret_cast<const sockaddr *>(&loopback), sizeof loopback),
              0);
    install(support::Ending::ListsItsDescriptors);

    const auto started = runtime::startProgram(program(), WindowState::Normal);
    ASSERT_EQ(started->watch(std::chrono::seconds(20)), State::Exited);
    const std::vector<std::string> open = support::inheritedDescriptors(marker());
    EXPECT_FALSE(containsAny(open, ".refitor-lock")) << open.size() << " handles listed";
    EXPECT_FALSE(containsAny(open, "socket:"));

    // The same program started by a plain inheriting CreateProcessW does see both: the listing
    // above could have told.
    std::filesystem::remove(marker());
    std::wstring commandLine = L"\"" + program().native() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION inheriting{};
    ASSERT_TRUE(::CreateProcessW(program().c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                 nullptr, m_app.path().c_str(), &startup, &inheriting));
    ::WaitForSingleObject(inheriting.hProcess, 20'000);
    ::CloseHandle(inheriting.hThread);
    ::CloseHandle(inheriting.hProcess);
    const std::vector<std::string> inherited = support::inheritedDescriptors(marker());
    EXPECT_TRUE(containsAny(inherited, ".refitor-lock"));
    EXPECT_TRUE(containsAny(inherited, "socket:"));

    ::closesocket(connection);
    ::WSACleanup();
    ::CloseHandle(lockFile);
}

TEST_F(ProgramTest, ARunningProgramCanBeMovedAside)
{
    // The updater moves the old executable aside while the product may still be running.
    writeFile(program(), standInWithoutInstructions());
    const auto started = runtime::startProgram(program(), WindowState::Normal);
    ASSERT_EQ(started->watch(std::chrono::milliseconds(200)), State::Running);
    const auto aside = m_app.file("Korvane.exe.refitor-backup");
    EXPECT_NO_THROW(runtime::renameNoReplace(program(), aside));
    writeFile(m_app.file("release"), "");
    EXPECT_EQ(started->watch(std::chrono::seconds(20)), State::Exited);
}
