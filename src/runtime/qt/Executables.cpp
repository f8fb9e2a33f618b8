#include "Descriptor.h"
#include "SystemError.h"
#include "runtime/Files.h"
#include "runtime/RuntimeError.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
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

// Enough of a file to tell a program from a web page.
constexpr std::size_t kSniffBytes = 1024;

std::string lowerCase(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

bool looksLikeHtml(std::string_view head)
{
    if (head.substr(0, 3) == "\xEF\xBB\xBF")
        head.remove_prefix(3);
    const auto start = head.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos || head[start] != '<')
        return false;
    const std::string lower = lowerCase(head.substr(start));
    for (const char *mark : {"<!doctype html", "<html", "<head", "<body", "<title", "<meta"}) {
        if (lower.find(mark) != std::string::npos)
            return true;
    }
    return false;
}

/// "" when the first bytes of a file are a program this computer runs, else why not.
std::string formatProblem(std::string_view head, std::int64_t size)
{
    if (size == 0)
        return std::string("the server sent an empty file");
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
            return {};
        return std::string("the server sent a program for another kind of computer");
    }
    if (head.substr(0, 2) == "MZ")
        return std::string("the server sent a Windows program, which cannot run here");
    if (looksLikeHtml(head))
        return std::string("the server sent an HTML page, not a program");
    return std::string("the server sent a file that is not a program");
}

/// Reads the first bytes of an open file from its start.
std::string readHead(int fd, const std::filesystem::path &path)
{
    std::string head(kSniffBytes, '\0');
    std::size_t filled = 0;
    while (filled < head.size()) {
        const ssize_t got =
            ::pread(fd, head.data() + filled, head.size() - filled, static_cast<off_t>(filled));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw RuntimeError("cannot read " + utf8FromPath(path) + ": " +
                               qt::systemErrorText(errno));
        if (got == 0)
            break;
        filled += static_cast<std::size_t>(got);
    }
    head.resize(filled);
    return head;
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
    const std::string problem = formatProblem(readHead(file.get(), path), info.st_size);
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
        return formatProblem(readHead(file.get(), path), info.st_size).empty();
    } catch (const std::exception &) {
        return false;
    }
}

} // namespace runtime
