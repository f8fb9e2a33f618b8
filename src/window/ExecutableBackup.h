#pragma once

#include <QString>

/// Keeps the product's executable safe while a new one downloads: moves it aside to a backup
/// beside it, puts it back when the update does not end with a new one in place, and tidies what
/// a killed run left behind. Every operation is a rename or a removal within one folder.
/// UI thread only.
class ExecutableBackup
{
public:
    /// executable: the full path of the product's executable. Never throws.
    explicit ExecutableBackup(QString executable);

    /// The backup's full path: the executable's, with a suffix of our own.
    QString backupPath() const;

    /// Undoes what an interrupted run left: restores the backup where the executable is missing,
    /// drops a stale backup beside a present executable, and removes leftover temporary files of
    /// ours (and nothing else) from the folder. Throws PlatformError for the first step that fails,
    /// after trying the others.
    void recover() const;
    /// Renames the executable to the backup. Throws PlatformError when it is missing, a backup is
    /// already there, or the platform refuses the rename.
    void moveAside() const;
    /// Puts the backup back where the executable is missing; does nothing when there is no
    /// backup. Throws PlatformError when the rename fails (the executable is back in place).
    void restore() const;
    /// Removes the backup once the new executable is in place; does nothing when there is none.
    /// Throws PlatformError when it cannot be removed.
    void discard() const;

private:
    QString m_executable;
};
