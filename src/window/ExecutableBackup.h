#pragma once

#include <filesystem>
#include <functional>

namespace runtime {
class RuntimeError;
}

/// Keeps the product's executable runnable across an update. The old executable stays in place
/// while the new one downloads; only a complete, checked file replaces it, by renames within its
/// folder that leave a runnable program under the executable's name at every step a process can
/// be killed between. The old one is kept as a backup until the new one is seen running, and a
/// run that was cut short is put right by the next one. UI thread only.
class ExecutableBackup
{
public:
    /// The ways of putting a new file in the executable's place, strongest first. Each keeps a
    /// runnable program under the executable's name at every step but the last.
    enum class Swap
    {
        /// One atomic exchange of the two names (Linux, where the file system has it).
        Exchange,
        /// The old file first gets the backup's name as a second link, then the new one
        /// replaces the executable's name in one rename: the name is never missing.
        Link,
        /// Two renames, where the file system has no links (FAT): between them there is no
        /// executable, which recovery puts right.
        Renames
    };

    /// executable: the full path of the product's executable. Never throws.
    explicit ExecutableBackup(std::filesystem::path executable);

    /// The backup's full path: the executable's, with a suffix of our own. Never throws.
    std::filesystem::path backupPath() const;
    /// The lock file that keeps a second updater out of the folder. Never throws.
    std::filesystem::path lockPath() const;
    /// Whether a backup is there. Never throws.
    bool hasBackup() const;

    /// The installed release's record: its verified release file, byte for byte. Never throws.
    std::filesystem::path recordPath() const;
    /// Where a fetched release file waits to be read; recovery removes one that was left.
    /// Never throws.
    std::filesystem::path releaseDownloadPath() const;
    /// The installed release's record, "" when there is none. Throws RuntimeError when it is
    /// there but cannot be read.
    std::string installedRecord() const;

    /// Puts right what an interrupted run left: the backup is dropped only beside an executable
    /// that is runnable; beside a missing or broken one the backup wins. Leftover temporary files
    /// of ours (and nothing else) are removed. A directory or link under either name is left
    /// alone. Throws RuntimeError for the first step that fails, after trying the others.
    void recover() const;

    /// Throws RuntimeError, with a reason for people, when the executable's name holds
    /// something an update must not replace: a folder, a symbolic link, a device. A missing
    /// executable or a regular file passes.
    void checkReplaceable() const;

    /// Puts the downloaded file at temporary in the executable's place: checks it is a program
    /// for this computer, gives it the old executable's permission bits, then swaps it in by the
    /// strongest Swap the file system offers and keeps the old one as the backup. The folder is
    /// not synced. Throws RuntimeError, with a reason for people, when the file is refused or
    /// the swap fails; temporary is gone then, and the old executable is in place unless putting
    /// it back failed too. A backup may then remain only as a second name of the executable
    /// that could not be removed (hasBackup() says so), which recovery removes. record, when
    /// not empty, is the verified release file of temporary: it is written durably as the
    /// installed release's record before the swap, and the previous record is kept until
    /// discard() (or put back by rollBack(), or by this call when the swap fails).
    void install(const std::filesystem::path &temporary, const std::string &record = {}) const;

    /// Checks a downloaded file that was moved straight to the executable's name because there
    /// was no executable to keep, and gives it the usual permission bits of a program. Throws
    /// RuntimeError, with a reason for people, when it is refused; it has been removed then.
    /// record, when not empty, becomes the installed release's record once the file is taken.
    void adopt(const std::string &record = {}) const;

    /// Puts the backup back in place of a new executable that would not run, in one rename that
    /// replaces the new one, and the previous release's record with it. Throws RuntimeError when
    /// there is no backup or it cannot be put back.
    void rollBack() const;

    /// Puts the backup back where the executable is missing; does nothing when the executable
    /// is there or there is no backup. Throws RuntimeError when the rename fails.
    void restore() const;

    /// Removes the backup, and the previous release's record, once the new executable has been
    /// seen running; does nothing when there is none. Throws RuntimeError when it cannot be
    /// removed.
    void discard() const;

    /// For tests that end the process between two steps of a swap: called after each step that
    /// changes a name. Never called when empty.
    void setStepHook(std::function<void()> hook) { m_stepHook = std::move(hook); }
    /// While the old executable is held open by another program and cannot be moved aside, wait
    /// is called between attempts: it waits a moment and returns whether to try again. Without
    /// one, a held executable fails the swap at once.
    void setBusyWait(std::function<bool()> wait) { m_busyWait = std::move(wait); }
    /// For tests of file systems that offer less: install() uses no Swap stronger than strongest.
    void setStrongestSwap(Swap strongest) { m_strongestSwap = strongest; }

private:
    void stepDone(const char *what) const;
    bool swapByExchange(const std::filesystem::path &temporary, bool &temporaryIsNew) const;
    void swapByLinkOrRenames(const std::filesystem::path &temporary) const;
    void swapByRenames(const std::filesystem::path &temporary) const;
    bool waitWhileBusy(const runtime::RuntimeError &error) const;
    std::filesystem::path withSuffix(const char *suffix) const;
    void keepRecord(const std::string &record) const;
    void restoreRecord() const;
    void recoverRecord() const;
    void syncQuietly() const;

    std::filesystem::path m_executable;
    std::function<void()> m_stepHook;
    std::function<bool()> m_busyWait;
    Swap m_strongestSwap = Swap::Exchange;
};
