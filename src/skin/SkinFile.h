#pragma once

#include "Skin.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace skin {

/// The one failure of the skin format. what() is the reason in plain English, UTF-8, never
/// empty ("line 7: [title] height must be a whole number from 16 to 48").
class SkinError : public std::runtime_error
{
public:
    /// Any thread. Throws only std::bad_alloc.
    explicit SkinError(const std::string &reason) : std::runtime_error(reason) {}
};

/// Limits on what a skin file may hold; anything beyond them is refused before it is allocated.
struct Limits
{
    static constexpr std::size_t kMaxFileBytes = 1024 * 1024;
    static constexpr int kMaxImages = 8;
    static constexpr int kMaxImageWidth = 1024;
    static constexpr int kMaxImageHeight = 512;
    static constexpr int kMaxGradientStops = 8;
};

/// What a FileReader found at a path.
struct FileContents
{
    enum class State
    {
        Read,       // bytes holds up to the requested number of bytes of a regular file
        Missing,    // nothing there (a dangling link included)
        NotRegular, // a FIFO, device, socket or folder: refused without opening it
        Unreadable  // error holds the system's text ("Permission denied")
    };

    State state = State::Read;
    std::string bytes;
    std::string error;
};

/// Reads up to maxBytes of the regular file at path without blocking on what is not one. Called
/// on readSkinFile's thread; may throw std::bad_alloc, nothing else.
using FileReader =
    std::function<FileContents(const std::filesystem::path &path, std::size_t maxBytes)>;

/// Any thread. Reads a skin from the bytes of a skin file. Throws SkinError with the reason for
/// anything malformed or beyond Limits, for an image carrying PNG chunks other than those needed
/// to draw it, and when memory runs out (never std::bad_alloc); never reads past the data and
/// allocates only within those limits. Images are checked, not decoded: a PNG whose pixels turn
/// out damaged is the painter's to refuse.
Skin parseSkin(std::string_view data);

/// Any thread. The reader readSkinFile uses unless given another, in standard C++ only: it asks
/// the file system what is at path and opens only a regular file. Between that look and the
/// open, a FIFO put in the file's place would block the open until a writer comes; a runtime
/// that can open without blocking and check the opened file closes that gap by passing its own
/// FileReader. May throw std::bad_alloc, nothing else.
FileContents readRegularFile(const std::filesystem::path &path, std::size_t maxBytes);

/// Any thread. Reads and parses the skin file at path through read, asking for no more than one
/// byte past the size limit. Throws SkinError naming the file when it is missing, not a regular
/// file, unreadable, larger than the limit or malformed, and when memory runs out.
Skin readSkinFile(const std::filesystem::path &path, const FileReader &read);

/// Any thread. readSkinFile(path, readRegularFile), with that reader's gap. Throws SkinError as
/// the overload with a reader does.
Skin readSkinFile(const std::filesystem::path &path);

} // namespace skin
