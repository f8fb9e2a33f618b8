#include "platform/Application.h"
#include "window/Form2.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    platform::setApplicationIdentity();

    Form2 form;
    form.Form_Load();
    form.show();
    return QApplication::exec();
}
