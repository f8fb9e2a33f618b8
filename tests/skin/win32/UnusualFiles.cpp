#include "../SkinTestUtil.h"

namespace skintest {

std::vector<std::filesystem::path> makeUnusualFiles(const std::filesystem::path &)
{
    // Windows has no FIFO or socket in a folder; a folder, which every platform has, is tested
    // by the caller.
    return {};
}

void releaseBlockedReader(const std::filesystem::path &)
{
    // Nothing here blocks a reader that a test could release.
}

} // namespace skintest
