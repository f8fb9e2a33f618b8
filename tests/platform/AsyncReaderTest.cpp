#include "platform/AsyncReader.h"

#include "platform/PlatformError.h"
#include "support/LoopbackServer.h"
#include "support/TestUtil.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <optional>
#include <string_view>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
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

using platform::AsyncProperty;
using platform::AsyncReader;
using platform::PlatformError;
using namespace std::chrono_literals;

namespace {

/// Holds a server handler until the test opens it or a timeout passes, so that no server thread
/// waits beyond its test.
class Gate
{
public:
    void open() const
    {
        const std::lock_guard lock(m_state->mutex);
        m_state->open = true;
        m_state->opened.notify_all();
    }
    void wait(std::chrono::milliseconds timeout) const
    {
        std::unique_lock lock(m_state->mutex);
        m_state->opened.wait_for(lock, timeout, [this] { return m_state->open; });
    }

private:
    struct State
    {
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false;
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
};

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

/// This process's descriptors whose target lies in folder.
int openFilesIn(const QString &folder)
{
    const QByteArray prefix = QFile::encodeName(QDir(folder).absolutePath()) + '/';
    int count = 0;
    for (const QString &fd : QDir("/proc/self/fd").entryList(QDir::Files | QDir::System)) {
        char target[4096];
        const QByteArray link = QFile::encodeName("/proc/self/fd/" + fd);
        const ssize_t length = ::readlink(link.constData(), target, sizeof target);
        if (length > 0 && QByteArray(target, length).startsWith(prefix))
            ++count;
    }
    return count;
}

/// This process's sockets whose peer is 127.0.0.1:port: the client ends of connections to a
/// loopback server, not the server's own ends.
std::vector<int> socketsConnectedTo(int port)
{
    std::vector<int> found;
    for (const QString &fd : QDir("/proc/self/fd").entryList(QDir::Files | QDir::System)) {
        const int number = fd.toInt();
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        if (::getpeername(number, reinterpret_cast<sockaddr *>(&peer), &size) == 0 &&
            peer.sin_family == AF_INET && ntohs(peer.sin_port) == port &&
            peer.sin_addr.s_addr == htonl(INADDR_LOOPBACK))
            found.push_back(number);
    }
    return found;
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

    explicit Recorder(AsyncReader &reader)
    {
        QObject::connect(&reader, &AsyncReader::readProgress, &m_context,
                         [this](const AsyncProperty &record) {
                             events.push_back({false, record});
                         });
        QObject::connect(&reader, &AsyncReader::readComplete, &m_context,
                         [this](const AsyncProperty &record) {
                             events.push_back({true, record});
                         });
    }

    std::vector<AsyncProperty> progressOf(const QString &name) const
    {
        std::vector<AsyncProperty> found;
        for (const auto &event : events) {
            if (!event.complete && event.record.PropertyName() == name)
                found.push_back(event.record);
        }
        return found;
    }
    std::optional<AsyncProperty> completionOf(const QString &name) const
    {
        for (const auto &event : events) {
            if (event.complete && event.record.PropertyName() == name)
                return event.record;
        }
        return std::nullopt;
    }
    AsyncProperty waitForCompletion(const QString &name, int timeoutMs = 10000) const
    {
        const bool done =
            testutil::waitUntil([&] { return completionOf(name).has_value(); }, timeoutMs);
        return done ? *completionOf(name) : AsyncProperty(name, -1, -1, {}, "no completion");
    }
    /// Whether progress follows completion anywhere, or the counts of a name ever go down.
    bool outOfOrder() const
    {
        std::map<QString, std::int32_t> lastRead;
        std::map<QString, bool> done;
        for (const auto &event : events) {
            const QString name = event.record.PropertyName();
            if (done[name] || event.record.BytesRead() < lastRead[name])
                return true;
            lastRead[name] = event.record.BytesRead();
            done[name] = event.complete;
        }
        return false;
    }

    std::vector<Event> events;

private:
    QObject m_context;
};

class AsyncReaderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_server.server().set_keep_alive_timeout(1);
    }
    void TearDown() override
    {
        for (const Gate &gate : m_gates)
            gate.open();
        AsyncReader::setLimits(m_savedLimits);
    }

    QString url(const std::string &path) const
    {
        return QString::fromStdString(m_server.url(path));
    }
    QString folder() const { return m_dir.path(); }
    QStringList leftovers() const { return testutil::entriesOf(m_dir.path()); }
    qsizetype partFiles() const
    {
        const QStringList names = leftovers();
        return std::count_if(names.begin(), names.end(), &AsyncReader::isTemporaryFileName);
    }
    Gate newGate() { return m_gates.emplace_back(); }

    /// length bytes of data; after `before` of them the handler waits for gate.
    void serveWithPause(const std::string &path, std::string data, std::size_t before, Gate gate,
                        std::chrono::milliseconds timeout = 10s)
    {
        auto body = std::make_shared<std::string>(std::move(data));
        m_server.server().Get(path, [=](const httplib::Request &, httplib::Response &response) {
            response.set_content_provider(
                body->size(), "application/octet-stream",
                [=](std::size_t offset, std::size_t, httplib::DataSink &sink) {
                    if (offset == 0)
                        return sink.write(body->data(), before);
                    gate.wait(timeout);
                    return sink.write(body->data() + offset, body->size() - offset);
                });
        });
    }

    const platform::TransferLimits m_savedLimits = AsyncReader::limits();
    LoopbackServer m_server;
    QTemporaryDir m_dir;
    std::vector<Gate> m_gates;
    std::unique_ptr<AsyncReader> m_reader = std::make_unique<AsyncReader>();
    Recorder m_recorder{*m_reader};
};

TEST_F(AsyncReaderTest, DownloadsIntoAFlushedTemporaryFileBesideTheDestination)
{
    // Over three of the facility's 8 MiB write-out steps, so steps already on disk are dropped
    // from the page cache while later ones are written: every byte must still read back.
    const std::string data = testutil::randomBytes(26 * 1024 * 1024 + 17);
    m_server.server().Get("/Korvane.exe", [&](const httplib::Request &, httplib::Response &res) {
        res.set_content(data, "application/octet-stream");
    });
    m_server.start();

    m_reader->start(url("/Korvane.exe"), AsyncReader::kKindFile, "exe", 0, folder());
    EXPECT_TRUE(m_reader->isRunning("exe"));
    const AsyncProperty done = m_recorder.waitForCompletion("exe");

    ASSERT_EQ(done.failure(), "");
    const QFileInfo file(done.Value());
    EXPECT_EQ(file.absolutePath(), QDir(folder()).absolutePath());
    EXPECT_TRUE(AsyncReader::isTemporaryFileName(file.fileName())) << file.fileName().toStdString();
    EXPECT_EQ(testutil::readFile(file.filePath()), QByteArray::fromStdString(data));
    EXPECT_EQ(leftovers(), QStringList{file.fileName()});
    EXPECT_FALSE(m_reader->isRunning("exe"));

    const auto progress = m_recorder.progressOf("exe");
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().BytesRead(), static_cast<std::int32_t>(data.size()));
    EXPECT_EQ(progress.back().BytesMax(), static_cast<std::int32_t>(data.size()));
    EXPECT_EQ(done.BytesRead(), progress.back().BytesRead());
    EXPECT_FALSE(m_recorder.outOfOrder());
    EXPECT_THROW(progress.back().Value(), PlatformError);
}

TEST_F(AsyncReaderTest, SendsNoCacheHeadersOnlyWhenForcedAndAcceptsAnUppercaseScheme)
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
    m_reader->start(url("/headers?who=plain").replace("http:", "HTTP:"), 1, "plain", 0, folder());
    EXPECT_EQ(m_recorder.waitForCompletion("forced").failure(), "");
    EXPECT_EQ(m_recorder.waitForCompletion("plain").failure(), "");

    const std::lock_guard lock(mutex);
    EXPECT_EQ(seen["forced"], "no-cache|no-cache");
    EXPECT_EQ(seen["plain"], "|");
}

TEST_F(AsyncReaderTest, AnythingButAFinal200FailsWithoutWritingTheBody)
{
    m_server.server().Get(R"(/status/(\d+))",
                          [](const httplib::Request &req, httplib::Response &res) {
                              res.status = std::stoi(req.matches[1]);
                              if (res.status != 204)
                                  res.set_content(std::string(50000, 'E'), "text/html");
                          });
    m_server.start();

    for (const int status : {404, 500, 204, 203}) {
        const QString name = QString::number(status);
        m_reader->start(url("/status/" + std::to_string(status)), 1, name, 0, folder());
        const AsyncProperty done = m_recorder.waitForCompletion(name);
        EXPECT_EQ(done.failure(), "the server answered " + name);
        EXPECT_THROW(done.Value(), PlatformError);
        EXPECT_EQ(done.BytesRead(), 0);
        EXPECT_TRUE(m_recorder.progressOf(name).empty()) << status;
        EXPECT_TRUE(leftovers().isEmpty()) << status;
    }
}

TEST_F(AsyncReaderTest, ConnectionLostMidwayReportsTheCounts)
{
    const std::string data = testutil::randomBytes(100000);
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
    EXPECT_TRUE(leftovers().isEmpty());
}

TEST_F(AsyncReaderTest, StalledServerAndRefusedConnectionFail)
{
    AsyncReader::setLimits({.connectTimeout = 2s, .stallTimeout = 1s, .maxRedirects = 10});
    serveWithPause("/stall", testutil::randomBytes(100000), 1000, newGate());
    m_server.start();
    LoopbackServer closed;
    closed.start();
    const QString refusedUrl = QString::fromStdString(closed.url("/x"));
    closed.stop();

    m_reader->start(url("/stall"), 1, "stall", 0, folder());
    m_reader->start(refusedUrl, 1, "refused", 0, folder());
    EXPECT_EQ(m_recorder.waitForCompletion("stall", 5000).failure(),
              "the server stopped sending data");
    EXPECT_EQ(m_recorder.waitForCompletion("refused").failure(), "could not connect to the server");
    EXPECT_TRUE(leftovers().isEmpty());
}

TEST_F(AsyncReaderTest, RedirectsAreFollowedUpToTheLimitAndOnlyToTheWeb)
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

    AsyncReader::setLimits({.maxRedirects = 3});
    m_reader->start(url("/hop/3"), 1, "three", 0, folder());
    m_reader->start(url("/loop"), 1, "loop", 0, folder());
    m_reader->start(url("/ftp"), 1, "ftp", 0, folder());
    m_reader->start(url("/file"), 1, "file", 0, folder());
    AsyncReader::setLimits({.maxRedirects = 2});
    m_reader->start(url("/hop/3"), 1, "tooMany", 0, folder());

    const AsyncProperty three = m_recorder.waitForCompletion("three");
    ASSERT_EQ(three.failure(), "");
    EXPECT_EQ(testutil::readFile(three.Value()), "landed");
    const QString loop = "the server's redirects go round in a loop";
    EXPECT_EQ(m_recorder.waitForCompletion("loop").failure(), loop);
    EXPECT_EQ(m_recorder.waitForCompletion("tooMany").failure(), loop);
    const QString notWeb = "the server redirected to an address that is not http or https";
    EXPECT_EQ(m_recorder.waitForCompletion("ftp").failure(), notWeb);
    EXPECT_EQ(m_recorder.waitForCompletion("file").failure(), notWeb);
    EXPECT_TRUE(m_recorder.progressOf("loop").empty());
    EXPECT_EQ(leftovers().size(), 1);
}

TEST_F(AsyncReaderTest, UnknownSizeReportsZeroMaximum)
{
    const std::string data = testutil::randomBytes(300000);
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
    EXPECT_EQ(testutil::readFile(done.Value()), QByteArray::fromStdString(data));
    EXPECT_EQ(done.BytesMax(), 0);
    for (const auto &record : m_recorder.progressOf("chunked"))
        EXPECT_EQ(record.BytesMax(), 0);
}

TEST_F(AsyncReaderTest, CancelEndsARunningTransferAndIgnoresUnknownNames)
{
    serveWithPause("/slow", testutil::randomBytes(1000000), 50000, newGate());
    m_server.start();

    m_reader->start(url("/slow"), 1, "slow", 0, folder());
    ASSERT_TRUE(testutil::waitUntil([&] { return !m_recorder.progressOf("slow").empty(); }));
    EXPECT_EQ(leftovers().size(), 1);
    m_reader->cancel("nobody");
    m_reader->cancel("slow");
    EXPECT_TRUE(m_reader->isRunning("slow"));

    // Well under the server's own timeout, so only the cancel can end the transfer in time.
    const AsyncProperty done = m_recorder.waitForCompletion("slow", 5000);
    EXPECT_EQ(done.failure(), "the download was cancelled");
    EXPECT_THROW(done.Value(), PlatformError);
    EXPECT_TRUE(leftovers().isEmpty());
    EXPECT_FALSE(m_reader->isRunning("slow"));
    EXPECT_FALSE(m_recorder.outOfOrder());
}

TEST_F(AsyncReaderTest, TransfersRunSideBySide)
{
    const Gate gate = newGate();
    const std::string first = testutil::randomBytes(400000, 1);
    const std::string second = testutil::randomBytes(200000, 2);
    serveWithPause("/first", first, 10000, gate);
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
    EXPECT_EQ(testutil::readFile(firstDone.Value()), QByteArray::fromStdString(first));
    EXPECT_EQ(testutil::readFile(secondDone.Value()), QByteArray::fromStdString(second));
}

TEST_F(AsyncReaderTest, RefusesSynchronouslyWhatCannotRun)
{
    serveWithPause("/slow", testutil::randomBytes(100000), 1000, newGate());
    m_server.start();
    m_reader->start(url("/slow"), 1, "busy", 0, folder());

    const auto reasonOf = [&](const QString &target, int kind, const QString &name,
                              const QString &tempFolder) -> std::string {
        try {
            m_reader->start(target, kind, name, 0, tempFolder);
        } catch (const PlatformError &error) {
            return error.what();
        }
        return "accepted";
    };
    EXPECT_NE(reasonOf(url("/slow"), 1, "busy", folder()).find("already running"),
              std::string::npos);
    for (const QString target :
         {"ftp://127.0.0.1/Korvane.exe", "file:///etc/hostname", "http://", "Korvane.exe", ""}) {
        EXPECT_NE(reasonOf(target, 1, "bad", folder()).find("not an http or https address"),
                  std::string::npos)
            << target.toStdString();
    }
    EXPECT_NE(reasonOf(url("/slow"), 2, "kind", folder()), "accepted");
    // Permission bits cannot refuse the tests' root user; a missing folder refuses everyone.
    EXPECT_NE(reasonOf(url("/slow"), 1, "nofolder", folder() + "/missing/deeper")
                  .find("No such file or directory"),
              std::string::npos);

    for (const char *name : {"bad", "kind", "nofolder"})
        EXPECT_FALSE(m_reader->isRunning(name));
    EXPECT_EQ(leftovers().size(), 1);
}

TEST_F(AsyncReaderTest, DiskWriteFailureIsReported)
{
    // A full disk cannot be arranged here; a file size limit makes the kernel refuse the
    // writes in the same way, with EFBIG in place of ENOSPC.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 2 * 1024 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

    const std::string data = testutil::randomBytes(6 * 1024 * 1024);
    m_server.server().Get("/big", [&](const httplib::Request &, httplib::Response &res) {
        res.set_content(data, "application/octet-stream");
    });
    m_server.start();
    m_reader->start(url("/big"), 1, "big", 0, folder());
    const AsyncProperty done = m_recorder.waitForCompletion("big");

    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_EQ(done.failure(), "the download could not be written: File too large");
    EXPECT_TRUE(leftovers().isEmpty());
}

TEST_F(AsyncReaderTest, ProgressIsCoalescedButNeverHeldBack)
{
    const std::size_t size = 48 * 1024 * 1024;
    const auto chunk = std::make_shared<std::string>(testutil::randomBytes(64 * 1024));
    m_server.server().Get("/big", [=](const httplib::Request &, httplib::Response &res) {
        res.set_content_provider(size, "application/octet-stream",
                                 [=](std::size_t offset, std::size_t, httplib::DataSink &sink) {
                                     return sink.write(chunk->data(),
                                                       std::min(chunk->size(), size - offset));
                                 });
    });
    const Gate gate = newGate();
    serveWithPause("/pause", testutil::randomBytes(300000), 100000, gate, 5s);
    m_server.start();

    QElapsedTimer elapsed;
    elapsed.start();
    m_reader->start(url("/big"), 1, "big", 0, folder());
    const AsyncProperty big = m_recorder.waitForCompletion("big", 30000);
    const qint64 ms = elapsed.elapsed();
    ASSERT_EQ(big.failure(), "");
    const auto progress = m_recorder.progressOf("big");
    // About 30 a second are due; the slack covers the first and the last.
    EXPECT_LE(static_cast<qint64>(progress.size()), 3 + ms / 20) << ms << " ms";
    EXPECT_EQ(progress.back().BytesRead(), static_cast<std::int32_t>(size));

    // The server pauses until the test has seen the count that precedes the pause. The bound
    // is many intervals long yet shorter than the worker's fallback wake-up of a second, which
    // is what it guards against.
    m_reader->start(url("/pause"), 1, "pause", 0, folder());
    ASSERT_TRUE(testutil::waitUntil([&] { return !m_recorder.progressOf("pause").empty(); }));
    elapsed.restart();
    EXPECT_TRUE(testutil::waitUntil(
        [&] { return m_recorder.progressOf("pause").back().BytesRead() == 100000; }, 4000));
    EXPECT_LT(elapsed.elapsed(), 600);
    gate.open();
    EXPECT_EQ(m_recorder.waitForCompletion("pause").failure(), "");
    EXPECT_FALSE(m_recorder.outOfOrder());
}

TEST_F(AsyncReaderTest, DestroyingTheReaderRemovesUnfinishedFilesAndFallsSilent)
{
    serveWithPause("/slow", testutil::randomBytes(1000000), 50000, newGate());
    m_server.start();
    m_reader->start(url("/slow"), 1, "slow", 0, folder());
    m_reader->start(url("/slow"), 1, "other", 0, folder());
    ASSERT_TRUE(testutil::waitUntil([&] { return !m_recorder.progressOf("slow").empty(); }));
    ASSERT_EQ(leftovers().size(), 2);

    m_reader.reset();
    EXPECT_TRUE(leftovers().isEmpty());
    const std::size_t heard = m_recorder.events.size();
    testutil::waitUntil([] { return false; }, 200);
    EXPECT_EQ(m_recorder.events.size(), heard);
    EXPECT_FALSE(m_recorder.completionOf("slow").has_value());
}

TEST_F(AsyncReaderTest, OnlyAnUnencodedFinalAnswerIsTaken)
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
    EXPECT_EQ(testutil::readFile(hop.Value()), "plain");
    EXPECT_EQ(leftovers().size(), 1);
    const std::lock_guard lock(mutex);
    EXPECT_EQ(accepted, std::vector<std::string>(3, "identity"));
}

TEST_F(AsyncReaderTest, ABodyEndedOnlyByClosingIsRefusedAtItsHeaders)
{
    // A provider without a length makes httplib send neither a length nor chunks and close the
    // connection when the provider stops; a cut looks exactly like this.
    // Shared, not borrowed: should the client go on reading, the endless server outlives the
    // test's body until its deadline.
    const auto data = std::make_shared<const std::string>(testutil::randomBytes(64 * 1024));
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
    const QString unframed = "the server did not say how long the file is, so a cut connection "
                             "could not be told from the end of the file";
    EXPECT_EQ(m_recorder.waitForCompletion("closed", 5000).failure(), unframed);
    EXPECT_EQ(m_recorder.waitForCompletion("endless", 5000).failure(), unframed);
    EXPECT_TRUE(m_recorder.progressOf("closed").empty());
    EXPECT_TRUE(m_recorder.progressOf("endless").empty());
    EXPECT_TRUE(leftovers().isEmpty());
}

TEST_F(AsyncReaderTest, AChunkedBodyCutBeforeItsLastChunkFails)
{
    const std::string data = testutil::randomBytes(10000);
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
    EXPECT_TRUE(leftovers().isEmpty());
}

TEST_F(AsyncReaderTest, TheSizeLimitHoldsForAnnouncedAndForGrowingBodies)
{
    constexpr std::size_t limit = 1024 * 1024;
    AsyncReader::setLimits({.maxBytes = limit});
    const std::string data = testutil::randomBytes(limit + 1);
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
    EXPECT_EQ(testutil::readFile(exact.Value()), QByteArray::fromStdString(data.substr(0, limit)));
    const AsyncProperty empty = m_recorder.waitForCompletion("empty");
    ASSERT_EQ(empty.failure(), "");
    EXPECT_EQ(QFileInfo(empty.Value()).size(), 0);

    EXPECT_EQ(m_recorder.waitForCompletion("over").failure(),
              "the server announced more than 1,048,576 bytes");
    EXPECT_TRUE(m_recorder.progressOf("over").empty());
    const AsyncProperty endless = m_recorder.waitForCompletion("endless", 5000);
    EXPECT_EQ(endless.failure(), "the server sent more than 1,048,576 bytes");
    EXPECT_LE(endless.BytesRead(), static_cast<std::int32_t>(limit));
    EXPECT_EQ(leftovers().size(), 2);
}

TEST_F(AsyncReaderTest, TheConnectionToTheServerIsClosedOnExec)
{
    serveWithPause("/held", testutil::randomBytes(100000), 1000, newGate());
    m_server.start();
    m_reader->start(url("/held"), 1, "held", 0, folder());
    ASSERT_TRUE(testutil::waitUntil([&] { return !m_recorder.progressOf("held").empty(); }));

    const std::vector<int> sockets = socketsConnectedTo(m_server.port());
    ASSERT_EQ(sockets.size(), 1u);
    EXPECT_NE(::fcntl(sockets.front(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(AsyncReaderTest, ClosingDuringASlowNameLookupDoesNotWaitForIt)
{
    SlowLookup &lookup = slowLookup();
    const auto releaseLookup = qScopeGuard([&] {
        std::unique_lock lock(lookup.mutex);
        lookup.released = true;
        lookup.changed.notify_all();
        // The detached resolver thread must be out of the stand-in before the test ends.
        lookup.changed.wait_for(lock, 10s, [&] { return lookup.left == lookup.entered; });
    });
    m_reader->start("http://" + QString::fromLatin1(kSlowName) + "/Korvane.exe", 1, "slow", 0,
                    folder());
    {
        std::unique_lock lock(lookup.mutex);
        ASSERT_TRUE(lookup.changed.wait_for(lock, 10s, [&] { return lookup.entered > 0; }));
    }

    QElapsedTimer elapsed;
    elapsed.start();
    m_reader.reset();
    // The stand-in holds the lookup for 5 s unless released.
    EXPECT_LT(elapsed.elapsed(), 2000);
    EXPECT_TRUE(leftovers().isEmpty());
}

TEST_F(AsyncReaderTest, DestroyingTheReaderRemovesCompletedFilesNotYetDelivered)
{
    const std::string data = testutil::randomBytes(300000);
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
    ASSERT_EQ(leftovers().size(), 2);

    m_reader.reset();
    EXPECT_EQ(leftovers(), QStringList{QFileInfo(delivered.Value()).fileName()});
    EXPECT_FALSE(m_recorder.completionOf("posted").has_value());
}

TEST_F(AsyncReaderTest, ExitingWhileATransferRunsLeavesNoTemporaryFile)
{
    // Held until TearDown opens the gate, after the test's body: nothing of the body is used.
    const auto requested = std::make_shared<std::atomic<bool>>(false);
    const Gate gate = newGate();
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
    testutil::ChildProcess child(REFITOR_TEST_CHILD,
                                 {"refitor-test-child", "exit-during-read", m_server.url("/held"),
                                  QFile::encodeName(folder()).toStdString()});
    const bool started = testutil::waitUntil([&] { return requested->load(); });
    const qsizetype partsWhileRunning = partFiles();
    child.closeInput();
    const int status = child.wait();

    EXPECT_TRUE(started);
    EXPECT_EQ(partsWhileRunning, 1);
    ASSERT_NE(status, -1) << "the child did not end";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(partFiles(), 0);
}

TEST(AsyncReaderNames, TemporaryFileNamePattern)
{
    EXPECT_TRUE(AsyncReader::isTemporaryFileName(".refitor-aZ09xY.part"));
    for (const char *other : {"refitor-aZ09xY.part", ".refitor-aZ09x.part", ".refitor-aZ09xYz.part",
                              ".refitor-aZ0_xY.part", ".refitor-aZ09xY.part~",
                              ".Refitor-aZ09xY.part", ".refitor-aZ09xY.prt", "Korvane.exe", ""})
        EXPECT_FALSE(AsyncReader::isTemporaryFileName(other)) << other;
}

} // namespace
