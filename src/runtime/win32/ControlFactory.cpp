#include "Controls.h"
#include "SkinPainter.h"
#include "Window.h"
#include "runtime/RuntimeError.h"

#include <commctrl.h>

namespace runtime {

namespace win32 {

namespace {

// The common controls' window classes exist once registered; the progress bar is one of them.
void requireCommonControls()
{
    static const bool ready = [] {
        INITCOMMONCONTROLSEX classes{sizeof(classes), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
        return InitCommonControlsEx(&classes) != FALSE;
    }();
    if (!ready)
        throw RuntimeError(ErrorKind::Unavailable, "the common controls could not be started");
}

/// The Windows runtime's controls: Win32 children of their window, or drawn by it.
class Win32ControlFactory final : public ControlFactory
{
public:
    std::unique_ptr<Window> createWindow() override
    {
        requireCommonControls();
        // The window draws its shapes and any skin with GDI+.
        requireGdiPlus();
        return std::make_unique<Win32Window>();
    }

    std::unique_ptr<Label> createLabel(Window &window) override
    {
        return std::make_unique<Win32Label>(win32Window(window));
    }

    std::unique_ptr<TextBox> createTextBox(Window &window) override
    {
        return std::make_unique<Win32TextBox>(win32Window(window));
    }

    std::unique_ptr<CommandButton> createCommandButton(Window &window) override
    {
        return std::make_unique<Win32CommandButton>(win32Window(window));
    }

    std::unique_ptr<FileListBox> createFileListBox(Window &window) override
    {
        return std::make_unique<Win32FileListBox>(win32Window(window));
    }

    std::unique_ptr<Shape> createShape(Window &window) override
    {
        return std::make_unique<Win32Shape>(win32Window(window));
    }

    std::unique_ptr<ProgressBar> createProgressBar(Window &window) override
    {
        requireCommonControls();
        return std::make_unique<Win32ProgressBar>(win32Window(window));
    }

    std::unique_ptr<SkinLabel> createSkinLabel(Window &window) override
    {
        return std::make_unique<Win32SkinLabel>(win32Window(window));
    }

    std::unique_ptr<SkinPainter> createSkinPainter(Window &window) override
    {
        // The painter finds windows by handle; this one only has to be of this runtime.
        static_cast<void>(win32Window(window));
        requireGdiPlus();
        return std::make_unique<Win32SkinPainter>();
    }

    std::unique_ptr<ControlFace> createControlFace(Window *container) override
    {
        return std::make_unique<Win32ControlFace>(container != nullptr ? &win32Window(*container)
                                                                       : nullptr);
    }
};

} // namespace

} // namespace win32

ControlFactory &controls()
{
    static win32::Win32ControlFactory factory;
    return factory;
}

} // namespace runtime
