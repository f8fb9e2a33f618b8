// refitor-testserver: a loopback HTTP server for the end-to-end run and the demo.
//
// Serves one file at GET /ProgramFiles/Korvane.exe on 127.0.0.1 (every other path is a 404),
// optionally throttled, or fails on purpose: --mode 404 answers "not found", --mode cut announces
// the full Content-Length and drops the connection after half of the bytes. Runs until SIGTERM or
// SIGINT.

#include <algorithm>
#include <atomic>
#include <chrono>
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

enum class Mode
{
    Ok,
    NotFound,
    Cut
};

struct Options
{
    int port = 0;
    std::string file;
    Mode mode = Mode::Ok;
    std::size_t rate = 0; // bytes per second; 0 = as fast as the socket takes them
    std::string portFile;
};

[[noreturn]] void usage(const std::string &problem)
{
    std::cerr << "refitor-testserver: " << problem << "\n"
              << "usage: refitor-testserver --file PATH [--port N] [--mode ok|404|cut]\n"
              << "                          [--rate BYTES_PER_SECOND] [--port-file PATH]\n";
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
            if (value == "ok")
                options.mode = Mode::Ok;
            else if (value == "404")
                options.mode = Mode::NotFound;
            else if (value == "cut")
                options.mode = Mode::Cut;
            else
                usage("--mode must be ok, 404 or cut");
        } else if (name == "--rate") {
            const auto rate = parseNumber(value);
            if (!rate)
                usage("--rate must be a whole number of bytes per second");
            options.rate = static_cast<std::size_t>(*rate);
        } else if (name == "--port-file") {
            options.portFile = value;
        } else {
            usage("unknown option " + name);
        }
    }
    if (options.file.empty())
        usage("--file is required");
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

    server.Get(kServedPath, [&](const httplib::Request &, httplib::Response &response) {
        if (options.mode == Mode::NotFound) {
            response.status = 404;
            response.set_content("Not Found\n", "text/plain");
            return;
        }
        const std::size_t total = body->size();
        const std::size_t sendable = options.mode == Mode::Cut ? total / 2 : total;
        // Pieces of about 1/20 s at the given rate, so progress moves smoothly.
        const std::size_t piece =
            options.rate > 0 ? std::clamp<std::size_t>(options.rate / 20, 1, 64 * 1024) : total;
        auto started = std::make_shared<std::optional<std::chrono::steady_clock::time_point>>();

        response.set_content_provider(
            total, "application/octet-stream",
            [&, sendable, piece, started](std::size_t offset, std::size_t length,
                                          httplib::DataSink &sink) {
                // Returning false makes the server drop the connection: that is the cut.
                if (offset >= sendable || stopping)
                    return false;
                const std::size_t count = std::min({length, sendable - offset, piece});
                if (options.rate > 0) {
                    if (!*started)
                        *started = std::chrono::steady_clock::now();
                    const auto due = **started + std::chrono::microseconds(
                                                     (offset + count) * 1000000ULL / options.rate);
                    std::this_thread::sleep_until(due);
                }
                return sink.write(body->data() + offset, count);
            });
    });

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
