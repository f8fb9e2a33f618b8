#include "runtime/SupportLog.h"
#include "runtime/Text.h"

#include <cstdlib>

namespace runtime::supportlog {

namespace {

/// The folder a variable names, when it is set to an absolute path; empty otherwise, since a
/// relative one would put the log wherever the program was started from.
std::filesystem::path absoluteFolder(const char *variable)
{
    const char *value = std::getenv(variable);
    if (value == nullptr || *value == '\0')
        return {};
    std::filesystem::path folder(value);
    return folder.is_absolute() ? folder : std::filesystem::path();
}

} // namespace

std::filesystem::path supportLogDefaultPath(std::string_view productName,
                                            std::string_view updaterName) noexcept
{
    try {
        if (productName.empty() || updaterName.empty())
            return {};
        // The XDG base directories: state is what outlives a run but is no document of the
        // user's, as a log is.
        std::filesystem::path state = absoluteFolder("XDG_STATE_HOME");
        if (state.empty()) {
            const std::filesystem::path home = absoluteFolder("HOME");
            if (home.empty())
                return {};
            state = home / ".local" / "state";
        }
        return state / asciiLower(productName) / (asciiLower(updaterName) + ".log");
    } catch (...) {
        return {};
    }
}

} // namespace runtime::supportlog
