#include "ExitRemoval.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <vector>

namespace runtime::temporary {

namespace {

class LiveFiles
{
public:
    void add(const std::filesystem::path &path)
    {
        const std::lock_guard lock(m_mutex);
        m_paths.push_back(path);
    }
    void forget(const std::filesystem::path &path) noexcept
    {
        const std::lock_guard lock(m_mutex);
        const auto found = std::find(m_paths.begin(), m_paths.end(), path);
        if (found != m_paths.end())
            m_paths.erase(found);
    }
    // Runs at exit while transfer threads may still be writing. Removing under the lock takes
    // nothing from them: a POSIX descriptor stays usable after its name is gone, and Windows
    // files are opened with FILE_SHARE_DELETE, so their deletion completes with the last handle.
    void removeAll() noexcept
    {
        const std::lock_guard lock(m_mutex);
        for (const std::filesystem::path &path : m_paths) {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        }
        m_paths.clear();
    }

private:
    std::mutex m_mutex;
    std::vector<std::filesystem::path> m_paths;
};

void removeLiveFilesAtExit();

LiveFiles &liveFiles()
{
    // Never destroyed: transfer threads go on running while the program exits and may still
    // reach it after the static destructors.
    static LiveFiles *const files = [] {
        auto *created = new LiveFiles;
        std::atexit(&removeLiveFilesAtExit);
        return created;
    }();
    return *files;
}

void removeLiveFilesAtExit()
{
    liveFiles().removeAll();
}

} // namespace

void removeAtExit(const std::filesystem::path &path)
{
    liveFiles().add(path);
}

void forgetAtExit(const std::filesystem::path &path) noexcept
{
    liveFiles().forget(path);
}

} // namespace runtime::temporary
