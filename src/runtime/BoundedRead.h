#pragma once

#include "RuntimeError.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <string>

// How every runtime reads a whole file under a limit: its buffer sized from what the file said
// it holds and grown only as far as one byte past the limit, which tells a file too large even
// when it grew after it was looked at.
namespace runtime::boundedread {

/// Any thread. The bytes that readSome(char *into, std::size_t room) -> bytes read (0 at the
/// end; it throws its own RuntimeError) gives, of a file that said it holds size bytes, shown
/// by name in the sentences. Throws RuntimeError: Refused when there are more than maxBytes,
/// Failed when memory runs out.
template <class ReadSome>
std::string readUpTo(const std::string &name, std::uint64_t size, std::size_t maxBytes,
                     ReadSome &&readSome)
{
    const std::size_t cap =
        maxBytes == std::numeric_limits<std::size_t>::max() ? maxBytes : maxBytes + 1;
    std::string bytes;
    try {
        bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(cap, size + 1)));
        std::size_t filled = 0;
        for (;;) {
            if (filled == bytes.size()) {
                if (filled >= cap)
                    break;
                bytes.resize(std::min(cap, std::max<std::size_t>(1, bytes.size() * 2)));
            }
            const std::size_t got = readSome(bytes.data() + filled, bytes.size() - filled);
            if (got == 0)
                break;
            filled += got;
        }
        bytes.resize(filled);
    } catch (const std::bad_alloc &) {
        throw RuntimeError(ErrorKind::Failed, "there is not enough memory to read " + name);
    }
    if (bytes.size() > maxBytes)
        throw RuntimeError(ErrorKind::Refused,
                           name + " is larger than " + std::to_string(maxBytes) + " bytes");
    return bytes;
}

} // namespace runtime::boundedread
