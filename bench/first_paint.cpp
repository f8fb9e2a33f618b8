// Measures how long the update window takes from the end of its load handler to its first paint,
// the stretch in which a user stares at nothing. The window runs as in the program: an
// application folder with an old Korvane.exe and the skins, a real download started by the load
// handler, then show(). Its folder is a temporary one and ending the program is replaced, so the
// measurement survives the run.
//
//   first_paint URL [--skins FOLDER]
//
// URL should take longer to fetch than the paint (a large file): a download that finished first
// would put its closing message box in the way. Prints one line of key=value figures:
//   paint_ms  from the end of Form_Load to the window's first paint event
//   frame_ms  to the return to the event loop after that paint (painted and handed to the
//             window system)

#include "Product.h"
#include "runtime/Application.h"
#include "window/Form2.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <cstdio>

namespace {

class FirstPaint : public QObject
{
public:
    explicit FirstPaint(const QElapsedTimer &clock) : m_clock(clock) {}

    qint64 paintNs = -1;
    qint64 frameNs = -1;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && paintNs < 0) {
            paintNs = m_clock.nsecsElapsed();
            // Runs once the paint, the children's paints and the flush it belongs to are done.
            QTimer::singleShot(0, this, [this] {
                frameNs = m_clock.nsecsElapsed();
                QApplication::exit(0);
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    const QElapsedTimer &m_clock;
};

bool copySkins(const QString &from, const QString &to)
{
    const QDir source(from);
    if (!QDir().mkpath(to))
        return false;
    const QStringList names = source.entryList({QStringLiteral("*.skn")}, QDir::Files);
    for (const QString &name : names) {
        if (!QFile::copy(source.filePath(name), QDir(to).filePath(name)))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    runtime::setApplicationTitle(product::kTitle);
    const QStringList args = QApplication::arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: first_paint URL [--skins FOLDER]\n");
        return 2;
    }
    const qsizetype skinsAt = args.indexOf(QStringLiteral("--skins"));
    const QString skins =
        skinsAt > 0 && skinsAt + 1 < args.size() ? args.at(skinsAt + 1) : QString();

    QTemporaryDir folder;
    if (!folder.isValid()) {
        std::fprintf(stderr, "first_paint: no temporary folder\n");
        return 1;
    }
    QFile old(folder.filePath(QStringLiteral("Korvane.exe")));
    if (!old.open(QIODevice::WriteOnly) || old.write("#!/bin/sh\nexit 0\n") < 0) {
        std::fprintf(stderr, "first_paint: cannot write the old Korvane.exe\n");
        return 1;
    }
    old.close();
    old.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (!skins.isEmpty() && !copySkins(skins, folder.filePath(QStringLiteral("SKN")))) {
        std::fprintf(stderr, "first_paint: cannot copy the skins from %s\n",
                     skins.toUtf8().constData());
        return 1;
    }
    runtime::setApplicationFolder(folder.path().toStdString());
    int endedWith = -1;
    runtime::setEndProgramHandler([&](int code) {
        endedWith = code;
        QApplication::exit(0);
    });
    // Should the download beat the paint after all, its box must not wait for a click.
    QTimer boxes;
    QObject::connect(&boxes, &QTimer::timeout, [] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
            box->done(QMessageBox::Ok);
    });
    boxes.start(20);

    QElapsedTimer clock;
    FirstPaint watch(clock);
    int result = 0;
    {
        Form2 window;
        window.txtURL->setText(args.at(1).toStdString());
        // The runtime's window is a top-level widget; its first paint is what the user sees.
        QWidget *widget = QWidget::find(static_cast<WId>(window.window().handle()));
        widget->installEventFilter(&watch);
        window.Form_Load();
        clock.start();
        window.window().show();
        QTimer::singleShot(10000, [] { QApplication::exit(1); });
        result = QApplication::exec();
        widget->removeEventFilter(&watch);
    } // the window's control cancels the download and removes its file

    if (result != 0 || watch.paintNs < 0 || watch.frameNs < 0) {
        std::fprintf(stderr, "first_paint: the window was not painted within 10 s\n");
        return 1;
    }
    if (endedWith >= 0)
        std::fprintf(stderr, "first_paint: the run ended (%d) before the first paint\n", endedWith);
    std::printf("paint_ms=%.2f frame_ms=%.2f platform=%s\n",
                static_cast<double>(watch.paintNs) / 1e6, static_cast<double>(watch.frameNs) / 1e6,
                QGuiApplication::platformName().toUtf8().constData());
    return endedWith >= 0 ? 1 : 0;
}
