// Downloads one file through the download control from a loopback server of its own that cuts
// the connection at given bytes of the file and honours "Range: bytes=N-" with If-Range, so that
// the control's retries continue the file where each cut left it. Prints one line of key=value
// figures.
//
//   resume FILE DEST [--cut-at BYTE]...
//
// The server runs on a thread of this process, on 127.0.0.1 and a free port, and serves FILE
// (with sendfile, from the page cache once warm) until the program ends. Each --cut-at BYTE is a
// place in the file: the first answer whose body reaches it sends the bytes before it and closes
// the connection, as a cut does; each place cuts once. Without --cut-at the download runs whole,
// the same way, for the comparison. The control tries again at once (no wait, as many times as
// there are cuts).
//
// Figures: seconds, from Download() to Completed (the file flushed and in place); bytes, the
// file's size at DEST; wire_bytes, every byte the server wrote to its sockets (heads and bodies,
// as its send and sendfile calls returned them); wire_ratio, wire_bytes over the file's size;
// requests, answers 206 (continued) and 200 (whole file), and retries the control announced,
// resumed those that continued bytes.
//
// The caller checks the file's content (its SHA-256) outside the timed part.

#include "control/BajaArchivos.h"

#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::string lowerCase(std::string text)
{
    for (char &c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string trimmed(const std::string &text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

/// A loopback server of one file that cuts answers at given places in it.
class CuttingServer
{
public:
    CuttingServer(const std::string &path, std::vector<std::int64_t> cuts) : m_cuts(std::move(cuts))
    {
        std::sort(m_cuts.begin(), m_cuts.end());
        m_file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_file < 0)
            throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
        struct stat info
        {};
        if (::fstat(m_file, &info) != 0)
            throw std::runtime_error("cannot stat " + path);
        m_size = info.st_size;
        // Validators as a static server gives them: a strong ETag of size and time, and the
        // time as Last-Modified.
        char etag[64];
        std::snprintf(etag, sizeof etag, "\"%llx-%llx\"", static_cast<long long>(info.st_mtime),
                      static_cast<long long>(m_size));
        m_etag = etag;
        std::tm utc{};
        gmtime_r(&info.st_mtime, &utc);
        char date[64];
        std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &utc);
        m_lastModified = date;

        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_listener < 0 ||
            ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            ::listen(m_listener, 8) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            throw std::runtime_error(std::string("cannot listen on 127.0.0.1: ") +
                                     std::strerror(errno));
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { run(); });
    }

    ~CuttingServer()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_listener);
        ::close(m_file);
    }

    CuttingServer(const CuttingServer &) = delete;
    CuttingServer &operator=(const CuttingServer &) = delete;

    int port() const { return m_port; }
    std::int64_t size() const { return m_size; }
    std::int64_t wireBytes() const { return m_wire; }
    int partialAnswers() const { return m_partial; }
    int wholeAnswers() const { return m_whole; }
    int cutsMade() const { return m_cutsMade; }

private:
    // One connection at a time: the control makes one request at a time.
    void run()
    {
        while (!m_stop) {
            pollfd waiting{m_listener, POLLIN, 0};
            if (::poll(&waiting, 1, 50) <= 0)
                continue;
            const int connection = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0)
                continue;
            answer(connection);
            ::close(connection);
        }
    }

    bool sendAll(int connection, const std::string &text)
    {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t sent =
                ::send(connection, text.data() + done, text.size() - done, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent <= 0)
                return false;
            done += static_cast<std::size_t>(sent);
            m_wire += sent;
        }
        return true;
    }

    void answer(int connection)
    {
        // The request's head; a client that sends none within 10 s is dropped.
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
            pollfd readable{connection, POLLIN, 0};
            if (::poll(&readable, 1, 10000) <= 0)
                return;
            const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
            if (got <= 0)
                return;
            head.append(buffer, static_cast<std::size_t>(got));
        }
        std::string range, ifRange;
        std::size_t at = head.find("\r\n");
        while (at != std::string::npos && at + 2 < head.size()) {
            const std::size_t end = head.find("\r\n", at + 2);
            if (end == std::string::npos)
                break;
            const std::string line = head.substr(at + 2, end - at - 2);
            const std::size_t colon = line.find(':');
            if (colon != std::string::npos) {
                const std::string name = lowerCase(trimmed(line.substr(0, colon)));
                const std::string value = trimmed(line.substr(colon + 1));
                if (name == "range")
                    range = value;
                else if (name == "if-range")
                    ifRange = value;
            }
            at = end;
        }

        // "bytes=N-" with a current If-Range (or none) continues from N; anything else gets the
        // whole file.
        std::int64_t from = 0;
        if (range.rfind("bytes=", 0) == 0 && range.back() == '-' &&
            (ifRange.empty() || ifRange == m_etag || ifRange == m_lastModified)) {
            const std::string digits = range.substr(6, range.size() - 7);
            if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos)
                from = std::stoll(digits);
            if (from >= m_size)
                from = 0;
        }
        std::string reply;
        if (from > 0) {
            reply = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) +
                    "-" + std::to_string(m_size - 1) + "/" + std::to_string(m_size) + "\r\n";
            ++m_partial;
        } else {
            reply = "HTTP/1.1 200 OK\r\n";
            ++m_whole;
        }
        reply += "Content-Type: application/octet-stream\r\nContent-Length: " +
                 std::to_string(m_size - from) + "\r\nETag: " + m_etag +
                 "\r\nLast-Modified: " + m_lastModified +
                 "\r\nAccept-Ranges: bytes\r\nConnection: close\r\n\r\n";

        // The first place not yet cut past the start ends this answer's body.
        std::int64_t end = m_size;
        const auto cut =
            std::find_if(m_cuts.begin(), m_cuts.end(), [&](std::int64_t c) { return c > from; });
        if (cut != m_cuts.end() && *cut < m_size) {
            end = *cut;
            m_cuts.erase(m_cuts.begin(), cut + 1);
            ++m_cutsMade;
        }
        if (!sendAll(connection, reply))
            return;
        off_t offset = from;
        while (offset < end && !m_stop) {
            const ssize_t sent =
                ::sendfile(connection, m_file, &offset, static_cast<std::size_t>(end - offset));
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent <= 0)
                return;
            m_wire += sent;
        }
        // An orderly end: every byte written reaches the client before the connection ends.
        ::shutdown(connection, SHUT_WR);
        if (end < m_size) {
            // Waits for the client to see the end and hang up, so that the close sends no reset
            // that could overtake the bytes still on their way.
            pollfd hangup{connection, POLLIN, 0};
            while (::poll(&hangup, 1, 10000) > 0 &&
                   ::recv(connection, buffer, sizeof buffer, 0) > 0) {
            }
        }
    }

    std::vector<std::int64_t> m_cuts;
    int m_file = -1;
    int m_listener = -1;
    int m_port = 0;
    std::int64_t m_size = 0;
    std::string m_etag;
    std::string m_lastModified;
    std::atomic<std::int64_t> m_wire{0};
    std::atomic<int> m_partial{0};
    std::atomic<int> m_whole{0};
    std::atomic<int> m_cutsMade{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: resume FILE DEST [--cut-at BYTE]...\n");
        return 2;
    }
    std::vector<std::int64_t> cuts;
    for (qsizetype i = 3; i < args.size(); ++i) {
        bool number = false;
        const qint64 cut = i + 1 < args.size() ? args.at(i + 1).toLongLong(&number) : 0;
        if (args.at(i) != QStringLiteral("--cut-at") || !number || cut <= 0) {
            std::fprintf(stderr, "resume: unknown or incomplete argument %s\n",
                         args.at(i).toUtf8().constData());
            return 2;
        }
        cuts.push_back(cut);
        ++i;
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    const std::string destination = args.at(2).toStdString();

    std::optional<CuttingServer> server;
    try {
        server.emplace(args.at(1).toStdString(), cuts);
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "resume: %s\n", failure.what());
        return 1;
    }
    const std::string url =
        "http://127.0.0.1:" + std::to_string(server->port()) + "/ProgramFiles/Korvane.exe";

    BajaArchivos control;
    RetryPolicy policy;
    policy.waits.assign(std::max<std::size_t>(cuts.size(), 1), std::chrono::milliseconds(0));
    policy.jitter = 0;
    control.setRetryPolicy(policy);
    int retries = 0;
    int resumed = 0;
    control.onRetrying([&](const RetryNotice &notice) {
        ++retries;
        if (notice.resumeFrom > 0)
            ++resumed;
    });
    qint64 elapsedNs = 0;
    QElapsedTimer clock;
    control.onCompleted([&](const std::int64_t &, const std::string &) {
        elapsedNs = clock.nsecsElapsed();
        QApplication::exit(0);
    });
    clock.start();
    control.Download(url, destination);
    QApplication::exec();

    const DownloadResult result = control.lastResult("Id");
    const std::int64_t size = server->size();
    const std::int64_t wire = server->wireBytes();
    const int partialAnswers = server->partialAnswers();
    const int wholeAnswers = server->wholeAnswers();
    const int cutsMade = server->cutsMade();
    server.reset();
    if (!result.inPlace) {
        std::fprintf(stderr, "resume: failed: %s\n", result.failure.c_str());
        return 1;
    }
    struct stat written
    {};
    if (::stat(destination.c_str(), &written) != 0) {
        std::fprintf(stderr, "resume: cannot read %s\n", destination.c_str());
        return 1;
    }
    const double seconds = static_cast<double>(elapsedNs) / 1e9;
    std::printf("seconds=%.3f bytes=%lld wire_bytes=%lld wire_ratio=%.4f cuts=%d "
                "requests=%d partial_answers=%d whole_answers=%d retries=%d resumed=%d\n",
                seconds, static_cast<long long>(written.st_size), static_cast<long long>(wire),
                size > 0 ? static_cast<double>(wire) / static_cast<double>(size) : 0.0, cutsMade,
                partialAnswers + wholeAnswers, partialAnswers, wholeAnswers, retries, resumed);
    if (written.st_size != size) {
        std::fprintf(stderr, "resume: size %lld, expected %lld\n",
                     static_cast<long long>(written.st_size), static_cast<long long>(size));
        return 1;
    }
    if (cutsMade != static_cast<int>(cuts.size())) {
        std::fprintf(stderr, "resume: %d of the %zu cuts were made\n", cutsMade, cuts.size());
        return 1;
    }
    return 0;
}
