#include "SkinPaint.h"

#include "Unicode.h"
#include "runtime/Hue.h"
#include "runtime/RuntimeError.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <new>

namespace runtime::win32 {

namespace {

std::shared_ptr<Gdiplus::Bitmap> decodeImage(const look::Image &image, const char *owner)
{
    std::shared_ptr<Gdiplus::Bitmap> decoded;
    try {
        decoded = decodePng(image.png, image.hue);
    } catch (const RuntimeError &error) {
        if (error.kind() != ErrorKind::Refused)
            throw;
        look::refuseImage(owner, look::ImageFault::TooLarge);
    }
    if (!decoded || static_cast<int>(decoded->GetWidth()) != image.width ||
        static_cast<int>(decoded->GetHeight()) != image.height)
        look::refuseImage(owner, look::ImageFault::Undecodable);
    return decoded;
}

PaintFont prepareFont(const look::Font &font)
{
    return {resolveFontFamily(utf16FromUtf8(font.family)), font.pointSize, font.bold, font.italic};
}

Gdiplus::RectF toRectF(const RECT &rect)
{
    return {static_cast<Gdiplus::REAL>(rect.left), static_cast<Gdiplus::REAL>(rect.top),
            static_cast<Gdiplus::REAL>(rect.right - rect.left),
            static_cast<Gdiplus::REAL>(rect.bottom - rect.top)};
}

void addRounded(Gdiplus::GraphicsPath &path, const Gdiplus::RectF &rect, double radius)
{
    const auto r = static_cast<Gdiplus::REAL>(std::min(
        {radius, static_cast<double>(rect.Width) / 2, static_cast<double>(rect.Height) / 2}));
    if (r <= 0) {
        path.AddRectangle(rect);
        return;
    }
    const Gdiplus::REAL d = 2 * r;
    const Gdiplus::REAL right = rect.X + rect.Width;
    const Gdiplus::REAL bottom = rect.Y + rect.Height;
    path.StartFigure();
    path.AddArc(rect.X, rect.Y, d, d, 180, 90);
    path.AddArc(right - d, rect.Y, d, d, 270, 90);
    path.AddArc(right - d, bottom - d, d, d, 0, 90);
    path.AddArc(rect.X, bottom - d, d, d, 90, 90);
    path.CloseFigure();
}

bool isEmptyRect(const RECT &rect)
{
    return rect.right <= rect.left || rect.bottom <= rect.top;
}

// One column of the gradient's rows, each the colour at its centre: drawn through a texture
// brush, every row is one exact colour, and the gradient needs no edge fix-ups at either end.
std::unique_ptr<Gdiplus::Bitmap> gradientColumn(const std::vector<look::GradientStop> &stops,
                                                int height)
{
    auto column = std::make_unique<Gdiplus::Bitmap>(1, height, PixelFormat32bppARGB);
    if (column->GetLastStatus() != Gdiplus::Ok)
        return nullptr;
    Gdiplus::BitmapData data{};
    Gdiplus::Rect all(0, 0, 1, height);
    if (column->LockBits(&all, Gdiplus::ImageLockModeWrite, PixelFormat32bppARGB, &data) !=
        Gdiplus::Ok)
        return nullptr;
    for (int y = 0; y < height; ++y) {
        const Color c = gradientColorAt(stops, (y + 0.5) / height);
        auto *pixel = reinterpret_cast<std::uint32_t *>(
            static_cast<std::uint8_t *>(data.Scan0) + static_cast<std::ptrdiff_t>(y) * data.Stride);
        *pixel = (std::uint32_t{c.a} << 24) | (std::uint32_t{c.r} << 16) |
                 (std::uint32_t{c.g} << 8) | c.b;
    }
    column->UnlockBits(&data);
    return column;
}

// Copies the pixels of in to out (32-bit ARGB rows of width x height), each one's hue turned by
// degrees; 0 copies them as they are.
void copyTurned(const Gdiplus::BitmapData &in, const Gdiplus::BitmapData &out, int width,
                int height, int degrees)
{
    std::uint32_t lastIn = 0;
    std::uint32_t lastOut = 0;
    bool any = false;
    for (int y = 0; y < height; ++y) {
        const auto *from =
            reinterpret_cast<const std::uint32_t *>(static_cast<const std::uint8_t *>(in.Scan0) +
                                                    static_cast<std::ptrdiff_t>(y) * in.Stride);
        auto *to = reinterpret_cast<std::uint32_t *>(static_cast<std::uint8_t *>(out.Scan0) +
                                                     static_cast<std::ptrdiff_t>(y) * out.Stride);
        if (degrees == 0) {
            std::copy(from, from + width, to);
            continue;
        }
        for (int x = 0; x < width; ++x) {
            // Skin images are mostly runs of one colour; the HSV round trip is the cost here.
            if (!any || from[x] != lastIn) {
                lastIn = from[x];
                const Color turned = runtime::rotateHue(
                    Color{static_cast<std::uint8_t>(lastIn >> 16),
                          static_cast<std::uint8_t>(lastIn >> 8), static_cast<std::uint8_t>(lastIn),
                          static_cast<std::uint8_t>(lastIn >> 24)},
                    degrees);
                lastOut = (std::uint32_t{turned.a} << 24) | (std::uint32_t{turned.r} << 16) |
                          (std::uint32_t{turned.g} << 8) | turned.b;
                any = true;
            }
            to[x] = lastOut;
        }
    }
}

struct GdiPlusSession
{
    GdiPlusSession()
    {
        Gdiplus::GdiplusStartupInput input;
        started = Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok;
    }
    // Never shut down: bitmaps and fonts held by statics may outlive any point it could be done.
    ULONG_PTR token = 0;
    bool started = false;
};

} // namespace

void requireGdiPlus()
{
    static const GdiPlusSession session;
    if (!session.started)
        throw RuntimeError(ErrorKind::Unavailable, "the graphics library GDI+ did not start");
}

int DeviceScale::px(double logical) const
{
    return static_cast<int>(std::lround(logical * factor()));
}

RECT DeviceScale::rect(int left, int top, int width, int height) const
{
    return {px(left), px(top), px(left + width), px(top + height)};
}

int DeviceScale::line(int logical) const
{
    return logical <= 0 ? 0 : std::max(1, px(logical));
}

std::unique_ptr<Gdiplus::Bitmap> decodePng(std::string_view png, int hueDegrees)
{
    static constexpr char kSignature[] = "\x89PNG\r\n\x1a\n";
    if (png.size() < 8 || std::memcmp(png.data(), kSignature, 8) != 0 || png.size() > 0x7fffffffU)
        return nullptr;
    requireGdiPlus();
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, png.size());
    if (memory == nullptr)
        throw RuntimeError(ErrorKind::Refused, "there is not enough memory to decode the image");
    void *bytes = GlobalLock(memory);
    std::memcpy(bytes, png.data(), png.size());
    GlobalUnlock(memory);
    IStream *stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(memory, TRUE, &stream))) {
        GlobalFree(memory);
        throw RuntimeError(ErrorKind::Refused, "there is not enough memory to decode the image");
    }

    std::unique_ptr<Gdiplus::Bitmap> result;
    {
        // GDI+ decodes lazily from its stream; the pixels are copied out before the stream goes.
        Gdiplus::Bitmap source(stream, FALSE);
        GUID format{};
        if (source.GetLastStatus() == Gdiplus::Ok && source.GetRawFormat(&format) == Gdiplus::Ok &&
            format == Gdiplus::ImageFormatPNG && source.GetWidth() > 0 && source.GetHeight() > 0) {
            const auto width = static_cast<INT>(source.GetWidth());
            const auto height = static_cast<INT>(source.GetHeight());
            Gdiplus::Rect all(0, 0, width, height);
            Gdiplus::BitmapData in{};
            if (source.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB, &in) ==
                Gdiplus::Ok) {
                auto copy = std::make_unique<Gdiplus::Bitmap>(width, height, PixelFormat32bppARGB);
                Gdiplus::BitmapData out{};
                const bool made = copy->GetLastStatus() == Gdiplus::Ok &&
                                  copy->LockBits(&all, Gdiplus::ImageLockModeWrite,
                                                 PixelFormat32bppARGB, &out) == Gdiplus::Ok;
                if (made) {
                    copyTurned(in, out, width, height, (hueDegrees % 360 + 360) % 360);
                    copy->UnlockBits(&out);
                    result = std::move(copy);
                }
                source.UnlockBits(&in);
                if (!made) {
                    stream->Release();
                    throw RuntimeError(ErrorKind::Refused,
                                       "the image needs more memory than there is");
                }
            }
        }
    }
    stream->Release();
    return result;
}

std::wstring resolveFontFamily(const std::wstring &family)
{
    requireGdiPlus();
    static std::map<std::wstring, std::wstring> resolved;
    if (const auto found = resolved.find(family); found != resolved.end())
        return found->second;

    const auto available = [](const std::wstring &name) {
        if (name.empty())
            return false;
        const Gdiplus::FontFamily candidate(name.c_str());
        return candidate.GetLastStatus() == Gdiplus::Ok && candidate.IsAvailable() != FALSE;
    };
    std::wstring result;
    if (available(family)) {
        result = family;
    } else if (const std::wstring ui = messageFont(96).lfFaceName; available(ui)) {
        result = ui;
    } else {
        WCHAR name[LF_FACESIZE] = {};
        const Gdiplus::FontFamily *generic = Gdiplus::FontFamily::GenericSansSerif();
        if (generic != nullptr && generic->GetLastStatus() == Gdiplus::Ok &&
            generic->GetFamilyName(name) == Gdiplus::Ok && available(name)) {
            result = name;
        } else {
            // A bare system may lack every family it names for the purpose; any font that is
            // installed draws text, which no font at all would not.
            const Gdiplus::InstalledFontCollection installed;
            const INT count = installed.GetFamilyCount();
            std::vector<Gdiplus::FontFamily> families(static_cast<std::size_t>(std::max(0, count)));
            INT found = 0;
            if (count > 0 && installed.GetFamilies(count, families.data(), &found) == Gdiplus::Ok) {
                for (INT i = 0; i < found; ++i) {
                    if (families[static_cast<std::size_t>(i)].GetFamilyName(name) != Gdiplus::Ok)
                        continue;
                    const std::wstring candidate = name;
                    if (result.empty() || (candidate.find(L"Sans") != std::wstring::npos &&
                                           result.find(L"Sans") == std::wstring::npos))
                        result = candidate;
                }
            }
        }
    }
    resolved.emplace(family, result);
    return result;
}

LOGFONTW messageFont(unsigned dpi)
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    if (SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi))
        return metrics.lfMessageFont;
    LOGFONTW font{};
    font.lfHeight = -MulDiv(9, static_cast<int>(dpi), 72);
    font.lfWeight = FW_NORMAL;
    font.lfCharSet = DEFAULT_CHARSET;
    wcscpy_s(font.lfFaceName, L"Segoe UI");
    return font;
}

Gdiplus::Color gdiplusColor(Color color)
{
    return Gdiplus::Color(color.a, color.r, color.g, color.b);
}

Color gradientColorAt(const std::vector<look::GradientStop> &stops, double t)
{
    if (stops.empty())
        return {};
    if (stops.size() == 1 || t <= stops.front().position)
        return stops.front().color;
    for (std::size_t i = 1; i < stops.size(); ++i) {
        const look::GradientStop &from = stops[i - 1];
        const look::GradientStop &to = stops[i];
        if (t > to.position)
            continue;
        const double f =
            to.position > from.position ? (t - from.position) / (to.position - from.position) : 1.0;
        const auto mix = [f](std::uint8_t a, std::uint8_t b) {
            return static_cast<std::uint8_t>(std::lround(a + (b - a) * f));
        };
        return {mix(from.color.r, to.color.r), mix(from.color.g, to.color.g),
                mix(from.color.b, to.color.b), mix(from.color.a, to.color.a)};
    }
    return stops.back().color;
}

PreparedLook prepareLook(const SkinLook &look)
{
    requireGdiPlus();
    return look::prepareLook<std::shared_ptr<Gdiplus::Bitmap>, PaintFont>(look, decodeImage,
                                                                          prepareFont);
}

void paintFill(Gdiplus::Graphics &graphics, const RECT &rect, const PaintFill &fill, double radius,
               const DeviceScale &scale)
{
    if (fill.isEmpty() || isEmptyRect(rect))
        return;
    const Gdiplus::GraphicsState state = graphics.Save();
    // Pixel centres at half coordinates: whole-pixel rectangles cover exactly their pixels and a
    // texture drawn at its own size samples each texel at its centre.
    graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
    graphics.SetSmoothingMode(radius > 0 ? Gdiplus::SmoothingModeAntiAlias
                                         : Gdiplus::SmoothingModeNone);
    const Gdiplus::RectF area = toRectF(rect);
    Gdiplus::GraphicsPath path;
    addRounded(path, area, radius);
    const auto fillWith = [&](const Gdiplus::Brush &brush) {
        if (radius > 0)
            graphics.FillPath(&brush, &path);
        else
            graphics.FillRectangle(&brush, area);
    };

    if (fill.stops.size() == 1) {
        const Gdiplus::SolidBrush brush(gdiplusColor(fill.stops.front().color));
        fillWith(brush);
    } else if (!fill.stops.empty()) {
        const std::unique_ptr<Gdiplus::Bitmap> column =
            gradientColumn(fill.stops, rect.bottom - rect.top);
        if (column) {
            Gdiplus::TextureBrush brush(column.get(), Gdiplus::WrapModeTile);
            brush.TranslateTransform(static_cast<Gdiplus::REAL>(rect.left),
                                     static_cast<Gdiplus::REAL>(rect.top));
            graphics.SetInterpolationMode(Gdiplus::InterpolationModeNearestNeighbor);
            fillWith(brush);
        }
    }

    if (fill.image) {
        if (radius > 0)
            graphics.SetClip(&path, Gdiplus::CombineModeIntersect);
        Gdiplus::Bitmap *image = fill.image->get();
        if (fill.imageMode == look::Fill::ImageMode::Tile) {
            const double zoom = scale.factor() / fill.density;
            Gdiplus::TextureBrush brush(image, Gdiplus::WrapModeTile);
            brush.TranslateTransform(static_cast<Gdiplus::REAL>(rect.left),
                                     static_cast<Gdiplus::REAL>(rect.top));
            brush.ScaleTransform(static_cast<Gdiplus::REAL>(zoom),
                                 static_cast<Gdiplus::REAL>(zoom));
            graphics.SetInterpolationMode(zoom == 1.0
                                              ? Gdiplus::InterpolationModeNearestNeighbor
                                              : Gdiplus::InterpolationModeHighQualityBilinear);
            graphics.FillRectangle(&brush, area);
        } else {
            // Mirrored beyond its edges, so the outermost pixels are not blended with nothing.
            Gdiplus::ImageAttributes attributes;
            attributes.SetWrapMode(Gdiplus::WrapModeTileFlipXY);
            graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBilinear);
            graphics.DrawImage(image, area, 0, 0, static_cast<Gdiplus::REAL>(image->GetWidth()),
                               static_cast<Gdiplus::REAL>(image->GetHeight()), Gdiplus::UnitPixel,
                               &attributes);
        }
    }
    graphics.Restore(state);
}

void paintBorder(Gdiplus::Graphics &graphics, const RECT &rect, const std::optional<Color> &color,
                 int width, double radius)
{
    if (!color || width <= 0 || isEmptyRect(rect))
        return;
    const Gdiplus::GraphicsState state = graphics.Save();
    graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
    const Gdiplus::SolidBrush brush(gdiplusColor(*color));
    const Gdiplus::RectF outer = toRectF(rect);
    const auto w = static_cast<Gdiplus::REAL>(width);
    if (radius <= 0) {
        // Four whole-pixel strips: sharp at any scale, and nothing is painted twice.
        graphics.SetSmoothingMode(Gdiplus::SmoothingModeNone);
        const Gdiplus::REAL innerHeight = std::max<Gdiplus::REAL>(0, outer.Height - 2 * w);
        graphics.FillRectangle(&brush, outer.X, outer.Y, outer.Width, std::min(w, outer.Height));
        if (outer.Height > w)
            graphics.FillRectangle(&brush, outer.X, outer.Y + outer.Height - w, outer.Width,
                                   std::min(w, outer.Height - w));
        if (innerHeight > 0) {
            graphics.FillRectangle(&brush, outer.X, outer.Y + w, std::min(w, outer.Width),
                                   innerHeight);
            if (outer.Width > w)
                graphics.FillRectangle(&brush, outer.X + outer.Width - w, outer.Y + w,
                                       std::min(w, outer.Width - w), innerHeight);
        }
    } else {
        // Filled as the ring between two outlines rather than stroked: a stroke of one pixel
        // sits on half pixels and blurs.
        graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
        Gdiplus::GraphicsPath ring(Gdiplus::FillModeAlternate);
        addRounded(ring, outer, radius);
        const Gdiplus::RectF inner(outer.X + w, outer.Y + w, outer.Width - 2 * w,
                                   outer.Height - 2 * w);
        if (inner.Width > 0 && inner.Height > 0)
            addRounded(ring, inner, std::max(0.0, radius - width));
        graphics.FillPath(&brush, &ring);
    }
    graphics.Restore(state);
}

void paintText(Gdiplus::Graphics &graphics, const RECT &rect, const std::wstring &text,
               const PaintFont &font, Color color, look::Alignment align, const DeviceScale &scale)
{
    if (text.empty() || font.family.empty() || isEmptyRect(rect))
        return;
    const Gdiplus::FontFamily family(font.family.c_str());
    if (family.GetLastStatus() != Gdiplus::Ok)
        return;
    INT style = Gdiplus::FontStyleRegular;
    if (font.bold)
        style |= Gdiplus::FontStyleBold;
    if (font.italic)
        style |= Gdiplus::FontStyleItalic;
    if (family.IsStyleAvailable(style) == FALSE)
        style = Gdiplus::FontStyleRegular;
    const Gdiplus::Font drawn(&family,
                              static_cast<Gdiplus::REAL>(font.pointSize * scale.dpi / 72.0), style,
                              Gdiplus::UnitPixel);
    if (drawn.GetLastStatus() != Gdiplus::Ok)
        return;
    Gdiplus::StringFormat format(Gdiplus::StringFormatFlagsNoWrap);
    format.SetAlignment(align == look::Alignment::Center  ? Gdiplus::StringAlignmentCenter
                        : align == look::Alignment::Right ? Gdiplus::StringAlignmentFar
                                                          : Gdiplus::StringAlignmentNear);
    format.SetLineAlignment(Gdiplus::StringAlignmentCenter);
    format.SetTrimming(Gdiplus::StringTrimmingEllipsisCharacter);
    const Gdiplus::SolidBrush brush(gdiplusColor(color));
    const Gdiplus::GraphicsState state = graphics.Save();
    graphics.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAliasGridFit);
    graphics.DrawString(text.c_str(), static_cast<INT>(text.size()), &drawn, toRectF(rect), &format,
                        &brush);
    graphics.Restore(state);
}

HBITMAP createCanvas(HDC reference, int width, int height, void **bits)
{
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = std::max(1, width);
    info.bmiHeader.biHeight = -std::max(1, height);
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void *pixels = nullptr;
    HBITMAP bitmap = CreateDIBSection(reference, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
    if (bits != nullptr)
        *bits = pixels;
    return bitmap;
}

} // namespace runtime::win32
