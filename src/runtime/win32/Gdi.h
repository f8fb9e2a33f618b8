#pragma once

#include <optional>
#include <utility>
#include <windows.h>

// Owners of GDI resources, so that every object, device context and selection made is given back
// exactly once, whichever way its scope ends.
namespace runtime::win32 {

/// A GDI object (a font, a brush, a bitmap) that its holder deletes when it goes or is replaced.
/// Move-only; one thread at a time.
template <typename Handle> class GdiObject
{
public:
    /// Any thread. Holds nothing, or handle (null: nothing). Never throws.
    GdiObject() noexcept = default;
    explicit GdiObject(Handle handle) noexcept : m_handle(handle) {}
    /// Any thread. Deletes the object held. Never throws.
    ~GdiObject() { reset(); }
    GdiObject(GdiObject &&other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
    GdiObject &operator=(GdiObject &&other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.m_handle, nullptr));
        return *this;
    }
    GdiObject(const GdiObject &) = delete;
    GdiObject &operator=(const GdiObject &) = delete;

    /// Any thread. The object held; null for none. Never throws.
    Handle get() const noexcept { return m_handle; }
    explicit operator bool() const noexcept { return m_handle != nullptr; }
    /// Any thread. Deletes the object held and holds handle instead. Never throws.
    void reset(Handle handle = nullptr) noexcept
    {
        if (m_handle != nullptr && m_handle != handle)
            DeleteObject(m_handle);
        m_handle = handle;
    }

private:
    Handle m_handle = nullptr;
};

/// The device context of a window's client area (null window: the screen), or of the whole
/// window with its frame, released when it goes. The window's thread.
class WindowDc
{
public:
    enum class Area
    {
        Client,
        Whole
    };
    /// Never throws; get() is null when Windows gave none.
    explicit WindowDc(HWND window, Area area = Area::Client) noexcept
        : m_window(window), m_dc(area == Area::Whole ? GetWindowDC(window) : GetDC(window))
    {}
    /// Never throws.
    ~WindowDc()
    {
        if (m_dc != nullptr)
            ReleaseDC(m_window, m_dc);
    }
    WindowDc(const WindowDc &) = delete;
    WindowDc &operator=(const WindowDc &) = delete;

    /// Never throws.
    HDC get() const noexcept { return m_dc; }

private:
    HWND m_window;
    HDC m_dc;
};

/// An object selected into a device context, with the one it replaced put back when it goes.
/// The thread of the device context.
class Selection
{
public:
    /// Never throws.
    Selection(HDC dc, HGDIOBJ object) noexcept : m_dc(dc), m_previous(SelectObject(dc, object)) {}
    /// Never throws.
    ~Selection()
    {
        if (m_previous != nullptr && m_previous != HGDI_ERROR)
            SelectObject(m_dc, m_previous);
    }
    Selection(const Selection &) = delete;
    Selection &operator=(const Selection &) = delete;

private:
    HDC m_dc;
    HGDIOBJ m_previous;
};

/// A memory device context compatible with another (null: the screen), deleted when it goes.
/// One thread.
class MemoryDc
{
public:
    /// Never throws; get() is null when Windows gave none.
    explicit MemoryDc(HDC like) noexcept : m_dc(CreateCompatibleDC(like)) {}
    /// Never throws.
    ~MemoryDc()
    {
        if (m_dc != nullptr)
            DeleteDC(m_dc);
    }
    MemoryDc(const MemoryDc &) = delete;
    MemoryDc &operator=(const MemoryDc &) = delete;

    /// Never throws.
    HDC get() const noexcept { return m_dc; }

private:
    HDC m_dc;
};

/// A bitmap held in a memory device context of its own, selected there until it goes: what a
/// painting without flicker is drawn on before it is copied out in one BitBlt. One thread.
class Canvas
{
public:
    /// Never throws. A canvas of width x height compatible with like, from createCanvas in
    /// SkinPaint.h (32-bit, top-down); dc() paints into nothing when none could be made.
    Canvas(HDC like, int width, int height) noexcept;
    Canvas(const Canvas &) = delete;
    Canvas &operator=(const Canvas &) = delete;

    /// Never throws.
    HDC dc() const noexcept { return m_dc.get(); }

private:
    // In this order, so that the bitmap leaves the device context before either is deleted.
    MemoryDc m_dc;
    GdiObject<HBITMAP> m_bitmap;
    std::optional<Selection> m_selection;
};

} // namespace runtime::win32
