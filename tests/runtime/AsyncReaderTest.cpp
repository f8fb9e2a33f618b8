// The asynchronous reader against a loopback server, through the runtime's interface alone: the
// same cases run on every runtime. What only one runtime can show is in its own folder.

#include "runtime/AsyncReaderTest.h"

#include "runtime/Application.h"
#include "runtime/AsyncRead.h"
#include "runtime/Crypto.h"
#include "runtime/RuntimeError.h"
#include "runtime/Testing.h"
#include "support/FaultServer.h"
#include "support/LoopbackServer.h"
#include "support/PlatformSupport.h"
#include "support/ScriptedServer.h"
#include "support/SystemSupport.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

using runtime::AsyncProperty;
using runtime::AsyncReader;
using runtime::ErrorKind;
using runtime::RuntimeError;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace readertest {

bool waitWithoutEvents(const std::function<bool()> &predicate, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return predicate();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

std::optional<ErrorKind> valueErrorOf(const AsyncProperty &record)
{
    try {
        static_cast<void>(record.Value());
    } catch (const RuntimeError &error) {
        return error.kind();
    }
    return std::nullopt;
}

AsyncReader::Handler Recorder::progressHandler()
{
    return [this](const AsyncProperty &record) {
        events.push_back({false, record, std::this_thread::get_id()});
    };
}

AsyncReader::Handler Recorder::completionHandler()
{
    return [this](const AsyncProperty &record) {
        events.push_back({true, record, std::this_thread::get_id()});
    };
}

std::vector<AsyncProperty> Recorder::progressOf(const std::string &name) const
{
    std::vector<AsyncProperty> found;
    for (const auto &event : events) {
        if (!event.complete && event.record.PropertyName() == name)
            found.push_back(event.record);
    }
    return found;
}

std::optional<AsyncProperty> Recorder::completionOf(const std::string &name) const
{
    for (const auto &event : events) {
        if (event.complete && event.record.PropertyName() == name)
            return event.record;
    }
    return std::nullopt;
}

AsyncProperty Recorder::waitForCompletion(const std::string &name, int timeoutMs) const
{
    const bool done = support::waitUntil([&] { return completionOf(name).has_value(); }, timeoutMs);
    return done ? *completionOf(name) : AsyncProperty(name, -1, -1, {}, "no completion");
}

bool Recorder::outOfOrder() const
{
    std::map<std::string, std::int64_t> lastRead;
    std::map<std::string, bool> done;
    for (const auto &event : events) {
        const std::string &name = event.record.PropertyName();
        if (done[name] || event.record.BytesRead() < lastRead[name] || event.thread != m_uiThread)
            return true;
        lastRead[name] = event.record.BytesRead();
        done[name] = event.complete;
    }
    return false;
}

} // namespace readertest

namespace {

using readertest::AsyncReaderTest;
using readertest::deliverPosted;
using readertest::openFilesIn;
using readertest::valueErrorOf;
using readertest::waitWithoutEvents;
using Clock = std::chrono::steady_clock;

const std::string kUnframed = "the server did not say how long the file is, so a cut connection "
                              "could not be told from the end of the file";

/// A file: URL naming path, an existing local file on any platform ("file:///C:/..." where
/// paths start with a drive).
std::string fileUrlOf(const fs::path &path)
{
    const std::string text = path.generic_string();
    return "file://" + std::string(text.starts_with('/') ? "" : "/") + text;
}

TEST_F(AsyncReaderTest, DownloadsIntoAFlushedTemporaryFileBesideTheDestination)
{
    // Several times the largest write-out step of any runtime, with an odd tail that only the
    // final write carries: every byte must read back, whatever became of the steps already on
    // disk while later ones were written.
    const std::string data = support::randomBytes(26 * 1024 * 1024 + 17);
    m_server.server().Get("/Korvane.exe", [&](const httplib::Request &, httplib::Response &res) {
        res.set_content(data, "application/octet-stream");
    });
    m_server.start();

    m_reader->start(url("/Korvane.exe"), AsyncReader::kKindFile, "exe", 0, folder());
    EXPECT_TRUE(m_reader->isRunning("exe"));
    const AsyncProperty done = m_recorder.waitForCompletion("exe", 30000);

    ASSERT_EQ(done.failure(), "");
    const fs::path file = done.Value();
    EXPECT_EQ(file.parent_path(), folder());
    EXPECT_TRUE(runtime::isTemporaryFileName(file.filename().string())) << file;
    EXPECT_TRUE(support::readFile(file) == data);
    EXPECT_EQ(leftovers(), std::vector{file.filename().string()});
    EXPECT_EQ(openFilesIn(folder()), 0);
    EXPECT_FALSE(m_reader->isRunning("exe"));

    const auto progress = m_recorder.progressOf("exe");
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().BytesRead(), static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(progress.back().BytesMax(), static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(done.BytesRead(), progress.back().BytesRead());
    EXPECT_FALSE(m_recorder.outOfOrder());
    EXPECT_EQ(valueErrorOf(progress.back()), ErrorKind::Unavailable);
}

// The address goes out as given: an uppercase scheme is still http, an escape stays escaped
// for the server to decode, raw UTF-8 stays raw and a fragment stays home.
TEST_F(AsyncReaderTest, SendsNoCacheHeadersOnlyWhenForcedAndKeepsTheAddressAsEncoded)
{
    std::mutex mutex;
    std::map<std::string, std::string> seen;
    m_server.server().Get(
        R"(/headers/(.*))", [&](const httplib::Request &req, httplib::Response &res) {
            const std::lock_guard lock(mutex);
            seen[req.get_param_value("who")] = req.get_header_value("Cache-Control") + "|" +
                                               req.get_header_value("Pragma") + "|" +
                                               std::string(req.matches[1]);
            seen[req.get_param_value("who") + " agent"] = req.get_header_value("User-Agent");
            res.set_content("x", "text/plain");
        });
    m_server.start();

    m_reader->start(url("/headers/a%20b?who=forced#fragment"), 1, "forced",
                    AsyncReader::kOptionForceUpdate, folder());
    m_reader->start(url("/headers/K\xC3\xB6rvane?who=plain").replace(0, 5, "HTTP:"), 1, "plain", 0,
                    folder());
    EXPECT_EQ(m_recorder.waitForCompletion("forced").failure(), "");
    EXPECT_EQ(m_recorder.waitForCompletion("plain").failure(), "");

    // The User-Agent is the updater's name as the program set it, taken when a reader starts.
    const std::string savedName = runtime::applicationName();
    runtime::setApplicationName("Updater-under-test");
    readertest::Recorder named;
    const auto namedReader =
        runtime::createAsyncReader(named.progressHandler(), named.completionHandler());
    namedReader->start(url("/headers/n?who=named"), 1, "named", 0, folder());
    EXPECT_EQ(named.waitForCompletion("named").failure(), "");
    runtime::setApplicationName(savedName);

    const std::lock_guard lock(mutex);
    EXPECT_EQ(seen["forced"], "no-cache|no-cache|a b");
    EXPECT_EQ(seen["plain"], "||K\xC3\xB6rvane");
    EXPECT_EQ(seen["named agent"], "Updater-under-test");
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

TEST_F(AsyncReaderTest, ConnectionLostMidwayReportsTheCounts)
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

TEST_F(AsyncReaderTest, StalledServerAndRefusedConnectionFail)
{
    runtime::setTransferLimits({.connectTimeout = 2s, .stallTimeout = 1s, .maxRedirects = 10});
    m_server.serveHeld("/stall", support::randomBytes(100000), 1000);
    const Gate silent = m_server.newGate();
    // Accepts the request and never answers: the stall limit covers the wait for headers too.
    m_server.server().Get("/silent", [=](const httplib::Request &, httplib::Response &res) {
        silent.wait(10s);
        res.set_content("late", "text/plain");
    });
    m_server.start();
    LoopbackServer closed;
    closed.start();
    const std::string refusedUrl = closed.url("/x");
    closed.stop();

    const auto started = Clock::now();
    m_reader->start(url("/stall"), 1, "stall", 0, folder());
    m_reader->start(url("/silent"), 1, "silent", 0, folder());
    m_reader->start(refusedUrl, 1, "refused", 0, folder());
    EXPECT_EQ(m_recorder.waitForCompletion("stall", 5000).failure(),
              "the server stopped sending data");
    EXPECT_EQ(m_recorder.waitForCompletion("silent", 5000).failure(),
              "the server stopped sending data");
    // Held to the limit itself, not to a slower one of the network library's own (WinHTTP's
    // receive limit comes a second later, libcurl's low-speed check averages over seconds).
    EXPECT_LT(Clock::now() - started, 1900ms);
    EXPECT_EQ(m_recorder.waitForCompletion("refused").failure(), "could not connect to the server");
    EXPECT_TRUE(leftovers().empty());
    const auto stalled = m_recorder.progressOf("stall");
    ASSERT_FALSE(stalled.empty());
    EXPECT_EQ(stalled.back().BytesRead(), 1000);
}

TEST_F(AsyncReaderTest, RedirectsAreFollowedUpToTheLimitAndOnlyToTheWeb)
{
    // A local file that is there to be read, were a redirect to it followed.
    const support::TemporaryFolder elsewhere;
    support::writeFile(elsewhere.file("Korvane.exe"), "local");
    const std::string localFile = fileUrlOf(elsewhere.file("Korvane.exe"));
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
    routes.Get("/file", [localFile](const httplib::Request &, httplib::Response &res) {
        res.set_redirect(localFile, 302);
    });
    m_server.start();

    runtime::setTransferLimits({.maxRedirects = 3});
    m_reader->start(url("/hop/3"), 1, "three", 0, folder());
    m_reader->start(url("/loop"), 1, "loop", 0, folder());
    m_reader->start(url("/ftp"), 1, "ftp", 0, folder());
    m_reader->start(url("/file"), 1, "file", 0, folder());
    runtime::setTransferLimits({.maxRedirects = 2});
    m_reader->start(url("/hop/3"), 1, "tooMany", 0, folder());
    runtime::setTransferLimits({.maxRedirects = 0});
    m_reader->start(url("/hop/1"), 1, "none", 0, folder());

    const AsyncProperty three = m_recorder.waitForCompletion("three");
    ASSERT_EQ(three.failure(), "");
    EXPECT_EQ(support::readFile(three.Value()), "landed");
    const std::string loop = "the server's redirects go round in a loop";
    EXPECT_EQ(m_recorder.waitForCompletion("loop").failure(), loop);
    EXPECT_EQ(m_recorder.waitForCompletion("tooMany").failure(), loop);
    EXPECT_EQ(m_recorder.waitForCompletion("none").failure(), loop);
    const std::string notWeb = "the server redirected to an address that is not http or https";
    EXPECT_EQ(m_recorder.waitForCompletion("ftp").failure(), notWeb);
    EXPECT_EQ(m_recorder.waitForCompletion("file").failure(), notWeb);
    EXPECT_TRUE(m_recorder.progressOf("loop").empty());
    EXPECT_EQ(leftovers().size(), 1u);
}

TEST_F(AsyncReaderTest, AnHttpsDownloadIsNeverRedirectedToPlainHttp)
{
    std::string whyNone;
    const std::unique_ptr<support::TlsServer> tls = support::startTlsServer(whyNone);
    if (!tls)
        GTEST_SKIP() << whyNone;
    const auto trusted = runtime::testing::trustCertificateAuthority(tls->authorityFile);
    // The insecure address behind the redirects: any request that reaches it is too many.
    const auto insecureRequests = std::make_shared<std::atomic<int>>(0);
    m_server.server().Get("/Korvane.exe", [=](const httplib::Request &, httplib::Response &res) {
        ++*insecureRequests;
        res.set_content("sent in the clear", "application/octet-stream");
    });
    const std::string secure = "https://localhost:" + std::to_string(tls->port);
    const auto redirectTo = [&](const std::string &target) {
        std::string query;
        for (const char c : target) {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
            query += std::isalnum(static_cast<unsigned char>(c)) ? std::string(1, c) : escaped;
        }
        return secure + "/redirect?to=" + query;
    };
    // From plain http, a redirect may go either way, as ever.
    m_server.server().Get("/upgrade", [=](const httplib::Request &, httplib::Response &res) {
        res.set_redirect(secure + "/file/50000", 302);
    });
    m_server.start();
    const std::string plain = url("/Korvane.exe");
    std::string shouted = plain;
    shouted.replace(0, 4, "HTTP");

    m_reader->start(redirectTo(secure + "/file/70000"), 1, "secure", 0, folder());
    m_reader->start(redirectTo(plain), 1, "insecure", 0, folder());
    m_reader->start(redirectTo(shouted), 1, "shouted", 0, folder());
    m_reader->start(url("/upgrade"), 1, "upgrade", 0, folder());

    const std::string pattern = "0123456789abcdef";
    const auto servedFile = [&](std::size_t size) {
        std::string bytes;
        while (bytes.size() < size)
            bytes += pattern;
        return bytes.substr(0, size);
    };
    const AsyncProperty secureDone = m_recorder.waitForCompletion("secure", 20000);
    ASSERT_EQ(secureDone.failure(), "");
    EXPECT_TRUE(support::readFile(secureDone.Value()) == servedFile(70000));
    const AsyncProperty upgradeDone = m_recorder.waitForCompletion("upgrade", 20000);
    ASSERT_EQ(upgradeDone.failure(), "");
    EXPECT_TRUE(support::readFile(upgradeDone.Value()) == servedFile(50000));
    const std::string downgraded =
        "the server redirected the download from https to an insecure http address";
    for (const char *name : {"insecure", "shouted"}) {
        EXPECT_EQ(m_recorder.waitForCompletion(name, 20000).failure(), downgraded) << name;
        EXPECT_TRUE(m_recorder.progressOf(name).empty()) << name;
    }
    EXPECT_EQ(insecureRequests->load(), 0);
    EXPECT_EQ(leftovers().size(), 2u);
}

TEST_F(AsyncReaderTest, UnknownSizeReportsZeroMaximum)
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
    if (!readertest::takesChunkedBodies()) {
        // Taken, it would be whole whether or not the connection was cut at a chunk's end.
        EXPECT_EQ(done.failure(), kUnframed);
        EXPECT_TRUE(m_recorder.progressOf("chunked").empty());
        EXPECT_TRUE(leftovers().empty());
        return;
    }
    ASSERT_EQ(done.failure(), "");
    EXPECT_TRUE(support::readFile(done.Value()) == data);
    EXPECT_EQ(done.BytesMax(), 0);
    for (const auto &record : m_recorder.progressOf("chunked"))
        EXPECT_EQ(record.BytesMax(), 0);
}

TEST_F(AsyncReaderTest, CancelEndsARunningTransferAtOnceAndIgnoresUnknownNames)
{
    m_server.serveHeld("/slow", support::randomBytes(1000000), 50000);
    m_server.start();

    m_reader->start(url("/slow"), 1, "slow", 0, folder());
    ASSERT_TRUE(support::waitUntil([&] { return !m_recorder.progressOf("slow").empty(); }));
    EXPECT_EQ(leftovers().size(), 1u);
    m_reader->cancel("nobody");
    const auto cancelledAt = Clock::now();
    m_reader->cancel("slow");
    EXPECT_TRUE(m_reader->isRunning("slow"));

    // Well under the server's own timeout and the stall limit, so only the cancel can end the
    // transfer in time; and at once, without waiting for a pending read of the network library
    // to end by itself (WinHTTP's would at its receive limit, a minute away).
    const AsyncProperty done = m_recorder.waitForCompletion("slow", 5000);
    EXPECT_LT(Clock::now() - cancelledAt, 1s);
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

TEST_F(AsyncReaderTest, TransfersRunSideBySide)
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

TEST_F(AsyncReaderTest, RefusesSynchronouslyWhatCannotRun)
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
    // Local files of either platform are no more web addresses than a bare name is.
    for (const std::string target :
         {"ftp://127.0.0.1/Korvane.exe", "file:///etc/hostname", "file:///C:/windows/win.ini",
          "http://", "Korvane.exe", "C:\\Korvane.exe", ""}) {
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
    EXPECT_EQ(noFolder->reason.rfind("could not create a temporary file in ", 0), 0u)
        << noFolder->reason;
    EXPECT_NE(noFolder->reason.find(readertest::missingFolderWords()), std::string::npos)
        << noFolder->reason;

    for (const char *name : {"bad", "kind", "nofolder"})
        EXPECT_FALSE(m_reader->isRunning(name));
    EXPECT_EQ(leftovers().size(), 1u);
}

TEST_F(AsyncReaderTest, ProgressIsCoalescedButNeverHeldBack)
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

    auto started = Clock::now();
    m_reader->start(url("/big"), 1, "big", 0, folder());
    const AsyncProperty big = m_recorder.waitForCompletion("big", 30000);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    ASSERT_EQ(big.failure(), "");
    const auto progress = m_recorder.progressOf("big");
    // About 30 a second are due; the slack covers the first and the last.
    EXPECT_LE(static_cast<std::int64_t>(progress.size()), 3 + ms.count() / 20)
        << ms.count() << " ms";
    EXPECT_GE(progress.size(), 2u);
    EXPECT_EQ(progress.back().BytesRead(), static_cast<std::int64_t>(size));

    // The server pauses until the test has seen the count that precedes the pause: a count
    // held back by the interval must go out without more data to wake the worker. The bound is
    // many intervals long yet shorter than a worker's fallback wake-up of a second, which is
    // what it guards against.
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

TEST_F(AsyncReaderTest, DestroyingTheReaderRemovesUnfinishedFilesFallsSilentAndWaitsForNothing)
{
    // A minute-long stall limit: only the destruction can end the transfers in time, and it
    // must not wait for a pending read of the network library that long.
    runtime::setTransferLimits({.stallTimeout = 60s});
    m_server.serveHeld("/slow", support::randomBytes(1000000), 50000);
    m_server.start();
    m_reader->start(url("/slow"), 1, "slow", 0, folder());
    m_reader->start(url("/slow"), 1, "other", 0, folder());
    ASSERT_TRUE(support::waitUntil([&] { return !m_recorder.progressOf("slow").empty(); }));
    ASSERT_EQ(leftovers().size(), 2u);

    const auto started = Clock::now();
    m_reader.reset();
    EXPECT_LT(Clock::now() - started, 1s);
    EXPECT_TRUE(leftovers().empty());
    const std::size_t heard = m_recorder.events.size();
    deliverPosted();
    EXPECT_EQ(m_recorder.events.size(), heard);
    EXPECT_FALSE(m_recorder.completionOf("slow").has_value());
}

TEST_F(AsyncReaderTest, DestroyingTheReaderRemovesCompletedFilesNotYetDelivered)
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
    // is closed the completion is on its way but, with no event dispatched, not delivered.
    ASSERT_TRUE(waitWithoutEvents([&] { return openFilesIn(folder()) == 0; }));
    ASSERT_EQ(leftovers().size(), 2u);

    m_reader.reset();
    EXPECT_EQ(leftovers(), std::vector{delivered.Value().filename().string()});
    deliverPosted();
    EXPECT_FALSE(m_recorder.completionOf("posted").has_value());
}

// The window deletes its download control from a completion handler when it closes, and the
// control's progress handler may close the window.
TEST_F(AsyncReaderTest, AHandlerMayDestroyTheReader)
{
    const std::string data = support::randomBytes(300000);
    m_server.server().Get("/file", [&](const httplib::Request &, httplib::Response &res) {
        res.set_content(data, "application/octet-stream");
    });
    m_server.serveHeld("/slow", support::randomBytes(1000000), 50000);
    m_server.start();

    // Heap-held captures, used after the reader is gone: should the handler's closure die with
    // the reader while it still runs, the copy reads freed memory, which the address sanitizer
    // reports.
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
    ASSERT_TRUE(waitWithoutEvents([&] { return leftovers().size() == 2u; }));
    ASSERT_TRUE(waitWithoutEvents([&] { return openFilesIn(folder()) == 0; }));
    ASSERT_TRUE(support::waitUntil([&] { return !reader; }));
    deliverPosted();
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard.back(), afterwards);
    const std::vector<std::string> left = leftovers();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(support::readFile(folder() / left.front()) == data);
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
    // A network library may decode chunks itself; any other transfer coding would reach the
    // file undecoded.
    routes.Get("/transfer-coded", [](const httplib::Request &, httplib::Response &res) {
        res.set_header("Transfer-Encoding", "gzip, chunked");
        res.set_content(std::string(50000, 'T'), "application/octet-stream");
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
    m_reader->start(url("/transfer-coded"), 1, "transfer-coded", 0, folder());
    m_reader->start(url("/hop"), 1, "hop", 0, folder());
    const AsyncProperty gzip = m_recorder.waitForCompletion("gzip");
    const AsyncProperty transferCoded = m_recorder.waitForCompletion("transfer-coded");
    const AsyncProperty hop = m_recorder.waitForCompletion("hop");

    const std::string compressed =
        "the server sent the file compressed (gzip), which was not asked for";
    EXPECT_EQ(gzip.failure(), compressed);
    EXPECT_TRUE(m_recorder.progressOf("gzip").empty());
    EXPECT_EQ(transferCoded.failure(), compressed);
    ASSERT_EQ(hop.failure(), "");
    EXPECT_EQ(support::readFile(hop.Value()), "plain");
    EXPECT_EQ(leftovers().size(), 1u);
    const std::lock_guard lock(mutex);
    EXPECT_EQ(accepted, std::vector<std::string>(4, "identity"));
}

TEST_F(AsyncReaderTest, ABodyEndedOnlyByClosingIsRefusedAtItsHeaders)
{
    // A provider without a length makes httplib send neither a length nor chunks and close the
    // connection when the provider stops; a cut looks exactly like this. Shared, not borrowed:
    // should the client go on reading, the endless server outlives the test's body until its
    // deadline.
    const auto data = std::make_shared<const std::string>(support::randomBytes(64 * 1024));
    auto &routes = m_server.server();
    routes.Get("/closed", [data](const httplib::Request &, httplib::Response &res) {
        res.set_content_provider("application/octet-stream",
                                 [data](std::size_t offset, httplib::DataSink &sink) {
                                     return offset == 0 && sink.write(data->data(), data->size());
                                 });
    });
    routes.Get("/endless", [data](const httplib::Request &, httplib::Response &res) {
        const auto deadline = Clock::now() + 10s;
        res.set_content_provider(
            "application/octet-stream", [data, deadline](std::size_t, httplib::DataSink &sink) {
                return Clock::now() < deadline && sink.write(data->data(), data->size());
            });
    });
    // Two lengths that disagree leave the end as unknown as none: a network library might take
    // either.
    routes.Get("/two-lengths", [](const httplib::Request &, httplib::Response &res) {
        res.set_header("Content-Length", "3");
        res.set_content("abcdef", "application/octet-stream");
    });
    m_server.start();

    m_reader->start(url("/closed"), 1, "closed", 0, folder());
    m_reader->start(url("/endless"), 1, "endless", 0, folder());
    m_reader->start(url("/two-lengths"), 1, "two-lengths", 0, folder());
    // Well before the endless server's own deadline.
    EXPECT_EQ(m_recorder.waitForCompletion("closed", 5000).failure(), kUnframed);
    EXPECT_EQ(m_recorder.waitForCompletion("endless", 5000).failure(), kUnframed);
    EXPECT_EQ(m_recorder.waitForCompletion("two-lengths", 5000).failure(), kUnframed);
    EXPECT_TRUE(m_recorder.progressOf("closed").empty());
    EXPECT_TRUE(m_recorder.progressOf("endless").empty());
    EXPECT_TRUE(leftovers().empty());
}

// Answers written out byte for byte, since no HTTP library sends them on purpose: cuts inside
// and between chunks, a length beside chunks, a status line claiming a protocol that frames its
// own bodies over a connection that does not.
TEST_F(AsyncReaderTest, AnswersWhoseEndCannotBeToldFailWithNoFileLeft)
{
    const std::string data = support::randomBytes(10000);
    const auto chunk = [&](std::size_t size) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%zx", size);
        return std::string(hex) + "\r\n" + data.substr(0, size) + "\r\n";
    };
    const auto head = [](const std::string &status, const std::string &fields) {
        return status + "\r\nContent-Type: application/octet-stream\r\n" + fields + "\r\n";
    };
    const std::string ok = "HTTP/1.1 200 OK";
    const std::string chunked = "Transfer-Encoding: chunked\r\n";
    const std::string lengthAndChunked = "Content-Length: 30000\r\n" + chunked;
    const std::string threeChunks = chunk(10000) + chunk(10000) + chunk(10000);
    const bool chunksTaken = readertest::takesChunkedBodies();
    const std::string bothFramings =
        "the server sent both a length and chunks, so the end of the file could not be told";

    struct Row
    {
        std::string name;
        std::string answer;
        std::string failure;
    };
    const std::vector<Row> rows = {
        // Only the missing last chunk shows the loss.
        {"cut-after-a-chunk", head(ok, chunked) + threeChunks,
         chunksTaken ? "the connection was lost after 30,000 bytes" : kUnframed},
        {"cut-inside-a-chunk", head(ok, chunked) + chunk(10000) + "2710\r\n" + data.substr(0, 4000),
         chunksTaken ? "the connection was lost after 14,000 bytes" : kUnframed},
        // A network library takes one framing or the other; which one, nobody can say.
        {"length-and-chunks", head(ok, lengthAndChunked) + threeChunks + "0\r\n\r\n", bothFramings},
        {"length-and-chunks-cut", head(ok, lengthAndChunked) + chunk(10000), bothFramings},
        // The connection speaks HTTP/1.1 whatever the line says, so only its close ends this.
        // With a reason phrase, which Wine's WinHTTP will not do without.
        {"http2-status-line", head("HTTP/2 200 OK", "") + data.substr(0, 6000), kUnframed},
    };
    ScriptedServer server;
    for (const Row &row : rows)
        server.script("/" + row.name, row.answer);

    for (const Row &row : rows)
        m_reader->start(server.url("/" + row.name), 1, row.name, 0, folder());
    for (const Row &row : rows) {
        const AsyncProperty done = m_recorder.waitForCompletion(row.name);
        EXPECT_EQ(done.failure(), row.failure) << row.name;
        EXPECT_EQ(valueErrorOf(done), ErrorKind::Failed) << row.name;
        // Refused at its headers: not a byte was taken.
        if (row.failure == bothFramings || row.failure == kUnframed) {
            EXPECT_TRUE(m_recorder.progressOf(row.name).empty()) << row.name;
        }
    }
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(AsyncReaderTest, TheSizeLimitHoldsForAnnouncedAndForGrowingBodies)
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
        const auto deadline = Clock::now() + 10s;
        res.set_chunked_content_provider(
            "application/octet-stream", [piece, deadline](std::size_t, httplib::DataSink &sink) {
                return Clock::now() < deadline && sink.write(piece->data(), piece->size());
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
    // A growing body is a chunked one, which a runtime that cannot tell its end refuses first.
    const AsyncProperty endless = m_recorder.waitForCompletion("endless", 5000);
    EXPECT_EQ(endless.failure(), readertest::takesChunkedBodies()
                                     ? "the server sent more than 1,048,576 bytes"
                                     : kUnframed);
    EXPECT_LE(endless.BytesRead(), static_cast<std::int64_t>(limit));
    EXPECT_EQ(leftovers().size(), 2u);
}

// A signed release's file is hashed as it is written. Every runtime takes a chunked body once a
// signed size is set, since the size and hash then judge it; the digest belongs to a successful
// signed transfer alone.
TEST_F(AsyncReaderTest, ASignedTransferCarriesTheSha256OfTheBytesItWrote)
{
    // Several of the write buffer's flushes, sent in pieces of an odd size.
    const std::string large = support::randomBytes(9 * 1024 * 1024 + 7, 3);
    const std::string chunked = support::randomBytes(300001, 4);
    auto &routes = m_server.server();
    routes.Get("/large", [&](const httplib::Request &, httplib::Response &res) {
        res.set_content_provider(
            large.size(), "application/octet-stream",
            [&](std::size_t offset, std::size_t length, httplib::DataSink &sink) {
                return sink.write(large.data() + offset, std::min<std::size_t>(length, 7919));
            });
    });
    routes.Get("/chunked", [&](const httplib::Request &, httplib::Response &res) {
        res.set_chunked_content_provider(
            "application/octet-stream", [&](std::size_t offset, httplib::DataSink &sink) {
                if (offset < chunked.size()) {
                    return sink.write(chunked.data() + offset,
                                      std::min<std::size_t>(chunked.size() - offset, 100000));
                }
                sink.done();
                return true;
            });
    });
    routes.Get("/missing", [](const httplib::Request &, httplib::Response &res) {
        res.status = 404;
        res.set_content("not here", "text/plain");
    });
    m_server.start();

    const auto startSigned = [&](const std::string &path, const std::string &name,
                                 std::int64_t signedBytes) {
        runtime::TransferLimits limits = m_savedLimits;
        limits.signedBytes = signedBytes;
        runtime::setTransferLimits(limits);
        m_reader->start(url(path), 1, name, 0, folder());
    };
    startSigned("/large", "large", static_cast<std::int64_t>(large.size()));
    startSigned("/chunked", "chunked", static_cast<std::int64_t>(chunked.size()));
    startSigned("/missing", "missing", 1000);
    startSigned("/large", "unsigned", -1);

    struct Row
    {
        const char *name;
        const std::string *served; // null: the transfer fails
    };
    for (const Row &row : {Row{"large", &large}, Row{"chunked", &chunked}, Row{"unsigned", &large},
                           Row{"missing", nullptr}}) {
        SCOPED_TRACE(row.name);
        const AsyncProperty done = m_recorder.waitForCompletion(row.name, 30000);
        const bool hashed = std::string(row.name) != "unsigned" && row.served;
        if (row.served) {
            ASSERT_EQ(done.failure(), "");
            EXPECT_TRUE(support::readFile(done.Value()) == *row.served);
        } else {
            EXPECT_EQ(done.failure(), "the server answered 404");
        }
        ASSERT_EQ(done.Sha256().has_value(), hashed);
        if (hashed) {
            EXPECT_TRUE(*done.Sha256() == runtime::sha256(*row.served));
        }
        for (const AsyncProperty &progress : m_recorder.progressOf(row.name))
            EXPECT_FALSE(progress.Sha256().has_value());
    }
}

// A transfer cut halfway hands its bytes on, and the next attempt asks for the rest: a 206 that
// fits continues the same file (and its running hash), a 200 starts it again, anything else
// fails. Without a validator or a signed size nothing could tell a changed file, so nothing is
// handed on.
TEST(AsyncReaderResume, ACutTransferContinuesOnlyWhatStillBelongsToTheSameFile)
{
    using Body = FaultServer::Body;
    using Range = FaultServer::Range;
    const std::string data = support::randomBytes(200000, 11);
    const std::int64_t half = 100000;
    struct Row
    {
        const char *name;
        bool signedSize;
        bool validators;
        Range second;
        bool handedOn;       // the cut attempt leaves bytes to continue
        const char *failure; // of the second attempt; "" when the file comes whole
        const char *asked;   // the second request's Range ("" when none)
    };
    const Row rows[] = {
        {"206 continues", false, true, Range::Honour, true, "", "bytes=100000-"},
        {"signed, no validator", true, false, Range::Honour, true, "", "bytes=100000-"},
        {"200 starts again", true, true, Range::Ignore, true, "", "bytes=100000-"},
        {"nothing names the file", false, false, Range::Honour, false, "", ""},
        {"another part", false, true, Range::WrongStart, true,
         "the server sent another part of the file than the one asked for", "bytes=100000-"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        FaultServer server;
        FaultServer::Answer cut{
            .body = Body::CutAfter, .bytes = half, .sendValidators = row.validators};
        FaultServer::Answer rest{.range = row.second, .sendValidators = row.validators};
        server.serve("/file", data, {cut, rest});
        support::TemporaryFolder folder;
        readertest::Recorder recorder;
        const auto reader =
            runtime::createAsyncReader(recorder.progressHandler(), recorder.completionHandler());
        runtime::TransferAttempt attempt;
        attempt.target = server.url("/file");
        attempt.name = "first";
        attempt.tempFolder = folder.path();
        attempt.limits.signedBytes = row.signedSize ? static_cast<std::int64_t>(data.size()) : -1;
        reader->start(attempt);
        const AsyncProperty first = recorder.waitForCompletion("first");
        EXPECT_EQ(first.error(), runtime::TransferError::Cut);
        ASSERT_EQ(first.partial() != nullptr, row.handedOn);
        if (row.handedOn) {
            EXPECT_EQ(first.partial()->bytes(), half);
            EXPECT_EQ(support::entriesOf(folder.path()).size(), 1U);
        } else {
            EXPECT_TRUE(support::entriesOf(folder.path()).empty());
        }

        attempt.name = "second";
        attempt.resume = first.partial();
        reader->start(attempt);
        const AsyncProperty second = recorder.waitForCompletion("second");
        ASSERT_EQ(server.requests().size(), 2U);
        EXPECT_EQ(server.requests()[1].range, row.asked);
        EXPECT_EQ(server.requests()[1].ifRange,
                  row.handedOn && row.validators ? server.etag("/file") : "");
        EXPECT_EQ(second.failure(), row.failure);
        if (second.failure().empty()) {
            EXPECT_TRUE(support::readFile(second.Value()) == data);
            EXPECT_EQ(second.BytesRead(), static_cast<std::int64_t>(data.size()));
            ASSERT_EQ(second.Sha256().has_value(), row.signedSize);
            if (row.signedSize) {
                EXPECT_TRUE(*second.Sha256() == runtime::sha256(data));
            }
            std::filesystem::remove(second.Value());
        } else {
            EXPECT_EQ(second.error(), runtime::TransferError::BadRange);
            EXPECT_EQ(second.partial(), nullptr);
        }
        EXPECT_TRUE(support::entriesOf(folder.path()).empty());
        // Progress never goes back while a transfer continues, and starts from the bytes kept.
        EXPECT_FALSE(recorder.outOfOrder());
    }
}

TEST_F(AsyncReaderTest, ASignedSizeCapsAnnouncedAndGrowingBodiesWithAReasonOfItsOwn)
{
    constexpr std::size_t kSigned = 100000;
    const std::string data = support::randomBytes(kSigned + 1);
    auto &routes = m_server.server();
    routes.Get("/exact", [&](const httplib::Request &, httplib::Response &res) {
        res.set_content(data.substr(0, kSigned), "application/octet-stream");
    });
    routes.Get("/over", [&](const httplib::Request &, httplib::Response &res) {
        res.set_content(data, "application/octet-stream");
    });
    // Its own data: should the client go on reading, this server outlives the test's body.
    const auto piece = std::make_shared<const std::string>(data.substr(0, 16 * 1024));
    routes.Get("/growing", [piece](const httplib::Request &, httplib::Response &res) {
        const auto deadline = Clock::now() + 10s;
        res.set_chunked_content_provider(
            "application/octet-stream", [piece, deadline](std::size_t, httplib::DataSink &sink) {
                return Clock::now() < deadline && sink.write(piece->data(), piece->size());
            });
    });
    m_server.start();

    struct Row
    {
        const char *name;
        const char *path;
        std::int64_t maxBytes;
        std::string failure;
    };
    const std::int64_t general = m_savedLimits.maxBytes;
    const std::vector<Row> rows = {
        {"exact", "/exact", general, ""},
        {"over", "/over", general,
         "the server announced more than the 100,000 bytes the release names"},
        {"growing", "/growing", general,
         "the server sent more than the 100,000 bytes the release names"},
        // The lower of the two caps decides, and names itself.
        {"under-the-general-limit", "/exact", 50000, "the server announced more than 50,000 bytes"},
    };
    for (const Row &row : rows) {
        runtime::TransferLimits limits = m_savedLimits;
        limits.maxBytes = row.maxBytes;
        limits.signedBytes = static_cast<std::int64_t>(kSigned);
        runtime::setTransferLimits(limits);
        m_reader->start(url(row.path), 1, row.name, 0, folder());
    }
    for (const Row &row : rows) {
        const AsyncProperty done = m_recorder.waitForCompletion(row.name, 5000);
        EXPECT_EQ(done.failure(), row.failure) << row.name;
        EXPECT_LE(done.BytesRead(), static_cast<std::int64_t>(kSigned)) << row.name;
        EXPECT_EQ(done.Sha256().has_value(), row.failure.empty()) << row.name;
    }
    EXPECT_TRUE(m_recorder.progressOf("over").empty());
    EXPECT_EQ(leftovers().size(), 1u);
}

// exit() runs in a process of its own, the test child, which reads into this test's folder.
TEST_F(AsyncReaderTest, ExitingWhileATransferRunsLeavesNoTemporaryFile)
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
    const std::vector<std::string> whileRunning = leftovers();
    child.closeInput();

    EXPECT_TRUE(started);
    ASSERT_EQ(whileRunning.size(), 1u);
    EXPECT_TRUE(runtime::isTemporaryFileName(whileRunning.front())) << whileRunning.front();
    ASSERT_TRUE(child.wait()) << "the child did not end";
    EXPECT_EQ(child.exitCode(), 1);
    EXPECT_TRUE(leftovers().empty());
}

TEST(AsyncReaderNames, TemporaryFileNamePattern)
{
    EXPECT_TRUE(runtime::isTemporaryFileName(".refitor-aZ09xY.part"));
    for (const char *other : {"refitor-aZ09xY.part", ".refitor-aZ09x.part", ".refitor-aZ09xYz.part",
                              ".refitor-aZ0_xY.part", ".refitor-aZ09xY.part~",
                              ".Refitor-aZ09xY.part", ".refitor-aZ09xY.prt", "Korvane.exe", ""})
        EXPECT_FALSE(runtime::isTemporaryFileName(other)) << other;
}

} // namespace
