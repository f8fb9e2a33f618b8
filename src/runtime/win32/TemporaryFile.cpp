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

constexpr std::size_t kBufferSize = 1024 * 1024;
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

TemporaryFile::TemporaryFile(TemporaryFile &&other) noexcept
    : m_handle(std::exchange(other.m_handle, INVALID_HANDLE_VALUE)),
      m_path(std::move(other.m_path)), m_buffer(std::move(other.m_buffer)),
      m_buffered(std::exchange(other.m_buffered, 0)), m_hash(std::move(other.m_hash))
{
    other.m_path.clear();
}

TemporaryFile &TemporaryFile::operator=(TemporaryFile &&other) noexcept
{
    if (this != &other) {
        discard();
        m_handle = std::exchange(other.m_handle, INVALID_HANDLE_VALUE);
        m_path = std::move(other.m_path);
        other.m_path.clear();
        m_buffer = std::move(other.m_buffer);
        m_buffered = std::exchange(other.m_buffered, 0);
        m_hash = std::move(other.m_hash);
    }
    return *this;
}

TemporaryFile TemporaryFile::create(const std::filesystem::path &folder)
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
            return TemporaryFile(handle, std::move(path));
        } catch (...) {
            ::CloseHandle(handle);
            ::DeleteFileW(path.c_str());
            temporary::forgetAtExit(path);
            throw;
        }
    }
    throw RuntimeError(creationFailure(folder, "every name tried was taken"));
}

DWORD TemporaryFile::prepare(std::int64_t length) noexcept
{
    // Only the allocation grows, not the end of the file: a server announcing more than it
    // sends must not leave a padded file. Where reserving is not supported the writes tell.
    if (length > 0) {
        FILE_ALLOCATION_INFO allocation{};
        allocation.AllocationSize.QuadPart = length;
        if (!::SetFileInformationByHandle(m_handle, FileAllocationInfo, &allocation,
                                          sizeof allocation) &&
            ::GetLastError() == ERROR_DISK_FULL)
            return ERROR_DISK_FULL;
    }
    // A buffer of its own turns WinHTTP's small pieces into few large writes.
    m_buffer.reset(new (std::nothrow) char[kBufferSize]);
    return m_buffer ? 0 : ERROR_NOT_ENOUGH_MEMORY;
}

DWORD TemporaryFile::append(const char *data, std::size_t size) noexcept
{
    if (!m_buffer) {
        if (const DWORD error = prepare(0); error != 0)
            return error;
    }
    // Hashed while WinHTTP's piece is still in the cache, never read back later.
    if (m_hash)
        m_hash->update(std::string_view(data, size));
    std::size_t taken = 0;
    while (taken < size) {
        const std::size_t piece = std::min(size - taken, kBufferSize - m_buffered);
        std::memcpy(m_buffer.get() + m_buffered, data + taken, piece);
        m_buffered += piece;
        taken += piece;
        if (m_buffered == kBufferSize) {
            if (const DWORD error = flushBuffer(); error != 0)
                return error;
        }
    }
    return 0;
}

DWORD TemporaryFile::flushBuffer() noexcept
{
    if (m_buffered == 0)
        return 0;
    const DWORD error = writeAll(m_handle, m_buffer.get(), m_buffered);
    m_buffered = 0;
    return error;
}

DWORD TemporaryFile::finish() noexcept
{
    if (m_handle == INVALID_HANDLE_VALUE)
        return ERROR_INVALID_HANDLE;
    DWORD error = flushBuffer();
    if (error == 0 && !::FlushFileBuffers(m_handle))
        error = ::GetLastError();
    if (!::CloseHandle(m_handle) && error == 0)
        error = ::GetLastError();
    m_handle = INVALID_HANDLE_VALUE;
    m_buffer.reset();
    return error;
}

void TemporaryFile::reset() noexcept
{
    if (m_handle != INVALID_HANDLE_VALUE)
        ::CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
    m_path.clear();
    m_buffer.reset();
    m_buffered = 0;
    m_hash.reset();
}

std::optional<Sha256Digest> TemporaryFile::finishHash()
{
    if (!m_hash)
        return std::nullopt;
    const std::unique_ptr<Sha256> hash = std::move(m_hash);
    return hash->finish();
}

void TemporaryFile::discard() noexcept
{
    if (m_handle != INVALID_HANDLE_VALUE)
        ::CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
    // Deleted before it is forgotten, so an exit in between cannot miss it.
    if (!m_path.empty()) {
        ::DeleteFileW(m_path.c_str());
        temporary::forgetAtExit(m_path);
    }
    reset();
}

std::filesystem::path TemporaryFile::keep() noexcept
{
    std::filesystem::path kept = std::move(m_path);
    reset();
    return kept;
}

void handOverTemporaryFile(const std::filesystem::path &path) noexcept
{
    temporary::forgetAtExit(path);
}

void removeTemporaryFile(const std::filesystem::path &path) noexcept
{
    ::DeleteFileW(path.c_str());
    temporary::forgetAtExit(path);
}

} // namespace runtime::win32
