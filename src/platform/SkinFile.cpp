#include "SkinFile.h"

#include "PlatformError.h"

#include <QBuffer>
#include <QFile>
#include <QHash>
#include <QImageReader>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QtEndian>
#include <algorithm>
#include <array>
#include <cerrno>
#include <new>

#ifdef _WIN32
#include <QFileInfo>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace platform {

namespace {

struct Entry
{
    QString value;
    int line = 0;
};

using Section = QHash<QString, Entry>;

[[noreturn]] void refuse(const QString &reason)
{
    throw PlatformError(reason);
}

[[noreturn]] void refuseAt(int line, const QString &reason)
{
    refuse(QStringLiteral("line %1: %2").arg(line).arg(reason));
}

// CRC-32 as PNG computes it (zlib's polynomial), so damaged data is refused before the decoder
// sees it. A table built at compile time keeps the project off a direct zlib dependency.
constexpr std::array<quint32, 256> kCrcTable = [] {
    std::array<quint32, 256> table{};
    for (quint32 n = 0; n < 256; ++n) {
        quint32 c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1U) != 0 ? 0xedb88320U ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}();

quint32 pngCrc(const char *data, qsizetype size)
{
    quint32 crc = 0xffffffffU;
    for (qsizetype i = 0; i < size; ++i)
        crc = kCrcTable[(crc ^ static_cast<unsigned char>(data[i])) & 0xffU] ^ (crc >> 8);
    return crc ^ 0xffffffffU;
}

// The chunks a skin image may carry: the pixels and how their colours are meant. The decoder
// inflates compressed text (zTXt, iTXt) and ICC profiles in full before the first pixel, so a
// 1 MiB skin could cost seconds and gigabytes; anything not needed to draw is refused unread.
constexpr std::array<const char *, 10> kAllowedChunks{"IHDR", "PLTE", "tRNS", "IDAT", "IEND",
                                                      "gAMA", "cHRM", "sRGB", "sBIT", "cICP"};

bool isAllowedChunk(QByteArrayView type)
{
    return std::any_of(kAllowedChunks.begin(), kAllowedChunks.end(),
                       [type](const char *allowed) { return type == QByteArrayView(allowed, 4); });
}

struct PngLayout
{
    QString problem; // empty when the chunk list is sound and allowed
    quint32 width = 0;
    quint32 height = 0;
};

// Walks the chunk list of a PNG whose signature has been checked, decoding nothing: every
// chunk lies within the data and passes its CRC, IHDR comes first and once, IEND last.
PngLayout checkPngChunks(const QByteArray &png)
{
    const auto damaged = [](const QString &what) {
        return PngLayout{QStringLiteral("data is a damaged PNG image: %1").arg(what)};
    };
    constexpr qsizetype kSignatureBytes = 8;
    constexpr qsizetype kChunkOverhead = 12; // length, type and CRC around the chunk's data
    PngLayout layout;
    qsizetype at = kSignatureBytes;
    for (bool first = true;; first = false) {
        const qsizetype left = png.size() - at;
        if (left == 0)
            return damaged(QStringLiteral("it ends without an IEND chunk"));
        const char *chunk = png.constData() + at;
        if (left < kChunkOverhead ||
            qFromBigEndian<quint32>(chunk) > static_cast<quint64>(left - kChunkOverhead))
            return damaged(QStringLiteral("a chunk runs past the end of the data"));
        const quint32 length = qFromBigEndian<quint32>(chunk);
        const QByteArrayView type(chunk + 4, 4);
        if (!std::all_of(type.begin(), type.end(),
                         [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }))
            return damaged(QStringLiteral("a chunk's type is not four letters"));
        const QString name = QString::fromLatin1(type);
        const bool header = type == QByteArrayView("IHDR", 4);
        if (first && !header)
            return damaged(QStringLiteral("it does not begin with an IHDR chunk"));
        if (!first && header)
            return damaged(QStringLiteral("it has a second IHDR chunk"));
        if (!isAllowedChunk(type))
            return {
                QStringLiteral("carries a chunk of type %1; a skin image may hold only IHDR, PLTE, "
                               "tRNS, IDAT, IEND, gAMA, cHRM, sRGB, sBIT and cICP chunks")
                    .arg(name)};
        const char *data = chunk + 8;
        if (pngCrc(chunk + 4, 4 + static_cast<qsizetype>(length)) !=
            qFromBigEndian<quint32>(data + length))
            return damaged(QStringLiteral("its %1 chunk fails its checksum").arg(name));
        at += kChunkOverhead + static_cast<qsizetype>(length);
        if (header) {
            if (length != 13)
                return damaged(QStringLiteral("its IHDR chunk is not 13 bytes long"));
            layout.width = qFromBigEndian<quint32>(data);
            layout.height = qFromBigEndian<quint32>(data + 4);
            if (layout.width == 0 || layout.height == 0)
                return damaged(QStringLiteral("its header gives no size"));
        } else if (type == QByteArrayView("IEND", 4)) {
            if (length != 0)
                return damaged(QStringLiteral("its IEND chunk is not empty"));
            if (at != png.size())
                return damaged(QStringLiteral("data follows its IEND chunk"));
            return layout;
        }
    }
}

const QStringList &knownSections()
{
    static const QStringList names{QStringLiteral("skin"),   QStringLiteral("frame"),
                                   QStringLiteral("title"),  QStringLiteral("close-button"),
                                   QStringLiteral("client"), QStringLiteral("panel"),
                                   QStringLiteral("label"),  QStringLiteral("progress")};
    return names;
}

// The text, split into its sections. Image sections are kept apart under their names.
struct Document
{
    QHash<QString, Section> sections;
    QHash<QString, Section> images;
    QHash<QString, int> imageLines;
};

void checkCharacters(const QByteArray &data)
{
    int line = 1;
    for (const char c : data) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\n')
            ++line;
        else if (byte < 0x20 && byte != '\t' && byte != '\r')
            refuseAt(line, QStringLiteral("the file holds a control character (code %1); a skin "
                                          "file is plain text")
                               .arg(byte));
    }
}

Document split(const QString &text)
{
    static const QRegularExpression versionLine(
        QStringLiteral(R"(^refitor-skin[ \t]+(\d{1,4})\.(\d{1,4})$)"));
    static const QRegularExpression sectionLine(
        QStringLiteral(R"(^\[([a-z-]{1,32})(?:[ \t]+([A-Za-z0-9_-]{1,32}))?\]$)"));
    static const QRegularExpression keyLine(
        QStringLiteral(R"(^([A-Za-z0-9_-]{1,48})[ \t]*=[ \t]*(.*)$)"));

    const QStringList lines = text.split(u'\n');
    const QString first = lines.front().trimmed();
    const auto version = versionLine.match(first);
    if (!version.hasMatch())
        refuseAt(1, QStringLiteral("a skin file begins with the line 'refitor-skin 1.0'"));
    if (version.captured(1).toInt() != 1)
        refuseAt(1, QStringLiteral("format version %1 is not one this engine reads (it reads "
                                   "1.x)")
                        .arg(version.captured(1) + u'.' + version.captured(2)));

    Document doc;
    Section *current = nullptr;
    bool inSection = false;
    Entry *lastEntry = nullptr;
    for (int i = 1; i < lines.size(); ++i) {
        const int lineNumber = i + 1;
        QString raw = lines[i];
        if (raw.endsWith(u'\r'))
            raw.chop(1);
        const QString line = raw.trimmed();
        if (line.isEmpty())
            continue;
        if (line.startsWith(u'#') || line.startsWith(u';'))
            continue;
        if (raw.front().isSpace()) {
            // An indented line continues the value above it (long image data).
            if (lastEntry == nullptr)
                refuseAt(lineNumber, QStringLiteral("an indented line continues no setting"));
            lastEntry->value += line;
            continue;
        }
        lastEntry = nullptr;
        if (line.startsWith(u'[')) {
            const auto match = sectionLine.match(line);
            if (!match.hasMatch())
                refuseAt(lineNumber,
                         QStringLiteral("a section header is written [name] or [image NAME]"));
            const QString name = match.captured(1);
            const QString argument = match.captured(2);
            inSection = true;
            if (name == QLatin1String("image")) {
                if (argument.isEmpty())
                    refuseAt(lineNumber, QStringLiteral("an [image] section needs a name"));
                if (doc.images.contains(argument))
                    refuseAt(lineNumber,
                             QStringLiteral("the image '%1' is defined twice").arg(argument));
                if (doc.images.size() >= SkinFileLimits::kMaxImages)
                    refuseAt(lineNumber, QStringLiteral("a skin holds at most %1 images")
                                             .arg(SkinFileLimits::kMaxImages));
                current = &doc.images[argument];
                doc.imageLines.insert(argument, lineNumber);
            } else if (knownSections().contains(name) && argument.isEmpty()) {
                if (doc.sections.contains(name))
                    refuseAt(lineNumber,
                             QStringLiteral("the section [%1] appears twice").arg(name));
                current = &doc.sections[name];
            } else {
                current = nullptr; // a section of a newer format: its settings are skipped
            }
            continue;
        }
        const auto match = keyLine.match(line);
        if (!match.hasMatch())
            refuseAt(lineNumber, QStringLiteral("expected a setting written 'key = value'"));
        if (!inSection)
            refuseAt(lineNumber, QStringLiteral("a setting comes before any [section]"));
        if (current == nullptr)
            continue;
        const QString key = match.captured(1).toLower();
        if (current->contains(key))
            refuseAt(lineNumber,
                     QStringLiteral("the setting '%1' is given twice in its section").arg(key));
        lastEntry = &(*current)[key];
        *lastEntry = Entry{match.captured(2).trimmed(), lineNumber};
    }
    return doc;
}

// Reads the values of one section, each checked against what it may hold.
class SectionReader
{
public:
    SectionReader(const Document &doc, const QString &name)
        : m_doc(doc), m_name(name), m_section(doc.sections.value(name))
    {}

    bool has(const QString &key) const { return m_section.contains(key); }

    QString text(const QString &key, const QString &fallback, int maxLength = 200) const
    {
        const Entry *entry = find(key);
        if (entry == nullptr)
            return fallback;
        if (entry->value.size() > maxLength)
            fail(*entry, key, QStringLiteral("is longer than %1 characters").arg(maxLength));
        return entry->value;
    }

    int number(const QString &key, int fallback, int min, int max) const
    {
        static const QRegularExpression digits(QStringLiteral(R"(^\d{1,6}$)"));
        const Entry *entry = find(key);
        if (entry == nullptr)
            return fallback;
        const int value = entry->value.toInt();
        if (!digits.match(entry->value).hasMatch() || value < min || value > max)
            fail(*entry, key,
                 QStringLiteral("must be a whole number from %1 to %2").arg(min).arg(max));
        return value;
    }

    QColor color(const QString &key, const QColor &fallback, bool noneAllowed = false) const
    {
        const Entry *entry = find(key);
        if (entry == nullptr)
            return fallback;
        if (noneAllowed && entry->value == QLatin1String("none"))
            return {};
        QColor color;
        if (!parseColor(entry->value, color))
            fail(*entry, key,
                 noneAllowed ? QStringLiteral("must be a colour #rrggbb or #rrggbbaa, or none")
                             : QStringLiteral("must be a colour #rrggbb or #rrggbbaa"));
        return color;
    }

    // "#c1, #c2, ..." spaced evenly, or "#c1 0, #c2 0.4, #c3 1"; "none" for no fill.
    SkinFill fill(const QString &key, const SkinFill &fallback) const
    {
        const Entry *entry = find(key);
        if (entry == nullptr)
            return fallback;
        if (entry->value == QLatin1String("none"))
            return {};
        const QStringList parts = entry->value.split(u',');
        if (parts.size() > SkinFileLimits::kMaxGradientStops)
            fail(*entry, key,
                 QStringLiteral("has more than %1 colours").arg(SkinFileLimits::kMaxGradientStops));
        static const QRegularExpression stopPattern(
            QStringLiteral(R"(^(#[0-9A-Fa-f]+)(?:[ \t]+(\d(?:\.\d{1,6})?))?$)"));
        SkinFill result;
        int positioned = 0;
        for (int i = 0; i < parts.size(); ++i) {
            const auto match = stopPattern.match(parts[i].trimmed());
            QColor color;
            if (!match.hasMatch() || !parseColor(match.captured(1), color))
                fail(*entry, key,
                     QStringLiteral("must be colours #rrggbb or #rrggbbaa, each with an optional "
                                    "position from 0 to 1, separated by commas"));
            double position = parts.size() == 1
                                  ? 0.0
                                  : static_cast<double>(i) / static_cast<double>(parts.size() - 1);
            if (match.hasCaptured(2)) {
                ++positioned;
                position = match.captured(2).toDouble();
                if (position > 1.0)
                    fail(*entry, key, QStringLiteral("has a position beyond 1"));
                if (!result.stops.isEmpty() && position < result.stops.back().first)
                    fail(*entry, key, QStringLiteral("has positions that go backwards"));
            }
            result.stops.append({position, color});
        }
        if (positioned != 0 && positioned != parts.size())
            fail(*entry, key, QStringLiteral("gives positions for some colours but not all"));
        return result;
    }

    // Adds the image named by key, if any, to fill; the image mode comes from modeKey.
    void image(const QString &key, const QString &modeKey, SkinFill &fill) const
    {
        const Entry *mode = find(modeKey);
        if (mode != nullptr) {
            if (mode->value == QLatin1String("tile"))
                fill.imageMode = SkinFill::ImageMode::Tile;
            else if (mode->value == QLatin1String("stretch"))
                fill.imageMode = SkinFill::ImageMode::Stretch;
            else
                fail(*mode, modeKey, QStringLiteral("must be stretch or tile"));
        }
        const Entry *entry = find(key);
        if (entry == nullptr)
            return;
        if (!m_doc.images.contains(entry->value))
            fail(*entry, key,
                 QStringLiteral("names the image '%1', which the file does not define")
                     .arg(entry->value.left(32)));
        const Section image = m_doc.images.value(entry->value);
        fill.image = decodeImage(entry->value, image);
        fill.density = image.value(QStringLiteral("density")).value == QLatin1String("2") ? 2 : 1;
    }

    SkinFont font(const QString &key, const SkinFont &fallback) const
    {
        const Entry *entry = find(key);
        if (entry == nullptr)
            return fallback;
        static const QRegularExpression sizePattern(QStringLiteral(R"(^\d{1,2}(?:\.\d{1,2})?$)"));
        const QStringList parts = entry->value.split(u',');
        SkinFont result;
        result.family = parts.front().trimmed();
        bool ok = parts.size() >= 2 && parts.size() <= 4 && !result.family.isEmpty() &&
                  result.family.size() <= 64 && sizePattern.match(parts[1].trimmed()).hasMatch();
        if (ok) {
            result.pointSize = parts[1].trimmed().toDouble();
            ok = result.pointSize >= 5.0 && result.pointSize <= 24.0;
        }
        for (int i = 2; ok && i < parts.size(); ++i) {
            const QString style = parts[i].trimmed();
            if (style == QLatin1String("bold"))
                result.bold = true;
            else if (style == QLatin1String("italic"))
                result.italic = true;
            else
                ok = false;
        }
        if (!ok)
            fail(*entry, key,
                 QStringLiteral("must be 'family, size' with a size from 5 to 24 points, then "
                                "optionally bold and italic"));
        return result;
    }

    Qt::Alignment alignment(const QString &key, Qt::Alignment fallback) const
    {
        const Entry *entry = find(key);
        if (entry == nullptr)
            return fallback;
        if (entry->value == QLatin1String("left"))
            return Qt::AlignLeft;
        if (entry->value == QLatin1String("center"))
            return Qt::AlignHCenter;
        if (entry->value == QLatin1String("right"))
            return Qt::AlignRight;
        fail(*entry, key, QStringLiteral("must be left, center or right"));
    }

    [[noreturn]] void fail(const Entry &entry, const QString &key, const QString &what) const
    {
        refuseAt(entry.line, QStringLiteral("[%1] %2 %3").arg(m_name, key, what));
    }

private:
    const Entry *find(const QString &key) const
    {
        const auto it = m_section.constFind(key);
        return it == m_section.constEnd() ? nullptr : &it.value();
    }

    static bool parseColor(const QString &text, QColor &color)
    {
        static const QRegularExpression pattern(QStringLiteral(
            R"(^#([0-9A-Fa-f]{2})([0-9A-Fa-f]{2})([0-9A-Fa-f]{2})([0-9A-Fa-f]{2})?$)"));
        const auto match = pattern.match(text);
        if (!match.hasMatch())
            return false;
        const auto channel = [&match](int n) { return match.captured(n).toInt(nullptr, 16); };
        color = QColor(channel(1), channel(2), channel(3), match.hasCaptured(4) ? channel(4) : 255);
        return true;
    }

    QImage decodeImage(const QString &name, const Section &section) const
    {
        const int line = m_doc.imageLines.value(name);
        const auto where = [&](const QString &what) {
            refuseAt(line, QStringLiteral("[image %1] %2").arg(name, what));
        };
        const Entry density = section.value(QStringLiteral("density"));
        if (density.line != 0 && density.value != QLatin1String("1") &&
            density.value != QLatin1String("2"))
            refuseAt(density.line, QStringLiteral("[image %1] density must be 1 or 2").arg(name));
        const Entry data = section.value(QStringLiteral("data"));
        if (data.line == 0)
            where(QStringLiteral("has no data"));
        const auto decoded = QByteArray::fromBase64Encoding(
            data.value.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded || data.value.isEmpty())
            where(QStringLiteral("data is not base64"));
        static const QByteArray pngSignature("\x89PNG\r\n\x1a\n", 8);
        if (!decoded.decoded.startsWith(pngSignature))
            where(QStringLiteral("data is not a PNG image"));

        QByteArray bytes = decoded.decoded;
        const PngLayout layout = checkPngChunks(bytes);
        if (!layout.problem.isEmpty())
            where(layout.problem);
        // Checked from the image's header, before a single pixel is decoded.
        if (layout.width > SkinFileLimits::kMaxImageWidth ||
            layout.height > SkinFileLimits::kMaxImageHeight)
            where(QStringLiteral("is %1 x %2 pixels; the window needs at most %3 x %4")
                      .arg(layout.width)
                      .arg(layout.height)
                      .arg(SkinFileLimits::kMaxImageWidth)
                      .arg(SkinFileLimits::kMaxImageHeight));
        const QSize size(static_cast<int>(layout.width), static_cast<int>(layout.height));

        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer, "png");
        reader.setAutoTransform(false);
        QImage image;
        // The reader also fails, with no image, when the pixels cannot be allocated.
        if (!reader.read(&image) || image.size() != size)
            where(QStringLiteral("data cannot be decoded: the PNG image is damaged, or there is "
                                 "not enough memory for it"));
        QImage converted = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        if (converted.isNull())
            where(QStringLiteral("needs more memory than there is"));
        return converted;
    }

    const Document &m_doc;
    QString m_name;
    Section m_section;
};

Skin parseText(const QByteArray &data)
{
    if (data.size() > SkinFileLimits::kMaxFileBytes)
        refuse(QStringLiteral("the skin file is larger than 1 MiB"));
    if (data.isEmpty())
        refuse(QStringLiteral("the skin file is empty"));
    checkCharacters(data);
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(data);
    if (decoder.hasError())
        refuse(QStringLiteral("the skin file is not UTF-8 text"));

    const Document doc = split(text);
    Skin skin;

    const SectionReader about(doc, QStringLiteral("skin"));
    if (!about.has(QStringLiteral("name")))
        refuse(QStringLiteral("the skin has no name: [skin] name is missing"));
    skin.name = about.text(QStringLiteral("name"), {}, 64);
    if (skin.name.isEmpty())
        refuse(QStringLiteral("the skin has no name: [skin] name is empty"));
    skin.author = about.text(QStringLiteral("author"), {});
    skin.description = about.text(QStringLiteral("description"), {});

    const SectionReader frame(doc, QStringLiteral("frame"));
    skin.frame.borderWidth = frame.number(QStringLiteral("border-width"), 1, 0, 8);
    skin.frame.borderColor = frame.color(QStringLiteral("border-color"), skin.frame.borderColor);
    skin.frame.innerBorderColor =
        frame.color(QStringLiteral("inner-border-color"), {}, /*noneAllowed=*/true);

    const SectionReader title(doc, QStringLiteral("title"));
    SkinTitleStyle &t = skin.title;
    t.height = title.number(QStringLiteral("height"), t.height, 16, 48);
    t.background = title.fill(QStringLiteral("background"), t.background);
    title.image(QStringLiteral("image"), QStringLiteral("image-mode"), t.background);
    t.textColor = title.color(QStringLiteral("text-color"), t.textColor);
    t.font = title.font(QStringLiteral("font"), t.font);
    t.align = title.alignment(QStringLiteral("align"), t.align);
    t.indent = title.number(QStringLiteral("indent"), t.indent, 0, 40);

    const SectionReader button(doc, QStringLiteral("close-button"));
    SkinButtonStyle &b = skin.closeButton;
    b.size = button.number(QStringLiteral("size"), std::min(b.size, t.height), 8, 48);
    if (b.size > t.height)
        refuse(QStringLiteral("[close-button] size %1 does not fit the title bar's height %2")
                   .arg(b.size)
                   .arg(t.height));
    b.cornerRadius = button.number(QStringLiteral("corner-radius"), b.cornerRadius, 0, 12);
    b.background = button.fill(QStringLiteral("background"), b.background);
    b.hoverBackground = button.fill(QStringLiteral("hover-background"), b.hoverBackground);
    b.pressedBackground = button.fill(QStringLiteral("pressed-background"), b.pressedBackground);
    b.borderColor = button.color(QStringLiteral("border-color"), b.borderColor, true);
    b.glyphColor = button.color(QStringLiteral("glyph-color"), b.glyphColor);
    b.hoverGlyphColor = button.color(QStringLiteral("hover-glyph-color"), b.glyphColor);

    const SectionReader client(doc, QStringLiteral("client"));
    skin.client = client.fill(QStringLiteral("background"), skin.client);
    client.image(QStringLiteral("image"), QStringLiteral("image-mode"), skin.client);

    const SectionReader panel(doc, QStringLiteral("panel"));
    if (panel.has(QStringLiteral("background")))
        skin.panel.background = panel.fill(QStringLiteral("background"), {});
    skin.panel.borderColor =
        panel.color(QStringLiteral("border-color"), skin.panel.borderColor, true);
    skin.panel.cornerRadius = panel.number(QStringLiteral("corner-radius"), 0, 0, 12);

    const SectionReader label(doc, QStringLiteral("label"));
    if (label.has(QStringLiteral("text-color")))
        skin.label.textColor = label.color(QStringLiteral("text-color"), {});
    if (label.has(QStringLiteral("font")))
        skin.label.font = label.font(QStringLiteral("font"), {});

    const SectionReader progress(doc, QStringLiteral("progress"));
    SkinBarStyle &p = skin.bar;
    p.cornerRadius = progress.number(QStringLiteral("corner-radius"), 0, 0, 10);
    p.groove = progress.fill(QStringLiteral("groove"), p.groove);
    p.grooveBorderColor =
        progress.color(QStringLiteral("groove-border-color"), p.grooveBorderColor, true);
    p.fill = progress.fill(QStringLiteral("fill"), p.fill);
    progress.image(QStringLiteral("fill-image"), QStringLiteral("fill-image-mode"), p.fill);
    p.fillBorderColor = progress.color(QStringLiteral("fill-border-color"), {}, true);
    return skin;
}

#ifdef _WIN32
QByteArray readRegularFile(const QString &path, qint64 limit)
{
    const QFileInfo info(path);
    if (!info.exists())
        refuse(QStringLiteral("the skin file %1 does not exist").arg(path));
    if (!info.isFile())
        refuse(QStringLiteral("the skin file %1 is not a regular file").arg(path));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        refuse(QStringLiteral("the skin file %1 cannot be read: %2").arg(path, file.errorString()));
    QByteArray data = file.read(limit);
    if (file.error() != QFileDevice::NoError)
        refuse(QStringLiteral("the skin file %1 cannot be read: %2").arg(path, file.errorString()));
    return data;
}
#else
class Descriptor
{
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() { ::close(m_fd); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

[[noreturn]] void unreadable(const QString &path, int error)
{
    refuse(QStringLiteral("the skin file %1 cannot be read: %2").arg(path, systemErrorText(error)));
}

// Up to limit bytes of the regular file at path. Opening without blocking and checking the
// descriptor before the first read keep a FIFO, device or socket in a skin's place from holding
// the UI thread: a FIFO with no writer would block in open or read, beyond reach of SIGTERM.
QByteArray readRegularFile(const QString &path, qint64 limit)
{
    const QByteArray name = QFile::encodeName(path);
    int fd = -1;
    do {
        fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            refuse(QStringLiteral("the skin file %1 does not exist").arg(path));
        unreadable(path, error);
    }
    const Descriptor file(fd);
    struct stat info = {};
    if (::fstat(file.get(), &info) != 0)
        unreadable(path, errno);
    if (!S_ISREG(info.st_mode))
        refuse(QStringLiteral("the skin file %1 is not a regular file").arg(path));

    QByteArray data(limit, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < data.size()) {
        const ssize_t n =
            ::read(file.get(), data.data() + got, static_cast<std::size_t>(data.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            unreadable(path, errno);
        if (n == 0)
            break;
        got += n;
    }
    data.truncate(got);
    return data;
}
#endif

} // namespace

Skin parseSkin(const QByteArray &data)
{
    try {
        return parseText(data);
    } catch (const std::bad_alloc &) {
        refuse(QStringLiteral("there is not enough memory to read the skin"));
    }
}

Skin readSkinFile(const QString &path)
{
    QByteArray data;
    try {
        // One byte past the limit is enough to know the file is too large, whatever its size.
        data = readRegularFile(path, SkinFileLimits::kMaxFileBytes + 1);
    } catch (const std::bad_alloc &) {
        refuse(QStringLiteral("there is not enough memory to read the skin file %1").arg(path));
    }
    try {
        return parseSkin(data);
    } catch (const PlatformError &error) {
        refuse(QStringLiteral("%1 is not a usable skin: %2").arg(path, error.reason()));
    }
}

} // namespace platform
