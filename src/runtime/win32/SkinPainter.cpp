#include "SkinPainter.h"

#include "Window.h"
#include "runtime/RuntimeError.h"

#include <new>

namespace runtime::win32 {

namespace {

Win32Window &windowOf(WindowHandle handle)
{
    Win32Window *window = Win32Window::fromHandle(reinterpret_cast<HWND>(handle));
    if (window == nullptr)
        throw RuntimeError(ErrorKind::Refused,
                           "the window handle belongs to no window of this program");
    return *window;
}

} // namespace

void Win32SkinPainter::setSettings(const SkinSettings &settings)
{
    m_settings = settings;
}

void Win32SkinPainter::attach(WindowHandle window)
{
    m_attached = windowOf(window).hwnd();
}

void Win32SkinPainter::load(const SkinLook &look)
{
    if (m_source && *m_source == look)
        return;
    // Prepared in full before anything changes, so a refused look leaves the last one alone.
    std::shared_ptr<const PreparedLook> prepared;
    std::optional<SkinLook> source;
    try {
        prepared = std::make_shared<const PreparedLook>(prepareLook(look));
        source = look;
    } catch (const std::bad_alloc &) {
        throw RuntimeError(ErrorKind::Refused, "there is not enough memory to prepare the skin");
    }
    m_source = std::move(source);
    m_prepared = std::move(prepared);
}

void Win32SkinPainter::apply(WindowHandle handle)
{
    Win32Window &window = windowOf(handle);
    if (window.hwnd() != m_attached)
        throw RuntimeError(ErrorKind::Refused, "the window was not attached to the skin painter");
    if (!m_prepared)
        throw RuntimeError(ErrorKind::Refused, "no skin has been prepared for drawing");
    window.setSkin({m_prepared, m_settings});
}

} // namespace runtime::win32
