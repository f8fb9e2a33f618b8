#pragma once

#include "Skin.h"
#include "runtime/Controls.h"
#include "runtime/SkinLook.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace skin {

/// The window's skin engine: its three operations read a skin file in this format and have the
/// runtime's painter draw the window with it. Every operation may refuse what it cannot use by
/// throwing; a refused skin file leaves the skin in force. UI thread only.
class SkinEngine
{
public:
    /// Automation identifiers of the three operations and of a skin label's text, kept with the
    /// operations they name; nothing here dispatches by them.
    static constexpr std::int32_t kDispIdAttachWindow = 0x60020009;
    static constexpr std::int32_t kDispIdLoadSkinFile = 0x60020001;
    static constexpr std::int32_t kDispIdApplySkin = 0x60020006;
    static constexpr std::int32_t kDispIdLabelCaption = 0;

    /// UI thread. An engine placed on window, with no skin loaded. Throws RuntimeError when
    /// the runtime has no painter.
    explicit SkinEngine(runtime::Window &window);
    ~SkinEngine();

    /// UI thread. First window-handle operation: takes the window whose native handle this is.
    /// Throws RuntimeError for a handle of no window of this program.
    void AttachWindow(runtime::WindowHandle handle);
    /// UI thread. Skin-file operation: reads the skin at the full path given (UTF-8); it is
    /// drawn at the next ApplySkin. Throws SkinError or RuntimeError when the file is missing,
    /// not a regular file, unreadable, malformed or its images cannot be decoded, and then keeps
    /// the skin it had.
    void LoadSkinFile(const std::string &path);
    /// UI thread. Second window-handle operation: draws the window with the loaded skin and the
    /// current settings. Throws RuntimeError for an unknown handle, a window other than the
    /// attached one, or when no skin has been loaded.
    void ApplySkin(runtime::WindowHandle handle);

    /// UI thread. The engine's stored settings; they take effect at the next ApplySkin. Never
    /// throw beyond std::bad_alloc.
    const runtime::SkinSettings &settings() const { return m_settings; }
    void setSettings(const runtime::SkinSettings &settings) { m_settings = settings; }

    /// UI thread. The full path of the loaded skin, "" when none. Never throws.
    const std::string &skinFile() const { return m_skinFile; }
    /// UI thread. The skin last drawn, with the hue turned as drawn; unset before the first
    /// ApplySkin. Never throws.
    const std::optional<Skin> &appliedSkin() const { return m_applied; }

private:
    std::unique_ptr<runtime::SkinPainter> m_painter;
    std::optional<runtime::WindowHandle> m_attached;
    std::string m_skinFile;
    std::optional<Skin> m_loaded;
    std::optional<Skin> m_applied;
    runtime::SkinSettings m_settings;
};

} // namespace skin
