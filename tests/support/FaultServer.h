#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

/// A loopback HTTP/1.1 server that serves one file per path and misbehaves on purpose, request by
/// request: it cuts, resets or stalls a body, trickles it, answers with an error status, or gets
/// ranges wrong, so that a download's retries and resumption can be tried against real sockets.
/// Every connection gets one answer, framed by a Content-Length, and closes; each runs on a
/// thread of its own. Listens on 127.0.0.1 and a free port. The same code runs on POSIX sockets
/// and on Winsock.
class FaultServer
{
public:
    /// How the body of an answer is sent.
    enum class Body
    {
        Whole,      // all of it, then an orderly close
        CutAfter,   // Answer::bytes of it, then an orderly close
        ResetAfter, // Answer::bytes of it, then a reset (RST)
        StallAfter, // Answer::bytes of it, then nothing until releaseStalls(), then the rest
        Trickle     // about Answer::bytesPerSecond a second in small writes
    };
    /// How a 200 answer treats a request for a range.
    enum class Range
    {
        Honour,         // "bytes=N-" or "bytes=N-M" whose If-Range is absent or current: 206
        Ignore,         // always 200 and the whole file
        PartialUnasked, // always 206 with "bytes 0-(L-1)/L" and the whole file, asked or not
        WrongStart      // a range asked from N: 206 from N+1, Content-Range and body alike
    };
    /// One answer to one request.
    struct Answer
    {
        int status = 200;            // 200 serves the file; others send a short text body
        Body body = Body::Whole;     // applies to whichever body the answer has
        std::int64_t bytes = 0;      // body bytes sent before a cut, reset or stall
        int bytesPerSecond = 0;      // Trickle's pace (at least 1)
        Range range = Range::Honour; // for a status of 200
        std::string retryAfter{};    // sent as Retry-After when not empty
        bool sendValidators = true;  // ETag and Last-Modified, on 200 and 206 answers
    };
    /// What a request asked: its method, its target as sent (a query too, which serving ignores),
    /// and the values of three of its fields ("" when absent).
    struct Request
    {
        std::string method;
        std::string path;
        std::string range;
        std::string ifRange;
        std::string cacheControl;
    };
    /// Tag of the constructor that does not listen yet.
    struct DeferListening
    {};

    /// Test thread. Binds 127.0.0.1 and a free port and listens; throws std::runtime_error.
    FaultServer();
    /// Test thread. Picks a free port but refuses connections until listen(); throws.
    explicit FaultServer(DeferListening);
    /// Test thread. Stops listening, ends every connection (stalled ones too), joins every
    /// thread. Never throws.
    ~FaultServer();
    FaultServer(const FaultServer &) = delete;
    FaultServer &operator=(const FaultServer &) = delete;

    /// Any thread. path serves content with new validators; the answers go one per request, in
    /// order, the last one repeating (none: one default Answer). A path never served gets 404.
    void serve(const std::string &path, std::string content, std::vector<Answer> answers);
    /// Any thread. The file at path changes, with new validators, for the requests to come; its
    /// answers go on where they were.
    void setContent(const std::string &path, std::string content);
    /// Any thread. The file's current ETag (a strong, quoted tag), "" for a path never served.
    std::string etag(const std::string &path) const;
    /// Any thread. The file's current Last-Modified (an HTTP date), "" for a path never served.
    std::string lastModified(const std::string &path) const;
    /// Test thread. Starts listening on port(); nothing when listening already; throws.
    void listen();
    /// Any thread. Every answer stalled now, or whose request came before this call, sends the
    /// rest. Later requests stall again.
    void releaseStalls();
    /// Any thread. Every request received so far, in order of arrival.
    std::vector<Request> requests() const;
    /// Any thread. Waits until at least count requests have come or timeout passes; whether
    /// they have.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    /// Any thread. The port; never 0.
    int port() const { return m_port; }
    /// Any thread. "http://127.0.0.1:<port><path>".
    std::string url(const std::string &path) const;

private:
    struct File
    {
        std::shared_ptr<const std::string> content;
        std::string etag;
        std::string lastModified;
        std::vector<Answer> answers;
        std::size_t next = 0;
    };
    struct Connection
    {
        std::uintptr_t socket = 0;
        bool open = true; // guarded by m_mutex: the socket is not closed yet
        std::atomic<bool> done{false};
        std::thread thread;
    };

    void open(int port);
    void acceptLoop() noexcept;
    void reapFinished();
    void handle(Connection &connection) noexcept;
    bool answer(std::uintptr_t socket);
    bool trickle(std::uintptr_t socket, const char *data, std::size_t size, int bytesPerSecond);
    void drain(std::uintptr_t socket);
    bool pause(std::chrono::milliseconds duration) const;
    void close(Connection &connection, bool reset);
    void renew(File &file, std::string content);

    int m_port = 0;
    std::uintptr_t m_listener = 0;
    bool m_listening = false;
    std::atomic<bool> m_stopping{false};
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed; // a request, a release, the end
    std::map<std::string, File> m_files;       // guarded by m_mutex
    std::vector<Request> m_requests;           // guarded by m_mutex
    std::uint64_t m_generation = 0;            // guarded by m_mutex
    std::uint64_t m_releases = 0;              // guarded by m_mutex
    std::list<Connection> m_connections;       // guarded by m_mutex
    std::thread m_acceptor;
};
