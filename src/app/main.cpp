#include "platform/Application.h"
#include "platform/TerminationWatcher.h"
#include "window/Form2.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // Before any thread starts, so that every thread inherits it.
    platform::ignoreWriteSignals();
    QApplication app(argc, argv);
    platform::setApplicationIdentity();

    Form2 form;
    // A logout or shutdown mid-update ends the run as a close of the window would: the old
    // executable comes back at once instead of at the next run.
    platform::TerminationWatcher termination;
    QObject::connect(&termination, &platform::TerminationWatcher::terminationRequested, &form,
                     [&form] { form.requestEnd(); });

    form.Form_Load();
    form.show();
    return QApplication::exec();
}
