#include "Application.h"

#include "PlatformError.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace platform {

namespace {

QString &folderOverride()
{
    static QString folder;
    return folder;
}

std::function<void(int)> &endHandler()
{
    static std::function<void(int)> handler;
    return handler;
}

} // namespace

QString separator()
{
#ifdef _WIN32
    return QStringLiteral("\\");
#else
    return QStringLiteral("/");
#endif
}

QString applicationFolder()
{
    if (!folderOverride().isEmpty())
        return folderOverride();
    if (QCoreApplication::instance() == nullptr)
        throw PlatformError("the application folder is unknown before the application starts");
    QString folder = QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
    // A root folder keeps its separator; every other folder is given without one.
    while (folder.size() > 1 && folder.endsWith(separator()) && !folder.endsWith(u":\\"))
        folder.chop(1);
    if (folder.isEmpty())
        throw PlatformError("the application folder is unknown");
    return folder;
}

void setApplicationFolder(const QString &folder)
{
    folderOverride() = folder;
}

QString applicationTitle()
{
    return QStringLiteral("Updating Korvane");
}

void setApplicationIdentity()
{
    QCoreApplication::setApplicationName(QStringLiteral("Refitor"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.00"));
    QCoreApplication::setOrganizationName(QStringLiteral("Korvane"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("www.korvane.example"));
    // No application display name: Qt would append it to every window title, and the window's
    // title must be exactly its caption.
}

void startProgram(const QString &path, WindowState state)
{
    if (path.isEmpty())
        throw PlatformError("no program to start");
    const QString folder = QFileInfo(path).absolutePath();
#ifdef _WIN32
    std::wstring commandLine = L"\"" + QDir::toNativeSeparators(path).toStdWString() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow =
        static_cast<WORD>(state == WindowState::MinimizedFocus   ? SW_SHOWMINIMIZED
                          : state == WindowState::MaximizedFocus ? SW_SHOWMAXIMIZED
                          : state == WindowState::Hidden         ? SW_HIDE
                                                                 : SW_SHOWNORMAL);
    PROCESS_INFORMATION process{};
    const std::wstring directory = QDir::toNativeSeparators(folder).toStdWString();
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.c_str(), &startup, &process))
        throw PlatformError(QStringLiteral("cannot start %1").arg(path));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
#else
    // X11 and Wayland have no portable way to ask a new program for its first window state,
    // so the requested state is not passed on and the program starts normally.
    Q_UNUSED(state);
    // startDetached runs the path as the program itself, with no shell and no splitting, and
    // reports a failed exec.
    if (!QProcess::startDetached(path, QStringList(), folder))
        throw PlatformError(QStringLiteral("cannot start %1").arg(path));
#endif
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

} // namespace platform
