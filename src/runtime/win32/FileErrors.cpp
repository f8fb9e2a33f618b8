#include "FileErrors.h"

#include "KernelHandle.h"
#include "SystemError.h"
#include "runtime/RuntimeError.h"

namespace runtime::win32 {

bool isMissing(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_DIRECTORY: // a file where a folder was expected on the way
        return true;
    default:
        return false;
    }
}

bool isBusy(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_USER_MAPPED_FILE;
}

bool isDenied(DWORD error)
{
    return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT ||
           error == ERROR_PRIVILEGE_NOT_HELD;
}

bool isHeldOpen(const std::filesystem::path &path)
{
    // Asking for nothing but the right to delete, while sharing everything, conflicts only
    // with an opener that refused to share deletion.
    const KernelHandle probe(::CreateFileW(
        path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return !probe.valid() && isBusy(::GetLastError());
}

void failWith(DWORD error, const std::string &what)
{
    ErrorKind kind = ErrorKind::Failed;
    if (isMissing(error))
        kind = ErrorKind::NotFound;
    else if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ||
             error == ERROR_DIR_NOT_EMPTY)
        kind = ErrorKind::Exists;
    else if (isBusy(error))
        kind = ErrorKind::Busy;
    else if (isDenied(error))
        kind = ErrorKind::Denied;
    throw RuntimeError(kind, what + ": " + systemErrorText(error));
}

} // namespace runtime::win32
