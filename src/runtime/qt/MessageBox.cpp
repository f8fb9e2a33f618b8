#include "runtime/MessageBox.h"

#include "runtime/Application.h"
#include "runtime/RuntimeError.h"

#include <QApplication>
#include <QMessageBox>

namespace runtime {

void messageBox(const std::string &text, MessageStyle style)
{
    if (qobject_cast<QApplication *>(QCoreApplication::instance()) == nullptr)
        throw RuntimeError(ErrorKind::Unavailable,
                           "no message box can be shown without a window system");
    Q_UNUSED(style); // OkOnly is the one style in use.
    QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(applicationTitle()),
                    QString::fromStdString(text), QMessageBox::Ok, QApplication::activeWindow());
    box.setWindowModality(Qt::ApplicationModal);
    box.setDefaultButton(QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace runtime
