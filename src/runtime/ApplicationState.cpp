#include "ApplicationState.h"

#include "Application.h"

namespace runtime {

namespace {

std::string &title()
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
