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
    m_look.load(look, [](const SkinLook &source) { return prepareLook(source); });
}

void Win32SkinPainter::apply(WindowHandle handle)
{
    Win32Window &window = windowOf(handle);
    if (window.hwnd() != m_attached)
        throw RuntimeError(ErrorKind::Refused, "the window was not attached to the skin painter");
    window.setSkin({m_look.current(), m_settings});
}

} // namespace runtime::win32
