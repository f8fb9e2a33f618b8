#pragma once

#include "SkinPaint.h"
#include "runtime/Controls.h"
#include "runtime/PreparedLook.h"

#include <memory>
#include <optional>
#include <windows.h>

namespace runtime::win32 {

/// The Windows runtime's skin painter. It prepares a look (images decoded, fonts resolved) and
/// hands it to the window it draws, which from then on draws the skin's frame and title bar in
/// place of the platform's, and the skinned client area, panel, skin labels and progress bars
/// (and, with colours applied, the plain controls' colours). What it drew stays on the window
/// until another look replaces it, also after the painter is gone. UI thread only.
class Win32SkinPainter final : public SkinPainter
{
public:
    /// UI thread. A painter with no window and no look.
    Win32SkinPainter() = default;

    /// UI thread. The hue is the system's to turn; the painter only turns images by their own.
    void setSettings(const SkinSettings &settings) override;
    void attach(WindowHandle window) override;
    void load(const SkinLook &look) override;
    /// UI thread. Also throws RuntimeError (Refused) for a window other than the attached one.
    void apply(WindowHandle window) override;

private:
    HWND m_attached = nullptr;
    // The same look loaded again (the system loads before each drawing) is not decoded again.
    look::LoadedLook<PreparedLook> m_look;
    SkinSettings m_settings;
};

} // namespace runtime::win32
