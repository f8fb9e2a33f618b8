#pragma once

#include <exception>
#include <string>
#include <utility>

namespace runtime {

/// Runs one statement of a handler and abandons it if it fails, so the handler goes on with its
/// next statement. Handlers that must survive a failed step (the window's handlers, the download
/// control's completion handler) run each step through this, and nothing else catches.
/// Any thread. Never throws. Returns whether the statement ran to its end; on failure the
/// reason goes to *reason when given.
template <typename Statement>
bool runStatement(Statement &&statement, std::string *reason = nullptr) noexcept
{
    try {
        std::forward<Statement>(statement)();
        return true;
    } catch (const std::exception &error) {
        if (reason != nullptr)
            *reason = error.what();
        return false;
    } catch (...) {
        if (reason != nullptr)
            *reason = "an unknown failure";
        return false;
    }
}

} // namespace runtime
