#pragma once

#include "runtime/AsyncRead.h"
#include "runtime/RuntimeError.h"
#include "support/LoopbackServer.h"
#include "support/SystemSupport.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// The asynchronous reader's tests: the fixture and helpers of the cases every runtime runs
// (runtime/AsyncReaderTest.cpp) and of each runtime's own (runtime/qt/, runtime/win32/), and the
// few facts of the platform that each runtime's file supplies to the shared cases.
namespace readertest {

// Supplied by each runtime's test file.

/// UI thread. Delivers everything posted to the UI thread before the call: a notification on
/// its way when it is called has reached its handler when it returns.
void deliverPosted();

/// How many of folder's files are held open. A transfer's file stays open until the worker has
/// finished with it, and the worker posts the completion when it closes the file.
int openFilesIn(const std::filesystem::path &folder);

/// Words that the reason given for a temporary file that cannot be made in a missing folder
/// carries: the system's own for a path that does not exist.
std::string missingFolderWords();

/// Whether this runtime takes a chunked body that announces no length: where its network
/// library tells the body's last chunk from a cut, it is taken and a cut fails as lost; where it
/// cannot (WinHTTP reads both alike), it is refused at its headers as a body of unknown length,
/// unless a signed size is set (TransferLimits::signedBytes), which every runtime takes it under.
bool takesChunkedBodies();

/// A loopback HTTPS server (support/tls-server.py) at https://localhost:port, whose certificate
/// was signed by the authority whose certificate is authorityFile. It serves /file/N and
/// /redirect?to=URL.

// Shared by every runtime (runtime/AsyncReaderTest.cpp).

/// Waits for predicate without dispatching events, so that nothing posted to the UI thread is
/// delivered meanwhile.
bool waitWithoutEvents(const std::function<bool()> &predicate,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));

/// The kind of error a record's Value() throws, none when it returns a path.
std::optional<runtime::ErrorKind> valueErrorOf(const runtime::AsyncProperty &record);

/// Every notification of a reader, in arrival order, with the thread it arrived on. Made on the
/// UI thread.
class Recorder
{
public:
    struct Event
    {
        bool complete;
        runtime::AsyncProperty record;
        std::thread::id thread;
    };

    runtime::AsyncReader::Handler progressHandler();
    runtime::AsyncReader::Handler completionHandler();

    std::vector<runtime::AsyncProperty> progressOf(const std::string &name) const;
    std::optional<runtime::AsyncProperty> completionOf(const std::string &name) const;
    /// The completion of name, dispatching events until it comes; a failed record saying "no
    /// completion" when it does not come in timeoutMs.
    runtime::AsyncProperty waitForCompletion(const std::string &name, int timeoutMs = 10000) const;
    /// Whether progress follows completion anywhere, the counts of a name ever go down, or a
    /// notification arrived on another thread than the UI thread.
    bool outOfOrder() const;

    std::vector<Event> events;

private:
    const std::thread::id m_uiThread = std::this_thread::get_id();
};

/// A loopback server, a temporary folder for the files, and a reader that records what it
/// notifies. The transfer limits are restored afterwards.
class AsyncReaderTest : public ::testing::Test
{
protected:
    void SetUp() override { m_server.server().set_keep_alive_timeout(1); }
    void TearDown() override
    {
        m_server.stop();
        runtime::setTransferLimits(m_savedLimits);
    }

    std::string url(const std::string &path) const { return m_server.url(path); }
    const std::filesystem::path &folder() const { return m_folder.path(); }
    std::vector<std::string> leftovers() const { return support::entriesOf(folder()); }

    const runtime::TransferLimits m_savedLimits = runtime::transferLimits();
    LoopbackServer m_server;
    support::TemporaryFolder m_folder;
    Recorder m_recorder;
    std::unique_ptr<runtime::AsyncReader> m_reader =
        runtime::createAsyncReader(m_recorder.progressHandler(), m_recorder.completionHandler());
};

} // namespace readertest
