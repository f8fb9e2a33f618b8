#include "ProgramCheck.h"

#include "Text.h"

namespace runtime::programcheck {

namespace {

// An error page served in place of the file is the likeliest wrong download; it is told apart
// from any other file so that the person reading the reason knows where to look.
bool looksLikeHtml(std::string_view head)
{
    if (head.substr(0, 3) == "\xEF\xBB\xBF")
        head.remove_prefix(3);
    const auto start = head.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos || head[start] != '<')
        return false;
    const std::string lower = asciiLower(head.substr(start));
    for (const char *mark : {"<!doctype html", "<html", "<head", "<body", "<title", "<meta"}) {
        if (lower.find(mark) != std::string::npos)
            return true;
    }
    return false;
}

} // namespace

std::string emptyFile()
{
    return "the server sent an empty file";
}

std::string incompleteProgram(std::uint64_t described, std::uint64_t size)
{
    return "the server sent an incomplete program: its headers describe " +
           groupedCount(static_cast<std::int64_t>(described)) + " bytes, but the file has " +
           groupedCount(static_cast<std::int64_t>(size));
}

std::string foreignFile(std::string_view head)
{
    // 52 bytes: the smallest ELF header; anything shorter is no program of any computer.
    if (head.size() >= 52 && head.substr(0, 4) == "\x7F"
                                                  "ELF")
        return "the server sent a program for another kind of computer";
    if (head.substr(0, 2) == "MZ")
        return "the server sent a Windows program, which cannot run here";
    if (looksLikeHtml(head))
        return "the server sent an HTML page, not a program";
    return "the server sent a file that is not a program";
}

} // namespace runtime::programcheck
