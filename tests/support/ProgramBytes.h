#pragma once

#include "runtime/Text.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// What the runtimes' program-check tests share: header structures read from and written into a
// copy of a program's bytes, and the reason a program cut short is refused with.
namespace support {

/// A structure of the platform's program format, read from bytes at offset at.
template <typename Struct> Struct structAt(const std::string &bytes, std::size_t at)
{
    Struct value{};
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

/// bytes with value written over them at offset at.
template <typename Struct> std::string with(std::string bytes, std::size_t at, const Struct &value)
{
    std::memcpy(bytes.data() + at, &value, sizeof value);
    return bytes;
}

/// The reason a program whose headers describe more bytes than the file has is refused with.
inline std::string incompleteProgram(std::uint64_t described, std::uint64_t has)
{
    return "the server sent an incomplete program: its headers describe " +
           runtime::groupedCount(static_cast<std::int64_t>(described)) +
           " bytes, but the file has " + runtime::groupedCount(static_cast<std::int64_t>(has));
}

} // namespace support
