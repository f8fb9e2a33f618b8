#include "Dialogs.h"

#include "Application.h"
#include "PlatformError.h"

#include <QApplication>
#include <QMessageBox>

namespace platform {

void messageBox(const QString &text, MessageStyle style)
{
    if (qobject_cast<QApplication *>(QCoreApplication::instance()) == nullptr)
        throw PlatformError("no message box can be shown without a window system");
    Q_UNUSED(style); // OkOnly is the one style in use.
    QMessageBox box(QMessageBox::NoIcon, applicationTitle(), text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setWindowModality(Qt::ApplicationModal);
    box.setDefaultButton(QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace platform
