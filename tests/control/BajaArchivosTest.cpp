#include "control/BajaArchivos.h"

#include "runtime/AsyncRead.h"
#include "runtime/Controls.h"
#include "runtime/Files.h"
#include "runtime/RuntimeError.h"
#include "support/FaultServer.h"
#include "support/LoopbackServer.h"
#include "support/SystemSupport.h"

#include <algorithm>
#include <gtest/gtest.h>

using runtime::RuntimeError;
using support::entriesOf;
using support::readFile;
using support::waitUntil;
using Names = std::vector<std::string>;

namespace {

constexpr std::size_t kFileSize = 300'000;

// What the control raised, in order, as its container's handlers see it.
struct Events
{
    explicit Events(BajaArchivos &control)
    {
        control.onProgress([this](const std::int64_t &downloaded, const std::int64_t &total,
                                  const std::string &id) {
            progress.push_back({downloaded, total, id});
        });
        control.onCompleted([this](const std::int64_t &bytes, const std::string &id) {
            completed.push_back({bytes, 0, id});
        });
    }
    struct Event
    {
        std::int64_t bytes;
        std::int64_t total;
        std::string id;
    };
    std::vector<Event> progress;
    std::vector<Event> completed;
};

// A loopback server with a complete file, a 404, and a file held after its first bytes, so a
// transfer can be kept pending for as long as a test needs.
class ControlTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_body = support::randomBytes(kFileSize);
        m_other = support::randomBytes(1000, 7);
        auto &server = m_http.server();
        server.Get("/file", [this](const httplib::Request &, httplib::Response &response) {
            response.set_content(m_body, "application/octet-stream");
        });
        server.Get("/other", [this](const httplib::Request &, httplib::Response &response) {
            response.set_content(m_other, "application/octet-stream");
        });
        m_http.serveHeld("/slow", m_body, 1000);
        m_http.start();
    }

    void TearDown() override { m_http.stop(); }

    std::string url(const char *path) const { return m_http.url(path); }
    std::string path(const char *name) const { return runtime::utf8FromPath(m_dir.file(name)); }

    support::TemporaryFolder m_dir;
    LoopbackServer m_http;
    std::string m_body;
    std::string m_other;
};

} // namespace

TEST_F(ControlTest, DownloadsUnderTheDefaultKeyAndMovesTheFileIntoPlace)
{
    BajaArchivos control;
    Events events(control);
    control.Download(url("/file"), path("Korvane.exe"));

    ASSERT_TRUE(waitUntil([&] { return events.completed.size() == 1; }));
    EXPECT_EQ(events.completed[0].bytes, static_cast<int>(kFileSize));
    EXPECT_EQ(events.completed[0].id, "Id");
    ASSERT_GE(events.progress.size(), 1U);
    EXPECT_EQ(events.progress.back().bytes, static_cast<int>(kFileSize));
    EXPECT_EQ(events.progress.back().total, static_cast<int>(kFileSize));
    EXPECT_EQ(events.progress.back().id, "Id");
    EXPECT_EQ(readFile(path("Korvane.exe")), m_body);
    EXPECT_EQ(entriesOf(m_dir.path()), Names{"Korvane.exe"});
    const DownloadResult result = control.lastResult("Id");
    EXPECT_TRUE(result.inPlace);
    EXPECT_EQ(result.destination, path("Korvane.exe"));
}

TEST_F(ControlTest, TwoTransfersSideBySideEachToItsOwnDestination)
{
    BajaArchivos control;
    Events events(control);
    control.Download(url("/file"), path("one"), "A");
    control.Download(url("/other"), path("two"), "B");
    ASSERT_TRUE(waitUntil([&] { return events.completed.size() == 2; }));
    Names keys{events.completed[0].id, events.completed[1].id};
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (Names{"A", "B"}));
    EXPECT_EQ(readFile(path("one")), m_body);
    EXPECT_EQ(readFile(path("two")), m_other);
}

TEST_F(ControlTest, PendingKeyIsRefusedUntilItsCompletionEvenAfterCancel)
{
    BajaArchivos control;
    Events events(control);
    control.Download(url("/slow"), path("first"));
    ASSERT_TRUE(waitUntil([&] { return !events.progress.empty(); }));

    EXPECT_THROW(control.Download(url("/other"), path("second")), RuntimeError);
    const Names entries = entriesOf(m_dir.path());
    ASSERT_EQ(entries.size(), 1U) << "only the first transfer's temporary file";
    EXPECT_TRUE(runtime::isTemporaryFileName(entries[0]));

    control.CancelDownload("no such key"); // ignored
    control.CancelDownload();
    EXPECT_THROW(control.Download(url("/other"), path("second")), RuntimeError)
        << "the key stays pending until the cancelled transfer completes";

    ASSERT_TRUE(waitUntil([&] { return events.completed.size() == 1; }));
    EXPECT_FALSE(control.lastResult("Id").inPlace);
    EXPECT_FALSE(control.lastResult("Id").failure.empty());
    EXPECT_TRUE(entriesOf(m_dir.path()).empty()) << "nothing of the cancelled transfer is left";

    control.Download(url("/other"), path("second"));
    ASSERT_TRUE(waitUntil([&] { return events.completed.size() == 2; }));
    EXPECT_EQ(readFile(path("second")), m_other);
}

TEST_F(ControlTest, KeyIsFreeInsideTheCompletedHandler)
{
    BajaArchivos control;
    int completions = 0;
    control.onCompleted([&](const std::int64_t &, const std::string &id) {
        if (++completions == 1)
            control.Download(url("/other"), path("again"), id);
    });
    control.Download(url("/file"), path("first"));
    ASSERT_TRUE(waitUntil([&] { return completions == 2; }));
    EXPECT_EQ(readFile(path("first")), m_body);
    EXPECT_EQ(readFile(path("again")), m_other);
}

TEST_F(ControlTest, ExistingDestinationIsNeverOverwrittenAndTheDataStaysInTheTemporaryFile)
{
    support::writeFile(path("Korvane.exe"), "old program");
    BajaArchivos control;
    Events events(control);
    control.Download(url("/file"), path("Korvane.exe"));
    ASSERT_TRUE(waitUntil([&] { return events.completed.size() == 1; }));
    EXPECT_EQ(events.completed[0].bytes, static_cast<int>(kFileSize));
    EXPECT_EQ(readFile(path("Korvane.exe")), "old program");
    const DownloadResult result = control.lastResult("Id");
    EXPECT_FALSE(result.inPlace);
    EXPECT_NE(result.failure.find("moved into place"), std::string::npos) << result.failure;
    ASSERT_FALSE(result.temporary.empty());
    EXPECT_EQ(runtime::folderOf(result.temporary), m_dir.text());
    EXPECT_EQ(readFile(runtime::pathFromUtf8(result.temporary)), m_body)
        << "the host may still use it";
    EXPECT_EQ(entriesOf(m_dir.path()).size(), 2U);
}

TEST_F(ControlTest, FailedTransferCompletesWithItsReasonAndMovesNothing)
{
    BajaArchivos control;
    Events events(control);
    control.Download(url("/missing"), path("Korvane.exe"));
    ASSERT_TRUE(waitUntil([&] { return events.completed.size() == 1; }));
    EXPECT_TRUE(events.progress.empty()) << "an error page is no progress";
    EXPECT_TRUE(entriesOf(m_dir.path()).empty());
    EXPECT_NE(control.lastResult("Id").failure.find("404"), std::string::npos);
    EXPECT_THROW(control.lastResult("other"), RuntimeError);
}

TEST_F(ControlTest, RefusedStartKeepsTheKeyPending)
{
    BajaArchivos control;
    EXPECT_THROW(control.Download("ftp://127.0.0.1/x", path("x")), RuntimeError);
    EXPECT_THROW(control.Download(url("/file"), path("x")), RuntimeError)
        << "the entry added before the refused start keeps the key pending";
    EXPECT_TRUE(entriesOf(m_dir.path()).empty());
}

// Only what may pass is tried again, after the policy's waits (jittered, never beyond their
// bounds) or a Retry-After the policy honours; the host hears of each retry, and of the end once.
TEST(ControlRetries, OnlyWhatMayPassIsTriedAgainAfterItsWait)
{
    using namespace std::chrono_literals;
    using Answer = FaultServer::Answer;
    const std::string body = support::randomBytes(5000, 9);
    struct Row
    {
        const char *name;
        std::vector<Answer> answers;
        std::size_t requests;
        std::vector<std::pair<std::chrono::milliseconds, std::chrono::milliseconds>> waits;
        runtime::TransferError error; // None: the file comes
        const char *reason;
    };
    const Row rows[] = {
        {"404 is final",
         {Answer{.status = 404}},
         1,
         {},
         runtime::TransferError::HttpStatus,
         "the server answered 404"},
        {"403 is final",
         {Answer{.status = 403}},
         1,
         {},
         runtime::TransferError::HttpStatus,
         "the server answered 403"},
        {"502 then the file",
         {Answer{.status = 502}, Answer{}},
         2,
         {{80ms, 120ms}},
         runtime::TransferError::None,
         ""},
        {"Retry-After honoured",
         {Answer{.status = 503, .retryAfter = "1"}, Answer{}},
         2,
         {{1000ms, 1000ms}},
         runtime::TransferError::None,
         ""},
        {"Retry-After past the longest waits as usual",
         {Answer{.status = 429, .retryAfter = "120"}, Answer{}},
         2,
         {{80ms, 120ms}},
         runtime::TransferError::None,
         ""},
        {"500 throughout",
         {Answer{.status = 500}},
         4,
         {{80ms, 120ms}, {160ms, 240ms}, {320ms, 480ms}},
         runtime::TransferError::HttpStatus,
         "the server answered 500; gave up after 4 attempts"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        FaultServer server;
        server.serve("/file", body, row.answers);
        support::TemporaryFolder folder;
        BajaArchivos control;
        control.setRetryPolicy({.waits = {100ms, 200ms, 400ms}, .jitter = 0.2});
        Events events(control);
        std::vector<RetryNotice> notices;
        control.onRetrying([&](const RetryNotice &notice) { notices.push_back(notice); });
        control.Download(server.url("/file"), runtime::utf8FromPath(folder.file("Korvane.exe")));
        ASSERT_TRUE(waitUntil([&] { return events.completed.size() == 1; }, 15000));
        const DownloadResult result = control.lastResult("Id");
        EXPECT_EQ(result.error, row.error);
        EXPECT_EQ(result.failure, row.reason);
        EXPECT_EQ(result.attempts, static_cast<int>(row.requests));
        EXPECT_EQ(server.requests().size(), row.requests);
        ASSERT_EQ(notices.size(), row.waits.size());
        for (std::size_t i = 0; i < notices.size(); ++i) {
            EXPECT_EQ(notices[i].attempt, static_cast<int>(i) + 2);
            EXPECT_EQ(notices[i].attempts, 4);
            EXPECT_GE(notices[i].wait, row.waits[i].first);
            EXPECT_LE(notices[i].wait, row.waits[i].second);
        }
        const Names expected =
            row.error == runtime::TransferError::None ? Names{"Korvane.exe"} : Names{};
        EXPECT_EQ(entriesOf(folder.path()), expected);
    }
}

TEST(ControlFace, KeepsHalfAnInchSquareWhateverTheContainerDoes)
{
    const auto container = runtime::controls().createWindow();
    BajaArchivos control(container.get());
    EXPECT_EQ(control.face().widthTwips(), 720);
    EXPECT_EQ(control.face().heightTwips(), 720);
    control.face().setSize(1500, 300);
    EXPECT_EQ(control.face().widthTwips(), 720);
    EXPECT_EQ(control.face().heightTwips(), 720);
    control.face().setSize(15, 7200);
    EXPECT_EQ(control.face().pixels().width, 48);
    EXPECT_EQ(control.face().pixels().height, 48);
}
