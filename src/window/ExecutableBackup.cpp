#include "ExecutableBackup.h"

#include "platform/AsyncReader.h"
#include "platform/Files.h"
#include "platform/PlatformError.h"
#include "platform/Statement.h"

#include <QDir>
#include <string>

ExecutableBackup::ExecutableBackup(QString executable) : m_executable(std::move(executable)) {}

QString ExecutableBackup::backupPath() const
{
    return m_executable + QStringLiteral(".refitor-backup");
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
        if (!platform::pathExists(m_executable) && platform::pathExists(backupPath()))
            platform::renameNoReplace(backupPath(), m_executable);
    });
    step([this] {
        if (platform::pathExists(m_executable) && platform::pathExists(backupPath()))
            platform::deleteFile(backupPath());
    });
    const QString folder = platform::folderOf(m_executable);
    const QStringList names =
        QDir(folder.isEmpty() ? QStringLiteral(".") : folder)
            .entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (platform::AsyncReader::isTemporaryFileName(name))
            step([&] { platform::deleteFile(QDir(folder).filePath(name)); });
    }
    if (!firstFailure.empty())
        throw platform::PlatformError(firstFailure);
}

void ExecutableBackup::moveAside() const
{
    platform::renameNoReplace(m_executable, backupPath());
}

void ExecutableBackup::restore() const
{
    if (!platform::pathExists(backupPath()))
        return;
    platform::renameNoReplace(backupPath(), m_executable);
}

void ExecutableBackup::discard() const
{
    if (platform::pathExists(backupPath()))
        platform::deleteFile(backupPath());
}
