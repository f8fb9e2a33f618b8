#pragma once

#include "runtime/Files.h"
#include "runtime/RuntimeError.h"
#include "runtime/Text.h"
#include "support/PlatformSupport.h"
#include "support/SystemSupport.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

// What the runtimes' program-check tests share: header structures read from and written into a
// copy of a program's bytes, the reason a program cut short is refused with, and the check of
// one row.
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

/// Writes bytes to file, runnable, and expects the program check to take it (reason "") or to
/// refuse it with a reason that contains reason; either way the file must count as runnable
/// exactly when it was taken, so that recovery after a kill prefers a whole backup.
inline void expectProgramCheck(const std::filesystem::path &file, const std::string &bytes,
                               const std::string &reason)
{
    writeFile(file, bytes);
    setMode(file, 0755);
    if (reason.empty()) {
        EXPECT_NO_THROW(runtime::prepareExecutable(file, {}));
        EXPECT_TRUE(runtime::isRunnableExecutable(file));
        return;
    }
    try {
        runtime::prepareExecutable(file, {});
        ADD_FAILURE() << "accepted";
    } catch (const runtime::RuntimeError &error) {
        EXPECT_EQ(error.kind(), runtime::ErrorKind::Refused);
        EXPECT_NE(std::string(error.what()).find(reason), std::string::npos) << error.what();
    }
    EXPECT_FALSE(runtime::isRunnableExecutable(file));
}

} // namespace support
