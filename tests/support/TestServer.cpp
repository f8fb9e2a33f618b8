// refitor-testserver: a loopback HTTP server for the end-to-end run and the demo.
//
// Serves one file at GET /ProgramFiles/Korvane.exe on 127.0.0.1 (every other path is a 404),
// optionally throttled (--rate paces ok, cut, closecut and endless), or fails on purpose:
//   404       answers "not found"
//   cut       announces the full Content-Length and drops the connection after half of the bytes
//   empty     a 200 with Content-Length: 0
//   closecut  a 200 with neither Content-Length nor chunking, half of the bytes, then the
//             connection closes: to the client, exactly what a complete body of that size is
//   gzip      the file gzip-encoded (real gzip data, in uncompressed deflate blocks), with
//             Content-Encoding: gzip and the encoded length, whatever the request accepted
//   html      a 302 to /portal, which answers 200 text/html with a small captive-portal page
//   endless   a 200 with neither Content-Length nor chunking, the file's bytes over and over until
//             the client hangs up
// With --release FILE it serves that file's bytes at the same path followed by ".release", the
// release file a signed build fetches first (without it, a 404 there), unthrottled and whatever
// the mode; --release-mode cut announces its whole length and drops the connection after half,
// --release-mode endless repeats it without a length until the client hangs up.
// Runs until SIGTERM or SIGINT.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <httplib.h>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <signal.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char *kServedPath = "/ProgramFiles/Korvane.exe";
// httplib matches paths as regular expressions: this one is the served path + ".release".
constexpr const char *kReleasePattern = "/ProgramFiles/Korvane\\.exe\\.release";

constexpr const char *kPortalPath = "/portal";

enum class Mode
{
    Ok,
    NotFound,
    Cut,
    Empty,
    CloseCut,
    Gzip,
    Html,
    Endless
};

struct ModeName
{
    const char *name;
    Mode mode;
};

constexpr ModeName kModes[] = {
    {"ok", Mode::Ok},       {"404", Mode::NotFound},      {"cut", Mode::Cut},
    {"empty", Mode::Empty}, {"closecut", Mode::CloseCut}, {"gzip", Mode::Gzip},
    {"html", Mode::Html},   {"endless", Mode::Endless}};

/// How the release file is served: whole, cut after half of its announced length, or repeated
/// without a length.
enum class ReleaseMode
{
    Ok,
    Cut,
    Endless
};

constexpr const char *kPortalPage =
    "<!DOCTYPE html>\n"
    "<html><head><title>Sign in to the network</title></head>\n"
    "<body><h1>Welcome</h1><p>Accept the terms of use to reach the Internet.</p>\n"
    "<form method=\"post\" action=\"/portal\"><button>Accept</button></form></body></html>\n";

struct Options
{
    int port = 0;
    std::string file;
    Mode mode = Mode::Ok;
    std::size_t rate = 0; // bytes per second; 0 = as fast as the socket takes them
    std::string portFile;
    std::string releaseFile;
    ReleaseMode releaseMode = ReleaseMode::Ok;
};

[[noreturn]] void usage(const std::string &problem)
{
    std::cerr << "refitor-testserver: " << problem << "\n"
              << "usage: refitor-testserver --file PATH [--port N]\n"
              << "           [--mode ok|404|cut|empty|closecut|gzip|html|endless]\n"
              << "           [--rate BYTES_PER_SECOND] [--port-file PATH]\n"
              << "           [--release PATH [--release-mode ok|cut|endless]]\n";
    std::exit(2);
}

std::optional<unsigned long long> parseNumber(const std::string &text)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    try {
        return std::stoull(text);
    } catch (const std::out_of_range &) {
        return std::nullopt;
    }
}

Options parseOptions(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc)
            usage(name + " needs a value");
        const std::string value = argv[++i];
        if (name == "--port") {
            const auto port = parseNumber(value);
            if (!port || *port > 65535)
                usage("--port must be 0..65535");
            options.port = static_cast<int>(*port);
        } else if (name == "--file") {
            options.file = value;
        } else if (name == "--mode") {
            const auto *found =
                std::find_if(std::begin(kModes), std::end(kModes),
                             [&](const ModeName &mode) { return value == mode.name; });
            if (found == std::end(kModes))
                usage("--mode must be ok, 404, cut, empty, closecut, gzip, html or endless");
            options.mode = found->mode;
        } else if (name == "--rate") {
            const auto rate = parseNumber(value);
            if (!rate)
                usage("--rate must be a whole number of bytes per second");
            options.rate = static_cast<std::size_t>(*rate);
        } else if (name == "--port-file") {
            options.portFile = value;
        } else if (name == "--release") {
            options.releaseFile = value;
        } else if (name == "--release-mode") {
            if (value == "ok")
                options.releaseMode = ReleaseMode::Ok;
            else if (value == "cut")
                options.releaseMode = ReleaseMode::Cut;
            else if (value == "endless")
                options.releaseMode = ReleaseMode::Endless;
            else
                usage("--release-mode must be ok, cut or endless");
        } else {
            usage("unknown option " + name);
        }
    }
    if (options.file.empty())
        usage("--file is required");
    if (options.releaseMode != ReleaseMode::Ok && options.releaseFile.empty())
        usage("--release-mode needs --release");
    return options;
}

std::optional<std::string> readWholeFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

std::uint32_t crc32Of(const std::string &data)
{
    std::uint32_t crc = 0xFFFFFFFFU;
    for (const char byte : data) {
        crc ^= static_cast<unsigned char>(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1U)));
    }
    return ~crc;
}

void appendLittleEndian(std::string &out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFFU));
}

/// data as a gzip member (RFC 1952) of stored deflate blocks: valid gzip that any decoder
/// reads back, without a compression library. The client must refuse it by its header anyway.
std::string gzipped(const std::string &data)
{
    constexpr std::size_t kMaxStored = 65535;
    // Magic, deflate, no flags, no time, no extra flags, unknown system.
    std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    std::size_t offset = 0;
    do {
        const std::size_t length = std::min(kMaxStored, data.size() - offset);
        const bool last = offset + length == data.size();
        // BFINAL and BTYPE 00 (stored); the rest of the byte pads to the boundary.
        out.push_back(last ? '\x01' : '\x00');
        appendLittleEndian(out, static_cast<std::uint32_t>(length), 2);
        appendLittleEndian(out, static_cast<std::uint32_t>(~length & 0xFFFFU), 2);
        out.append(data, offset, length);
        offset += length;
    } while (offset < data.size());
    appendLittleEndian(out, crc32Of(data), 4);
    appendLittleEndian(out, static_cast<std::uint32_t>(data.size() & 0xFFFFFFFFU), 4);
    return out;
}

/// Holds each piece back until the rate allows it; a rate of 0 lets everything through.
class Pacer
{
public:
    explicit Pacer(std::size_t rate) : m_rate(rate) {}
    /// The size of the next piece: about 1/20 s at the rate, so progress moves smoothly, and
    /// unthrottled without a rate.
    std::size_t piece(std::size_t unthrottled) const
    {
        return m_rate > 0 ? std::clamp<std::size_t>(m_rate / 20, 1, 64 * 1024) : unthrottled;
    }
    void waitToSend(std::size_t offset, std::size_t count)
    {
        if (m_rate == 0)
            return;
        if (!m_started)
            m_started = std::chrono::steady_clock::now();
        std::this_thread::sleep_until(
            *m_started + std::chrono::microseconds((offset + count) * 1000000ULL / m_rate));
    }

private:
    std::size_t m_rate;
    std::optional<std::chrono::steady_clock::time_point> m_started;
};

/// Written to a neighbour and renamed into place, so a reader never sees half a number.
bool writePortFile(const std::string &path, int port)
{
    const std::string partial = path + ".tmp";
    {
        std::ofstream out(partial, std::ios::trunc);
        out << port << "\n";
        if (!out.flush())
            return false;
    }
    return std::rename(partial.c_str(), path.c_str()) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    const Options options = parseOptions(argc, argv);
    const auto body = readWholeFile(options.file);
    if (!body) {
        std::cerr << "refitor-testserver: cannot read " << options.file << "\n";
        return 1;
    }
    const auto release = options.releaseFile.empty() ? std::optional<std::string>()
                                                     : readWholeFile(options.releaseFile);
    if (!options.releaseFile.empty() && !release) {
        std::cerr << "refitor-testserver: cannot read " << options.releaseFile << "\n";
        return 1;
    }

    // SIGTERM and SIGINT are blocked in every thread and taken by sigwait() in main, so stopping
    // runs as ordinary code rather than in a signal handler. A peer that hangs up must not kill us.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::atomic<bool> stopping{false};
    httplib::Server server;

    const std::string encoded = options.mode == Mode::Gzip ? gzipped(*body) : std::string();

    server.Get(kServedPath, [&](const httplib::Request &, httplib::Response &response) {
        switch (options.mode) {
        case Mode::NotFound:
            response.status = 404;
            response.set_content("Not Found\n", "text/plain");
            return;
        case Mode::Empty:
            // httplib announces Content-Length: 0 for an empty body.
            response.set_content(std::string(), "application/octet-stream");
            return;
        case Mode::Gzip:
            response.set_header("Content-Encoding", "gzip");
            response.set_content(encoded, "application/octet-stream");
            return;
        case Mode::Html:
            response.set_redirect(kPortalPath, 302);
            return;
        case Mode::CloseCut:
        case Mode::Endless: {
            // A provider without a length makes httplib send neither Content-Length nor chunks
            // and close the connection when the provider stops, cut or not.
            auto pacer = std::make_shared<Pacer>(options.rate);
            const bool endless = options.mode == Mode::Endless;
            const std::size_t half = body->size() / 2;
            response.set_content_provider(
                "application/octet-stream",
                [&, pacer, endless, half](std::size_t offset, httplib::DataSink &sink) {
                    if (stopping || (!endless && offset >= half) || body->empty())
                        return false;
                    const std::size_t at = offset % body->size();
                    std::size_t count = std::min(body->size() - at, pacer->piece(64 * 1024));
                    if (!endless)
                        count = std::min(count, half - offset);
                    pacer->waitToSend(offset, count);
                    // Fails once the client has hung up, which ends the endless body.
                    return sink.write(body->data() + at, count);
                });
            return;
        }
        case Mode::Ok:
        case Mode::Cut:
            break;
        }
        const std::size_t total = body->size();
        const std::size_t sendable = options.mode == Mode::Cut ? total / 2 : total;
        auto pacer = std::make_shared<Pacer>(options.rate);

        response.set_content_provider(
            total, "application/octet-stream",
            [&, sendable, pacer](std::size_t offset, std::size_t length, httplib::DataSink &sink) {
                // Returning false makes the server drop the connection: that is the cut.
                if (offset >= sendable || stopping)
                    return false;
                const std::size_t count =
                    std::min({length, sendable - offset, pacer->piece(sendable)});
                pacer->waitToSend(offset, count);
                return sink.write(body->data() + offset, count);
            });
    });

    if (release) {
        server.Get(kReleasePattern, [&](const httplib::Request &, httplib::Response &response) {
            constexpr const char *kType = "text/plain; charset=utf-8";
            switch (options.releaseMode) {
            case ReleaseMode::Ok:
                response.set_content(*release, kType);
                return;
            case ReleaseMode::Cut:
                // Returning false drops the connection short of the announced length.
                response.set_content_provider(
                    release->size(), kType,
                    [&](std::size_t offset, std::size_t, httplib::DataSink &sink) {
                        const std::size_t half = release->size() / 2;
                        return !stopping && offset < half &&
                               sink.write(release->data() + offset, half - offset);
                    });
                return;
            case ReleaseMode::Endless:
                response.set_content_provider(
                    kType, [&](std::size_t offset, httplib::DataSink &sink) {
                        if (stopping || release->empty())
                            return false;
                        const std::size_t at = offset % release->size();
                        return sink.write(release->data() + at, release->size() - at);
                    });
                return;
            }
        });
    }

    if (options.mode == Mode::Html) {
        server.Get(kPortalPath, [](const httplib::Request &, httplib::Response &response) {
            response.set_content(kPortalPage, "text/html; charset=utf-8");
        });
    }

    server.set_logger([](const httplib::Request &request, const httplib::Response &response) {
        std::cerr << "refitor-testserver: " << request.method << " " << request.path << " -> "
                  << response.status << "\n";
    });

    const int port = options.port == 0
                         ? server.bind_to_any_port("127.0.0.1")
                         : (server.bind_to_port("127.0.0.1", options.port) ? options.port : -1);
    if (port <= 0) {
        std::cerr << "refitor-testserver: cannot bind 127.0.0.1:" << options.port << "\n";
        return 1;
    }
    // The socket is listening from here on: a client that connects now waits in the backlog.
    if (!options.portFile.empty() && !writePortFile(options.portFile, port)) {
        std::cerr << "refitor-testserver: cannot write " << options.portFile << "\n";
        return 1;
    }
    std::cout << "refitor-testserver: serving " << options.file << " (" << body->size()
              << " bytes) at http://127.0.0.1:" << port << kServedPath << std::endl;
    if (release)
        std::cout << "refitor-testserver: and its release file " << options.releaseFile << " ("
                  << release->size() << " bytes) at " << kServedPath << ".release" << std::endl;

    std::thread listener([&server] {
        server.listen_after_bind();
        // Wakes main should listening end on its own.
        kill(getpid(), SIGTERM);
    });

    int received = 0;
    sigwait(&stopSignals, &received);
    stopping = true;
    server.stop();
    listener.join();
    std::cout << "refitor-testserver: stopped" << std::endl;
    return 0;
}
