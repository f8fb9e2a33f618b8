#include "SupportLog.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <system_error>

namespace runtime::supportlog {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kRunMarker = "==== run";
constexpr std::string_view kEndMarker = "==== end";
constexpr std::string_view kFullNotice = "(further lines of this run left out: the log is full)";
// "2026-12-08T15:04:05.123Z", then one space: where a line's text starts.
constexpr std::size_t kTextStart = 25;
// A caller's text is cut here, so that the room kept for a run's end line is known.
constexpr std::size_t kTextMost = 1024;
// The longest end line: a text may gain one space (oneLine), and the marker is followed by one.
constexpr std::size_t kEndLineMost = kTextStart + kEndMarker.size() + 1 + kTextMost + 2;
// What a run keeps free for its end: the notice that lines were left out, and the end line.
constexpr std::size_t kReserve = kTextStart + kFullNotice.size() + 1 + kEndLineMost;

std::string timestamp()
{
    using namespace std::chrono;
    const auto now = floor<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss time{now - day};
    char text[40];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

/// text as one line: control characters (C0, DEL, C1, and the Unicode line and paragraph
/// separators) become spaces, and it is cut at kTextMost bytes on a character's boundary.
std::string oneLine(std::string_view text)
{
    std::string line;
    for (std::size_t at = 0; at < text.size() && line.size() <= kTextMost; ++at) {
        const auto byte = static_cast<unsigned char>(text[at]);
        const auto next = [&](std::size_t ahead) {
            return at + ahead < text.size() ? static_cast<unsigned char>(text[at + ahead]) : 0U;
        };
        if (byte < 0x20 || byte == 0x7F) {
            line += ' ';
        } else if (byte == 0xC2 && next(1) >= 0x80 && next(1) <= 0x9F) {
            line += ' ';
            at += 1;
        } else if (byte == 0xE2 && next(1) == 0x80 && (next(2) == 0xA8 || next(2) == 0xA9)) {
            line += ' ';
            at += 2;
        } else {
            line += static_cast<char>(byte);
        }
    }
    if (line.size() > kTextMost) {
        std::size_t end = kTextMost;
        while (end > 0 && (static_cast<unsigned char>(line[end]) & 0xC0) == 0x80)
            --end;
        line.resize(end);
    }
    // A caller's text never reads as a marker, which would split its run when the file is
    // trimmed.
    if (line.starts_with("===="))
        line.insert(0, 1, ' ');
    return line;
}

std::string entry(std::string_view marker, std::string_view text)
{
    std::string line = timestamp();
    line += ' ';
    line += marker;
    if (!marker.empty() && !text.empty())
        line += ' ';
    line += text;
    line += '\n';
    return line;
}

bool isRunMarker(std::string_view bytes, std::size_t at)
{
    const std::string_view line = bytes.substr(at);
    return line.size() >= kTextStart + kRunMarker.size() && line[kTextStart - 2] == 'Z' &&
           line[kTextStart - 1] == ' ' && line.substr(kTextStart).starts_with(kRunMarker);
}

bool append(const fs::path &file, std::string_view bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::app);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    return static_cast<bool>(out);
}

/// Replaces file's bytes through a temporary file beside it, renamed over it, so that the file
/// is whole whenever the program ends. The temporary's name is fixed: a crash's leftover is
/// overwritten by the next trim rather than piling up.
bool replace(const fs::path &file, std::string_view bytes)
{
    fs::path temporary = file;
    temporary += ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            return false;
        }
    }
    std::error_code error;
    fs::rename(temporary, file, error);
    if (error) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return false;
    }
    return true;
}

struct Contents
{
    std::string bytes;
    // Whether bytes begin at the file's start, rather than within a line.
    bool whole = true;
};

/// The file's last kLimit bytes at most (a larger file is not one this log wrote whole); an
/// empty Contents for a missing file, none when it cannot be read.
std::optional<Contents> readContents(const fs::path &file)
{
    std::error_code error;
    const std::uintmax_t size = fs::file_size(file, error);
    if (error) {
        const bool missing = !fs::exists(file, error) && !error;
        return missing ? std::optional<Contents>(Contents{}) : std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    const std::uintmax_t from = size > kLimit ? size - kLimit : 0;
    in.seekg(static_cast<std::streamoff>(from));
    Contents contents{std::string(static_cast<std::size_t>(size - from), '\0'), from == 0};
    in.read(contents.bytes.data(), static_cast<std::streamsize>(contents.bytes.size()));
    contents.bytes.resize(static_cast<std::size_t>(in.gcount()));
    return contents;
}

/// Where contents should start so that needed more bytes fit within kLimit: the earliest run
/// marker that leaves room, and never past keepFrom, where the bytes that must stay begin.
std::size_t keptFrom(const Contents &contents, std::size_t keepFrom, std::size_t needed)
{
    const std::string_view bytes = contents.bytes;
    std::size_t at = 0;
    if (!contents.whole) {
        const std::size_t newline = bytes.find('\n');
        at = newline == std::string_view::npos ? keepFrom : newline + 1;
    }
    while (at < keepFrom) {
        if (isRunMarker(bytes, at) && bytes.size() - at + needed <= kLimit)
            return at;
        const std::size_t newline = bytes.find('\n', at);
        if (newline == std::string_view::npos)
            break;
        at = newline + 1;
    }
    return keepFrom;
}

class Log
{
public:
    void begin(const fs::path &given, std::string_view firstLine)
    {
        const std::lock_guard lock(m_mutex);
        m_file = m_testFile.empty() ? given : m_testFile;
        m_inRun = !m_file.empty();
        m_full = false;
        m_runBytes = 0;
        if (!m_inRun)
            return;
        std::error_code ignored;
        if (m_file.has_parent_path())
            fs::create_directories(m_file.parent_path(), ignored);
        const std::string marker = entry(kRunMarker, oneLine(firstLine));
        // A file that cannot be read cannot be trimmed either, and is not thrown away unseen.
        const std::optional<Contents> contents = readContents(m_file);
        // Anything before the first marker is no run of this log, and goes with the oldest.
        const std::size_t from =
            contents ? keptFrom(*contents, contents->bytes.size(), marker.size() + kReserve) : 0;
        const bool written = from == 0 ? append(m_file, marker)
                                       : replace(m_file, contents->bytes.substr(from) + marker);
        // Without its marker the run's lines would join the run before it: a run that cannot
        // start logs nothing.
        m_inRun = written;
        if (written)
            m_runBytes = marker.size();
    }

    void add(std::string_view text)
    {
        const std::lock_guard lock(m_mutex);
        if (!m_inRun || m_full)
            return;
        std::string line = entry({}, oneLine(text));
        if (m_runBytes + line.size() + kReserve > kLimit) {
            m_full = true;
            line = entry({}, kFullNotice);
        }
        // Room for the line and what the run's end may still need: the notice and the end line
        // after a detail line, the end line after the notice (the two make kReserve). A line
        // there is no room for, the file could not be trimmed, is left out.
        const std::size_t needed = m_full ? kReserve : line.size() + kReserve;
        if (makeRoom(needed) && append(m_file, line))
            m_runBytes += line.size();
    }

    void end(std::string_view text)
    {
        const std::lock_guard lock(m_mutex);
        if (!m_inRun)
            return;
        m_inRun = false;
        const std::string line = entry(kEndMarker, oneLine(text));
        // Written even where no room could be made: a run's end is what the desk looks for.
        makeRoom(line.size());
        append(m_file, line);
    }

    void setTestFile(fs::path file)
    {
        const std::lock_guard lock(m_mutex);
        m_testFile = std::move(file);
    }

private:
    /// Whether needed more bytes fit within kLimit, once older runs are dropped from the front
    /// as need be; the current run, the file's last m_runBytes bytes, always stays.
    bool makeRoom(std::size_t needed)
    {
        std::error_code error;
        const std::uintmax_t size = fs::file_size(m_file, error);
        if (error || size + needed <= kLimit)
            return true;
        const std::optional<Contents> contents = readContents(m_file);
        if (!contents)
            return false;
        const std::size_t total = contents->bytes.size();
        const std::size_t from = keptFrom(*contents, total - std::min(m_runBytes, total), needed);
        if (from > 0 && !replace(m_file, std::string_view(contents->bytes).substr(from)))
            return false;
        return total - from + needed <= kLimit;
    }

    std::mutex m_mutex;
    fs::path m_testFile;
    fs::path m_file;
    bool m_inRun = false;
    bool m_full = false;
    std::size_t m_runBytes = 0;
};

Log &theLog()
{
    // Never destroyed: a worker thread may still log while the program exits.
    static Log *const log = new Log;
    return *log;
}

/// Whether text is a URL scheme: an ASCII letter, then letters, digits, "+", "-" or ".".
bool isScheme(std::string_view text)
{
    const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (text.empty() || !letter(text.front()))
        return false;
    return std::all_of(text.begin(), text.end(), [&](char c) {
        return letter(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
    });
}

} // namespace

void beginRun(const fs::path &logFile, std::string_view firstLine) noexcept
{
    try {
        theLog().begin(logFile, firstLine);
    } catch (...) {
        // The log never sways the run.
    }
}

void line(std::string_view text) noexcept
{
    try {
        theLog().add(text);
    } catch (...) {
    }
}

void endRun(std::string_view text) noexcept
{
    try {
        theLog().end(text);
    } catch (...) {
    }
}

std::string withoutCredentials(std::string_view url) noexcept
{
    try {
        std::size_t authority = std::string_view::npos;
        if (const std::size_t colon = url.find("://");
            colon != std::string_view::npos && isScheme(url.substr(0, colon)))
            authority = colon + 3;
        else if (url.starts_with("//"))
            authority = 2;
        if (authority == std::string_view::npos)
            return std::string(url);
        // Where the authority ends; a backslash ends it too, as browsers read one.
        const std::size_t end = std::min(url.find_first_of("/?#\\", authority), url.size());
        const std::size_t at = url.substr(authority, end - authority).rfind('@');
        if (at == std::string_view::npos)
            return std::string(url);
        std::string plain(url.substr(0, authority));
        plain += url.substr(authority + at + 1);
        return plain;
    } catch (...) {
        return {};
    }
}

void setLogFileForTesting(fs::path file) noexcept
{
    try {
        theLog().setTestFile(std::move(file));
    } catch (...) {
    }
}

} // namespace runtime::supportlog
