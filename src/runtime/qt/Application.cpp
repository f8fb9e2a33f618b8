#include "runtime/Application.h"

#include "runtime/ApplicationState.h"
#include "runtime/RuntimeError.h"

#include <QCoreApplication>
#include <QDir>
#include <cstdio>
#include <cstdlib>

namespace runtime {

std::string separator()
{
    return "/";
}

std::string applicationFolder()
{
    if (!state::applicationFolderOverride().empty())
        return state::applicationFolderOverride();
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

void endProgram(int exitCode)
{
    if (state::endProgramHandler()) {
        state::endProgramHandler()(exitCode);
        return;
    }
    std::fflush(nullptr);
    // Ends at once: no event handler, destructor or atexit hook runs after this.
    std::_Exit(exitCode);
}

} // namespace runtime
