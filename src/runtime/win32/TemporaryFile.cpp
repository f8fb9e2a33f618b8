#include "TemporaryFile.h"

#include "SystemError.h"
#include "runtime/AsyncRead.h"
#include "runtime/ExitRemoval.h"
#include "runtime/RuntimeError.h"
#include "runtime/TemporaryName.h"

#include <cstring>
#include <new>
#include <random>
#include <string_view>
#include <utility>

namespace runtime::win32 {

namespace {

constexpr int kCreateAttempts = 100;

std::string randomLetters(std::random_device &device)
{
    std::uniform_int_distribution<std::size_t> pick(0, temporary::kAlphabet.size() - 1);
    std::string letters(temporary::kRandomLength, '0');
    for (char &c : letters)
        c = temporary::kAlphabet[pick(device)];
    return letters;
}

/// folder made absolute and free of ".", ".." and a trailing separator, so that the files'
/// paths name their folder as the user would.
std::filesystem::path cleanFolder(const std::filesystem::path &folder, std::error_code &error)
{
    std::filesystem::path absolute = std::filesystem::absolute(folder, error).lexically_normal();
    if (!absolute.has_filename() && absolute.has_relative_path())
        absolute = absolute.parent_path();
    return absolute;
}

std::string creationFailure(const std::filesystem::path &folder, const std::string &reason)
{
    const std::u8string text = folder.u8string();
    return "could not create a temporary file in " + std::string(text.begin(), text.end()) + ": " +
           reason;
}

/// Returns 0 or the error of the write that failed.
DWORD writeAll(HANDLE handle, const char *data, std::size_t size) noexcept
{
    while (size > 0) {
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, 1U << 30));
        DWORD written = 0;
        if (!::WriteFile(handle, data, piece, &written, nullptr))
            return ::GetLastError();
        if (written == 0)
            return ERROR_WRITE_FAULT;
        data += written;
        size -= written;
    }
    return 0;
}

} // namespace

TemporaryFile::TemporaryFile(HANDLE handle, std::filesystem::path path) noexcept
    : m_handle(handle), m_path(std::move(path))
{}

TemporaryFile::~TemporaryFile()
{
    discard();
}

std::unique_ptr<TemporaryFile> TemporaryFile::create(const std::filesystem::path &folder)
{
    if (folder.empty())
        throw RuntimeError("no folder was given for the temporary file");
    std::error_code cleaning;
    const std::filesystem::path cleaned = cleanFolder(folder, cleaning);
    if (cleaning)
        throw RuntimeError(creationFailure(folder, systemErrorText(cleaning.value())));

    std::random_device device;
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        std::filesystem::path path =
            cleaned / (std::string(temporary::kPrefix) + randomLetters(device) +
                       std::string(temporary::kSuffix));
        // Sharing deletion lets the exit-time removal delete a file the worker still writes.
        // Security attributes left out: a started program inherits no handle to it.
        const HANDLE handle =
            ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
                continue;
            throw RuntimeError(creationFailure(folder, systemErrorText(error)));
        }
        try {
            temporary::removeAtExit(path);
            return std::unique_ptr<TemporaryFile>(new TemporaryFile(handle, std::move(path)));
        } catch (...) {
            ::CloseHandle(handle);
            ::DeleteFileW(path.c_str());
            temporary::forgetAtExit(path);
            throw;
        }
    }
    throw RuntimeError(creationFailure(folder, "every name tried was taken"));
}

int TemporaryFile::reserve(std::int64_t length) noexcept
{
    // Only the allocation grows, not the end of the file: a server announcing more than it
    // sends must not leave a padded file. Where reserving is not supported the writes tell.
    FILE_ALLOCATION_INFO allocation{};
    allocation.AllocationSize.QuadPart = m_written + length;
    if (!::SetFileInformationByHandle(m_handle, FileAllocationInfo, &allocation,
                                      sizeof allocation) &&
        ::GetLastError() == ERROR_DISK_FULL)
        return ERROR_DISK_FULL;
    return 0;
}

int TemporaryFile::writeThrough(const char *data, std::size_t size) noexcept
{
    const DWORD error = writeAll(m_handle, data, size);
    if (error == 0)
        m_written += static_cast<std::int64_t>(size);
    return static_cast<int>(error);
}

int TemporaryFile::truncateToZero() noexcept
{
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(m_handle, start, nullptr, FILE_BEGIN) || !::SetEndOfFile(m_handle))
        return static_cast<int>(::GetLastError());
    m_written = 0;
    return 0;
}

int TemporaryFile::syncAndClose() noexcept
{
    if (m_handle == INVALID_HANDLE_VALUE)
        return ERROR_INVALID_HANDLE;
    DWORD error = 0;
    if (!::FlushFileBuffers(m_handle))
        error = ::GetLastError();
    if (!::CloseHandle(m_handle) && error == 0)
        error = ::GetLastError();
    m_handle = INVALID_HANDLE_VALUE;
    return static_cast<int>(error);
}

int TemporaryFile::outOfMemory() const noexcept
{
    return ERROR_NOT_ENOUGH_MEMORY;
}

std::string TemporaryFile::errorText(int error) const
{
    return systemErrorText(static_cast<DWORD>(error));
}

bool TemporaryFile::isDiskFull(int error) const noexcept
{
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}

void TemporaryFile::close() noexcept
{
    if (m_handle != INVALID_HANDLE_VALUE)
        ::CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
    releaseBuffers();
}

void TemporaryFile::discard() noexcept
{
    close();
    // Deleted before it is forgotten, so an exit in between cannot miss it.
    if (!m_path.empty()) {
        ::DeleteFileW(m_path.c_str());
        temporary::forgetAtExit(m_path);
    }
    m_path.clear();
    m_written = 0;
}

std::filesystem::path TemporaryFile::keep() noexcept
{
    close();
    std::filesystem::path kept = std::move(m_path);
    m_path.clear();
    return kept;
}

} // namespace runtime::win32
