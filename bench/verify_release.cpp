// What checking a release file costs: its form, then its ECDSA P-256 signature under the key it
// names, as a signed run does before it fetches the program. Prints one line of key=value
// figures.
//
//   verify_release RELEASE_FILE [ROUNDS]

#include "runtime/Files.h"
#include "window/ReleaseFile.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char *argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: verify_release RELEASE_FILE [ROUNDS]\n");
        return 2;
    }
    const int rounds = argc > 2 ? std::stoi(argv[2]) : 1000;
    try {
        const std::string text = runtime::readRegularFile(argv[1], ReleaseFile::kMaxBytes);
        using Clock = std::chrono::steady_clock;
        const auto started = Clock::now();
        for (int round = 0; round < rounds; ++round) {
            const ReleaseFile release = ReleaseFile::parse(text);
            const runtime::P256PublicKey key = release.key();
            release.verify({&key, 1}, release.product(), std::chrono::system_clock::now(),
                           std::nullopt);
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        std::printf("rounds=%d microseconds_per_check=%.1f bytes=%zu\n", rounds,
                    seconds * 1e6 / rounds, text.size());
    } catch (const std::exception &error) {
        std::fprintf(stderr, "verify_release: %s\n", error.what());
        return 1;
    }
    return 0;
}
