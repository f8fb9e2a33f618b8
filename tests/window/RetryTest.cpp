#include "runtime/Application.h"
#include "runtime/AsyncRead.h"
#include "runtime/Files.h"
#include "runtime/SupportLog.h"
#include "runtime/Testing.h"
#include "support/FaultServer.h"
#include "support/PlatformSupport.h"
#include "support/SystemSupport.h"
#include "window/Form2.h"

#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using support::entriesOf;
using support::readFile;
using support::waitUntil;
using Answer = FaultServer::Answer;
using Body = FaultServer::Body;
using Range = FaultServer::Range;
using Names = std::vector<std::string>;

namespace {

// Where the first answer of the resuming rows breaks off: about half of the served program.
constexpr std::int64_t kBreak = 150'000;
constexpr std::size_t kPadding = 300'000;

// What the test does while the run goes on, besides answering from the server's script.
enum class Then
{
    Nothing,
    ChangeTheFile,    // the served file changes as soon as the first request is in
    ListenLater,      // the server listens only once the first attempt has failed
    CloseWhileWaiting // the window is closed during the wait before the second attempt
};

// Which program Korvane.exe must be at the end.
enum class Program
{
    Old,
    New,
    Changed
};

struct RetryRow
{
    const char *name;
    std::vector<Answer> answers;
    int exitCode;
    Program program;
    // What the failure's message box says (after "Update failed"); "" where none is told.
    const char *told;
    // Lines the support log must have.
    std::vector<std::string> logged;
    std::size_t requests;
    int attempts;
    // The byte the second request's Range starts at (0: it asks for no range); a reset may
    // lose bytes the kernel held, so it is only "at most" there.
    std::int64_t resumedFrom = 0;
    bool resumeExact = true;
    Then then = Then::Nothing;
    std::vector<std::chrono::milliseconds> waits{100ms, 200ms, 400ms};
    std::chrono::milliseconds budget = 20s;
};

// The row's name where GoogleTest and CTest show the parameter, instead of its bytes.
void PrintTo(const RetryRow &row, std::ostream *out)
{
    *out << row.name;
}

Answer status(int code, std::string retryAfter = {})
{
    Answer answer;
    answer.status = code;
    answer.retryAfter = std::move(retryAfter);
    return answer;
}

Answer body(Body how, std::int64_t bytes = kBreak, Range range = Range::Honour)
{
    Answer answer;
    answer.body = how;
    answer.bytes = bytes;
    answer.range = range;
    return answer;
}

Answer whole(Range range = Range::Honour)
{
    return body(Body::Whole, 0, range);
}

Answer trickle(int bytesPerSecond)
{
    Answer answer;
    answer.body = Body::Trickle;
    answer.bytesPerSecond = bytesPerSecond;
    return answer;
}

const std::vector<RetryRow> kRows = {
    {"CutHalfwayThenResumed",
     {body(Body::CutAfter), whole()},
     Form2::kExitUpdated,
     Program::New,
     "",
     {"attempt 2 in 100 ms, continuing from byte 150000", "attempt 2: status 206"},
     2,
     2,
     kBreak},
    {"CutThenTheRangeIsIgnored",
     {body(Body::CutAfter), whole(Range::Ignore)},
     Form2::kExitUpdated,
     Program::New,
     "",
     {"continuing from byte 150000", "attempt 2: status 200"},
     2,
     2,
     kBreak},
    {"CutThenTheFileChanged",
     {body(Body::CutAfter), whole()},
     Form2::kExitUpdated,
     Program::Changed,
     "",
     {"continuing from byte 150000", "attempt 2: status 200"},
     2,
     2,
     kBreak,
     true,
     Then::ChangeTheFile},
    {"StalledThenResumed",
     {body(Body::StallAfter), whole()},
     Form2::kExitUpdated,
     Program::New,
     "",
     {"the server stopped sending data", "continuing from byte 150000", "attempt 2: status 206"},
     2,
     2,
     kBreak},
    {"ResetThenResumed",
     {body(Body::ResetAfter), whole()},
     Form2::kExitUpdated,
     Program::New,
     "",
     {"continuing from byte", "attempt 2: status 206"},
     2,
     2,
     kBreak,
     false},
    {"Status503ThenTheFile",
     {status(503), whole()},
     Form2::kExitUpdated,
     Program::New,
     "",
     {"attempt 1: status 503", "attempt 2 in 100 ms, from the first byte"},
     2,
     2},
    {"Status429WithRetryAfterIsWaited",
     {status(429, "2"), whole()},
     Form2::kExitUpdated,
     Program::New,
     "",
     {"attempt 1: status 429", "attempt 2 in 2000 ms, from the first byte"},
     2,
     2},
    {"Status408ThenTheFile",
     {status(408), whole()},
     Form2::kExitUpdated,
     Program::New,
     "",
     {"attempt 1: status 408", "attempt 2 in 100 ms"},
     2,
     2},
    {"Status404IsNotTriedAgain",
     {status(404)},
     Form2::kExitFailed,
     Program::Old,
     "server answered 404",
     {"attempt 1: status 404"},
     1,
     1},
    {"Status403IsNotTriedAgain",
     {status(403)},
     Form2::kExitFailed,
     Program::Old,
     "server answered 403",
     {"attempt 1: status 403"},
     1,
     1},
    {"Status500FourTimesGivesUp",
     {status(500)},
     Form2::kExitFailed,
     Program::Old,
     "server answered 500; gave up after 4 attempts",
     {"attempt 2 in 100 ms", "attempt 3 in 200 ms", "attempt 4 in 400 ms", "attempt 4: status 500"},
     4,
     4},
    {"RefusedUntilTheServerListens",
     {whole()},
     Form2::kExitUpdated,
     Program::New,
     "",
     {"attempt 1: status 0, 0 of 0 bytes, could not connect to the server",
      "attempt 2 in 500 ms, from the first byte"},
     1,
     2,
     0,
     true,
     Then::ListenLater,
     {500ms, 500ms, 500ms}},
    {"TrickleUnderTheFloorThenTheFile",
     {trickle(1000), whole()},
     Form2::kExitUpdated,
     Program::New,
     "",
     {"the server sent fewer than 2,000 bytes in 1 second", "continuing from byte",
      "attempt 2: status 206"},
     2,
     2,
     kBreak,
     false},
    {"TheTimeBudgetRunsOut",
     {body(Body::StallAfter)},
     Form2::kExitFailed,
     Program::Old,
     "did not finish within 2 seconds; gave up after 2 attempts",
     {"the server stopped sending data", "continuing from byte 150000"},
     2,
     2,
     kBreak,
     true,
     Then::Nothing,
     {100ms, 200ms, 400ms},
     2s},
    {"ARangeNobodyAskedForIsRefused",
     {whole(Range::PartialUnasked)},
     Form2::kExitFailed,
     Program::Old,
     "server sent a part of the file when the whole was asked for",
     {"attempt 1: status 206"},
     1,
     1},
    {"AnotherRangeThanTheOneAskedIsRefused",
     {body(Body::CutAfter), whole(Range::WrongStart)},
     Form2::kExitFailed,
     Program::Old,
     "server sent another part of the file than the one asked for; gave up after 2 attempts",
     {"continuing from byte 150000", "attempt 2: status 206"},
     2,
     2,
     kBreak},
    {"ClosedWhileWaitingToTryAgain",
     {body(Body::CutAfter), whole()},
     Form2::kExitClosed,
     Program::Old,
     "",
     {"attempt 2 in 3000 ms, continuing from byte 150000"},
     1,
     1,
     0,
     true,
     Then::CloseWhileWaiting,
     {3s}},
};

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// A stand-in program whose inert padding is varied bytes rather than one repeated character, so
// that a resumed file with a byte shifted, doubled or lost cannot pass for the served one.
std::string variedProgram(const std::filesystem::path &marker, const std::string &word,
                          unsigned seed)
{
    std::string program = support::markerProgram(marker, word, support::Ending::Exit0, kPadding);
    const std::size_t at = program.find(std::string(kPadding, '#'));
    if (at != std::string::npos)
        program.replace(at, kPadding, support::randomBytes(kPadding, seed));
    return program;
}

// A whole update run in a real application folder (a temporary one) against a loopback server
// that misbehaves as each row scripts it, in an unsigned run, on the runtime's real controls
// and transfers, with the retry policy and transfer limits shortened so that the rows take
// seconds. As in the other window tests, two things are not real: the application folder is
// pointed at the temporary folder, and ending the program records the exit code instead of
// ending the test process.
class RetryTest : public ::testing::TestWithParam<RetryRow>
{
protected:
    void SetUp() override
    {
        runtime::setApplicationFolder(m_app.text());
        runtime::setApplicationTitle("Updating Korvane");
        runtime::setEndProgramHandler([this](int code) {
            m_exitCode = code;
            m_entriesAtEnd = entriesOf(m_app.path());
        });
        runtime::supportlog::setLogFileForTesting(m_log);
        m_savedLimits = runtime::transferLimits();
        m_boxes = runtime::testing::answerMessageBoxes(
            [this](const std::string &text, const std::string &) { m_messages.push_back(text); });

        m_marker = m_outside.file("marker");
        m_old = support::markerProgram(m_marker, "old");
        m_new = variedProgram(m_marker, "new", 1);
        m_changed = variedProgram(m_marker, "changed", 2);
        support::writeFile(exe(), m_old);
        support::setMode(exe(), 0750);
    }

    void TearDown() override
    {
        m_boxes.reset();
        runtime::setTransferLimits(m_savedLimits);
        runtime::supportlog::setLogFileForTesting({});
        runtime::setEndProgramHandler({});
        runtime::setApplicationFolder({});
    }

    std::filesystem::path exe() const { return m_app.file("Korvane.exe"); }

    // What the started programs wrote, once it reads expected or five seconds have passed.
    std::string marker(const std::string &expected) const
    {
        return support::markerWhenItReads(m_marker, expected);
    }

    support::TemporaryFolder m_app;
    support::TemporaryFolder m_outside;
    std::filesystem::path m_log = m_outside.file("support.log");
    std::filesystem::path m_marker;
    std::string m_old;
    std::string m_new;
    std::string m_changed;
    runtime::TransferLimits m_savedLimits;
    std::unique_ptr<runtime::testing::MessageBoxAnswerer> m_boxes;
    Names m_messages;
    int m_exitCode = -1;
    Names m_entriesAtEnd;
};

} // namespace

TEST_P(RetryTest, AFailedAttemptIsTriedAgainOnlyWhenItMayPassAndLeavesNothingHalfDone)
{
    const RetryRow &row = GetParam();
    runtime::TransferLimits limits = runtime::transferLimits();
    limits.stallTimeout = 1s;
    limits.connectTimeout = 2s;
    limits.lowSpeedBytes = 2000;
    limits.lowSpeedPeriod = 1s;
    runtime::setTransferLimits(limits);

    const std::string path = "/ProgramFiles/Korvane.exe";
    std::unique_ptr<FaultServer> server =
        row.then == Then::ListenLater ? std::make_unique<FaultServer>(FaultServer::DeferListening{})
                                      : std::make_unique<FaultServer>();
    server->serve(path, m_new, row.answers);
    const std::string firstTag = server->etag(path);
    // Changed between the first request and the second: the first answer was already made with
    // the old tag, under the server's lock, when the request shows.
    std::thread changer;
    if (row.then == Then::ChangeTheFile) {
        changer = std::thread([&] {
            if (server->waitForRequests(1, 20s))
                server->setContent(path, m_changed);
        });
    }

    {
        Form2 window;
        window.txtURL->setText(server->url(path));
        window.setCompiledKeys({});
        window.j->setRetryPolicy({row.waits, 0.0, 60s, row.budget});
        window.Form_Load();
        window.window().show();
        if (row.then == Then::ListenLater || row.then == Then::CloseWhileWaiting) {
            ASSERT_TRUE(waitUntil([&] { return contains(window.Caption(), "trying again"); }));
            if (row.then == Then::ListenLater) {
                server->listen();
            } else {
                EXPECT_EQ(window.Caption(), "Updating Korvane: trying again in 3 seconds (2 of 2)");
                runtime::testing::requestClose(window.window());
            }
        }
        ASSERT_TRUE(waitUntil([&] { return m_exitCode >= 0; }, 30000));
    }
    if (changer.joinable())
        changer.join();

    EXPECT_EQ(m_exitCode, row.exitCode) << (m_messages.empty() ? "" : m_messages.back());
    const std::string &program = row.program == Program::New       ? m_new
                                 : row.program == Program::Changed ? m_changed
                                                                   : m_old;
    EXPECT_TRUE(readFile(exe()) == program) << "Korvane.exe is not the expected program";
    if (const auto mode = support::modeOf(exe())) {
        EXPECT_EQ(*mode, 0750U);
    }
    EXPECT_EQ(m_entriesAtEnd, Names{"Korvane.exe"}) << "nothing half-written, no backup, no lock";
    EXPECT_EQ(entriesOf(m_app.path()), Names{"Korvane.exe"});

    if (row.exitCode == Form2::kExitUpdated) {
        EXPECT_EQ(m_messages, Names{"Update is completed"});
        const std::string word = row.program == Program::Changed ? "changed" : "new";
        EXPECT_EQ(marker(word), word) << "the program installed is the one started";
    } else if (row.exitCode == Form2::kExitFailed) {
        ASSERT_EQ(m_messages.size(), 1U);
        EXPECT_TRUE(m_messages[0].starts_with("Update failed\n\n")) << m_messages[0];
        EXPECT_TRUE(contains(m_messages[0], row.told)) << m_messages[0];
        EXPECT_EQ(contains(m_messages[0], "gave up after"), row.attempts > 1) << m_messages[0];
        EXPECT_EQ(marker("old"), "old") << "the old program is started again";
    } else {
        EXPECT_TRUE(m_messages.empty()) << m_messages[0];
    }

    const std::string log = runtime::pathExists(m_log) ? readFile(m_log) : std::string();
    for (const std::string &line : row.logged)
        EXPECT_TRUE(contains(log, line)) << "no \"" << line << "\" in\n" << log;
    EXPECT_TRUE(contains(log, "attempt " + std::to_string(row.attempts) + ":")) << log;
    EXPECT_FALSE(contains(log, "attempt " + std::to_string(row.attempts + 1) + ":")) << log;
    EXPECT_TRUE(contains(log, "==== end exit code " + std::to_string(row.exitCode))) << log;

    const std::vector<FaultServer::Request> requests = server->requests();
    ASSERT_EQ(requests.size(), row.requests);
    EXPECT_EQ(requests[0].range, "") << "the first request asks for the whole file";
    if (requests.size() < 2)
        return;
    if (row.resumedFrom == 0) {
        EXPECT_EQ(requests[1].range, "");
        return;
    }
    const std::string &range = requests[1].range;
    ASSERT_TRUE(range.starts_with("bytes=") && range.ends_with("-")) << range;
    const std::string from = range.substr(6, range.size() - 7);
    if (row.resumeExact) {
        EXPECT_EQ(from, std::to_string(row.resumedFrom));
    } else {
        EXPECT_GT(std::stoll(from), 0);
        EXPECT_LE(std::stoll(from), row.resumedFrom);
        EXPECT_TRUE(contains(log, "continuing from byte " + from + "\n")) << log;
    }
    EXPECT_EQ(requests[1].ifRange, firstTag) << "only the same version may be continued";
}

INSTANTIATE_TEST_SUITE_P(Rows, RetryTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<RetryRow> &row) {
                             return std::string(row.param.name);
                         });
