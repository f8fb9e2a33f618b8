#include "SkinFile.h"

#include "Encoding.h"
#include "Png.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <new>
#include <optional>
#include <system_error>
#include <vector>

namespace skin {

namespace {

struct Entry
{
    std::string value;
    int line = 0;
};

using Section = std::map<std::string, Entry, std::less<>>;

[[noreturn]] void refuse(const std::string &reason)
{
    throw SkinError(reason);
}

[[noreturn]] void refuseAt(int line, const std::string &reason)
{
    refuse("line " + std::to_string(line) + ": " + reason);
}

std::string inQuotes(std::string_view text)
{
    // Built in place: GCC 12 warns falsely (-Wrestrict) about "'" + std::string at -O3.
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '\'';
    quoted += text;
    quoted += '\'';
    return quoted;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isHexDigit(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool isSectionChar(char c)
{
    return (c >= 'a' && c <= 'z') || c == '-';
}

bool isNameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c) || c == '_' || c == '-';
}

// How many characters from at on satisfy accept.
template <typename Predicate>
std::size_t spanOf(std::string_view text, std::size_t at, Predicate accept)
{
    const auto begin = text.begin() + static_cast<std::ptrdiff_t>(std::min(at, text.size()));
    return static_cast<std::size_t>(std::find_if_not(begin, text.end(), accept) - begin);
}

bool isNumber(std::string_view text, std::size_t maxDigits)
{
    return !text.empty() && text.size() <= maxDigits && spanOf(text, 0, isDigit) == text.size();
}

// A digit run with an optional fraction, "d(.d{1,maxFraction})?" with 1 to maxWhole digits.
bool isDecimal(std::string_view text, std::size_t maxWhole, std::size_t maxFraction)
{
    const std::size_t whole = spanOf(text, 0, isDigit);
    if (whole == 0 || whole > maxWhole)
        return false;
    if (whole == text.size())
        return true;
    const std::string_view fraction = text.substr(whole + 1);
    return text[whole] == '.' && isNumber(fraction, maxFraction);
}

// from_chars rather than strtod: a runtime may set a locale whose decimal point is a comma.
double toDouble(std::string_view text)
{
    double value = 0.0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

int toInt(std::string_view text)
{
    int value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

std::size_t count(std::string_view text, char c)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), c));
}

std::vector<std::string_view> splitOn(std::string_view text, char separator)
{
    std::vector<std::string_view> pieces;
    for (std::size_t at = 0;;) {
        const std::size_t end = text.find(separator, at);
        pieces.push_back(text.substr(at, end == std::string_view::npos ? end : end - at));
        if (end == std::string_view::npos)
            return pieces;
        at = end + 1;
    }
}

std::optional<Color> parseColor(std::string_view text)
{
    if ((text.size() != 7 && text.size() != 9) || text.front() != '#' ||
        spanOf(text, 1, isHexDigit) != text.size() - 1)
        return std::nullopt;
    const auto channel = [text](std::size_t n) {
        int value = 0;
        std::from_chars(text.data() + 1 + 2 * n, text.data() + 3 + 2 * n, value, 16);
        return static_cast<std::uint8_t>(value);
    };
    return Color{channel(0), channel(1), channel(2),
                 text.size() == 9 ? channel(3) : std::uint8_t{255}};
}

constexpr std::array<std::string_view, 8> kKnownSections{"skin",   "frame", "title", "close-button",
                                                         "client", "panel", "label", "progress"};

// The text, split into its sections. Image sections are kept apart under their names.
struct Document
{
    std::map<std::string, Section, std::less<>> sections;
    std::map<std::string, Section, std::less<>> images;
    std::map<std::string, int, std::less<>> imageLines;
};

void checkCharacters(std::string_view data)
{
    int line = 1;
    for (std::size_t at = 0; at < data.size(); ++at) {
        // Eight bytes at a time while none is below 0x20 (line feeds included), which is most
        // of a file; the test is exact for any byte value.
        std::uint64_t word = 0;
        while (data.size() - at >= sizeof word) {
            std::memcpy(&word, data.data() + at, sizeof word);
            constexpr std::uint64_t kOnes = 0x0101010101010101U;
            if (((word - kOnes * 0x20) & ~word & kOnes * 0x80) != 0)
                break;
            at += sizeof word;
        }
        if (at == data.size())
            break;
        const auto byte = static_cast<unsigned char>(data[at]);
        if (byte == '\n')
            ++line;
        else if (byte < 0x20 && byte != '\t' && byte != '\r')
            refuseAt(line, "the file holds a control character (code " + std::to_string(byte) +
                               "); a skin file is plain text");
    }
}

struct Version
{
    std::string_view major;
    std::string_view minor;
};

// "refitor-skin", blanks, then major.minor of one to four digits each.
std::optional<Version> parseVersion(std::string_view line)
{
    constexpr std::string_view kMagic = "refitor-skin";
    if (line.substr(0, kMagic.size()) != kMagic)
        return std::nullopt;
    const std::size_t blanks = spanOf(line, kMagic.size(), isBlank);
    const std::string_view number = line.substr(kMagic.size() + blanks);
    const std::size_t dot = number.find('.');
    if (blanks == 0 || dot == std::string_view::npos || !isNumber(number.substr(0, dot), 4) ||
        !isNumber(number.substr(dot + 1), 4))
        return std::nullopt;
    return Version{number.substr(0, dot), number.substr(dot + 1)};
}

struct Header
{
    std::string_view name;
    std::string_view argument; // empty when there is none
};

// "[name]" or "[name ARGUMENT]": name of 1 to 32 of a-z and '-', ARGUMENT of 1 to 32 letters,
// digits, '-' and '_' after blanks.
std::optional<Header> parseHeader(std::string_view line)
{
    if (line.size() < 2 || line.front() != '[' || line.back() != ']')
        return std::nullopt;
    const std::string_view inside = line.substr(1, line.size() - 2);
    const std::size_t nameLength = spanOf(inside, 0, isSectionChar);
    if (nameLength == 0 || nameLength > 32)
        return std::nullopt;
    Header header{inside.substr(0, nameLength), {}};
    if (nameLength == inside.size())
        return header;
    const std::size_t blanks = spanOf(inside, nameLength, isBlank);
    header.argument = inside.substr(nameLength + blanks);
    if (blanks == 0 || header.argument.empty() || header.argument.size() > 32 ||
        spanOf(header.argument, 0, isNameChar) != header.argument.size())
        return std::nullopt;
    return header;
}

struct Setting
{
    std::string_view key;
    std::string_view value; // untrimmed
};

// "key = value" with a key of 1 to 48 letters, digits, '-' and '_'.
std::optional<Setting> parseSetting(std::string_view line)
{
    const std::size_t keyLength = spanOf(line, 0, isNameChar);
    if (keyLength == 0 || keyLength > 48)
        return std::nullopt;
    const std::size_t equals = keyLength + spanOf(line, keyLength, isBlank);
    if (equals >= line.size() || line[equals] != '=')
        return std::nullopt;
    return Setting{line.substr(0, keyLength), line.substr(equals + 1)};
}

std::string lowered(std::string_view text)
{
    std::string result(text);
    for (char &c : result)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return result;
}

Document split(std::string_view text)
{
    std::size_t end = text.find('\n');
    const std::string_view first = trimmed(text.substr(0, end));
    const std::optional<Version> version = parseVersion(first);
    if (!version)
        refuseAt(1, "a skin file begins with the line 'refitor-skin 1.0'");
    if (toInt(version->major) != 1)
        refuseAt(1, "format version " + std::string(version->major) + "." +
                        std::string(version->minor) +
                        " is not one this engine reads (it reads 1.x)");

    Document doc;
    Section *current = nullptr;
    bool inSection = false;
    Entry *lastEntry = nullptr;
    for (int lineNumber = 2; end != std::string_view::npos; ++lineNumber) {
        const std::size_t begin = end + 1;
        end = text.find('\n', begin);
        std::string_view raw =
            text.substr(begin, end == std::string_view::npos ? end : end - begin);
        if (!raw.empty() && raw.back() == '\r')
            raw.remove_suffix(1);
        const std::string_view line = trimmed(raw);
        if (line.empty() || line.front() == '#' || line.front() == ';')
            continue;
        if (startsWithSpace(raw)) {
            // An indented line continues the value above it (long image data).
            if (lastEntry == nullptr)
                refuseAt(lineNumber, "an indented line continues no setting");
            lastEntry->value += line;
            continue;
        }
        lastEntry = nullptr;
        if (line.front() == '[') {
            const std::optional<Header> header = parseHeader(line);
            if (!header)
                refuseAt(lineNumber, "a section header is written [name] or [image NAME]");
            inSection = true;
            if (header->name == "image") {
                if (header->argument.empty())
                    refuseAt(lineNumber, "an [image] section needs a name");
                if (doc.images.find(header->argument) != doc.images.end())
                    refuseAt(lineNumber,
                             "the image " + inQuotes(header->argument) + " is defined twice");
                if (doc.images.size() >= Limits::kMaxImages)
                    refuseAt(lineNumber, "a skin holds at most " +
                                             std::to_string(Limits::kMaxImages) + " images");
                const std::string name(header->argument);
                current = &doc.images[name];
                doc.imageLines[name] = lineNumber;
            } else if (std::find(kKnownSections.begin(), kKnownSections.end(), header->name) !=
                           kKnownSections.end() &&
                       header->argument.empty()) {
                if (doc.sections.find(header->name) != doc.sections.end())
                    refuseAt(lineNumber,
                             "the section [" + std::string(header->name) + "] appears twice");
                current = &doc.sections[std::string(header->name)];
            } else {
                current = nullptr; // a section of a newer format: its settings are skipped
            }
            continue;
        }
        const std::optional<Setting> setting = parseSetting(line);
        if (!setting)
            refuseAt(lineNumber, "expected a setting written 'key = value'");
        if (!inSection)
            refuseAt(lineNumber, "a setting comes before any [section]");
        if (current == nullptr)
            continue;
        const std::string key = lowered(setting->key);
        if (current->find(key) != current->end())
            refuseAt(lineNumber, "the setting " + inQuotes(key) + " is given twice in its section");
        lastEntry = &(*current)[key];
        *lastEntry = Entry{std::string(trimmed(setting->value)), lineNumber};
    }
    return doc;
}

// Reads the values of one section, each checked against what it may hold.
class SectionReader
{
public:
    SectionReader(const Document &doc, std::string_view name) : m_doc(doc), m_name(name)
    {
        const auto it = doc.sections.find(name);
        m_section = it == doc.sections.end() ? nullptr : &it->second;
    }

    bool has(std::string_view key) const { return find(key) != nullptr; }

    std::string text(std::string_view key, const std::string &fallback,
                     std::size_t maxLength = 200) const
    {
        const Entry *entry = find(key);
        if (entry == nullptr)
            return fallback;
        if (utf16Length(entry->value) > maxLength)
            fail(*entry, key, "is longer than " + std::to_string(maxLength) + " characters");
        return entry->value;
    }

    int number(std::string_view key, int fallback, int min, int max) const
    {
        const Entry *entry = find(key);
        if (entry == nullptr)
            return fallback;
        const bool digits = isNumber(entry->value, 6);
        const int value = digits ? toInt(entry->value) : 0;
        if (!digits || value < min || value > max)
            fail(*entry, key,
                 "must be a whole number from " + std::to_string(min) + " to " +
                     std::to_string(max));
        return value;
    }

    Color color(std::string_view key, Color fallback) const
    {
        const Entry *entry = find(key);
        if (entry == nullptr)
            return fallback;
        const std::optional<Color> color = parseColor(entry->value);
        if (!color)
            fail(*entry, key, "must be a colour #rrggbb or #rrggbbaa");
        return *color;
    }

    std::optional<Color> optionalColor(std::string_view key, std::optional<Color> fallback) const
    {
        const Entry *entry = find(key);
        if (entry == nullptr)
            return fallback;
        if (entry->value == "none")
            return std::nullopt;
        const std::optional<Color> color = parseColor(entry->value);
        if (!color)
            fail(*entry, key, "must be a colour #rrggbb or #rrggbbaa, or none");
        return color;
    }

    // "#c1, #c2, ..." spaced evenly, or "#c1 0, #c2 0.4, #c3 1"; "none" for no fill.
    Fill fill(std::string_view key, const Fill &fallback) const
    {
        const Entry *entry = find(key);
        if (entry == nullptr)
            return fallback;
        if (entry->value == "none")
            return {};
        // Counted before splitting, so a line of commas costs no list of its pieces.
        if (count(entry->value, ',') >= Limits::kMaxGradientStops)
            fail(*entry, key,
                 "has more than " + std::to_string(Limits::kMaxGradientStops) + " colours");
        const std::vector<std::string_view> pieces = splitOn(entry->value, ',');
        Fill result;
        std::size_t positioned = 0;
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            const std::string_view piece = trimmed(pieces[i]);
            std::optional<Color> color;
            std::string_view position;
            if (!piece.empty() && piece.front() == '#') {
                const std::size_t hexEnd = 1 + spanOf(piece, 1, isHexDigit);
                const std::size_t blanks = spanOf(piece, hexEnd, isBlank);
                position = piece.substr(hexEnd + blanks);
                if (blanks != 0 ? isDecimal(position, 1, 6) : hexEnd == piece.size())
                    color = parseColor(piece.substr(0, hexEnd));
            }
            if (!color)
                fail(*entry, key,
                     "must be colours #rrggbb or #rrggbbaa, each with an optional position from "
                     "0 to 1, separated by commas");
            const bool placed = !position.empty();
            double at = pieces.size() == 1
                            ? 0.0
                            : static_cast<double>(i) / static_cast<double>(pieces.size() - 1);
            if (placed) {
                ++positioned;
                at = toDouble(position);
                if (at > 1.0)
                    fail(*entry, key, "has a position beyond 1");
                if (!result.stops.empty() && at < result.stops.back().position)
                    fail(*entry, key, "has positions that go backwards");
            }
            result.stops.push_back({at, *color});
        }
        if (positioned != 0 && positioned != pieces.size())
            fail(*entry, key, "gives positions for some colours but not all");
        return result;
    }

    // Adds the image named by key, if any, to fill; the image mode comes from modeKey.
    void image(std::string_view key, std::string_view modeKey, Fill &fill) const
    {
        if (const Entry *mode = find(modeKey)) {
            if (mode->value == "tile")
                fill.imageMode = Fill::ImageMode::Tile;
            else if (mode->value == "stretch")
                fill.imageMode = Fill::ImageMode::Stretch;
            else
                fail(*mode, modeKey, "must be stretch or tile");
        }
        const Entry *entry = find(key);
        if (entry == nullptr)
            return;
        const auto image = m_doc.images.find(entry->value);
        if (image == m_doc.images.end())
            fail(*entry, key,
                 "names the image " + inQuotes(leftUtf16(entry->value, 32)) +
                     ", which the file does not define");
        fill.image = checkImage(image->first, image->second);
        const auto density = image->second.find("density");
        fill.density = density != image->second.end() && density->second.value == "2" ? 2 : 1;
    }

    Font font(std::string_view key, const Font &fallback) const
    {
        const Entry *entry = find(key);
        if (entry == nullptr)
            return fallback;
        const std::size_t commas = count(entry->value, ',');
        bool ok = commas >= 1 && commas <= 3;
        Font result;
        if (ok) {
            const std::vector<std::string_view> pieces = splitOn(entry->value, ',');
            result.family = trimmed(pieces.front());
            const std::string_view size = trimmed(pieces[1]);
            ok =
                !result.family.empty() && utf16Length(result.family) <= 64 && isDecimal(size, 2, 2);
            if (ok) {
                result.pointSize = toDouble(size);
                ok = result.pointSize >= 5.0 && result.pointSize <= 24.0;
            }
            for (std::size_t i = 2; ok && i < pieces.size(); ++i) {
                const std::string_view style = trimmed(pieces[i]);
                if (style == "bold")
                    result.bold = true;
                else if (style == "italic")
                    result.italic = true;
                else
                    ok = false;
            }
        }
        if (!ok)
            fail(*entry, key,
                 "must be 'family, size' with a size from 5 to 24 points, then optionally bold "
                 "and italic");
        return result;
    }

    Alignment alignment(std::string_view key, Alignment fallback) const
    {
        const Entry *entry = find(key);
        if (entry == nullptr)
            return fallback;
        if (entry->value == "left")
            return Alignment::Left;
        if (entry->value == "center")
            return Alignment::Center;
        if (entry->value == "right")
            return Alignment::Right;
        fail(*entry, key, "must be left, center or right");
    }

    [[noreturn]] void fail(const Entry &entry, std::string_view key, const std::string &what) const
    {
        refuseAt(entry.line, "[" + m_name + "] " + std::string(key) + " " + what);
    }

private:
    const Entry *find(std::string_view key) const
    {
        if (m_section == nullptr)
            return nullptr;
        const auto it = m_section->find(key);
        return it == m_section->end() ? nullptr : &it->second;
    }

    // The image as embedded, once its chunk list and size are known to be acceptable; its
    // pixels are left for the painter to decode.
    Image checkImage(const std::string &name, const Section &section) const
    {
        const std::string where = "[image " + name + "] ";
        const int line = m_doc.imageLines.at(name);
        const auto density = section.find("density");
        if (density != section.end() && density->second.value != "1" &&
            density->second.value != "2")
            refuseAt(density->second.line, where + "density must be 1 or 2");
        const auto data = section.find("data");
        if (data == section.end())
            refuseAt(line, where + "has no data");
        std::optional<std::string> png = decodeBase64(data->second.value);
        if (!png || data->second.value.empty())
            refuseAt(line, where + "data is not base64");
        if (!hasPngSignature(*png))
            refuseAt(line, where + "data is not a PNG image");
        const PngLayout layout = checkPngChunks(*png);
        if (!layout.problem.empty())
            refuseAt(line, where + layout.problem);
        // Checked from the image's header, before anything would decode a single pixel.
        if (layout.width > static_cast<std::uint32_t>(Limits::kMaxImageWidth) ||
            layout.height > static_cast<std::uint32_t>(Limits::kMaxImageHeight))
            refuseAt(line, where + "is " + std::to_string(layout.width) + " x " +
                               std::to_string(layout.height) +
                               " pixels; the window needs at most " +
                               std::to_string(Limits::kMaxImageWidth) + " x " +
                               std::to_string(Limits::kMaxImageHeight));
        return Image{std::move(*png), static_cast<int>(layout.width),
                     static_cast<int>(layout.height), 0};
    }

    const Document &m_doc;
    std::string m_name;
    const Section *m_section = nullptr;
};

Skin parseText(std::string_view data)
{
    if (data.size() > Limits::kMaxFileBytes)
        refuse("the skin file is larger than 1 MiB");
    if (data.empty())
        refuse("the skin file is empty");
    checkCharacters(data);
    if (!isUtf8(data))
        refuse("the skin file is not UTF-8 text");
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (data.substr(0, kByteOrderMark.size()) == kByteOrderMark)
        data.remove_prefix(kByteOrderMark.size());

    const Document doc = split(data);
    Skin skin;

    const SectionReader about(doc, "skin");
    if (!about.has("name"))
        refuse("the skin has no name: [skin] name is missing");
    skin.name = about.text("name", {}, 64);
    if (skin.name.empty())
        refuse("the skin has no name: [skin] name is empty");
    skin.author = about.text("author", {});
    skin.description = about.text("description", {});

    const SectionReader frame(doc, "frame");
    skin.frame.borderWidth = frame.number("border-width", 1, 0, 8);
    skin.frame.borderColor = frame.color("border-color", skin.frame.borderColor);
    skin.frame.innerBorderColor = frame.optionalColor("inner-border-color", std::nullopt);

    const SectionReader title(doc, "title");
    TitleStyle &t = skin.title;
    t.height = title.number("height", t.height, 16, 48);
    t.background = title.fill("background", t.background);
    title.image("image", "image-mode", t.background);
    t.textColor = title.color("text-color", t.textColor);
    t.font = title.font("font", t.font);
    t.align = title.alignment("align", t.align);
    t.indent = title.number("indent", t.indent, 0, 40);

    const SectionReader button(doc, "close-button");
    ButtonStyle &b = skin.closeButton;
    b.size = button.number("size", std::min(b.size, t.height), 8, 48);
    if (b.size > t.height)
        refuse("[close-button] size " + std::to_string(b.size) +
               " does not fit the title bar's height " + std::to_string(t.height));
    b.cornerRadius = button.number("corner-radius", b.cornerRadius, 0, 12);
    b.background = button.fill("background", b.background);
    b.hoverBackground = button.fill("hover-background", b.hoverBackground);
    b.pressedBackground = button.fill("pressed-background", b.pressedBackground);
    b.borderColor = button.optionalColor("border-color", b.borderColor);
    b.glyphColor = button.color("glyph-color", b.glyphColor);
    b.hoverGlyphColor = button.color("hover-glyph-color", b.glyphColor);

    const SectionReader client(doc, "client");
    skin.client = client.fill("background", skin.client);
    client.image("image", "image-mode", skin.client);

    const SectionReader panel(doc, "panel");
    if (panel.has("background"))
        skin.panel.background = panel.fill("background", {});
    skin.panel.borderColor = panel.optionalColor("border-color", skin.panel.borderColor);
    skin.panel.cornerRadius = panel.number("corner-radius", 0, 0, 12);

    const SectionReader label(doc, "label");
    if (label.has("text-color"))
        skin.label.textColor = label.color("text-color", {});
    if (label.has("font"))
        skin.label.font = label.font("font", {});

    const SectionReader progress(doc, "progress");
    BarStyle &p = skin.bar;
    p.cornerRadius = progress.number("corner-radius", 0, 0, 10);
    p.groove = progress.fill("groove", p.groove);
    p.grooveBorderColor = progress.optionalColor("groove-border-color", p.grooveBorderColor);
    p.fill = progress.fill("fill", p.fill);
    progress.image("fill-image", "fill-image-mode", p.fill);
    p.fillBorderColor = progress.optionalColor("fill-border-color", std::nullopt);
    return skin;
}

std::string utf8(const std::filesystem::path &path)
{
    const std::u8string text = path.u8string();
    return {reinterpret_cast<const char *>(text.data()), text.size()};
}

std::string systemText(int error)
{
    return std::generic_category().message(error);
}

} // namespace

Skin parseSkin(std::string_view data)
{
    try {
        return parseText(data);
    } catch (const std::bad_alloc &) {
        refuse("there is not enough memory to read the skin");
    }
}

FileContents readRegularFile(const std::filesystem::path &path, std::size_t maxBytes)
{
    using State = FileContents::State;
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (status.type() == std::filesystem::file_type::not_found)
        return {State::Missing, {}, {}};
    if (error)
        return {State::Unreadable, {}, error.message()};
    if (!std::filesystem::is_regular_file(status))
        return {State::NotRegular, {}, {}};

    errno = 0;
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) {
        const int openError = errno;
        return {
            State::Unreadable, {}, openError != 0 ? systemText(openError) : "it cannot be opened"};
    }
    FileContents contents;
    contents.bytes.resize(maxBytes);
    file.read(contents.bytes.data(), static_cast<std::streamsize>(maxBytes));
    if (file.bad()) {
        const int readError = errno;
        return {State::Unreadable, {}, readError != 0 ? systemText(readError) : "reading failed"};
    }
    contents.bytes.resize(static_cast<std::size_t>(file.gcount()));
    return contents;
}

Skin readSkinFile(const std::filesystem::path &path, const FileReader &read)
{
    using State = FileContents::State;
    FileContents contents;
    try {
        // One byte past the limit is enough to know the file is too large, whatever its size.
        contents = read(path, Limits::kMaxFileBytes + 1);
    } catch (const std::bad_alloc &) {
        refuse("there is not enough memory to read the skin file " + utf8(path));
    }
    switch (contents.state) {
    case State::Read:
        break;
    case State::Missing:
        refuse("the skin file " + utf8(path) + " does not exist");
    case State::NotRegular:
        refuse("the skin file " + utf8(path) + " is not a regular file");
    case State::Unreadable:
        refuse("the skin file " + utf8(path) + " cannot be read: " + contents.error);
    }
    try {
        return parseSkin(contents.bytes);
    } catch (const SkinError &error) {
        refuse(utf8(path) + " is not a usable skin: " + error.what());
    }
}

Skin readSkinFile(const std::filesystem::path &path)
{
    return readSkinFile(path, readRegularFile);
}

} // namespace skin
