// Downloads one URL to one path through the download control and the real transfer facility,
// then checks the file. Prints one line of key=value figures.
//
//   fetch URL DEST [--expect-size N] [--sha256] [--signed HEX]
//
// The timed part runs from Download() to Completed; the SHA-256, when asked for, is computed
// afterwards (callers timing the whole process leave it out and check the file themselves).
// --signed HEX makes it a signed download, as a signed build's: the control holds the transfer
// to the size of --expect-size and the SHA-256 HEX, which the transfer computes as it writes.

#include "control/BajaArchivos.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <algorithm>
#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: fetch URL DEST [--expect-size N] [--sha256] [--signed HEX]\n");
        return 2;
    }
    const QString url = args.at(1);
    const QString destination = args.at(2);
    const qsizetype expectAt = args.indexOf(QStringLiteral("--expect-size"));
    const qint64 expected =
        expectAt > 0 && expectAt + 1 < args.size() ? args.at(expectAt + 1).toLongLong() : -1;
    const bool wantHash = args.contains(QStringLiteral("--sha256"));
    const qsizetype signedAt = args.indexOf(QStringLiteral("--signed"));

    BajaArchivos control;
    if (signedAt > 0 && signedAt + 1 < args.size()) {
        const QByteArray digest = QByteArray::fromHex(args.at(signedAt + 1).toLatin1());
        runtime::Sha256Digest signedHash{};
        if (digest.size() != static_cast<qsizetype>(signedHash.size()) || expected < 0) {
            std::fprintf(stderr, "fetch: --signed needs a SHA-256 and --expect-size\n");
            return 2;
        }
        std::copy(digest.begin(), digest.end(), signedHash.begin());
        control.expect("Id", expected, signedHash);
    }
    qint64 progressEvents = 0;
    std::int64_t lastProgress = 0;
    qint64 elapsedNs = 0;
    QElapsedTimer clock;
    control.onProgress(
        [&](const std::int64_t &downloaded, const std::int64_t &, const std::string &) {
            ++progressEvents;
            lastProgress = downloaded;
        });
    control.onCompleted([&](const std::int64_t &, const std::string &) {
        elapsedNs = clock.nsecsElapsed();
        QApplication::exit(0);
    });
    clock.start();
    control.Download(url.toStdString(), destination.toStdString());
    QApplication::exec();

    const DownloadResult result = control.lastResult("Id");
    if (!result.inPlace) {
        std::fprintf(stderr, "fetch: failed: %s\n", result.failure.c_str());
        return 1;
    }
    QFile file(destination);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "fetch: cannot read %s\n", destination.toUtf8().constData());
        return 1;
    }
    const qint64 size = file.size();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (wantHash)
        hash.addData(&file);
    const double seconds = static_cast<double>(elapsedNs) / 1e9;
    std::printf("seconds=%.3f bytes=%lld progress_events=%lld events_per_second=%.1f "
                "last_progress=%lld sha256=%s\n",
                seconds, static_cast<long long>(size), static_cast<long long>(progressEvents),
                seconds > 0 ? static_cast<double>(progressEvents) / seconds : 0.0,
                static_cast<long long>(lastProgress),
                wantHash ? hash.result().toHex().constData() : "-");
    if (expected >= 0 && size != expected) {
        std::fprintf(stderr, "fetch: size %lld, expected %lld\n", static_cast<long long>(size),
                     static_cast<long long>(expected));
        return 1;
    }
    return 0;
}
