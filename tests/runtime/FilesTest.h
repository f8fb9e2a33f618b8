#pragma once

#include <filesystem>
#include <string>
#include <vector>

// What the shared files cases (runtime/FilesTest.cpp) lend each runtime's own.
namespace filestest {

/// A file downloaded in the place of a program, and what preparing it must say.
struct Judged
{
    const char *what;
    std::string bytes;
    const char *reason; // "" when it is accepted as a program
};

/// UI thread. Writes each file's bytes to fresh and prepares it as a program with no old one:
/// an accepted file runs; a refused one is refused (Refused) for its reason and left byte for
/// byte, not runnable.
void expectJudged(const std::filesystem::path &fresh, const std::vector<Judged> &files);

} // namespace filestest
