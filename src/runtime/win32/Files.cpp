#include "runtime/Files.h"

#include "FileErrors.h"
#include "KernelHandle.h"
#include "SystemError.h"
#include "Unicode.h"
#include "runtime/BoundedRead.h"
#include "runtime/RuntimeError.h"

#include <algorithm>
#include <limits>
#include <windows.h>

namespace runtime {

namespace {

std::string shown(const std::filesystem::path &path)
{
    return utf8FromPath(path);
}

// Links of every kind that point elsewhere; other reparse points (cloud placeholders,
// deduplicated or compressed files) are the file itself.
bool isLinkTag(DWORD tag)
{
    return tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT ||
           tag == IO_REPARSE_TAG_APPEXECLINK;
}

bool isLink(const std::filesystem::path &path)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileExW(path.c_str(), FindExInfoBasic, &found,
                                             FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    ::FindClose(search);
    return (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           isLinkTag(found.dwReserved0);
}

const wchar_t *nameOrHere(const std::filesystem::path &path)
{
    return path.empty() ? L"." : path.c_str();
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

/// Where an open file or folder really is, as Windows resolves every link on its way; "" when
/// the file system cannot say.
std::wstring finalPathOf(HANDLE handle)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(length);
    }
}

/// Whether the regular file at path is really somewhere else: a link Windows does not mark as
/// a reparse point (a Unix symbolic link seen through Wine, say) leads out of its folder, and
/// moving or deleting it would move or delete that file elsewhere. Where a path cannot be
/// resolved, it is taken as where it stands.
bool leadsElsewhere(const std::filesystem::path &path)
{
    std::error_code failure;
    const std::filesystem::path absolute = std::filesystem::absolute(path, failure);
    if (failure || !absolute.has_parent_path())
        return false;
    const win32::KernelHandle file(
        ::CreateFileW(absolute.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const win32::KernelHandle folder(
        ::CreateFileW(absolute.parent_path().c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.valid() || !folder.valid())
        return false;
    const std::wstring filePath = finalPathOf(file.get());
    std::wstring expected = finalPathOf(folder.get());
    if (filePath.empty() || expected.empty())
        return false;
    if (expected.back() != L'\\')
        expected += L'\\';
    expected += absolute.filename().native();
    // Names differ only in case where the file system ignores it.
    return ::CompareStringOrdinal(filePath.c_str(), static_cast<int>(filePath.size()),
                                  expected.c_str(), static_cast<int>(expected.size()),
                                  TRUE) != CSTR_EQUAL;
}

/// Moves from onto a read-only file at to. Windows will not replace a read-only file, and the
/// mark belongs to the file, which may live on under another name (a backup's): it is lifted
/// for the move and put back on that file through a handle that follows it. Returns 0 or the
/// error.
DWORD replaceReadOnly(const std::filesystem::path &from, const std::filesystem::path &to)
{
    const win32::KernelHandle target(
        ::CreateFileW(to.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, nullptr,
                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_BASIC_INFO marked{};
    if (!target.valid() ||
        !::GetFileInformationByHandleEx(target.get(), FileBasicInfo, &marked, sizeof marked))
        return ::GetLastError();
    FILE_BASIC_INFO writable = marked;
    writable.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (writable.FileAttributes == 0)
        writable.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!::SetFileInformationByHandle(target.get(), FileBasicInfo, &writable, sizeof writable))
        return ::GetLastError();
    const DWORD error =
        ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
            ? ERROR_SUCCESS
            : ::GetLastError();
    ::SetFileInformationByHandle(target.get(), FileBasicInfo, &marked, sizeof marked);
    return error;
}

} // namespace

std::filesystem::path pathFromUtf8(const std::string &text)
{
    return std::filesystem::path(win32::utf16FromUtf8(text));
}

std::string utf8FromPath(const std::filesystem::path &path)
{
    return win32::utf8FromUtf16(path.native());
}

std::string folderOf(const std::string &path)
{
    const std::size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos)
        return {};
    // A root keeps its separator: "\" and "C:\" name folders, "" and "C:" do not.
    const bool root = slash == 0 || (slash == 2 && path[1] == ':');
    return path.substr(0, root ? slash + 1 : slash);
}

FileKind fileKind(const std::filesystem::path &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD error = ::GetLastError();
        if (win32::isMissing(error))
            return FileKind::Missing;
        win32::failWith(error, "cannot look at " + shown(path));
    }
    const DWORD attributes = data.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && isLink(path))
        return FileKind::SymbolicLink;
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0)
        return FileKind::Other;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return FileKind::Directory;
    if (leadsElsewhere(path))
        return FileKind::SymbolicLink;
    return FileKind::Regular;
}

bool pathExists(const std::filesystem::path &path)
{
    if (path.empty())
        return false;
    // A file that the system holds open without sharing (a page file) exists all the same.
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES ||
           ::GetLastError() == ERROR_SHARING_VIOLATION;
}

void deleteFile(const std::filesystem::path &path)
{
    if (::DeleteFileW(path.c_str()))
        return;
    DWORD error = ::GetLastError();
    // Windows will not delete a read-only file where POSIX asks only the folder; a program kept
    // read-only by its installer must still give way to its backup's removal.
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        ::SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        if (::DeleteFileW(path.c_str()))
            return;
        error = ::GetLastError();
        ::SetFileAttributesW(path.c_str(), attributes);
    }
    win32::failWith(error, "cannot delete " + shown(path));
}

void renameNoReplace(const std::filesystem::path &from, const std::filesystem::path &to)
{
    // Without MOVEFILE_REPLACE_EXISTING an existing target is refused, and without
    // MOVEFILE_COPY_ALLOWED another drive is too; write-through returns once the new name is on
    // the disk.
    if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH))
        return;
    const DWORD error = ::GetLastError();
    const std::string what = "cannot move " + shown(from) + " to " + shown(to);
    if (error == ERROR_NOT_SAME_DEVICE)
        throw RuntimeError(what + ": they are on different drives");
    if (win32::isBusy(error) || (error == ERROR_ACCESS_DENIED && win32::isHeldOpen(from)))
        throw RuntimeError(ErrorKind::Busy,
                           what + ": " + shown(from) + " is in use by another program");
    win32::failWith(error, what);
}

void replaceFile(const std::filesystem::path &from, const std::filesystem::path &to)
{
    // Write-through returns once the new name is on the disk; without MOVEFILE_COPY_ALLOWED
    // another drive is refused.
    DWORD error =
        ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
            ? ERROR_SUCCESS
            : ::GetLastError();
    const DWORD attributes = ::GetFileAttributesW(to.c_str());
    const bool regular =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    if (error == ERROR_ACCESS_DENIED && regular && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        error = replaceReadOnly(from, to);
    if (error == ERROR_SUCCESS)
        return;
    const std::string what = "cannot move " + shown(from) + " to " + shown(to);
    if (error == ERROR_NOT_SAME_DEVICE)
        throw RuntimeError(what + ": they are on different drives");
    // Refused with the folder writable and the file not read-only, a replace is kept out by
    // the file itself: held open, or a program that runs from it.
    if (win32::isBusy(error) || (error == ERROR_ACCESS_DENIED && regular &&
                                 (win32::isHeldOpen(to) || win32::isHeldOpen(from) ||
                                  (attributes & FILE_ATTRIBUTE_READONLY) == 0)))
        throw RuntimeError(ErrorKind::Busy,
                           what + ": " + shown(to) + " is in use by another program");
    win32::failWith(error, what);
}

bool linkFile(const std::filesystem::path &from, const std::filesystem::path &to)
{
    // A file another program holds without sharing deletion could be linked but not replaced;
    // a link made now would only have to go again, and could not while the file is held.
    if (win32::isHeldOpen(from))
        throw RuntimeError(ErrorKind::Busy, "cannot link " + shown(from) +
                                                ": it is in use by "
                                                "another program");
    if (::CreateHardLinkW(to.c_str(), from.c_str(), nullptr))
        return true;
    const DWORD error = ::GetLastError();
    // FAT and exFAT have no links, and a file may have as many as it can take.
    if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
        error == ERROR_TOO_MANY_LINKS)
        return false;
    win32::failWith(error, "cannot link " + shown(from) + " as " + shown(to));
}

bool exchangeFiles(const std::filesystem::path &, const std::filesystem::path &)
{
    // Windows cannot swap two names in one step (ReplaceFileW renames one after the other), so
    // the caller keeps the old file under a second name and then replaces it.
    return false;
}

void syncFolder(const std::filesystem::path &folder)
{
    // Every rename here is made with MOVEFILE_WRITE_THROUGH, which returns only once the name
    // is on the disk: a folder has nothing left to flush. A missing folder is still told.
    const DWORD attributes = ::GetFileAttributesW(nameOrHere(folder));
    if (attributes == INVALID_FILE_ATTRIBUTES)
        win32::failWith(::GetLastError(), "cannot sync " + shown(folder));
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        throw RuntimeError(ErrorKind::NotFound,
                           "cannot sync " + shown(folder) + ": it is not a folder");
}

void writeNewFile(const std::filesystem::path &path, std::string_view bytes)
{
    DWORD error = ERROR_SUCCESS;
    {
        const win32::KernelHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid())
            win32::failWith(::GetLastError(), "cannot create " + shown(path));
        for (std::size_t written = 0; written < bytes.size() && error == ERROR_SUCCESS;) {
            DWORD wrote = 0;
            const auto piece = static_cast<DWORD>(std::min<std::size_t>(
                bytes.size() - written, std::numeric_limits<DWORD>::max() / 2));
            if (!::WriteFile(file.get(), bytes.data() + written, piece, &wrote, nullptr))
                error = ::GetLastError();
            written += wrote;
        }
        if (error == ERROR_SUCCESS && !::FlushFileBuffers(file.get()))
            error = ::GetLastError();
    }
    // Closed first: a file open without sharing cannot be deleted.
    if (error != ERROR_SUCCESS) {
        ::DeleteFileW(path.c_str());
        throw RuntimeError(ErrorKind::Failed,
                           "cannot write " + shown(path) + ": " + win32::systemErrorText(error));
    }
}

std::vector<std::string> folderEntries(const std::filesystem::path &folder)
{
    const std::filesystem::path pattern = std::filesystem::path(nameOrHere(folder)) / L"*";
    WIN32_FIND_DATAW found;
    const HANDLE search =
        ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                           FIND_FIRST_EX_LARGE_FETCH);
    std::vector<std::string> names;
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        const DWORD attributes = ::GetFileAttributesW(nameOrHere(folder));
        const bool isFolder =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        // A drive's root has no "." or "..": when empty, there is nothing to find at all.
        if (error == ERROR_FILE_NOT_FOUND && isFolder)
            return names;
        // Windows calls a search inside a file anything from a missing path to an invalid name.
        if (attributes != INVALID_FILE_ATTRIBUTES && !isFolder)
            throw RuntimeError(ErrorKind::NotFound,
                               "cannot read the folder " + shown(folder) + ": it is not a folder");
        win32::failWith(error, "cannot read the folder " + shown(folder));
    }
    DWORD error = ERROR_SUCCESS;
    while (error == ERROR_SUCCESS) {
        const std::wstring_view name = found.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(win32::utf8FromUtf16(name));
        if (!::FindNextFileW(search, &found))
            error = ::GetLastError();
    }
    ::FindClose(search);
    if (error != ERROR_NO_MORE_FILES)
        win32::failWith(error, "cannot read the folder " + shown(folder));
    return names;
}

std::string readRegularFile(const std::filesystem::path &path, std::size_t maxBytes)
{
    // Backup semantics, so that a folder opens too and is refused below rather than failing as
    // access denied. Opening a pipe never waits: it connects or fails at once.
    const win32::KernelHandle file(::CreateFileW(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    const std::string notRegular = shown(path) + " is not a regular file";
    if (!file.valid()) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_PIPE_BUSY)
            throw RuntimeError(ErrorKind::Refused, notRegular);
        win32::failWith(error, "cannot open " + shown(path));
    }
    if (::GetFileType(file.get()) != FILE_TYPE_DISK)
        throw RuntimeError(ErrorKind::Refused, notRegular);
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(file.get(), &info))
        win32::failWith(::GetLastError(), "cannot look at " + shown(path));
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        throw RuntimeError(ErrorKind::Refused, notRegular);
    const std::uint64_t size = (std::uint64_t{info.nFileSizeHigh} << 32U) | info.nFileSizeLow;

    return boundedread::readUpTo(shown(path), size, maxBytes, [&](char *into, std::size_t room) {
        const DWORD asked =
            static_cast<DWORD>(std::min<std::size_t>(room, std::numeric_limits<DWORD>::max() / 2));
        DWORD got = 0;
        if (!::ReadFile(file.get(), into, asked, &got, nullptr))
            win32::failWith(::GetLastError(), "cannot read " + shown(path));
        return static_cast<std::size_t>(got);
    });
}

} // namespace runtime
