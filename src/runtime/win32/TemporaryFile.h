#pragma once

#include "runtime/TransferCore.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <windows.h>

namespace runtime::win32 {

/// A transfer's ".refitor-XXXXXX.part" file on Windows (CREATE_NEW, a fresh random name on each
/// collision), not inherited by started programs, and removed unless kept: when discarded, when
/// destroyed, and when the program ends through exit() first.
class TemporaryFile final : public transfer::BodyFile
{
public:
    /// Any thread. Creates and opens a new file in folder, to be removed should the program exit
    /// before it is handed over. Throws RuntimeError (Failed) with the system's reason, or
    /// std::bad_alloc, leaving no file behind.
    static std::unique_ptr<TemporaryFile> create(const std::filesystem::path &folder);

    /// Any thread. Discards the file unless it was kept. Never throws.
    ~TemporaryFile() override;
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;

    void discard() noexcept override;
    std::filesystem::path keep() noexcept override;
    const std::filesystem::path &path() const noexcept override { return m_path; }
    std::string errorText(int error) const override;
    bool isDiskFull(int error) const noexcept override;

private:
    TemporaryFile(HANDLE handle, std::filesystem::path path) noexcept;

    int reserve(std::int64_t length) noexcept override;
    int writeThrough(const char *data, std::size_t size) noexcept override;
    int truncateToZero() noexcept override;
    int syncAndClose() noexcept override;
    int outOfMemory() const noexcept override;
    void close() noexcept;

    HANDLE m_handle = INVALID_HANDLE_VALUE;
    std::filesystem::path m_path;
    std::int64_t m_written = 0;
};

} // namespace runtime::win32
