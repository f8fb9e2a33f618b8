#pragma once

#include "skin/SkinFile.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace skintest {

/// A folder of the source tree (skins, broken skins), from the build's definition.
inline std::filesystem::path sourceFolder(const char *relative)
{
    return std::filesystem::path(REFITOR_SOURCE_DIR) / relative;
}

inline std::string readFile(const std::filesystem::path &path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

inline void writeFile(const std::filesystem::path &path, std::string_view data)
{
    std::ofstream(path, std::ios::binary)
        .write(data.data(), static_cast<std::streamsize>(data.size()));
}

/// A fresh folder under the system's temporary folder, removed with everything in it.
class TemporaryFolder
{
public:
    TemporaryFolder()
    {
        std::random_device random;
        const std::filesystem::path parent = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::filesystem::path path = parent / ("skin-test-" + std::to_string(random()));
            // False when the name is taken: another one is tried.
            if (std::filesystem::create_directory(path)) {
                m_path = path;
                return;
            }
        }
        throw std::runtime_error("cannot make a temporary folder");
    }
    ~TemporaryFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TemporaryFolder(const TemporaryFolder &) = delete;
    TemporaryFolder &operator=(const TemporaryFolder &) = delete;

    const std::filesystem::path &path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

/// Files in folder that are not regular files and that this platform can make beside a folder
/// (on Linux a FIFO nobody writes to, a Unix socket, a device). Defined per platform.
std::vector<std::filesystem::path> makeUnusualFiles(const std::filesystem::path &folder);

/// Lets a read of path that blocked end, so that its thread can be joined (on Linux a writer
/// that comes and goes ends a reader blocked on a FIFO). Defined per platform.
void releaseBlockedReader(const std::filesystem::path &path);

/// The reason parseSkin gives for data, or "" when it accepts it.
inline std::string refusal(std::string_view data)
{
    try {
        skin::parseSkin(data);
    } catch (const skin::SkinError &error) {
        return error.what();
    }
    return {};
}

/// A skin file with the required parts, then rest.
inline std::string minimal(std::string_view rest = {})
{
    return "refitor-skin 1.0\n[skin]\nname = Test\n" + std::string(rest);
}

} // namespace skintest
