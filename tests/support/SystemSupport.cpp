#include "SystemSupport.h"

#include "runtime/EventPump.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace support {

TemporaryFolder::TemporaryFolder()
{
    std::random_device seed;
    std::mt19937_64 generator(seed());
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate =
            base / ("refitor-test-" + std::to_string(generator() % 1'000'000'000'000ULL));
        if (std::filesystem::create_directory(candidate)) {
            m_path = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary folder");
}

TemporaryFolder::~TemporaryFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string TemporaryFolder::text() const
{
    const std::u8string text = m_path.u8string();
    return std::string(text.begin(), text.end());
}

std::string readFile(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void writeFile(const std::filesystem::path &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush())
        throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::string> entriesOf(const std::filesystem::path &folder)
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder)) {
        const std::u8string name = entry.path().filename().u8string();
        names.emplace_back(name.begin(), name.end());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool waitUntil(const std::function<bool()> &predicate, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!predicate()) {
        if (Clock::now() >= deadline)
            return predicate();
        // Short waits: what the predicate looks at may change without an event (a file another
        // process writes).
        runtime::waitForEvents(10);
    }
    return true;
}

std::string markerWhenItReads(const std::filesystem::path &marker, const std::string &expected)
{
    const auto now = [&] {
        std::error_code missing;
        if (!std::filesystem::exists(marker, missing))
            return std::string();
        std::string text = readFile(marker);
        for (std::size_t at = 0; (at = text.find(" \n", at)) != std::string::npos;)
            text.erase(at, 1);
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        return text;
    };
    waitUntil([&] { return now() == expected; }, 5000);
    return now();
}

void settle(int ms)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < deadline) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        runtime::waitForEvents(static_cast<int>(std::max<long long>(left, 1)));
    }
}

std::string randomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto &byte : bytes)
        byte = static_cast<char>(generator() & 0xFFU);
    return bytes;
}

} // namespace support
