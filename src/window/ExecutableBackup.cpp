#include "ExecutableBackup.h"

#include "runtime/AsyncRead.h"
#include "runtime/Files.h"
#include "runtime/RuntimeError.h"
#include "runtime/Statement.h"

#include <string>
#include <vector>

using runtime::FileKind;
using runtime::RuntimeError;

namespace {

// Removes a file we made, when it is still there; what cannot be removed now, the next run's
// recovery removes.
void removeQuietly(const std::filesystem::path &path)
{
    runtime::runStatement([&] {
        if (runtime::fileKind(path) == FileKind::Regular)
            runtime::deleteFile(path);
    });
}

} // namespace

ExecutableBackup::ExecutableBackup(std::filesystem::path executable)
    : m_executable(std::move(executable))
{}

std::filesystem::path ExecutableBackup::backupPath() const
{
    return std::filesystem::path(m_executable) += ".refitor-backup";
}

std::filesystem::path ExecutableBackup::lockPath() const
{
    return std::filesystem::path(m_executable) += ".refitor-lock";
}

bool ExecutableBackup::hasBackup() const
{
    return runtime::pathExists(backupPath());
}

void ExecutableBackup::stepDone() const
{
    if (m_stepHook)
        m_stepHook();
}

void ExecutableBackup::syncQuietly() const
{
    // The old executable is back under its name either way; a folder that cannot be synced is
    // no reason to tell the user it was lost.
    runtime::runStatement([&] { runtime::syncFolder(m_executable.parent_path()); });
}

bool ExecutableBackup::waitWhileBusy(const RuntimeError &error) const
{
    // Held open by the program itself, still running, or by a scanner looking at it: such a
    // hold passes, so the step is tried again for as long as the waiter says.
    if (error.kind() != runtime::ErrorKind::Busy)
        return false;
    if (m_busyWait && m_busyWait())
        return true;
    throw RuntimeError(runtime::ErrorKind::Busy,
                       runtime::utf8FromPath(m_executable.filename()) +
                           " is in use by another program (still running, or held open by a "
                           "virus scanner), so it could not be replaced");
}

void ExecutableBackup::recover() const
{
    std::string firstFailure;
    auto step = [&firstFailure](auto &&statement) {
        std::string reason;
        if (!runtime::runStatement(statement, &reason) && firstFailure.empty())
            firstFailure = reason;
    };

    step([this] {
        const FileKind executable = runtime::fileKind(m_executable);
        const FileKind backup = runtime::fileKind(backupPath());
        if (backup == FileKind::Missing)
            return;
        if (executable == FileKind::Missing) {
            // Whatever the backup is, it is what stood under the name before.
            runtime::renameNoReplace(backupPath(), m_executable);
        } else if (executable == FileKind::Regular && backup == FileKind::Regular) {
            if (runtime::isRunnableExecutable(m_executable))
                runtime::deleteFile(backupPath());
            else
                runtime::replaceFile(backupPath(), m_executable);
        }
        // A folder or a link under either name is nobody's to remove but its owner's.
        runtime::syncFolder(m_executable.parent_path());
    });

    const std::filesystem::path folder = m_executable.parent_path();
    std::vector<std::string> names;
    step([&] { names = runtime::folderEntries(folder); });
    for (const std::string &name : names) {
        if (runtime::isTemporaryFileName(name)) {
            step([&] {
                const std::filesystem::path file = folder / runtime::pathFromUtf8(name);
                if (runtime::fileKind(file) == FileKind::Regular)
                    runtime::deleteFile(file);
            });
        }
    }
    if (!firstFailure.empty())
        throw RuntimeError(firstFailure);
}

void ExecutableBackup::checkReplaceable() const
{
    const std::string name = runtime::utf8FromPath(m_executable.filename());
    switch (runtime::fileKind(m_executable)) {
    case FileKind::Missing:
    case FileKind::Regular:
        return;
    case FileKind::Directory:
        throw RuntimeError(runtime::ErrorKind::Refused,
                           name + " is a folder, not a program; it was left as it is");
    case FileKind::SymbolicLink:
        throw RuntimeError(runtime::ErrorKind::Refused,
                           name + " is a symbolic link; only a plain file is replaced, so it was "
                                  "left as it is");
    case FileKind::Other:
        break;
    }
    throw RuntimeError(runtime::ErrorKind::Refused,
                       name + " is not a regular file; it was left as it is");
}

void ExecutableBackup::install(const std::filesystem::path &temporary) const
{
    try {
        runtime::prepareExecutable(temporary, m_executable);
        checkReplaceable();
        if (hasBackup())
            throw RuntimeError(runtime::ErrorKind::Exists,
                               runtime::utf8FromPath(backupPath().filename()) + " is in the way");
        stepDone();
        if (!runtime::pathExists(m_executable)) {
            runtime::renameNoReplace(temporary, m_executable);
            stepDone();
            return;
        }
    } catch (...) {
        removeQuietly(temporary);
        throw;
    }
    if (m_strongestSwap == Swap::Exchange && swapByExchange(temporary))
        return;
    try {
        swapByLinkOrRenames(temporary);
    } catch (...) {
        removeQuietly(temporary);
        throw;
    }
}

bool ExecutableBackup::swapByExchange(const std::filesystem::path &temporary) const
{
    try {
        if (!runtime::exchangeFiles(temporary, m_executable))
            return false;
    } catch (...) {
        removeQuietly(temporary);
        throw;
    }
    // The new program is in place and the old one sits under the temporary name.
    stepDone();
    try {
        runtime::renameNoReplace(temporary, backupPath());
    } catch (...) {
        // Without a backup there could be no way back, so the update does not go ahead; only
        // once the old one is back is the temporary name the new one's again, to be removed.
        runtime::runStatement([&] {
            if (runtime::exchangeFiles(temporary, m_executable))
                removeQuietly(temporary);
        });
        throw;
    }
    stepDone();
    return true;
}

void ExecutableBackup::swapByLinkOrRenames(const std::filesystem::path &temporary) const
{
    bool linked = false;
    try {
        for (;;) {
            try {
                if (!linked) {
                    if (m_strongestSwap == Swap::Renames ||
                        !runtime::linkFile(m_executable, backupPath())) {
                        swapByRenames(temporary);
                        return;
                    }
                    linked = true;
                    stepDone();
                }
                runtime::replaceFile(temporary, m_executable);
                stepDone();
                return;
            } catch (const RuntimeError &error) {
                if (!waitWhileBusy(error))
                    throw;
            }
        }
    } catch (...) {
        // The backup is only a second name of the executable, which still holds the old file;
        // one that cannot go now (the old program still runs from it) recovery removes.
        if (linked)
            removeQuietly(backupPath());
        throw;
    }
}

void ExecutableBackup::swapByRenames(const std::filesystem::path &temporary) const
{
    for (;;) {
        try {
            runtime::renameNoReplace(m_executable, backupPath());
            break;
        } catch (const RuntimeError &error) {
            if (!waitWhileBusy(error))
                throw;
        }
    }
    stepDone();
    try {
        runtime::renameNoReplace(temporary, m_executable);
    } catch (...) {
        runtime::runStatement([&] { restore(); });
        throw;
    }
    stepDone();
}

void ExecutableBackup::adopt() const
{
    try {
        runtime::prepareExecutable(m_executable, {});
    } catch (...) {
        // A file that cannot run is no better than none, and keeping it would make the next run
        // take it for the product.
        removeQuietly(m_executable);
        throw;
    }
}

void ExecutableBackup::rollBack() const
{
    if (runtime::fileKind(backupPath()) != FileKind::Regular)
        throw RuntimeError(runtime::ErrorKind::NotFound,
                           "there is no previous version to put back");
    // One rename that replaces the new one: the executable's name is never missing.
    runtime::replaceFile(backupPath(), m_executable);
    stepDone();
    syncQuietly();
}

void ExecutableBackup::restore() const
{
    if (!hasBackup() || runtime::pathExists(m_executable))
        return;
    runtime::renameNoReplace(backupPath(), m_executable);
    syncQuietly();
}

void ExecutableBackup::discard() const
{
    if (runtime::fileKind(backupPath()) == FileKind::Regular)
        runtime::deleteFile(backupPath());
}
