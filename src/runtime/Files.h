#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace runtime {

/// What a name in the file system stands for, seen without following a symbolic link.
enum class FileKind
{
    Missing,
    Regular,
    Directory,
    SymbolicLink,
    Other
};

/// Any thread. What path names, without following a final symbolic link. A name that leads to a
/// file somewhere else by any kind of link the platform has (a symbolic link, a junction, a
/// Unix link seen through Wine) is a SymbolicLink. Throws RuntimeError when it cannot be told
/// (a folder on the way that cannot be searched, an I/O error).
FileKind fileKind(const std::filesystem::path &path);

/// Any thread. Whether anything exists at path, dangling links included. Never throws.
bool pathExists(const std::filesystem::path &path);

/// Any thread. Deletes a file. Throws RuntimeError (NotFound when it is missing).
void deleteFile(const std::filesystem::path &path);

/// Any thread. Moves the file at from to to with one atomic rename that never replaces an
/// existing file and never falls back to a copy. The new name is not yet durable: syncFolder
/// makes it so. Throws RuntimeError (Exists when to exists, NotFound when from is missing;
/// Failed across file systems or in a folder that cannot be written); nothing has moved then.
void renameNoReplace(const std::filesystem::path &from, const std::filesystem::path &to);

/// Any thread. Moves the file at from to to with one atomic rename that replaces the file at to,
/// if any, so that to never goes missing; never falls back to a copy. The new name is not yet
/// durable: syncFolder makes it so. Throws RuntimeError (NotFound when from is missing, Busy when
/// another program holds to open or runs it so that it cannot be replaced now, Failed across file
/// systems, onto a folder or in a folder that cannot be written); nothing has moved then.
void replaceFile(const std::filesystem::path &from, const std::filesystem::path &to);

/// Any thread. Gives the file at from a second name, to, in the same folder, replacing nothing:
/// both names then stand for the same data, and removing either leaves the other. Returns false,
/// having changed nothing, where the file system has no such links (FAT). Throws RuntimeError
/// (Exists when to exists, NotFound when from is missing, Busy when another program holds from
/// open so that it could not be replaced now, Failed otherwise).
bool linkFile(const std::filesystem::path &from, const std::filesystem::path &to);

/// Any thread. Swaps the files named a and b in one atomic step, so that neither name is ever
/// missing. Returns false, having changed nothing, where the file system cannot swap names.
/// Throws RuntimeError when either is missing or the folder cannot be written.
bool exchangeFiles(const std::filesystem::path &a, const std::filesystem::path &b);

/// Any thread. Flushes a folder's entries (names) to disk. Throws RuntimeError on failure.
void syncFolder(const std::filesystem::path &folder);

/// Any thread. The names of the entries of a folder (not "." or ".."), hidden ones included, in
/// no particular order. Throws RuntimeError when the folder cannot be read.
std::vector<std::string> folderEntries(const std::filesystem::path &folder);

/// Any thread. The bytes of a regular file of at most maxBytes. Never blocks on a FIFO or a
/// device: anything but a regular file is refused before a byte is read. Throws RuntimeError:
/// NotFound when it is missing, Refused when it is not a regular file or holds more than
/// maxBytes, Failed when it cannot be read.
std::string readRegularFile(const std::filesystem::path &path, std::size_t maxBytes);

/// Any thread. Creates the file at path, which must not exist, with bytes, and flushes it to
/// the disk before returning, so that a name given to it later never stands for a file that is
/// not whole. Throws RuntimeError (Exists when path exists; Failed when it cannot be written,
/// the partial file removed).
void writeNewFile(const std::filesystem::path &path, std::string_view bytes);

/// Any thread. The folder part of a path as text ("" for a bare name), for paths formed by
/// plain concatenation. Never throws beyond std::bad_alloc.
std::string folderOf(const std::string &path);

/// Any thread. A path from UTF-8 text, and back. Never throw beyond std::bad_alloc.
std::filesystem::path pathFromUtf8(const std::string &text);
std::string utf8FromPath(const std::filesystem::path &path);

/// Any thread. Makes the downloaded file at path ready to take the place of the program at
/// model: checks that it is a non-empty regular file in this computer's program format (on
/// Linux an ELF executable of this machine or a "#!" script) that holds everything its own
/// headers describe (a program cut short is refused), gives it model's permission bits
/// without setuid, setgid or sticky (0755 when model is missing or executable by nobody; where
/// the platform has no such bits, nothing) and flushes it to disk, all through one descriptor,
/// so that nothing can stand in for the file between the check and the change. Throws
/// RuntimeError (Refused, with a reason for people: "the server sent an HTML page, not a
/// program") when the file is refused, Failed when it cannot be changed; it is left where it is.
void prepareExecutable(const std::filesystem::path &path, const std::filesystem::path &model);

/// Any thread. Whether path names a program that could be started: a regular file (not a link),
/// not empty, executable by someone, in this computer's program format and whole by its own
/// headers. Never throws.
bool isRunnableExecutable(const std::filesystem::path &path);

/// An exclusive lock on a lock file, so that only one process at a time works in a folder. The
/// lock lasts while the object does and ends with the process however it ends; the lock file
/// is removed when the object goes, and when the process ends through exit().
class FolderLock
{
public:
    /// UI thread. Removes the lock file, then gives up the lock. Never throws.
    virtual ~FolderLock() = default;
};

/// UI thread. Takes the lock file at path, creating it, without waiting. Returns nullptr when
/// another process holds it. Throws RuntimeError when the file cannot be created or locked (a
/// folder that cannot be written, a lock file that is not a regular file).
std::unique_ptr<FolderLock> tryLockFolder(const std::filesystem::path &path);

} // namespace runtime
