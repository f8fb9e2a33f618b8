#pragma once

#include "runtime/Color.h"

#include <windows.h>
// GDI+ needs the COM declarations that WIN32_LEAN_AND_MEAN leaves out of windows.h.
// clang-format off
#include <objidl.h>
#include <gdiplus.h>
// clang-format on
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

// What the Win32 runtime's tests need to see what a person sees: a window's pixels as it painted
// them, and PNG images to hand to it.
namespace windowpixels {

/// The pixels of a whole window (frame included), read back from what it painted.
class Shot
{
public:
    /// Repaints hwnd and its children at once, unless repaint is false, and reads its pixels:
    /// without the repaint, what each of them last painted.
    explicit Shot(HWND hwnd, bool repaint = true)
    {
        if (repaint)
            RedrawWindow(hwnd, nullptr, nullptr,
                         RDW_INVALIDATE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
        RECT outer{};
        GetWindowRect(hwnd, &outer);
        m_width = outer.right - outer.left;
        m_height = outer.bottom - outer.top;
        POINT client{0, 0};
        ClientToScreen(hwnd, &client);
        m_clientOrigin = {client.x - outer.left, client.y - outer.top};
        BITMAPINFO info{};
        info.bmiHeader = {
            sizeof(BITMAPINFOHEADER), m_width, -m_height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        void *bits = nullptr;
        HDC window = GetWindowDC(hwnd);
        HBITMAP bitmap = CreateDIBSection(window, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        HDC memory = CreateCompatibleDC(window);
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, m_width, m_height, window, 0, 0, SRCCOPY);
        GdiFlush();
        const auto *pixels = static_cast<const std::uint32_t *>(bits);
        m_pixels.assign(pixels, pixels + static_cast<std::size_t>(m_width) * m_height);
        SelectObject(memory, old);
        DeleteObject(bitmap);
        DeleteDC(memory);
        ReleaseDC(hwnd, window);
    }

    int width() const { return m_width; }
    int height() const { return m_height; }
    /// Where the client area starts, in the window's device pixels.
    POINT clientOrigin() const { return m_clientOrigin; }

    /// The pixel at device pixel (x, y) of the whole window; magenta outside it.
    runtime::Color at(int x, int y) const
    {
        if (x < 0 || y < 0 || x >= m_width || y >= m_height)
            return {255, 0, 255};
        const std::uint32_t pixel = m_pixels[static_cast<std::size_t>(y) * m_width + x];
        return {static_cast<std::uint8_t>(pixel >> 16), static_cast<std::uint8_t>(pixel >> 8),
                static_cast<std::uint8_t>(pixel)};
    }
    /// The pixel at device pixel (x, y) of the client area.
    runtime::Color client(int x, int y) const
    {
        return at(m_clientOrigin.x + x, m_clientOrigin.y + y);
    }
    /// How many pixels of the client rectangle (device pixels) are near color.
    int countNear(const RECT &area, runtime::Color color, int tolerance = 40) const
    {
        int count = 0;
        for (int y = area.top; y < area.bottom; ++y)
            for (int x = area.left; x < area.right; ++x)
                if (similar(client(x, y), color, tolerance))
                    ++count;
        return count;
    }

    /// Whether no channel of a and b differs by more than tolerance.
    static bool similar(runtime::Color a, runtime::Color b, int tolerance = 4)
    {
        return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
               std::abs(a.b - b.b) <= tolerance;
    }

private:
    int m_width = 0;
    int m_height = 0;
    POINT m_clientOrigin{};
    std::vector<std::uint32_t> m_pixels;
};

/// "#rrggbb", for failure messages.
inline std::string hex(runtime::Color color)
{
    char text[8];
    std::snprintf(text, sizeof(text), "#%02x%02x%02x", color.r, color.g, color.b);
    return text;
}

/// A width x height PNG image whose pixel (x, y) is pixel(x, y), encoded by GDI+.
inline std::string pngOf(int width, int height,
                         const std::function<runtime::Color(int x, int y)> &pixel)
{
    Gdiplus::Bitmap image(width, height, PixelFormat32bppARGB);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const runtime::Color c = pixel(x, y);
            image.SetPixel(x, y, Gdiplus::Color(c.a, c.r, c.g, c.b));
        }
    UINT count = 0;
    UINT size = 0;
    Gdiplus::GetImageEncodersSize(&count, &size);
    std::vector<std::uint8_t> buffer(size);
    auto *encoders = reinterpret_cast<Gdiplus::ImageCodecInfo *>(buffer.data());
    Gdiplus::GetImageEncoders(count, size, encoders);
    const CLSID *png = nullptr;
    for (UINT i = 0; i < count; ++i)
        if (std::wstring(encoders[i].MimeType) == L"image/png")
            png = &encoders[i].Clsid;
    IStream *stream = nullptr;
    if (png == nullptr || FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream)))
        throw std::runtime_error("no PNG encoder");
    if (image.Save(stream, png, nullptr) != Gdiplus::Ok) {
        stream->Release();
        throw std::runtime_error("the PNG image could not be encoded");
    }
    STATSTG stat{};
    stream->Stat(&stat, STATFLAG_NONAME);
    HGLOBAL memory = nullptr;
    GetHGlobalFromStream(stream, &memory);
    const auto *bytes = static_cast<const char *>(GlobalLock(memory));
    std::string result(bytes, static_cast<std::size_t>(stat.cbSize.QuadPart));
    GlobalUnlock(memory);
    stream->Release();
    return result;
}

} // namespace windowpixels
