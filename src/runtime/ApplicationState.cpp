#include "ApplicationState.h"

#include "Application.h"
#include "Statement.h"

#include <cstdio>

namespace runtime {

namespace {

std::string &title()
{
    static std::string text;
    return text;
}

std::string &name()
{
    static std::string text;
    return text;
}

} // namespace

std::string &state::applicationFolderOverride()
{
    static std::string folder;
    return folder;
}

std::function<void(int)> &state::endProgramHandler()
{
    static std::function<void(int)> handler;
    return handler;
}

void state::callHandler(const std::function<void()> &handler, const char *what) noexcept
{
    if (!handler)
        return;
    std::string reason;
    if (runStatement(
            [&handler] {
                // A copy: a handler may drop itself, by destroying what it belongs to.
                const std::function<void()> running = handler;
                running();
            },
            &reason))
        return;
    const std::string prefix = name().empty() ? std::string() : name() + ": ";
    std::fprintf(stderr, "%sthe %s handler failed: %s\n", prefix.c_str(), what, reason.c_str());
}

std::string applicationName()
{
    return name();
}

void setApplicationName(const std::string &text)
{
    name() = text;
}

void setApplicationFolder(const std::string &folder)
{
    state::applicationFolderOverride() = folder;
}

std::string applicationTitle()
{
    return title();
}

void setApplicationTitle(const std::string &text)
{
    title() = text;
}

void setEndProgramHandler(std::function<void(int)> handler)
{
    state::endProgramHandler() = std::move(handler);
}

} // namespace runtime
