#include "Controls.h"
#include "SkinDecoration.h"
#include "SkinPainter.h"
#include "Widgets.h"
#include "Window.h"
#include "runtime/RuntimeError.h"

#include <QApplication>

namespace runtime {

namespace qt {

namespace {

void requireWindowSystem()
{
    if (qobject_cast<QApplication *>(QCoreApplication::instance()) == nullptr)
        throw RuntimeError(ErrorKind::Unavailable,
                           "no control can be made without a window system");
}

// A widget added to a window already on the screen stays hidden until it is shown itself.
template <typename W> W *placed(W *widget)
{
    if (widget->parentWidget() != nullptr && widget->parentWidget()->isVisible())
        widget->show();
    return widget;
}

/// The Linux runtime's controls: Qt widgets, each a child of its window's widget.
class QtControlFactory final : public ControlFactory
{
public:
    std::unique_ptr<Window> createWindow() override
    {
        requireWindowSystem();
        return std::make_unique<QtWindow>();
    }

    std::unique_ptr<Label> createLabel(Window &window) override
    {
        return std::make_unique<QtLabel>(placed(new LabelWidget(windowWidget(window))));
    }

    std::unique_ptr<TextBox> createTextBox(Window &window) override
    {
        return std::make_unique<QtTextBox>(placed(new QLineEdit(windowWidget(window))));
    }

    std::unique_ptr<CommandButton> createCommandButton(Window &window) override
    {
        return std::make_unique<QtCommandButton>(placed(new QPushButton(windowWidget(window))));
    }

    std::unique_ptr<FileListBox> createFileListBox(Window &window) override
    {
        return std::make_unique<QtFileListBox>(placed(new FileListWidget(windowWidget(window))));
    }

    std::unique_ptr<Shape> createShape(Window &window) override
    {
        auto *shape = new ShapeWidget(windowWidget(window));
        // Graphical controls sit beneath the windowed ones, yet above a skin's backdrop.
        shape->lower();
        if (auto *backdrop = shape->parentWidget()->findChild<SkinBackdrop *>(
                QString(), Qt::FindDirectChildrenOnly))
            backdrop->lower();
        return std::make_unique<QtShape>(placed(shape));
    }

    std::unique_ptr<ProgressBar> createProgressBar(Window &window) override
    {
        return std::make_unique<QtProgressBar>(placed(new ProgressBarWidget(windowWidget(window))));
    }

    std::unique_ptr<SkinLabel> createSkinLabel(Window &window) override
    {
        return std::make_unique<QtSkinLabel>(placed(new SkinLabelWidget(windowWidget(window))));
    }

    std::unique_ptr<SkinPainter> createSkinPainter(Window &window) override
    {
        // The painter finds windows by handle; this one only has to be of this runtime.
        static_cast<void>(windowWidget(window));
        return std::make_unique<QtSkinPainter>();
    }

    std::unique_ptr<ControlFace> createControlFace(Window *container) override
    {
        requireWindowSystem();
        QWidget *parent = container != nullptr ? windowWidget(*container) : nullptr;
        return std::make_unique<QtControlFace>(placed(new FaceWidget(parent)));
    }
};

} // namespace

} // namespace qt

ControlFactory &controls()
{
    static qt::QtControlFactory factory;
    return factory;
}

} // namespace runtime
