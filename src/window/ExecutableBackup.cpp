#include "ExecutableBackup.h"

#include "ReleaseFile.h"
#include "runtime/AsyncRead.h"
#include "runtime/Crypto.h"
#include "runtime/Files.h"
#include "runtime/RuntimeError.h"
#include "runtime/Statement.h"
#include "runtime/SupportLog.h"

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
    return withSuffix(".refitor-lock");
}

std::filesystem::path ExecutableBackup::withSuffix(const char *suffix) const
{
    return std::filesystem::path(m_executable) += suffix;
}

std::filesystem::path ExecutableBackup::recordPath() const
{
    return withSuffix(".refitor-release");
}

std::filesystem::path ExecutableBackup::releaseDownloadPath() const
{
    return withSuffix(".refitor-release-download");
}

std::string ExecutableBackup::installedRecord() const
{
    if (runtime::fileKind(recordPath()) == FileKind::Missing)
        return {};
    return runtime::readRegularFile(recordPath(), ReleaseFile::kMaxBytes);
}

// The record of the release about to be installed takes its name before the program does, and
// the previous one is kept beside it (empty where there was none) until the new program is seen
// running: after a kill at any step, recovery keeps whichever names the program in place, and a
// record ahead of its program only ever refuses more.
void ExecutableBackup::keepRecord(const std::string &record) const
{
    const std::filesystem::path fresh = withSuffix(".refitor-release-new");
    const std::filesystem::path kept = withSuffix(".refitor-release-backup");
    removeQuietly(fresh);
    removeQuietly(kept);
    runtime::writeNewFile(fresh, record);
    stepDone("the new release's record is written");
    runtime::writeNewFile(kept, installedRecord());
    stepDone("the installed release's record is kept");
    runtime::replaceFile(fresh, recordPath());
    stepDone("the new release's record takes its name");
}

void ExecutableBackup::restoreRecord() const
{
    const std::filesystem::path kept = withSuffix(".refitor-release-backup");
    if (runtime::fileKind(kept) != FileKind::Regular)
        return;
    if (runtime::readRegularFile(kept, ReleaseFile::kMaxBytes).empty()) {
        // There was no record before: the program put back is one nobody signed for us.
        if (runtime::pathExists(recordPath()))
            runtime::deleteFile(recordPath());
        runtime::deleteFile(kept);
    } else {
        runtime::replaceFile(kept, recordPath());
    }
    stepDone("the previous release's record is back");
}

void ExecutableBackup::recoverRecord() const
{
    removeQuietly(withSuffix(".refitor-release-new"));
    removeQuietly(releaseDownloadPath());
    const std::filesystem::path kept = withSuffix(".refitor-release-backup");
    if (runtime::fileKind(kept) != FileKind::Regular)
        return;
    // An update stopped between writing its record and dropping the previous one: the record
    // that stays is the one that names the program in place.
    std::optional<runtime::Sha256Digest> inPlace;
    if (runtime::isRunnableExecutable(m_executable))
        inPlace = runtime::sha256OfFile(m_executable);
    const auto names = [&](const std::string &text) {
        try {
            return inPlace && ReleaseFile::parse(text).sha256() == *inPlace;
        } catch (const RuntimeError &) {
            return false;
        }
    };
    const std::string previous = runtime::readRegularFile(kept, ReleaseFile::kMaxBytes);
    const std::string current = installedRecord();
    if (!current.empty() && names(current)) {
        runtime::deleteFile(kept);
    } else if (!previous.empty() && names(previous)) {
        runtime::replaceFile(kept, recordPath());
    } else if (previous.empty()) {
        if (!current.empty())
            runtime::deleteFile(recordPath());
        runtime::deleteFile(kept);
    } else {
        // Neither names it: the newer record stays, so that no older release is taken again.
        runtime::deleteFile(kept);
    }
    runtime::syncFolder(m_executable.parent_path());
}

bool ExecutableBackup::hasBackup() const
{
    return runtime::pathExists(backupPath());
}

void ExecutableBackup::stepDone(const char *what) const
{
    runtime::supportlog::line(std::string("swap: ") + what);
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
            runtime::supportlog::line("recovery: the backup took the program's free name");
        } else if (executable == FileKind::Regular && backup == FileKind::Regular) {
            if (runtime::isRunnableExecutable(m_executable)) {
                runtime::deleteFile(backupPath());
                runtime::supportlog::line("recovery: the program runs, its backup is removed");
            } else {
                runtime::replaceFile(backupPath(), m_executable);
                runtime::supportlog::line("recovery: the program cannot run, the backup is back");
            }
        }
        // A folder or a link under either name is nobody's to remove but its owner's.
        runtime::syncFolder(m_executable.parent_path());
    });

    step([this] { recoverRecord(); });

    const std::filesystem::path folder = m_executable.parent_path();
    std::vector<std::string> names;
    step([&] { names = runtime::folderEntries(folder); });
    for (const std::string &name : names) {
        if (runtime::isTemporaryFileName(name)) {
            step([&] {
                const std::filesystem::path file = folder / runtime::pathFromUtf8(name);
                if (runtime::fileKind(file) == FileKind::Regular) {
                    runtime::deleteFile(file);
                    runtime::supportlog::line("recovery: a leftover download " + name +
                                              " is removed");
                }
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

void ExecutableBackup::install(const std::filesystem::path &temporary,
                               const std::string &record) const
{
    bool recordKept = false;
    bool temporaryIsNew = true;
    try {
        runtime::prepareExecutable(temporary, m_executable);
        checkReplaceable();
        if (hasBackup())
            throw RuntimeError(runtime::ErrorKind::Exists,
                               runtime::utf8FromPath(backupPath().filename()) + " is in the way");
        stepDone("the new program is checked");
        if (!record.empty()) {
            recordKept = true;
            keepRecord(record);
        }
        if (!runtime::pathExists(m_executable)) {
            runtime::renameNoReplace(temporary, m_executable);
            stepDone("the new program takes the free name");
            return;
        }
        if (m_strongestSwap == Swap::Exchange && swapByExchange(temporary, temporaryIsNew))
            return;
        swapByLinkOrRenames(temporary);
    } catch (...) {
        if (temporaryIsNew)
            removeQuietly(temporary);
        if (recordKept)
            runtime::runStatement([&] { restoreRecord(); });
        throw;
    }
}

bool ExecutableBackup::swapByExchange(const std::filesystem::path &temporary,
                                      bool &temporaryIsNew) const
{
    if (!runtime::exchangeFiles(temporary, m_executable))
        return false;
    // The new program is in place and the old one sits under the temporary name.
    stepDone("the new and the old program are exchanged");
    try {
        runtime::renameNoReplace(temporary, backupPath());
    } catch (...) {
        // Without a backup there could be no way back, so the update does not go ahead. Until
        // the old one is back, the temporary name holds it, and it must stay.
        temporaryIsNew =
            runtime::runStatement([&] { runtime::exchangeFiles(temporary, m_executable); });
        throw;
    }
    stepDone("the old program is kept as the backup");
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
                    stepDone("the old program is linked as the backup");
                }
                runtime::replaceFile(temporary, m_executable);
                stepDone("the new program replaces the old one");
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
    stepDone("the old program is renamed to the backup");
    try {
        runtime::renameNoReplace(temporary, m_executable);
    } catch (...) {
        runtime::runStatement([&] { restore(); });
        throw;
    }
    stepDone("the new program takes the name");
}

void ExecutableBackup::adopt(const std::string &record) const
{
    try {
        runtime::prepareExecutable(m_executable, {});
    } catch (...) {
        // A file that cannot run is no better than none, and keeping it would make the next run
        // take it for the product.
        removeQuietly(m_executable);
        throw;
    }
    if (!record.empty()) {
        keepRecord(record);
        runtime::deleteFile(withSuffix(".refitor-release-backup"));
    }
}

void ExecutableBackup::rollBack() const
{
    if (runtime::fileKind(backupPath()) != FileKind::Regular)
        throw RuntimeError(runtime::ErrorKind::NotFound,
                           "there is no previous version to put back");
    // One rename that replaces the new one: the executable's name is never missing.
    runtime::replaceFile(backupPath(), m_executable);
    stepDone("the previous program is put back");
    restoreRecord();
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
    removeQuietly(withSuffix(".refitor-release-backup"));
}
