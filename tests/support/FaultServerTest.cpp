// What the download tests take on trust from the fault server, seen through a raw socket: the
// heads of its ranges, that a cut ends in order and a reset in a reset, and that a stall holds
// its own connection alone and still ends with the server.

#include "support/FaultServer.h"

#include "support/Sockets.h"

#include <chrono>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using Answer = FaultServer::Answer;
using Body = FaultServer::Body;
using Range = FaultServer::Range;

namespace {

#ifdef _WIN32
// Under Wine a reset that comes while recv waits is now and then reported as an orderly end. A
// client can still tell the cut by the length, and the reset itself is shown on Linux.
constexpr bool kResetsMayLookOrderly = true;
#else
constexpr bool kResetsMayLookOrderly = false;
#endif

/// A blocking connection to 127.0.0.1 that keeps all it receives.
class RawClient
{
public:
    explicit RawClient(int port)
    {
        sockets::startNetwork();
        m_socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        const sockaddr_in address = sockets::loopback(port);
        m_connected =
            m_socket != sockets::kNoSocket &&
            ::connect(m_socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
        // Only a broken server makes a test wait this long.
        sockets::setReceiveTimeout(m_socket, 10s);
    }
    ~RawClient()
    {
        if (m_socket != sockets::kNoSocket)
            sockets::closeSocket(m_socket);
    }
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool connected() const { return m_connected; }
    void get(const std::string &path, const std::string &fields = {})
    {
        const std::string request =
            "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + fields + "\r\n";
        ::send(m_socket, request.data(), static_cast<int>(request.size()), sockets::kSendFlags);
    }
    /// Reads until the body has at least count bytes or the connection ends.
    void readBody(std::size_t count)
    {
        while (!m_ended && body().size() < count)
            readSome();
    }
    /// Reads until the connection ends; whether a reset ended it.
    bool readToEnd()
    {
        while (!m_ended)
            readSome();
        return m_reset;
    }
    std::string statusLine() const { return m_received.substr(0, m_received.find("\r\n")); }
    /// The value of a header field as sent (names matched exactly), "" when absent.
    std::string field(const std::string &name) const
    {
        const std::size_t at = m_received.find("\r\n" + name + ": ");
        if (at == std::string::npos || at > m_received.find("\r\n\r\n"))
            return {};
        const std::size_t from = at + name.size() + 4;
        return m_received.substr(from, m_received.find("\r\n", from) - from);
    }
    std::string body() const
    {
        const std::size_t end = m_received.find("\r\n\r\n");
        return end == std::string::npos ? std::string() : m_received.substr(end + 4);
    }

private:
    void readSome()
    {
        char buffer[4096];
        const auto got = static_cast<long long>(::recv(m_socket, buffer, sizeof buffer, 0));
        if (got > 0) {
            m_received.append(buffer, static_cast<std::size_t>(got));
            return;
        }
        m_reset = got < 0 && sockets::wasReset();
        m_ended = true;
    }

    sockets::Socket m_socket = sockets::kNoSocket;
    bool m_connected = false;
    bool m_ended = false;
    bool m_reset = false;
    std::string m_received;
};

std::string numbered(std::size_t size)
{
    std::string text;
    for (std::size_t i = 0; text.size() < size; ++i)
        text += std::to_string(i) + ",";
    return text.substr(0, size);
}

} // namespace

TEST(FaultServer, RangesCutsAndResetsAsARawClientSeesThem)
{
    enum class IfRange
    {
        None,
        CurrentTag,
        CurrentDate,
        FormerTag
    };
    struct Row
    {
        std::string name;
        Answer answer;
        std::string range;
        IfRange ifRange;
        std::string status;
        std::string contentRange;
        std::size_t from; // where the expected body starts in the file
        std::size_t size; // how much of it comes
        bool reset;
        std::chrono::milliseconds atLeast;
    };
    const std::string file = numbered(1000);
    // Named, not braced in the rows: GCC 12 takes braced answers there for uninitialised strings.
    const Answer plain;
    const Answer ignore{.range = Range::Ignore};
    const Answer unasked{.range = Range::PartialUnasked};
    const Answer wrongStart{.range = Range::WrongStart};
    const Answer cut{.body = Body::CutAfter, .bytes = 300};
    const Answer reset{.body = Body::ResetAfter, .bytes = 300};
    const Answer trickle{.body = Body::Trickle, .bytesPerSecond = 2000};
    const Answer busy{.status = 503, .retryAfter = "2"};
    const std::vector<Row> rows = {
        {"whole", plain, "", IfRange::None, "200 OK", "", 0, 1000, false, 0ms},
        {"rest", plain, "bytes=400-", IfRange::None, "206 Partial Content", "bytes 400-999/1000",
         400, 600, false, 0ms},
        {"rest-same-tag", plain, "bytes=400-", IfRange::CurrentTag, "206 Partial Content",
         "bytes 400-999/1000", 400, 600, false, 0ms},
        {"rest-same-date", plain, "bytes=400-", IfRange::CurrentDate, "206 Partial Content",
         "bytes 400-999/1000", 400, 600, false, 0ms},
        {"rest-bounded", plain, "bytes=400-499", IfRange::None, "206 Partial Content",
         "bytes 400-499/1000", 400, 100, false, 0ms},
        {"changed-since", plain, "bytes=400-", IfRange::FormerTag, "200 OK", "", 0, 1000, false,
         0ms},
        {"beyond-the-end", plain, "bytes=1000-", IfRange::None, "416 Range Not Satisfiable",
         "bytes */1000", 0, 0, false, 0ms},
        {"ignored", ignore, "bytes=400-", IfRange::None, "200 OK", "", 0, 1000, false, 0ms},
        {"partial-unasked", unasked, "", IfRange::None, "206 Partial Content", "bytes 0-999/1000",
         0, 1000, false, 0ms},
        {"wrong-start", wrongStart, "bytes=400-", IfRange::None, "206 Partial Content",
         "bytes 401-999/1000", 401, 599, false, 0ms},
        {"cut", cut, "", IfRange::None, "200 OK", "", 0, 300, false, 0ms},
        {"cut-range", cut, "bytes=400-", IfRange::None, "206 Partial Content", "bytes 400-999/1000",
         400, 300, false, 0ms},
        {"reset", reset, "", IfRange::None, "200 OK", "", 0, 300, true, 0ms},
        // 2000 bytes a second: the last of 1000 bytes cannot go before half a second.
        {"trickle", trickle, "", IfRange::None, "200 OK", "", 0, 1000, false, 490ms},
    };

    FaultServer server;
    for (const Row &row : rows)
        server.serve("/" + row.name, file, {row.answer});
    server.serve("/busy", file, {busy});
    server.serve("/unvalidated", file, {{.sendValidators = false}});
    const std::string formerTag = server.etag("/changed-since");
    server.setContent("/changed-since", file);
    EXPECT_NE(server.etag("/changed-since"), formerTag);
    EXPECT_EQ(server.etag("/changed-since").front(), '"');

    for (const Row &row : rows) {
        const std::string path = "/" + row.name;
        std::string fields;
        if (!row.range.empty())
            fields += "Range: " + row.range + "\r\n";
        if (row.ifRange == IfRange::CurrentTag)
            fields += "If-Range: " + server.etag(path) + "\r\n";
        else if (row.ifRange == IfRange::CurrentDate)
            fields += "If-Range: " + server.lastModified(path) + "\r\n";
        else if (row.ifRange == IfRange::FormerTag)
            fields += "If-Range: " + formerTag + "\r\n";

        RawClient client(server.port());
        ASSERT_TRUE(client.connected()) << row.name;
        const auto start = std::chrono::steady_clock::now();
        client.get(path, fields);
        const bool wasReset = client.readToEnd();
        if (row.reset && kResetsMayLookOrderly)
            EXPECT_LT(client.body().size(), file.size()) << row.name;
        else
            EXPECT_EQ(wasReset, row.reset) << row.name;
        EXPECT_GE(std::chrono::steady_clock::now() - start, row.atLeast) << row.name;
        EXPECT_EQ(client.statusLine(), "HTTP/1.1 " + row.status) << row.name;
        EXPECT_EQ(client.field("Content-Range"), row.contentRange) << row.name;
        EXPECT_EQ(client.field("Connection"), "close") << row.name;
        if (row.status.starts_with("416"))
            continue;
        EXPECT_EQ(client.body(), file.substr(row.from, row.size)) << row.name;
        // The announced length is the whole answer's, however much of it came.
        std::size_t announced = file.size();
        if (!row.contentRange.empty()) {
            const std::size_t dash = row.contentRange.find('-');
            announced = std::stoul(row.contentRange.substr(dash + 1)) - row.from + 1;
        }
        EXPECT_EQ(client.field("Content-Length"), std::to_string(announced)) << row.name;
        EXPECT_EQ(client.field("ETag"), server.etag(path)) << row.name;
    }

    RawClient busyClient(server.port());
    busyClient.get("/busy?attempt=2", "Cache-Control: no-cache\r\n");
    EXPECT_FALSE(busyClient.readToEnd());
    EXPECT_EQ(busyClient.statusLine(), "HTTP/1.1 503 Service Unavailable");
    EXPECT_EQ(busyClient.field("Retry-After"), "2");
    EXPECT_EQ(busyClient.field("Content-Length"), std::to_string(busyClient.body().size()));
    EXPECT_EQ(busyClient.field("ETag"), "");

    RawClient unvalidated(server.port());
    unvalidated.get("/unvalidated");
    unvalidated.readToEnd();
    EXPECT_EQ(unvalidated.body(), file);
    EXPECT_EQ(unvalidated.field("ETag"), "");
    EXPECT_EQ(unvalidated.field("Last-Modified"), "");

    RawClient lost(server.port());
    lost.get("/nowhere");
    lost.readToEnd();
    EXPECT_EQ(lost.statusLine(), "HTTP/1.1 404 Not Found");

    const std::vector<FaultServer::Request> seen = server.requests();
    ASSERT_EQ(seen.size(), rows.size() + 3);
    EXPECT_EQ(seen[2].path, "/rest-same-tag");
    EXPECT_EQ(seen[2].range, "bytes=400-");
    EXPECT_EQ(seen[2].ifRange, server.etag("/rest-same-tag"));
    EXPECT_EQ(seen[rows.size()].path, "/busy?attempt=2");
    EXPECT_EQ(seen[rows.size()].cacheControl, "no-cache");
}

TEST(FaultServer, AStallHoldsItsOwnConnectionAloneAndEndsWithTheServer)
{
    const std::string file = numbered(5000);
    const Answer stall{.body = Body::StallAfter, .bytes = 1000};
    std::optional<FaultServer> server(std::in_place, FaultServer::DeferListening{});
    server->serve("/file", file, {stall, {}, stall});

    EXPECT_FALSE(RawClient(server->port()).connected()) << "nothing listens before listen()";
    server->listen();

    RawClient stalled(server->port());
    stalled.get("/file");
    stalled.readBody(1000);
    EXPECT_EQ(stalled.body(), file.substr(0, 1000));

    RawClient beside(server->port());
    beside.get("/file");
    EXPECT_FALSE(beside.readToEnd());
    EXPECT_EQ(beside.body(), file);

    server->releaseStalls();
    EXPECT_FALSE(stalled.readToEnd());
    EXPECT_EQ(stalled.body(), file);

    // A release does not carry over to a later request, and the server's end ends the stall.
    RawClient held(server->port());
    held.get("/file");
    held.readBody(1000);
    ASSERT_TRUE(server->waitForRequests(3, 10s));
    const auto start = std::chrono::steady_clock::now();
    server.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    held.readToEnd();
    EXPECT_EQ(held.body(), file.substr(0, 1000));
}
