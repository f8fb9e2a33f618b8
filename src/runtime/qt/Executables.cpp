#include "Descriptor.h"
#include "SystemError.h"
#include "runtime/Files.h"
#include "runtime/ProgramCheck.h"
#include "runtime/RuntimeError.h"
#include "runtime/Text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

namespace runtime {

namespace {

#if defined(__x86_64__)
constexpr int kMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr int kMachine = EM_AARCH64;
#elif defined(__i386__)
constexpr int kMachine = EM_386;
#elif defined(__arm__)
constexpr int kMachine = EM_ARM;
#elif defined(__riscv)
constexpr int kMachine = EM_RISCV;
#elif defined(__powerpc64__)
constexpr int kMachine = EM_PPC64;
#elif defined(__s390x__)
constexpr int kMachine = EM_S390;
#else
#error "the native executable format of this processor is not known here"
#endif
constexpr unsigned char kClass = sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32;
constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
constexpr unsigned char kData = kLittleEndian ? ELFDATA2LSB : ELFDATA2MSB;

// Only a program of this machine's class and byte order gets past the first check, so its
// headers are read as the native structures.
using Ehdr = std::conditional_t<kClass == ELFCLASS64, Elf64_Ehdr, Elf32_Ehdr>;
using Phdr = std::conditional_t<kClass == ELFCLASS64, Elf64_Phdr, Elf32_Phdr>;
using Shdr = std::conditional_t<kClass == ELFCLASS64, Elf64_Shdr, Elf32_Shdr>;

// How much of the program header table is read at once: a table is as long as its header says,
// up to the whole file, and memory must not follow it there.
constexpr std::size_t kTableChunkBytes = 64 * 1024;
// What an extent that overflows 64 bits counts as: beyond any file, and still a count that
// groupedCount can show.
constexpr std::uint64_t kBeyondAnyFile = std::numeric_limits<std::int64_t>::max();

/// Up to size bytes of an open file from offset, fewer where the file ends first.
std::string readAt(int fd, std::uint64_t offset, std::size_t size,
                   const std::filesystem::path &path)
{
    std::string bytes(size, '\0');
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got =
            ::pread(fd, bytes.data() + filled, size - filled, static_cast<off_t>(offset + filled));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw RuntimeError("cannot read " + utf8FromPath(path) + ": " +
                               qt::systemErrorText(errno));
        if (got == 0)
            break;
        filled += static_cast<std::size_t>(got);
    }
    bytes.resize(filled);
    return bytes;
}

/// Exactly size bytes of an open file from offset, where the file was seen to hold them. Throws
/// RuntimeError when it holds fewer now: it was cut while being checked.
std::string readWithin(int fd, std::uint64_t offset, std::size_t size,
                       const std::filesystem::path &path)
{
    std::string bytes = readAt(fd, offset, size, path);
    if (bytes.size() < size)
        throw RuntimeError("cannot read " + utf8FromPath(path) + ": it was cut while being read");
    return bytes;
}

/// offset + count × entryBytes, or kBeyondAnyFile when that does not fit.
std::uint64_t endOf(std::uint64_t offset, std::uint64_t count, std::uint64_t entryBytes)
{
    std::uint64_t bytes = 0;
    std::uint64_t end = 0;
    if (__builtin_mul_overflow(count, entryBytes, &bytes) ||
        __builtin_add_overflow(offset, bytes, &end) || end > kBeyondAnyFile)
        return kBeyondAnyFile;
    return end;
}

constexpr const char *kDamagedProgram = "the server sent a damaged program";

/// Section 0 of a program, where the counts too large for the ELF header are kept; nothing when
/// the file ends before it.
std::optional<Shdr> firstSection(int fd, const Ehdr &header, std::uint64_t size,
                                 const std::filesystem::path &path)
{
    if (endOf(header.e_shoff, 1, sizeof(Shdr)) > size)
        return std::nullopt;
    const std::string bytes = readWithin(fd, header.e_shoff, sizeof(Shdr), path);
    Shdr section{};
    std::memcpy(&section, bytes.data(), sizeof section);
    return section;
}

/// The furthest end of a segment's bytes in the file, over the program header table of phnum
/// entries, which lies within the file. Reads the table a chunk at a time.
std::uint64_t furthestSegmentEnd(int fd, const Ehdr &header, std::uint64_t phnum,
                                 const std::filesystem::path &path)
{
    const std::uint64_t entryBytes = header.e_phentsize;
    const std::uint64_t perChunk = std::max<std::uint64_t>(1, kTableChunkBytes / entryBytes);
    std::uint64_t furthest = 0;
    for (std::uint64_t first = 0; first < phnum; first += perChunk) {
        const std::uint64_t count = std::min(perChunk, phnum - first);
        const std::string chunk = readWithin(fd, header.e_phoff + first * entryBytes,
                                             static_cast<std::size_t>(count * entryBytes), path);
        for (std::uint64_t i = 0; i < count; ++i) {
            Phdr segment{};
            std::memcpy(&segment, chunk.data() + i * entryBytes, sizeof segment);
            // A null entry holds nothing, and a segment without file bytes (the stack's, the
            // zeroed data's) takes none from the file wherever it says it starts.
            if (segment.p_type != PT_NULL && segment.p_filesz != 0)
                furthest = std::max(furthest, endOf(segment.p_offset, 1, segment.p_filesz));
        }
    }
    return furthest;
}

/// "" when everything the headers of an ELF program of this machine place in the file (the
/// program header table, every segment's bytes, the section header table) lies within its size
/// bytes, else why not. A download cut short looks like a program from its first bytes on.
std::string elfExtentProblem(int fd, std::string_view head, std::uint64_t size,
                             const std::filesystem::path &path)
{
    if (head.size() < sizeof(Ehdr))
        return programcheck::incompleteProgram(sizeof(Ehdr), size);
    Ehdr header{};
    std::memcpy(&header, head.data(), sizeof header);
    std::uint64_t furthest = sizeof(Ehdr);
    std::uint64_t phnum = header.e_phnum;
    std::uint64_t shnum = header.e_shnum;
    bool countsKnown = true;
    if (header.e_shoff == 0) {
        if (header.e_phnum == PN_XNUM)
            return kDamagedProgram;
    } else {
        // Counts that do not fit the ELF header's 16 bits are kept in section 0.
        if (header.e_shnum == 0 || header.e_phnum == PN_XNUM) {
            if (header.e_shentsize < sizeof(Shdr))
                return kDamagedProgram;
            furthest = std::max(furthest, endOf(header.e_shoff, 1, sizeof(Shdr)));
            const auto first = firstSection(fd, header, size, path);
            countsKnown = first.has_value();
            if (first && header.e_shnum == 0)
                shnum = first->sh_size;
            if (first && header.e_phnum == PN_XNUM)
                phnum = first->sh_info;
        }
        if (countsKnown)
            furthest = std::max(furthest, endOf(header.e_shoff, shnum, header.e_shentsize));
    }
    // Counts lost with a section 0 past the end leave nothing more to learn: the file is short.
    if (countsKnown && phnum > 0) {
        if (header.e_phentsize < sizeof(Phdr))
            return kDamagedProgram;
        const std::uint64_t tableEnd = endOf(header.e_phoff, phnum, header.e_phentsize);
        furthest = std::max(furthest, tableEnd);
        if (tableEnd <= size)
            furthest = std::max(furthest, furthestSegmentEnd(fd, header, phnum, path));
    }
    return furthest > size ? programcheck::incompleteProgram(furthest, size) : std::string();
}

/// "" when an open file is a program this computer runs, else why not.
std::string formatProblem(int fd, std::uint64_t size, const std::filesystem::path &path)
{
    if (size == 0)
        return programcheck::emptyFile();
    const std::string head = readAt(fd, 0, programcheck::kSniffBytes, path);
    if (head.substr(0, 2) == "#!")
        return {};
    if (head.size() >= sizeof(Elf32_Ehdr) && head.substr(0, SELFMAG) == ELFMAG) {
        const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(head[at]); };
        // e_machine sits at the same offset in both classes, in the file's own byte order.
        constexpr std::size_t machineAt = offsetof(Elf32_Ehdr, e_machine);
        const int machine = byte(EI_DATA) == ELFDATA2LSB
                                ? byte(machineAt) | (byte(machineAt + 1) << 8)
                                : (byte(machineAt) << 8) | byte(machineAt + 1);
        if (byte(EI_CLASS) == kClass && byte(EI_DATA) == kData && machine == kMachine)
            return elfExtentProblem(fd, head, size, path);
    }
    return programcheck::foreignFile(head);
}

/// The bits a new program gets in the place of model.
mode_t modeAfter(const std::filesystem::path &model)
{
    struct stat info
    {};
    if (model.empty() || ::lstat(model.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0)
        return 0755;
    // Downloaded bytes never get setuid, setgid or sticky, whatever the old file had.
    return info.st_mode & 0777;
}

} // namespace

void prepareExecutable(const std::filesystem::path &path, const std::filesystem::path &model)
{
    const std::string shown = utf8FromPath(path);
    const qt::Descriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0)
        throw RuntimeError("cannot open " + shown + ": " + qt::systemErrorText(errno));
    struct stat info
    {};
    if (::fstat(file.get(), &info) != 0)
        throw RuntimeError("cannot look at " + shown + ": " + qt::systemErrorText(errno));
    if (!S_ISREG(info.st_mode))
        throw RuntimeError(ErrorKind::Refused, shown + " is not a regular file");
    const std::string problem =
        formatProblem(file.get(), static_cast<std::uint64_t>(info.st_size), path);
    if (!problem.empty())
        throw RuntimeError(ErrorKind::Refused, problem);
    if (::fchmod(file.get(), modeAfter(model)) != 0)
        throw RuntimeError("cannot set the permissions of " + shown + ": " +
                           qt::systemErrorText(errno));
    // The new bits must reach the disk before the name does, or a power loss could leave a
    // program in place that nobody may run.
    if (::fsync(file.get()) != 0)
        throw RuntimeError("cannot write " + shown + " to disk: " + qt::systemErrorText(errno));
}

bool isRunnableExecutable(const std::filesystem::path &path)
{
    const qt::Descriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info
    {};
    if (file.get() < 0 || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0)
        return false;
    try {
        return formatProblem(file.get(), static_cast<std::uint64_t>(info.st_size), path).empty();
    } catch (const std::exception &) {
        return false;
    }
}

} // namespace runtime
