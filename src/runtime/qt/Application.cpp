#include "runtime/Application.h"

#include "runtime/RuntimeError.h"

#include <QCoreApplication>
#include <QDir>
#include <cstdio>
#include <cstdlib>

namespace runtime {

namespace {

std::string &folderOverride()
{
    static std::string folder;
    return folder;
}

std::string &title()
{
    static std::string text;
    return text;
}

std::function<void(int)> &endHandler()
{
    static std::function<void(int)> handler;
    return handler;
}

} // namespace

std::string separator()
{
    return "/";
}

std::string applicationFolder()
{
    if (!folderOverride().empty())
        return folderOverride();
    if (QCoreApplication::instance() == nullptr)
        throw RuntimeError(ErrorKind::Unavailable,
                           "the application folder is unknown before the application starts");
    std::string folder =
        QDir::toNativeSeparators(QCoreApplication::applicationDirPath()).toStdString();
    // A root folder keeps its separator; every other folder is given without one.
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    if (folder.empty())
        throw RuntimeError(ErrorKind::Unavailable, "the application folder is unknown");
    return folder;
}

void setApplicationFolder(const std::string &folder)
{
    folderOverride() = folder;
}

std::string applicationTitle()
{
    return title();
}

void setApplicationTitle(const std::string &text)
{
    title() = text;
}

void endProgram(int exitCode)
{
    if (endHandler()) {
        endHandler()(exitCode);
        return;
    }
    std::fflush(nullptr);
    // Ends at once: no event handler, destructor or atexit hook runs after this.
    std::_Exit(exitCode);
}

void setEndProgramHandler(std::function<void(int)> handler)
{
    endHandler() = std::move(handler);
}

} // namespace runtime
