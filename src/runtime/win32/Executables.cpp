#include "FileErrors.h"
#include "KernelHandle.h"
#include "runtime/Files.h"
#include "runtime/ProgramCheck.h"
#include "runtime/RuntimeError.h"
#include "runtime/Text.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <windows.h>

namespace runtime {

namespace {

#if defined(__x86_64__) || defined(_M_X64)
constexpr WORD kMachine = IMAGE_FILE_MACHINE_AMD64;
#elif defined(__aarch64__) || defined(_M_ARM64)
constexpr WORD kMachine = IMAGE_FILE_MACHINE_ARM64;
#elif defined(__i386__) || defined(_M_IX86)
constexpr WORD kMachine = IMAGE_FILE_MACHINE_I386;
#else
#error "the native executable format of this processor is not known here"
#endif
constexpr WORD kOptionalMagic =
    sizeof(void *) == 8 ? IMAGE_NT_OPTIONAL_HDR64_MAGIC : IMAGE_NT_OPTIONAL_HDR32_MAGIC;

// Where the PE header starts lies in the DOS header; what is read from there: the signature,
// the file header and the optional header's magic number.
constexpr std::size_t kDosHeaderBytes = sizeof(IMAGE_DOS_HEADER);
constexpr std::size_t kPeHeaderBytes = 4 + sizeof(IMAGE_FILE_HEADER) + sizeof(WORD);

/// Up to size bytes of an open file from offset, without moving its file pointer.
std::string readAt(HANDLE file, std::uint64_t offset, std::size_t size,
                   const std::filesystem::path &path)
{
    std::string bytes(size, '\0');
    std::size_t filled = 0;
    while (filled < size) {
        OVERLAPPED at{};
        const std::uint64_t from = offset + filled;
        at.Offset = static_cast<DWORD>(from & 0xFFFFFFFFU);
        at.OffsetHigh = static_cast<DWORD>(from >> 32U);
        DWORD got = 0;
        if (!::ReadFile(file, bytes.data() + filled, static_cast<DWORD>(size - filled), &got,
                        &at)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_HANDLE_EOF)
                break;
            win32::failWith(error, "cannot read " + utf8FromPath(path));
        }
        if (got == 0)
            break;
        filled += got;
    }
    bytes.resize(filled);
    return bytes;
}

std::uint32_t littleEndian(std::string_view bytes, std::size_t at, std::size_t width)
{
    std::uint32_t value = 0;
    for (std::size_t i = width; i-- > 0;)
        value = (value << 8U) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

/// "" when everything the headers of a PE image of this computer place in the file (the headers,
/// the section table, every section's raw data, the certificate table) lies within its size bytes,
/// else why not. A download cut short looks like a program from its first bytes on; bytes after the
/// image (an installer's payload, a stand-in's instructions) are its own. Every field is at most 32
/// bits wide, so the sums below cannot overflow 64.
std::string peExtentProblem(HANDLE file, std::uint64_t peAt, std::string_view pe,
                            std::uint64_t size, const std::filesystem::path &path)
{
    const std::size_t fileHeader = 4;
    const std::uint64_t optionalBytes =
        littleEndian(pe, fileHeader + offsetof(IMAGE_FILE_HEADER, SizeOfOptionalHeader), 2);
    const std::uint64_t sections =
        littleEndian(pe, fileHeader + offsetof(IMAGE_FILE_HEADER, NumberOfSections), 2);
    const std::uint64_t optionalAt = peAt + fileHeader + sizeof(IMAGE_FILE_HEADER);
    const std::uint64_t tableAt = optionalAt + optionalBytes;
    const std::uint64_t tableBytes = sections * sizeof(IMAGE_SECTION_HEADER);
    // Without the whole section table nothing more can be learnt: the file is short already.
    if (tableAt + tableBytes > size)
        return programcheck::incompleteProgram(tableAt + tableBytes, size);
    if (optionalBytes < offsetof(IMAGE_OPTIONAL_HEADER, DataDirectory))
        return "the server sent a damaged program";
    // At most 64 KB and 65,535 sections of 40 bytes: the WORDs that count them bound both reads.
    const std::string optional = readAt(file, optionalAt, optionalBytes, path);
    const std::string table = readAt(file, tableAt, tableBytes, path);
    if (optional.size() < optionalBytes || table.size() < tableBytes)
        throw RuntimeError("cannot read " + utf8FromPath(path) + ": it was cut while being read");

    std::uint64_t furthest = std::max<std::uint64_t>(
        tableAt + tableBytes,
        littleEndian(optional, offsetof(IMAGE_OPTIONAL_HEADER, SizeOfHeaders), 4));
    const std::size_t certificateAt = offsetof(IMAGE_OPTIONAL_HEADER, DataDirectory) +
                                      IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(IMAGE_DATA_DIRECTORY);
    const auto directories =
        littleEndian(optional, offsetof(IMAGE_OPTIONAL_HEADER, NumberOfRvaAndSizes), 4);
    if (directories > IMAGE_DIRECTORY_ENTRY_SECURITY &&
        certificateAt + sizeof(IMAGE_DATA_DIRECTORY) <= optionalBytes) {
        // Unlike every other directory entry, this one holds a file offset, not an address: the
        // certificates are not loaded, only read from the file.
        const std::uint64_t at = littleEndian(optional, certificateAt, 4);
        const std::uint64_t bytes = littleEndian(optional, certificateAt + 4, 4);
        if (bytes != 0)
            furthest = std::max(furthest, at + bytes);
    }
    for (std::uint64_t i = 0; i < sections; ++i) {
        const std::size_t entry = static_cast<std::size_t>(i * sizeof(IMAGE_SECTION_HEADER));
        const std::uint64_t rawBytes =
            littleEndian(table, entry + offsetof(IMAGE_SECTION_HEADER, SizeOfRawData), 4);
        // A section without raw data (zeroed data) takes nothing from the file.
        if (rawBytes != 0)
            furthest = std::max(
                furthest,
                littleEndian(table, entry + offsetof(IMAGE_SECTION_HEADER, PointerToRawData), 4) +
                    rawBytes);
    }
    return furthest > size ? programcheck::incompleteProgram(furthest, size) : std::string();
}

/// "" when the PE image of an "MZ" file is a program this computer runs, else why not.
std::string peProblem(HANDLE file, std::string_view head, std::uint64_t size,
                      const std::filesystem::path &path)
{
    const std::string notAProgram = "the server sent a file that is not a program";
    if (head.size() < kDosHeaderBytes)
        return notAProgram;
    const std::uint32_t peAt = littleEndian(head, offsetof(IMAGE_DOS_HEADER, e_lfanew), 4);
    const std::string pe = readAt(file, peAt, kPeHeaderBytes, path);
    // Without a PE header an "MZ" file is a DOS or 16-bit Windows program.
    if (pe.size() < kPeHeaderBytes || pe.compare(0, 4, std::string_view("PE\0\0", 4)) != 0)
        return "the server sent a program for another kind of computer";
    const std::size_t fileHeader = 4;
    const auto machine = littleEndian(pe, fileHeader + offsetof(IMAGE_FILE_HEADER, Machine), 2);
    const auto characteristics =
        littleEndian(pe, fileHeader + offsetof(IMAGE_FILE_HEADER, Characteristics), 2);
    const auto magic = littleEndian(pe, fileHeader + sizeof(IMAGE_FILE_HEADER), 2);
    if (machine != kMachine || magic != kOptionalMagic)
        return "the server sent a program for another kind of computer";
    if ((characteristics & IMAGE_FILE_EXECUTABLE_IMAGE) == 0 ||
        (characteristics & IMAGE_FILE_DLL) != 0)
        return notAProgram;
    return peExtentProblem(file, peAt, pe, size, path);
}

/// "" when an open file is a program this computer runs, else why not.
std::string formatProblem(HANDLE file, std::uint64_t size, const std::filesystem::path &path)
{
    if (size == 0)
        return programcheck::emptyFile();
    const std::string head = readAt(file, 0, programcheck::kSniffBytes, path);
    if (head.substr(0, 2) == "MZ")
        return peProblem(file, head, size, path);
    return programcheck::foreignFile(head);
}

/// The size of an open regular file, or nothing when it is a folder, a link or no disk file.
std::optional<std::uint64_t> regularFileSize(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
        return std::nullopt;
    return (std::uint64_t{info.nFileSizeHigh} << 32U) | info.nFileSizeLow;
}

/// Opens path itself, never what a link at path points to, and a folder too, so that both can
/// be refused as what they are.
HANDLE openUnfollowed(const std::filesystem::path &path, DWORD access, DWORD sharing)
{
    return ::CreateFileW(path.c_str(), access, sharing, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

} // namespace

void prepareExecutable(const std::filesystem::path &path, const std::filesystem::path &model)
{
    // Windows programs have no permission bits to carry over.
    static_cast<void>(model);
    const std::string shown = utf8FromPath(path);
    // Shared for reading only: nobody can write, rename or delete the file between the check
    // and the flush.
    const win32::KernelHandle file(
        openUnfollowed(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ));
    if (!file.valid()) {
        const DWORD error = ::GetLastError();
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
            throw RuntimeError(ErrorKind::Refused, shown + " is not a regular file");
        win32::failWith(error, "cannot open " + shown);
    }
    const auto size = regularFileSize(file.get());
    if (!size)
        throw RuntimeError(ErrorKind::Refused, shown + " is not a regular file");
    const std::string problem = formatProblem(file.get(), *size, path);
    if (!problem.empty())
        throw RuntimeError(ErrorKind::Refused, problem);
    // The bytes must reach the disk before the new name does, or a power loss could leave a
    // program in place that is not whole.
    if (!::FlushFileBuffers(file.get()))
        win32::failWith(::GetLastError(), "cannot write " + shown + " to disk");
}

bool isRunnableExecutable(const std::filesystem::path &path)
{
    // A name that leads elsewhere (a Unix link seen through Wine opens as its target) is no
    // program of this folder's.
    try {
        if (fileKind(path) != FileKind::Regular)
            return false;
    } catch (const std::exception &) {
        return false;
    }
    const win32::KernelHandle file(
        openUnfollowed(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
    if (!file.valid())
        return false;
    const auto size = regularFileSize(file.get());
    try {
        return size && formatProblem(file.get(), *size, path).empty();
    } catch (const std::exception &) {
        return false;
    }
}

} // namespace runtime
