#include "ExecutableBackup.h"

#include "platform/AsyncReader.h"
#include "platform/Executables.h"
#include "platform/Files.h"
#include "platform/PlatformError.h"
#include "platform/Statement.h"

#include <QDir>
#include <QFileInfo>
#include <string>

using platform::FileKind;

namespace {

// Removes a file we made, when it is still there; what cannot be removed now, the next run's
// recovery removes.
void removeQuietly(const QString &path)
{
    platform::runStatement([&] {
        if (platform::fileKind(path) == FileKind::Regular)
            platform::deleteFile(path);
    });
}

} // namespace

ExecutableBackup::ExecutableBackup(QString executable) : m_executable(std::move(executable)) {}

QString ExecutableBackup::backupPath() const
{
    return m_executable + QStringLiteral(".refitor-backup");
}

QString ExecutableBackup::lockPath() const
{
    return m_executable + QStringLiteral(".refitor-lock");
}

bool ExecutableBackup::hasBackup() const
{
    return platform::pathExists(backupPath());
}

void ExecutableBackup::stepDone() const
{
    if (m_stepHook)
        m_stepHook();
}

bool ExecutableBackup::exchange(const QString &a, const QString &b) const
{
    return m_exchangeAllowed && platform::exchangeFiles(a, b);
}

void ExecutableBackup::recover() const
{
    std::string firstFailure;
    auto step = [&firstFailure](auto &&statement) {
        std::string reason;
        if (!platform::runStatement(statement, &reason) && firstFailure.empty())
            firstFailure = reason;
    };

    step([this] {
        const FileKind executable = platform::fileKind(m_executable);
        const FileKind backup = platform::fileKind(backupPath());
        if (backup == FileKind::Missing)
            return;
        if (executable == FileKind::Missing) {
            // Whatever the backup is, it is what stood under the name before.
            platform::renameNoReplace(backupPath(), m_executable);
        } else if (executable == FileKind::Regular && backup == FileKind::Regular) {
            if (platform::isRunnableExecutable(m_executable)) {
                platform::deleteFile(backupPath());
            } else if (exchange(backupPath(), m_executable)) {
                platform::deleteFile(backupPath());
            } else {
                platform::deleteFile(m_executable);
                platform::renameNoReplace(backupPath(), m_executable);
            }
        }
        // A folder or a link under either name is nobody's to remove but its owner's.
        platform::syncFolder(platform::folderOf(m_executable));
    });

    const QString folder = platform::folderOf(m_executable);
    const QDir dir(folder.isEmpty() ? QStringLiteral(".") : folder);
    const QStringList names =
        dir.entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (platform::AsyncReader::isTemporaryFileName(name)) {
            step([&] {
                if (platform::fileKind(dir.filePath(name)) == FileKind::Regular)
                    platform::deleteFile(dir.filePath(name));
            });
        }
    }
    if (!firstFailure.empty())
        throw platform::PlatformError(firstFailure);
}

void ExecutableBackup::checkReplaceable() const
{
    const QString name = QFileInfo(m_executable).fileName();
    switch (platform::fileKind(m_executable)) {
    case FileKind::Missing:
    case FileKind::Regular:
        return;
    case FileKind::Directory:
        throw platform::PlatformError(
            QStringLiteral("%1 is a folder, not a program; it was left as it is").arg(name));
    case FileKind::SymbolicLink:
        throw platform::PlatformError(
            QStringLiteral("%1 is a symbolic link; only a plain file is replaced, so it was left "
                           "as it is")
                .arg(name));
    case FileKind::Other:
        break;
    }
    throw platform::PlatformError(
        QStringLiteral("%1 is not a regular file; it was left as it is").arg(name));
}

void ExecutableBackup::install(const QString &temporary) const
{
    try {
        platform::prepareExecutable(temporary, m_executable);
        checkReplaceable();
        if (hasBackup())
            throw platform::PlatformError(
                QStringLiteral("%1 is in the way").arg(QFileInfo(backupPath()).fileName()));
    } catch (...) {
        removeQuietly(temporary);
        throw;
    }
    stepDone();

    if (!platform::pathExists(m_executable)) {
        try {
            platform::renameNoReplace(temporary, m_executable);
        } catch (...) {
            removeQuietly(temporary);
            throw;
        }
        stepDone();
        return;
    }

    bool exchanged = false;
    try {
        exchanged = exchange(temporary, m_executable);
    } catch (...) {
        removeQuietly(temporary);
        throw;
    }
    if (exchanged) {
        // The new program is in place and the old one sits under the temporary name.
        stepDone();
        try {
            platform::renameNoReplace(temporary, backupPath());
        } catch (...) {
            // Without a backup there could be no way back, so the update does not go ahead.
            platform::runStatement([&] {
                if (exchange(temporary, m_executable))
                    removeQuietly(temporary);
            });
            throw;
        }
        stepDone();
        return;
    }

    try {
        platform::renameNoReplace(m_executable, backupPath());
    } catch (...) {
        removeQuietly(temporary);
        throw;
    }
    stepDone();
    try {
        platform::renameNoReplace(temporary, m_executable);
    } catch (...) {
        removeQuietly(temporary);
        platform::runStatement([&] { restore(); });
        throw;
    }
    stepDone();
}

void ExecutableBackup::adopt() const
{
    try {
        platform::prepareExecutable(m_executable, QString());
    } catch (...) {
        // A file that cannot run is no better than none, and keeping it would make the next run
        // take it for the product.
        removeQuietly(m_executable);
        throw;
    }
}

void ExecutableBackup::rollBack() const
{
    if (platform::fileKind(backupPath()) != FileKind::Regular)
        throw platform::PlatformError("there is no previous version to put back");
    if (exchange(backupPath(), m_executable)) {
        stepDone();
        removeQuietly(backupPath());
    } else {
        if (platform::pathExists(m_executable))
            platform::deleteFile(m_executable);
        stepDone();
        platform::renameNoReplace(backupPath(), m_executable);
    }
    stepDone();
    platform::syncFolder(platform::folderOf(m_executable));
}

void ExecutableBackup::restore() const
{
    if (!hasBackup() || platform::pathExists(m_executable))
        return;
    platform::renameNoReplace(backupPath(), m_executable);
    platform::syncFolder(platform::folderOf(m_executable));
}

void ExecutableBackup::discard() const
{
    if (platform::fileKind(backupPath()) == FileKind::Regular)
        platform::deleteFile(backupPath());
}
