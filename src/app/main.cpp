// The program's entry on Linux: starts the Qt runtime, builds the update window, runs its load
// handler and shows it. Everything else happens in the window's handlers.

#include "Product.h"
#include "runtime/Application.h"
#include "runtime/Programs.h"
#include "runtime/Termination.h"
#include "window/Form2.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    static_cast<void>(argc);
    // Before any thread starts, so that every thread inherits it.
    runtime::ignoreWriteSignals();
    // The program takes no command line, and Qt's own options (-platform, -style, -reverse)
    // are no exception: Qt sees the program's name alone.
    int qtArgc = 1;
    char *qtArgv[] = {argv[0], nullptr};
    QApplication app(qtArgc, qtArgv);
    QCoreApplication::setApplicationName(QString::fromUtf8(product::kUpdaterName));
    QCoreApplication::setApplicationVersion(QString::fromUtf8(product::kVersion));
    QCoreApplication::setOrganizationDomain(QString::fromUtf8(product::kVendorAddress));
    // No application display name: Qt would append it to every window title, and the window's
    // title must be exactly its caption.
    runtime::setApplicationTitle(product::kTitle);
    runtime::setApplicationName(product::kUpdaterName);

    Form2 form;
    // A logout or shutdown mid-update ends the run as a close of the window would.
    const auto termination = runtime::watchTermination([&form] { form.requestEnd(); });
    form.Form_Load();
    form.window().show();
    return QApplication::exec();
}
