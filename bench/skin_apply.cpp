// How long applying a skin to the update window takes: the three engine operations (window,
// file, window) and the window's repaint, for each skin in a folder, taken in turn so every
// application is a real change of skin. Prints the median, min and max per skin, and the part
// of it spent reading the file.
//
//   skin_apply [SKIN_FOLDER] [ROUNDS]     (defaults: the source tree's skins/, 200 rounds)
#include "skin/SkinFile.h"
#include "window/Form2.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct Figures
{
    double median;
    double min;
    double max;
};

Figures figures(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples.front(), samples.back()};
}

double millisecondsOf(const QElapsedTimer &clock)
{
    return static_cast<double>(clock.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString folder =
        argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(REFITOR_SOURCE_DIR "/skins");
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 200;
    QStringList skins = QDir(folder).entryList({QStringLiteral("*.skn")}, QDir::Files);
    if (skins.isEmpty()) {
        std::fprintf(stderr, "skin_apply: no *.skn in %s\n", qPrintable(folder));
        return 1;
    }

    Form2 window;
    window.window().show();
    QApplication::processEvents();
    QWidget *widget = QWidget::find(static_cast<WId>(window.window().handle()));

    std::vector<std::vector<double>> apply(skins.size());
    std::vector<std::vector<double>> parse(skins.size());
    for (int round = 0; round < rounds; ++round) {
        for (qsizetype i = 0; i < skins.size(); ++i) {
            const std::string path = (folder + u'/' + skins[i]).toStdString();
            QElapsedTimer clock;
            clock.start();
            window.Skin1->AttachWindow(window.window().handle());
            window.Skin1->LoadSkinFile(path);
            window.Skin1->ApplySkin(window.window().handle());
            widget->repaint();
            apply[i].push_back(millisecondsOf(clock));

            clock.restart();
            (void)skin::readSkinFile(path);
            parse[i].push_back(millisecondsOf(clock));
            QApplication::processEvents();
        }
    }

    std::printf("Applying a skin to the update window (window, file, window, then a full repaint;"
                " %d rounds, offscreen):\n",
                rounds);
    for (qsizetype i = 0; i < skins.size(); ++i) {
        const Figures total = figures(apply[i]);
        const Figures reading = figures(parse[i]);
        std::printf("  %-16s median %.3f ms (min %.3f, max %.3f), of which reading the file "
                    "%.3f ms\n",
                    qPrintable(skins[i]), total.median, total.min, total.max, reading.median);
    }
    return 0;
}
