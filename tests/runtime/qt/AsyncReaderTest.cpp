// The asynchronous reader's cases that only the Linux runtime can show: what libcurl and POSIX
// give it (a file size limit, descriptors closed on exec, a name lookup on a thread of
// libcurl's own), and this platform's side of the shared cases in ../AsyncReaderTest.cpp.

#include "runtime/AsyncReaderTest.h"

#include "runtime/AsyncRead.h"
#include "support/LoopbackServer.h"
#include "support/PlatformSupport.h"
#include "support/SystemSupport.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QScopeGuard>
#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/socket.h>
#include <vector>

namespace {

// No name lookup can be made slow honestly here: this machine's resolver answers at once, and a
// slow name server would mean traffic beyond the loopback. So this one name is looked up by the
// stand-in below, which the resolver thread of libcurl calls in place of the C library's (the
// executable's definition comes first) and which holds the lookup until the test releases it.
constexpr std::string_view kSlowName = "slow-lookup.refitor.test";

struct SlowLookup
{
    std::mutex mutex;
    std::condition_variable changed;
    int entered = 0;
    int left = 0;
    bool released = false;
};

SlowLookup &slowLookup()
{
    static SlowLookup lookup;
    return lookup;
}

} // namespace

extern "C" int getaddrinfo(const char *node, const char *service, const addrinfo *hints,
                           addrinfo **result) noexcept
{
    using Real = int (*)(const char *, const char *, const addrinfo *, addrinfo **);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node == nullptr || std::string_view(node) != kSlowName)
        return real(node, service, hints, result);
    SlowLookup &lookup = slowLookup();
    std::unique_lock lock(lookup.mutex);
    ++lookup.entered;
    lookup.changed.notify_all();
    // Bounded, so that a reader that waits for the lookup is held up measurably, not forever.
    lookup.changed.wait_for(lock, std::chrono::seconds(5), [&] { return lookup.released; });
    ++lookup.left;
    lookup.changed.notify_all();
    return EAI_NONAME;
}

using runtime::AsyncProperty;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace readertest {

void deliverPosted()
{
    // Queued calls are delivered in the order they were posted: this one comes after them.
    bool reached = false;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&reached] { reached = true; }, Qt::QueuedConnection);
    EXPECT_TRUE(support::waitUntil([&] { return reached; }));
}

int openFilesIn(const fs::path &folder)
{
    // The worker's file is one of this process's descriptors.
    int count = 0;
    for (const auto &entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const fs::path target = fs::read_symlink(entry.path(), error);
        if (!error && target.parent_path() == folder)
            ++count;
    }
    return count;
}

std::string missingFolderWords()
{
    return "No such file or directory";
}

bool takesChunkedBodies()
{
    // libcurl reads the chunks itself and reports a body cut before its last one.
    return true;
}

} // namespace readertest

namespace {

/// This process's sockets whose peer is 127.0.0.1:port: the client ends of connections to a
/// loopback server, not the server's own ends.
std::vector<int> socketsConnectedTo(int port)
{
    std::vector<int> found;
    for (const auto &entry : fs::directory_iterator("/proc/self/fd")) {
        const int number = std::stoi(entry.path().filename().string());
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        if (::getpeername(number, reinterpret_cast<sockaddr *>(&peer), &size) == 0 &&
            peer.sin_family == AF_INET && ntohs(peer.sin_port) == port &&
            peer.sin_addr.s_addr == htonl(INADDR_LOOPBACK))
            found.push_back(number);
    }
    return found;
}

class QtAsyncReaderTest : public readertest::AsyncReaderTest
{};

TEST_F(QtAsyncReaderTest, DiskWriteFailureIsReported)
{
    // A full disk cannot be arranged here; a file size limit makes the kernel refuse the
    // writes in the same way, with EFBIG in place of ENOSPC.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 2 * 1024 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

    const std::string data = support::randomBytes(6 * 1024 * 1024);
    m_server.server().Get("/big", [&](const httplib::Request &, httplib::Response &res) {
        res.set_content(data, "application/octet-stream");
    });
    m_server.start();
    m_reader->start(url("/big"), 1, "big", 0, folder());
    const AsyncProperty done = m_recorder.waitForCompletion("big");

    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_EQ(done.failure(), "the download could not be written: File too large");
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(QtAsyncReaderTest, TheConnectionToTheServerIsClosedOnExec)
{
    m_server.serveHeld("/held", support::randomBytes(100000), 1000);
    m_server.start();
    m_reader->start(url("/held"), 1, "held", 0, folder());
    ASSERT_TRUE(support::waitUntil([&] { return !m_recorder.progressOf("held").empty(); }));

    const std::vector<int> sockets = socketsConnectedTo(m_server.port());
    ASSERT_EQ(sockets.size(), 1u);
    EXPECT_NE(::fcntl(sockets.front(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(QtAsyncReaderTest, ClosingDuringASlowNameLookupDoesNotWaitForIt)
{
    SlowLookup &lookup = slowLookup();
    const auto releaseLookup = qScopeGuard([&] {
        std::unique_lock lock(lookup.mutex);
        lookup.released = true;
        lookup.changed.notify_all();
        // The detached resolver thread must be out of the stand-in before the test ends.
        lookup.changed.wait_for(lock, 10s, [&] { return lookup.left == lookup.entered; });
    });
    m_reader->start("http://" + std::string(kSlowName) + "/Korvane.exe", 1, "slow", 0, folder());
    {
        std::unique_lock lock(lookup.mutex);
        ASSERT_TRUE(lookup.changed.wait_for(lock, 10s, [&] { return lookup.entered > 0; }));
    }

    const auto started = std::chrono::steady_clock::now();
    m_reader.reset();
    // The stand-in holds the lookup for 5 s unless released.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    EXPECT_TRUE(leftovers().empty());
}

} // namespace
