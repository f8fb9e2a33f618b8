#include "runtime/AsyncRead.h"
#include "runtime/RuntimeError.h"
#include "support/LoopbackServer.h"
#include "support/PlatformSupport.h"
#include "support/SystemSupport.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QScopeGuard>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
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
using runtime::AsyncReader;
using runtime::ErrorKind;
using runtime::RuntimeError;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

/// Waits for predicate without running the event loop, so that nothing posted to the UI thread is
/// delivered meanwhile.
bool waitWithoutEvents(const std::function<bool()> &predicate,
                       std::chrono::milliseconds timeout = 10s)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return predicate();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

/// Delivers everything already posted to the UI thread: a call queued now comes after it.
void deliverPosted()
{
    bool reached = false;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&reached] { reached = true; }, Qt::QueuedConnection);
    support::waitUntil([&] { return reached; });
}

/// This process's descriptors whose target lies in folder.
int openFilesIn(const fs::path &folder)
{
    int count = 0;
    for (const auto &entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const fs::path target = fs::read_symlink(entry.path(), error);
        if (!error && target.parent_path() == folder)
            ++count;
    }
    return count;
}

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

/// The kind of error a record's Value() throws, none when it returns a path.
std::optional<ErrorKind> valueErrorOf(const AsyncProperty &record)
{
    try {
        static_cast<void>(record.Value());
    } catch (const RuntimeError &error) {
        return error.kind();
    }
    return std::nullopt;
}

/// Every notification of a reader, in arrival order.
class Recorder
{
public:
    struct Event
    {
        bool complete;
        AsyncProperty record;
    };

    AsyncReader::Handler progressHandler()
    {
        return [this](const AsyncProperty &record) { events.push_back({false, record}); };
    }
    AsyncReader::Handler completionHandler()
    {
        return [this](const AsyncProperty &record) { events.push_back({true, record}); };
    }

    std::vector<AsyncProperty> progressOf(const std::string &name) const
    {
        std::vector<AsyncProperty> found;
        for (const auto &event : events) {
            if (!event.complete && event.record.PropertyName() == name)
                found.push_back(event.record);
        }
        return found;
    }
    std::optional<AsyncProperty> completionOf(const std::string &name) const
    {
        for (const auto &event : events) {
            if (event.complete && event.record.PropertyName() == name)
                return event.record;
        }
        return std::nullopt;
    }
    AsyncProperty waitForCompletion(const std::string &name, int timeoutMs = 10000) const
    {
        const bool done =
            support::waitUntil([&] { return completionOf(name).has_value(); }, timeoutMs);
        return done ? *completionOf(name) : AsyncProperty(name, -1, -1, {}, "no completion");
    }
    /// Whether progress follows completion anywhere, or the counts of a name ever go down.
    bool outOfOrder() const
    {
        std::map<std::string, std::int64_t> lastRead;
        std::map<std::string, bool> done;
        for (const auto &event : events) {
            const std::string &name = event.record.PropertyName();
            if (done[name] || event.record.BytesRead() < lastRead[name])
                return true;
            lastRead[name] = event.record.BytesRead();
            done[name] = event.complete;
        }
        return false;
    }

    std::vector<Event> events;
};

class QtAsyncReaderTest : public ::testing::Test
{
protected:
    void SetUp() override { m_server.server().set_keep_alive_timeout(1); }
    void TearDown() override
    {
        m_server.stop();
        runtime::setTransferLimits(m_savedLimits);
    }

    std::string url(const std::string &path) const { return m_server.url(path); }
    const fs::path &folder() const { return m_folder.path(); }
    std::vector<std::string> leftovers() const { return support::entriesOf(folder()); }
    std::ptrdiff_t partFiles() const
    {
        const std::vector<std::string> names = leftovers();
        return std::count_if(names.begin(), names.end(), &runtime::isTemporaryFileName);
    }
    const runtime::TransferLimits m_savedLimits = runtime::transferLimits();
    LoopbackServer m_server;
    support::TemporaryFolder m_folder;
    Recorder m_recorder;
    std::unique_ptr<AsyncReader> m_reader =
        runtime::createAsyncReader(m_recorder.progressHandler(), m_recorder.completionHandler());
};

TEST_F(QtAsyncReaderTest, DownloadsIntoAFlushedTemporaryFileBesideTheDestination)
{
    // Over three of the facility's 8 MiB write-out steps, so steps already on disk are dropped
    // from the page cache while later ones are written: every byte must still read back.
    const std::string data = support::randomBytes(26 * 1024 * 1024 + 17);
    m_server.server().Get("/Korvane.exe", [&](const httplib::Request &, httplib::Response &res) {
        res.set_content(data, "application/octet-stream");
    });
    m_server.start();

    m_reader->start(url("/Korvane.exe"), AsyncReader::kKindFile, "exe", 0, folder());
    EXPECT_TRUE(m_reader->isRunning("exe"));
    const AsyncProperty done = m_recorder.waitForCompletion("exe");

    ASSERT_EQ(done.failure(), "");
    const fs::path file = done.Value();
    EXPECT_EQ(file.parent_path(), folder());
    EXPECT_TRUE(runtime::isTemporaryFileName(file.filename().string())) << file;
    EXPECT_TRUE(support::readFile(file) == data);
    EXPECT_EQ(leftovers(), std::vector{file.filename().string()});
    EXPECT_FALSE(m_reader->isRunning("exe"));

    const auto progress = m_recorder.progressOf("exe");
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().BytesRead(), static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(progress.back().BytesMax(), static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(done.BytesRead(), progress.back().BytesRead());
    EXPECT_FALSE(m_recorder.outOfOrder());
    EXPECT_EQ(valueErrorOf(progress.back()), ErrorKind::Unavailable);
}

TEST_F(QtAsyncReaderTest, SendsNoCacheHeadersOnlyWhenForcedAndAcceptsAnUppercaseScheme)
{
    std::mutex mutex;
    std::map<std::string, std::string> seen;
    m_server.server().Get("/headers", [&](const httplib::Request &req, httplib::Response &res) {
        const std::lock_guard lock(mutex);
        seen[req.get_param_value("who")] =
            req.get_header_value("Cache-Control") + "|" + req.get_header_value("Pragma");
        res.set_content("x", "text/plain");
    });
    m_server.start();

    m_reader->start(url("/headers?who=forced"), 1, "forced", AsyncReader::kOptionForceUpdate,
                    folder());
    m_reader->start(url("/headers?who=plain").replace(0, 5, "HTTP:"), 1, "plain", 0, folder());
    EXPECT_EQ(m_recorder.waitForCompletion("forced").failure(), "");
    EXPECT_EQ(m_recorder.waitForCompletion("plain").failure(), "");

    const std::lock_guard lock(mutex);
    EXPECT_EQ(seen["forced"], "no-cache|no-cache");
    EXPECT_EQ(seen["plain"], "|");
}

TEST_F(QtAsyncReaderTest, AnythingButAFinal200FailsWithoutWritingTheBody)
{
    m_server.server().Get(R"(/status/(\d+))",
                          [](const httplib::Request &req, httplib::Response &res) {
                              res.status = std::stoi(req.matches[1]);
                              if (res.status != 204)
                                  res.set_content(std::string(50000, 'E'), "text/html");
                          });
    m_server.start();

    for (const int status : {404, 500, 204, 203}) {
        const std::string name = std::to_string(status);
        m_reader->start(url("/status/" + name), 1, name, 0, folder());
        const AsyncProperty done = m_recorder.waitForCompletion(name);
        EXPECT_EQ(done.failure(), "the server answered " + name);
        EXPECT_EQ(valueErrorOf(done), ErrorKind::Failed);
        EXPECT_EQ(done.BytesRead(), 0);
        EXPECT_TRUE(m_recorder.progressOf(name).empty()) << status;
        EXPECT_TRUE(leftovers().empty()) << status;
    }
}

TEST_F(QtAsyncReaderTest, ConnectionLostMidwayReportsTheCounts)
{
    const std::string data = support::randomBytes(100000);
    m_server.server().Get("/short", [&](const httplib::Request &, httplib::Response &res) {
        res.set_content_provider(data.size(), "application/octet-stream",
                                 [&](std::size_t offset, std::size_t, httplib::DataSink &sink) {
                                     return offset == 0 && sink.write(data.data(), 40000);
                                 });
    });
    m_server.start();

    m_reader->start(url("/short"), 1, "short", 0, folder());
    const AsyncProperty done = m_recorder.waitForCompletion("short");
    EXPECT_EQ(done.failure(), "the connection was lost after 40,000 of 100,000 bytes");
    EXPECT_EQ(done.BytesRead(), 40000);
    EXPECT_EQ(done.BytesMax(), 100000);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(QtAsyncReaderTest, StalledServerAndRefusedConnectionFail)
{
    runtime::setTransferLimits({.connectTimeout = 2s, .stallTimeout = 1s, .maxRedirects = 10});
    m_server.serveHeld("/stall", support::randomBytes(100000), 1000);
    m_server.start();
    LoopbackServer closed;
    closed.start();
    const std::string refusedUrl = closed.url("/x");
    closed.stop();

    m_reader->start(url("/stall"), 1, "stall", 0, folder());
    m_reader->start(refusedUrl, 1, "refused", 0, folder());
    EXPECT_EQ(m_recorder.waitForCompletion("stall", 5000).failure(),
              "the server stopped sending data");
    EXPECT_EQ(m_recorder.waitForCompletion("refused").failure(), "could not connect to the server");
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(QtAsyncReaderTest, RedirectsAreFollowedUpToTheLimitAndOnlyToTheWeb)
{
    auto &routes = m_server.server();
    routes.Get(R"(/hop/(\d+))", [](const httplib::Request &req, httplib::Response &res) {
        const int left = std::stoi(req.matches[1]);
        if (left == 0)
            res.set_content("landed", "text/plain");
        else
            res.set_redirect("/hop/" + std::to_string(left - 1), 302);
    });
    routes.Get("/loop", [](const httplib::Request &, httplib::Response &res) {
        res.set_content("loop page", "text/html");
        res.set_redirect("/loop", 301);
    });
    routes.Get("/ftp", [](const httplib::Request &, httplib::Response &res) {
        res.set_redirect("ftp://127.0.0.1/Korvane.exe", 302);
    });
    routes.Get("/file", [](const httplib::Request &, httplib::Response &res) {
        res.set_redirect("file:///etc/hostname", 302);
    });
    m_server.start();

    runtime::setTransferLimits({.maxRedirects = 3});
    m_reader->start(url("/hop/3"), 1, "three", 0, folder());
    m_reader->start(url("/loop"), 1, "loop", 0, folder());
    m_reader->start(url("/ftp"), 1, "ftp", 0, folder());
    m_reader->start(url("/file"), 1, "file", 0, folder());
    runtime::setTransferLimits({.maxRedirects = 2});
    m_reader->start(url("/hop/3"), 1, "tooMany", 0, folder());

    const AsyncProperty three = m_recorder.waitForCompletion("three");
    ASSERT_EQ(three.failure(), "");
    EXPECT_EQ(support::readFile(three.Value()), "landed");
    const std::string loop = "the server's redirects go round in a loop";
    EXPECT_EQ(m_recorder.waitForCompletion("loop").failure(), loop);
    EXPECT_EQ(m_recorder.waitForCompletion("tooMany").failure(), loop);
    const std::string notWeb = "the server redirected to an address that is not http or https";
    EXPECT_EQ(m_recorder.waitForCompletion("ftp").failure(), notWeb);
    EXPECT_EQ(m_recorder.waitForCompletion("file").failure(), notWeb);
    EXPECT_TRUE(m_recorder.progressOf("loop").empty());
    EXPECT_EQ(leftovers().size(), 1u);
}

TEST_F(QtAsyncReaderTest, UnknownSizeReportsZeroMaximum)
{
    const std::string data = support::randomBytes(300000);
    m_server.server().Get("/chunked", [&](const httplib::Request &, httplib::Response &res) {
        res.set_chunked_content_provider("application/octet-stream",
                                         [&](std::size_t offset, httplib::DataSink &sink) {
                                             if (offset < data.size())
                                                 return sink.write(data.data() + offset, 100000);
                                             sink.done();
                                             return true;
                                         });
    });
    m_server.start();

    m_reader->start(url("/chunked"), 1, "chunked", 0, folder());
    const AsyncProperty done = m_recorder.waitForCompletion("chunked");
    ASSERT_EQ(done.failure(), "");
    EXPECT_TRUE(support::readFile(done.Value()) == data);
    EXPECT_EQ(done.BytesMax(), 0);
    for (const auto &record : m_recorder.progressOf("chunked"))
        EXPECT_EQ(record.BytesMax(), 0);
}

TEST_F(QtAsyncReaderTest, CancelEndsARunningTransferAndIgnoresUnknownNames)
{
    m_server.serveHeld("/slow", support::randomBytes(1000000), 50000);
    m_server.start();

    m_reader->start(url("/slow"), 1, "slow", 0, folder());
    ASSERT_TRUE(support::waitUntil([&] { return !m_recorder.progressOf("slow").empty(); }));
    EXPECT_EQ(leftovers().size(), 1u);
    m_reader->cancel("nobody");
    m_reader->cancel("slow");
    EXPECT_TRUE(m_reader->isRunning("slow"));

    // Well under the server's own timeout, so only the cancel can end the transfer in time.
    const AsyncProperty done = m_recorder.waitForCompletion("slow", 5000);
    EXPECT_EQ(done.failure(), "the download was cancelled");
    try {
        static_cast<void>(done.Value());
        ADD_FAILURE() << "a cancelled transfer has a value";
    } catch (const RuntimeError &error) {
        EXPECT_EQ(error.kind(), ErrorKind::Failed);
        EXPECT_STREQ(error.what(), "the download was cancelled");
    }
    EXPECT_TRUE(leftovers().empty());
    EXPECT_FALSE(m_reader->isRunning("slow"));
    EXPECT_FALSE(m_recorder.outOfOrder());
}

TEST_F(QtAsyncReaderTest, TransfersRunSideBySide)
{
    const std::string first = support::randomBytes(400000, 1);
    const std::string second = support::randomBytes(200000, 2);
    const Gate gate = m_server.serveHeld("/first", first, 10000);
    m_server.server().Get("/second", [&](const httplib::Request &, httplib::Response &res) {
        res.set_content(second, "application/octet-stream");
    });
    m_server.start();

    m_reader->start(url("/first"), 1, "first", 0, folder());
    m_reader->start(url("/second"), 1, "second", 0, folder());
    const AsyncProperty secondDone = m_recorder.waitForCompletion("second");
    EXPECT_TRUE(m_reader->isRunning("first"));
    gate.open();
    const AsyncProperty firstDone = m_recorder.waitForCompletion("first");

    ASSERT_EQ(firstDone.failure(), "");
    ASSERT_EQ(secondDone.failure(), "");
    EXPECT_NE(firstDone.Value(), secondDone.Value());
    EXPECT_TRUE(support::readFile(firstDone.Value()) == first);
    EXPECT_TRUE(support::readFile(secondDone.Value()) == second);
}

TEST_F(QtAsyncReaderTest, RefusesSynchronouslyWhatCannotRun)
{
    m_server.serveHeld("/slow", support::randomBytes(100000), 1000);
    m_server.start();
    m_reader->start(url("/slow"), 1, "busy", 0, folder());

    struct Refusal
    {
        ErrorKind kind;
        std::string reason;
    };
    const auto refusalOf = [&](const std::string &target, int kind, const std::string &name,
                               const fs::path &tempFolder) -> std::optional<Refusal> {
        try {
            m_reader->start(target, kind, name, 0, tempFolder);
        } catch (const RuntimeError &error) {
            return Refusal{error.kind(), error.what()};
        }
        return std::nullopt;
    };
    const auto busy = refusalOf(url("/slow"), 1, "busy", folder());
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->kind, ErrorKind::Busy);
    EXPECT_EQ(busy->reason, "a download named \"busy\" is already running");
    for (const std::string target :
         {"ftp://127.0.0.1/Korvane.exe", "file:///etc/hostname", "http://", "Korvane.exe", ""}) {
        const auto notWeb = refusalOf(target, 1, "bad", folder());
        ASSERT_TRUE(notWeb) << target;
        EXPECT_EQ(notWeb->kind, ErrorKind::Refused) << target;
        EXPECT_EQ(notWeb->reason, target + " is not an http or https address");
    }
    const auto kind = refusalOf(url("/slow"), 2, "kind", folder());
    ASSERT_TRUE(kind);
    EXPECT_EQ(kind->kind, ErrorKind::Refused);
    // Permission bits cannot refuse the tests' root user; a missing folder refuses everyone.
    const auto noFolder = refusalOf(url("/slow"), 1, "nofolder", folder() / "missing/deeper");
    ASSERT_TRUE(noFolder);
    EXPECT_EQ(noFolder->kind, ErrorKind::Failed);
    EXPECT_NE(noFolder->reason.find("No such file or directory"), std::string::npos)
        << noFolder->reason;

    for (const char *name : {"bad", "kind", "nofolder"})
        EXPECT_FALSE(m_reader->isRunning(name));
    EXPECT_EQ(leftovers().size(), 1u);
}

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

TEST_F(QtAsyncReaderTest, ProgressIsCoalescedButNeverHeldBack)
{
    const std::size_t size = 48 * 1024 * 1024;
    const auto chunk = std::make_shared<std::string>(support::randomBytes(64 * 1024));
    m_server.server().Get("/big", [=](const httplib::Request &, httplib::Response &res) {
        res.set_content_provider(size, "application/octet-stream",
                                 [=](std::size_t offset, std::size_t, httplib::DataSink &sink) {
                                     return sink.write(chunk->data(),
                                                       std::min(chunk->size(), size - offset));
                                 });
    });
    const Gate gate = m_server.serveHeld("/pause", support::randomBytes(300000), 100000,
                                         LoopbackServer::AfterGate::SendTheRest, 5s);
    m_server.start();

    using Clock = std::chrono::steady_clock;
    auto started = Clock::now();
    m_reader->start(url("/big"), 1, "big", 0, folder());
    const AsyncProperty big = m_recorder.waitForCompletion("big", 30000);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    ASSERT_EQ(big.failure(), "");
    const auto progress = m_recorder.progressOf("big");
    // About 30 a second are due; the slack covers the first and the last.
    EXPECT_LE(static_cast<std::int64_t>(progress.size()), 3 + ms.count() / 20)
        << ms.count() << " ms";
    EXPECT_EQ(progress.back().BytesRead(), static_cast<std::int64_t>(size));

    // The server pauses until the test has seen the count that precedes the pause. The bound
    // is many intervals long yet shorter than the worker's fallback wake-up of a second, which
    // is what it guards against.
    m_reader->start(url("/pause"), 1, "pause", 0, folder());
    ASSERT_TRUE(support::waitUntil([&] { return !m_recorder.progressOf("pause").empty(); }));
    started = Clock::now();
    EXPECT_TRUE(support::waitUntil(
        [&] { return m_recorder.progressOf("pause").back().BytesRead() == 100000; }, 4000));
    EXPECT_LT(Clock::now() - started, 600ms);
    gate.open();
    EXPECT_EQ(m_recorder.waitForCompletion("pause").failure(), "");
    EXPECT_FALSE(m_recorder.outOfOrder());
}

TEST_F(QtAsyncReaderTest, DestroyingTheReaderRemovesUnfinishedFilesAndFallsSilent)
{
    m_server.serveHeld("/slow", support::randomBytes(1000000), 50000);
    m_server.start();
    m_reader->start(url("/slow"), 1, "slow", 0, folder());
    m_reader->start(url("/slow"), 1, "other", 0, folder());
    ASSERT_TRUE(support::waitUntil([&] { return !m_recorder.progressOf("slow").empty(); }));
    ASSERT_EQ(leftovers().size(), 2u);

    m_reader.reset();
    EXPECT_TRUE(leftovers().empty());
    const std::size_t heard = m_recorder.events.size();
    deliverPosted();
    EXPECT_EQ(m_recorder.events.size(), heard);
    EXPECT_FALSE(m_recorder.completionOf("slow").has_value());
}

// The window deletes its download control from a completion handler when it closes, and the
// control's progress handler may close the window.
TEST_F(QtAsyncReaderTest, AHandlerMayDestroyTheReader)
{
    const std::string data = support::randomBytes(300000);
    m_server.server().Get("/file", [&](const httplib::Request &, httplib::Response &res) {
        res.set_content(data, "application/octet-stream");
    });
    m_server.serveHeld("/slow", support::randomBytes(1000000), 50000);
    m_server.start();

    // Heap-held captures, used after the reader is gone: the address sanitizer reports the
    // handler's closure should it die with the reader while it still runs.
    const std::string afterwards(64, 'a');
    std::vector<std::string> heard;
    std::unique_ptr<AsyncReader> reader;
    const auto destroyAndGoOn = [&reader, &heard, afterwards](const AsyncProperty &record) {
        heard.push_back(record.PropertyName());
        reader.reset();
        heard.push_back(afterwards);
    };

    reader = runtime::createAsyncReader(destroyAndGoOn, destroyAndGoOn);
    reader->start(url("/slow"), 1, "progress", 0, folder());
    ASSERT_TRUE(support::waitUntil([&] { return !reader; }));
    EXPECT_EQ(heard, (std::vector<std::string>{"progress", afterwards}));
    EXPECT_TRUE(leftovers().empty());

    // Both completions are posted before either is delivered: the first one's handler destroys
    // the reader, the second one's must never run, and only the delivered file remains.
    heard.clear();
    reader = runtime::createAsyncReader({}, destroyAndGoOn);
    reader->start(url("/file"), 1, "first", 0, folder());
    reader->start(url("/file"), 1, "second", 0, folder());
    ASSERT_TRUE(waitWithoutEvents([&] { return openFilesIn(folder()) == 0; }));
    ASSERT_EQ(leftovers().size(), 2u);
    ASSERT_TRUE(support::waitUntil([&] { return !reader; }));
    deliverPosted();
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard.back(), afterwards);
    const std::vector<std::string> left = leftovers();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(support::readFile(folder() / left.front()) == data);
}

TEST_F(QtAsyncReaderTest, OnlyAnUnencodedFinalAnswerIsTaken)
{
    std::mutex mutex;
    std::vector<std::string> accepted;
    auto &routes = m_server.server();
    routes.set_pre_routing_handler([&](const httplib::Request &req, httplib::Response &) {
        const std::lock_guard lock(mutex);
        accepted.push_back(req.get_header_value("Accept-Encoding"));
        return httplib::Server::HandlerResponse::Unhandled;
    });
    routes.Get("/gzip", [](const httplib::Request &, httplib::Response &res) {
        res.set_header("Content-Encoding", "gzip");
        res.set_content(std::string(50000, 'Z'), "application/octet-stream");
    });
    // Only the final answer's headers count: a redirect's coding says nothing about the file.
    routes.Get("/hop", [](const httplib::Request &, httplib::Response &res) {
        res.set_header("Content-Encoding", "gzip");
        res.set_redirect("/identity", 302);
    });
    routes.Get("/identity", [](const httplib::Request &, httplib::Response &res) {
        res.set_header("Content-Encoding", "identity");
        res.set_content("plain", "application/octet-stream");
    });
    m_server.start();

    m_reader->start(url("/gzip"), 1, "gzip", 0, folder());
    m_reader->start(url("/hop"), 1, "hop", 0, folder());
    const AsyncProperty gzip = m_recorder.waitForCompletion("gzip");
    const AsyncProperty hop = m_recorder.waitForCompletion("hop");

    EXPECT_EQ(gzip.failure(),
              "the server sent the file compressed (gzip), which was not asked for");
    EXPECT_TRUE(m_recorder.progressOf("gzip").empty());
    ASSERT_EQ(hop.failure(), "");
    EXPECT_EQ(support::readFile(hop.Value()), "plain");
    EXPECT_EQ(leftovers().size(), 1u);
    const std::lock_guard lock(mutex);
    EXPECT_EQ(accepted, std::vector<std::string>(3, "identity"));
}

TEST_F(QtAsyncReaderTest, ABodyEndedOnlyByClosingIsRefusedAtItsHeaders)
{
    // A provider without a length makes httplib send neither a length nor chunks and close the
    // connection when the provider stops; a cut looks exactly like this.
    // Shared, not borrowed: should the client go on reading, the endless server outlives the
    // test's body until its deadline.
    const auto data = std::make_shared<const std::string>(support::randomBytes(64 * 1024));
    auto &routes = m_server.server();
    routes.Get("/closed", [data](const httplib::Request &, httplib::Response &res) {
        res.set_content_provider("application/octet-stream",
                                 [data](std::size_t offset, httplib::DataSink &sink) {
                                     return offset == 0 && sink.write(data->data(), data->size());
                                 });
    });
    routes.Get("/endless", [data](const httplib::Request &, httplib::Response &res) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        res.set_content_provider("application/octet-stream",
                                 [data, deadline](std::size_t, httplib::DataSink &sink) {
                                     return std::chrono::steady_clock::now() < deadline &&
                                            sink.write(data->data(), data->size());
                                 });
    });
    m_server.start();

    m_reader->start(url("/closed"), 1, "closed", 0, folder());
    m_reader->start(url("/endless"), 1, "endless", 0, folder());
    // Well before the endless server's own deadline.
    const std::string unframed = "the server did not say how long the file is, so a cut "
                                 "connection could not be told from the end of the file";
    EXPECT_EQ(m_recorder.waitForCompletion("closed", 5000).failure(), unframed);
    EXPECT_EQ(m_recorder.waitForCompletion("endless", 5000).failure(), unframed);
    EXPECT_TRUE(m_recorder.progressOf("closed").empty());
    EXPECT_TRUE(m_recorder.progressOf("endless").empty());
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(QtAsyncReaderTest, AChunkedBodyCutBeforeItsLastChunkFails)
{
    const std::string data = support::randomBytes(10000);
    m_server.server().Get("/chunks", [&](const httplib::Request &, httplib::Response &res) {
        // Cut right after a whole chunk, where only the missing last chunk shows the loss.
        res.set_chunked_content_provider(
            "application/octet-stream", [&](std::size_t offset, httplib::DataSink &sink) {
                return offset < 3 * data.size() && sink.write(data.data(), data.size());
            });
    });
    m_server.start();

    m_reader->start(url("/chunks"), 1, "chunks", 0, folder());
    const AsyncProperty done = m_recorder.waitForCompletion("chunks");
    EXPECT_EQ(done.failure(), "the connection was lost after 30,000 bytes");
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(QtAsyncReaderTest, TheSizeLimitHoldsForAnnouncedAndForGrowingBodies)
{
    constexpr std::size_t limit = 1024 * 1024;
    runtime::setTransferLimits({.maxBytes = limit});
    const std::string data = support::randomBytes(limit + 1);
    auto &routes = m_server.server();
    routes.Get("/exact", [&](const httplib::Request &, httplib::Response &res) {
        res.set_content(data.substr(0, limit), "application/octet-stream");
    });
    routes.Get("/empty", [](const httplib::Request &, httplib::Response &res) {
        res.set_content(std::string(), "application/octet-stream");
    });
    routes.Get("/over", [&](const httplib::Request &, httplib::Response &res) {
        res.set_content(data, "application/octet-stream");
    });
    // Its own data: should the client go on reading, this server outlives the test's body.
    const auto piece = std::make_shared<const std::string>(data.substr(0, 64 * 1024));
    routes.Get("/endless", [piece](const httplib::Request &, httplib::Response &res) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        res.set_chunked_content_provider("application/octet-stream",
                                         [piece, deadline](std::size_t, httplib::DataSink &sink) {
                                             return std::chrono::steady_clock::now() < deadline &&
                                                    sink.write(piece->data(), piece->size());
                                         });
    });
    m_server.start();

    for (const char *name : {"exact", "empty", "over", "endless"})
        m_reader->start(url(std::string("/") + name), 1, name, 0, folder());

    const AsyncProperty exact = m_recorder.waitForCompletion("exact");
    ASSERT_EQ(exact.failure(), "");
    EXPECT_TRUE(support::readFile(exact.Value()) == data.substr(0, limit));
    const AsyncProperty empty = m_recorder.waitForCompletion("empty");
    ASSERT_EQ(empty.failure(), "");
    EXPECT_EQ(fs::file_size(empty.Value()), 0u);

    EXPECT_EQ(m_recorder.waitForCompletion("over").failure(),
              "the server announced more than 1,048,576 bytes");
    EXPECT_TRUE(m_recorder.progressOf("over").empty());
    const AsyncProperty endless = m_recorder.waitForCompletion("endless", 5000);
    EXPECT_EQ(endless.failure(), "the server sent more than 1,048,576 bytes");
    EXPECT_LE(endless.BytesRead(), static_cast<std::int64_t>(limit));
    EXPECT_EQ(leftovers().size(), 2u);
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

TEST_F(QtAsyncReaderTest, DestroyingTheReaderRemovesCompletedFilesNotYetDelivered)
{
    const std::string data = support::randomBytes(300000);
    m_server.server().Get("/file", [&](const httplib::Request &, httplib::Response &res) {
        res.set_content(data, "application/octet-stream");
    });
    m_server.start();
    m_reader->start(url("/file"), 1, "delivered", 0, folder());
    const AsyncProperty delivered = m_recorder.waitForCompletion("delivered");
    ASSERT_EQ(delivered.failure(), "");

    m_reader->start(url("/file"), 1, "posted", 0, folder());
    ASSERT_EQ(openFilesIn(folder()), 1);
    // The worker closes the finished file and posts its completion in one go, so once the file
    // is closed the completion is on its way but, without the event loop, not delivered.
    ASSERT_TRUE(waitWithoutEvents([&] { return openFilesIn(folder()) == 0; }));
    ASSERT_EQ(leftovers().size(), 2u);

    m_reader.reset();
    EXPECT_EQ(leftovers(), std::vector{delivered.Value().filename().string()});
    deliverPosted();
    EXPECT_FALSE(m_recorder.completionOf("posted").has_value());
}

TEST_F(QtAsyncReaderTest, ExitingWhileATransferRunsLeavesNoTemporaryFile)
{
    // Held until TearDown opens the gate, after the test's body: nothing of the body is used.
    const auto requested = std::make_shared<std::atomic<bool>>(false);
    const Gate gate = m_server.newGate();
    m_server.server().Get("/held", [=](const httplib::Request &, httplib::Response &res) {
        res.set_content_provider(100000, "application/octet-stream",
                                 [=](std::size_t offset, std::size_t, httplib::DataSink &sink) {
                                     if (offset == 0) {
                                         *requested = true;
                                         return sink.write(std::string(1000, 'h').data(), 1000);
                                     }
                                     gate.wait(10s);
                                     return false;
                                 });
    });
    m_server.start();

    // The child exits once its standard input closes.
    support::ChildProcess child(REFITOR_TEST_CHILD, {"refitor-test-child", "exit-during-read",
                                                     m_server.url("/held"), folder().string()});
    const bool started = support::waitUntil([&] { return requested->load(); });
    const std::ptrdiff_t partsWhileRunning = partFiles();
    child.closeInput();

    EXPECT_TRUE(started);
    EXPECT_EQ(partsWhileRunning, 1);
    ASSERT_TRUE(child.wait()) << "the child did not end";
    EXPECT_EQ(child.exitCode(), 1);
    EXPECT_EQ(partFiles(), 0);
}

TEST(QtAsyncReaderNames, TemporaryFileNamePattern)
{
    EXPECT_TRUE(runtime::isTemporaryFileName(".refitor-aZ09xY.part"));
    for (const char *other : {"refitor-aZ09xY.part", ".refitor-aZ09x.part", ".refitor-aZ09xYz.part",
                              ".refitor-aZ0_xY.part", ".refitor-aZ09xY.part~",
                              ".Refitor-aZ09xY.part", ".refitor-aZ09xY.prt", "Korvane.exe", ""})
        EXPECT_FALSE(runtime::isTemporaryFileName(other)) << other;
}

} // namespace
