#include "FileErrors.h"
#include "KernelHandle.h"
#include "SystemError.h"
#include "runtime/Files.h"
#include "runtime/RuntimeError.h"

#include <windows.h>

namespace runtime {

namespace {

class LockFile final : public FolderLock
{
public:
    explicit LockFile(HANDLE file) : m_file(file) {}
    // Closing the one handle deletes the file (FILE_FLAG_DELETE_ON_CLOSE), and so does Windows
    // when it closes the handles of a process that ended in any way.
    ~LockFile() override = default;

private:
    win32::KernelHandle m_file;
};

// How often a lock file still pending deletion is tried again before giving up.
constexpr int kPendingAttempts = 50;

} // namespace

std::unique_ptr<FolderLock> tryLockFolder(const std::filesystem::path &path)
{
    const std::string shown = utf8FromPath(path);
    for (int attempt = 1;; ++attempt) {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                           FILE_ATTRIBUTE_DEVICE)) != 0)
            throw RuntimeError(ErrorKind::Refused,
                               "the lock file " + shown + " is not a regular file");
        // No sharing at all is the lock itself: every other opener fails until the handle goes.
        // The link flag keeps a link put there since from being followed and removed.
        const HANDLE file = ::CreateFileW(
            path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
            nullptr);
        if (file != INVALID_HANDLE_VALUE)
            return std::make_unique<LockFile>(file);
        const DWORD error = ::GetLastError();
        if (error == ERROR_SHARING_VIOLATION)
            return nullptr;
        // A holder's file stays pending deletion while someone else (a scanner) still has it
        // open, and Windows refuses every opener meanwhile; that lasts moments.
        const bool pending = error == ERROR_ACCESS_DENIED &&
                             attributes != INVALID_FILE_ATTRIBUTES &&
                             (attributes & FILE_ATTRIBUTE_READONLY) == 0;
        if (!pending || attempt == kPendingAttempts)
            throw RuntimeError(win32::isDenied(error) ? ErrorKind::Denied : ErrorKind::Failed,
                               "cannot create the lock file " + shown + ": " +
                                   win32::systemErrorText(error));
        ::Sleep(2);
    }
}

} // namespace runtime
