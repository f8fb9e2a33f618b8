#pragma once

#include "skin/SkinFile.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unistd.h>

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
        std::string pattern =
            (std::filesystem::temp_directory_path() / "skin-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("cannot make a temporary folder");
        m_path = pattern;
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
