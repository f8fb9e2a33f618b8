#include "Form2.h"

#include "ExecutableBackup.h"
#include "WindowIcon.h"
#include "platform/Application.h"
#include "platform/Conversions.h"
#include "platform/Dialogs.h"
#include "platform/EventPump.h"
#include "platform/Executables.h"
#include "platform/Files.h"
#include "platform/PlatformError.h"
#include "platform/Statement.h"
#include "platform/Twips.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>

#ifndef REFITOR_DOWNLOAD_URL
#define REFITOR_DOWNLOAD_URL "http://download.korvane.example/ProgramFiles/Korvane.exe"
#endif

using platform::runStatement;

namespace {

QRect twips(int left, int top, int width, int height)
{
    using platform::twipsToPixels;
    return {twipsToPixels(left), twipsToPixels(top), twipsToPixels(width), twipsToPixels(height)};
}

const QString kCaption = QStringLiteral("Updating Korvane");
const QString kCompleted = QStringLiteral("Update is completed");
const QString kFailed = QStringLiteral("Update failed");
const QString kExecutableName = QStringLiteral("Korvane.exe");
const QString kSkinFolderName = QStringLiteral("SKN");
const QString kSkinFileName = QStringLiteral("SoftCrystal.skn");

QFont designFont(bool bold = false)
{
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPointSizeF(8.25);
    font.setBold(bold);
    return font;
}

// "the server answered 404" becomes "The server answered 404."
QString asSentence(QString reason)
{
    reason = reason.trimmed();
    if (reason.isEmpty())
        reason = QStringLiteral("the download did not complete");
    reason[0] = reason[0].toUpper();
    if (!reason.endsWith(u'.'))
        reason.append(u'.');
    return reason;
}

} // namespace

Form2::Form2(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("Form2"));
    setCaption(kCaption);
    setWindowIcon(updateWindowIcon());
    setFont(designFont());
    QPalette background = palette();
    background.setColor(QPalette::Window, QColor(224, 224, 224));
    setPalette(background);
    setAutoFillBackground(true);
    setFixedSize(twips(0, 0, 5430, 990).size());

    Label1 = new platform::SkinLabel(this);
    Label1->setGeometry(twips(3240, 240, 1935, 255));

    Skin1 = new platform::SkinEngine(this);
    platform::SkinSettings skinSettings;
    skinSettings.hue = 0;
    skinSettings.backColor = QColor(255, 255, 255);
    skinSettings.foreColor = QColor(0, 0, 0);
    skinSettings.panelColor = QColor(216, 233, 236);
    skinSettings.panelTextColor = QColor(0, 0, 0);
    skinSettings.applyColors = true;
    skinSettings.skinClientArea = true;
    Skin1->setSettings(skinSettings);

    File1 = new platform::FileListBox(this);
    File1->setGeometry(twips(8160, 2520, 2055, 1455));
    File1->setPattern(QStringLiteral("*.skn"));

    txtSave = new QLineEdit(QStringLiteral("C:\\Temp\\Test.exe"), this);
    txtSave->setGeometry(twips(960, 1740, 6195, 315));

    j = new BajaArchivos(this);
    j->move(twips(5040, 2640, 720, 720).topLeft());
    j->setVisible(false);

    Command1 = new QPushButton(QStringLiteral("Download"), this);
    Command1->setGeometry(twips(3360, 2760, 1215, 435));
    Command1->setAutoDefault(false);

    txtURL = new QLineEdit(QStringLiteral(REFITOR_DOWNLOAD_URL), this);
    txtURL->setGeometry(twips(240, 2280, 7395, 315));

    pB = new platform::ProgressBar(this);
    pB->setGeometry(twips(240, 480, 4935, 315));

    lbl1 = new platform::SkinLabel(this);
    lbl1->setGeometry(twips(240, 240, 1935, 255));

    Label3 = new platform::AutoSizeLabel(QString(), this);
    Label3->move(twips(5880, 240, 90, 195).topLeft());
    Label3->resize(twips(5880, 240, 90, 195).size());
    Label3->setFont(designFont(true));
    Label3->setAlignment(Qt::AlignCenter);
    Label3->setAutoFillBackground(true);

    Shape1 = new platform::Shape(this);
    Shape1->setGeometry(twips(120, 120, 5175, 735));
    // Graphical controls sit beneath the windowed ones.
    Shape1->lower();

    Label2 = new platform::AutoSizeLabel(QString(), this);
    Label2->move(twips(120, 1800, 735, 195).topLeft());
    Label2->setCaption(QStringLiteral("Save As..."));

    // Only the runtime's own input controls take the focus, all of them out of sight.
    setTabOrder(Command1, txtURL);
    setTabOrder(txtURL, txtSave);
    setTabOrder(txtSave, File1);
    Command1->setFocus(Qt::OtherFocusReason);

    connect(Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
    connect(File1, &platform::FileListBox::Click, this, [this] { File1_Click(); });
    connect(j, &BajaArchivos::Progress, this, &Form2::j_Progress);
    connect(j, &BajaArchivos::Completed, this, &Form2::j_Completed);

    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

Form2::~Form2() = default;

BajaArchivos &Form2::control() const
{
    if (j == nullptr)
        throw platform::PlatformError("the download control is gone");
    return *j;
}

QString Form2::executablePath() const
{
    return platform::applicationFolder() + platform::separator() + kExecutableName;
}

ExecutableBackup Form2::backup() const
{
    return ExecutableBackup(executablePath());
}

void Form2::Form_Load()
{
    // One updater per folder, before anything is looked at: a second one (a double click) would
    // take over the first one's files.
    bool busy = false;
    std::string reason;
    if (runStatement(
            [&] {
                m_lock = platform::FolderLock::tryAcquire(backup().lockPath());
                busy = m_lock == nullptr;
            },
            &reason)) {
        if (busy) {
            refuseSecondRun();
            return;
        }
        // Put right what an interrupted earlier run left behind.
        runStatement([&] { backup().recover(); });
    } else {
        m_startFailure = QString::fromStdString(reason);
    }

    runStatement([&] {
        File1->setPath(platform::applicationFolder() + platform::separator() + kSkinFolderName +
                       platform::separator());
    });
    runStatement([&] { File1->setFileName(kSkinFileName); });
    runStatement([&] { File1_Click(); });
    runStatement([&] { Pause(3); });
    // The old executable stays where it is, runnable, until a checked new one replaces it; only
    // what an update must not replace is refused here, before anything is downloaded.
    if (m_startFailure.isEmpty() && !runStatement([&] { backup().checkReplaceable(); }, &reason))
        m_startFailure = QString::fromStdString(reason);
    runStatement([&] { txtSave->setText(executablePath()); });
    runStatement([&] { Label3->setCaption(kExecutableName); });
    if (m_startFailure.isEmpty())
        runStatement([&] { Command1_Click(); });

    // A run refused at once would leave the window waiting for a completion that never comes;
    // hand over as a failure once the window is up.
    const QString failure = m_startFailure.isEmpty() ? m_lastClickFailure : m_startFailure;
    if (!failure.isEmpty())
        QTimer::singleShot(0, this, [this, failure] { finishFailed(failure); });
}

void Form2::refuseSecondRun()
{
    m_finished = true;
    m_exitCode = kExitBusy;
    tell(QStringLiteral("An update of Korvane is already running in this folder."));
    endRun(kExitBusy);
}

void Form2::Command1_Click()
{
    std::string reason;
    m_lastClickFailure.clear();
    if (!runStatement([&] { control().Download(txtURL->text(), txtSave->text()); }, &reason))
        m_lastClickFailure = QString::fromStdString(reason);
}

void Form2::Pause(const QVariant &interval)
{
    // A monotonic clock: a wait across midnight or a change of the system clock still ends
    // after the interval.
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const double limit = platform::valueOfText(platform::textOfValue(interval));
        const double elapsed = static_cast<double>(clock.nsecsElapsed()) / 1e9;
        if (!(elapsed < limit))
            return;
        const double remainingMs = std::ceil((limit - elapsed) * 1000.0);
        platform::waitForEvents(remainingMs >= std::numeric_limits<int>::max()
                                    ? std::numeric_limits<int>::max()
                                    : static_cast<int>(remainingMs));
    }
}

void Form2::File1_Click()
{
    runStatement([&] { Skin1->AttachWindow(winId()); });
    runStatement(
        [&] { Skin1->LoadSkinFile(File1->Path() + platform::separator() + File1->FileName()); });
    runStatement([&] { Skin1->ApplySkin(winId()); });
}

void Form2::j_Progress(const int &DownLoadedBytes, const int &TotalBytes, const QString &sId)
{
    Q_UNUSED(sId);
    if (DownLoadedBytes <= 0 || m_finished)
        return;
    runStatement([&] {
        if (TotalBytes == 0)
            throw platform::PlatformError("division by zero");
        // In double precision, so counts above 21,474,836 do not overflow a 32-bit product.
        const double percent = static_cast<double>(DownLoadedBytes) * 100.0 / TotalBytes;
        const auto single = static_cast<float>(percent);
        if (!std::isfinite(single))
            throw platform::PlatformError("overflow");
        pB->setValue(single);
    });
    runStatement([&] {
        lbl1->setCaption(platform::textOfInt(DownLoadedBytes) + u'/' +
                         platform::textOfInt(TotalBytes));
    });
    runStatement([&] { Label1->setCaption(platform::textOfSingle(pB->Value()) + u'%'); });
    runStatement([&] { setCaption(kCaption + u' ' + platform::textOfSingle(pB->Value()) + u'%'); });
}

void Form2::j_Completed(const int &Bytes, const QString &sId)
{
    Q_UNUSED(Bytes);
    if (m_finished)
        return;
    DownloadResult result;
    std::string reason;
    runStatement([&] { result = control().lastResult(sId); }, &reason);
    QString failure = result.failure.isEmpty() ? QString::fromStdString(reason) : result.failure;
    bool installed = false;
    if (!result.temporary.isEmpty()) {
        // The old executable was in the way, as it should be: the data waits in the transfer's
        // file, and is checked and swapped in here.
        installed = runStatement([&] { backup().install(result.temporary); }, &reason);
    } else if (result.inPlace && result.destination == executablePath()) {
        // There was no old executable, so the file went straight to its name.
        installed = runStatement([&] { backup().adopt(); }, &reason);
    } else if (result.inPlace) {
        failure = QStringLiteral("the download went to %1 instead").arg(result.destination);
    }
    if (!installed) {
        finishFailed(reason.empty() ? failure : QString::fromStdString(reason));
        return;
    }
    QString syncFailure = result.syncFailure;
    if (!runStatement([&] { platform::syncFolder(platform::applicationFolder()); }, &reason))
        syncFailure = QString::fromStdString(reason);
    finishUpdated(syncFailure);
}

void Form2::finishUpdated(const QString &syncFailure)
{
    m_finished = true;
    m_exitCode = kExitUpdated;
    runStatement([&] { setCaption(kCompleted); });
    QString text = kCompleted;
    if (!syncFailure.isEmpty()) {
        // The new executable is in place; only the durability of its name is in doubt.
        text += QStringLiteral("\n\nThe new Korvane.exe is in place, but the folder could not be "
                               "written to disk (%1). If the computer loses power soon, the "
                               "previous version may come back.")
                    .arg(syncFailure);
    }
    tell(text);

    // The previous version stays as the backup until the new one is seen running.
    std::optional<platform::StartedProgram> started;
    std::string startFailure;
    runStatement(
        [&] {
            started.emplace(
                platform::startProgram(executablePath(), platform::WindowState::MinimizedFocus));
        },
        &startFailure);
    if (started) {
        using platform::StartedProgram;
        if (started->watch(std::chrono::milliseconds(kStartWatchMs)) ==
            StartedProgram::State::EndedBySignal) {
            startFailure = QStringLiteral("it was ended by %1 as it started")
                               .arg(platform::signalName(started->endingSignal()))
                               .toStdString();
        }
    }
    if (!startFailure.empty()) {
        rollBackFailedStart(QString::fromStdString(startFailure));
        return;
    }
    runStatement([&] { backup().discard(); });
    endRun(kExitUpdated);
}

void Form2::rollBackFailedStart(const QString &reason)
{
    m_exitCode = kExitFailed;
    runStatement([&] { setCaption(kFailed); });
    const QString newOne = QStringLiteral("The new Korvane.exe did not start: %1.").arg(reason);
    if (!backup().hasBackup()) {
        tell(kFailed + QStringLiteral("\n\n") + newOne);
        endRun(kExitFailed);
        return;
    }
    std::string restoreFailure;
    if (!runStatement([&] { backup().rollBack(); }, &restoreFailure)) {
        m_exitCode = kExitRestoreFailed;
        tell(kFailed + QStringLiteral("\n\n") + newOne +
             QStringLiteral("\n\nThe previous version could not be put back (%1). It is kept as "
                            "%2.")
                 .arg(QString::fromStdString(restoreFailure),
                      QFileInfo(backup().backupPath()).fileName()));
        endRun(kExitRestoreFailed);
        return;
    }
    tell(kFailed + QStringLiteral("\n\n") + newOne +
         QStringLiteral(" The previous version was restored."));
    runStatement(
        [&] { platform::startProgram(executablePath(), platform::WindowState::MinimizedFocus); });
    endRun(kExitFailed);
}

void Form2::finishFailed(const QString &reason)
{
    if (m_finished)
        return;
    m_finished = true;
    m_exitCode = kExitFailed;
    // The old executable stays in place during the download; only a swap that failed halfway
    // can have left it aside.
    std::string restoreFailure;
    const bool restored = runStatement([&] { backup().restore(); }, &restoreFailure);
    runStatement([&] { setCaption(kFailed); });
    QString text = kFailed + QStringLiteral("\n\n") + asSentence(reason);
    if (!restored) {
        m_exitCode = kExitRestoreFailed;
        text += QStringLiteral("\n\nThe previous version could not be put back (%1). It is kept "
                               "as %2.")
                    .arg(QString::fromStdString(restoreFailure),
                         QFileInfo(backup().backupPath()).fileName());
    }
    tell(text);
    if (restored && platform::isRunnableExecutable(executablePath())) {
        runStatement([&] {
            platform::startProgram(executablePath(), platform::WindowState::MinimizedFocus);
        });
    }
    endRun(m_exitCode);
}

void Form2::tell(const QString &text)
{
    // Also on the standard error, for whoever started the updater from a terminal or a script.
    std::fprintf(
        stderr, "Refitor: %s\n",
        QString(text).replace(QStringLiteral("\n\n"), QStringLiteral(" ")).toUtf8().constData());
    runStatement([&] { platform::messageBox(text); });
}

void Form2::endRun(int exitCode)
{
    m_lock.reset();
    platform::endProgram(exitCode);
}

void Form2::requestEnd()
{
    if (!m_finished)
        abandonRun();
    else
        endRun(m_exitCode);
}

void Form2::abandonRun()
{
    m_finished = true;
    m_exitCode = kExitClosed;
    // Destroying the control cancels its transfer, removes the temporary file and joins the
    // worker, so nothing is left half-written.
    delete j;
    j = nullptr;
    std::string restoreFailure;
    if (!runStatement([&] { backup().restore(); }, &restoreFailure)) {
        m_exitCode = kExitRestoreFailed;
        tell(kFailed + QStringLiteral("\n\nThe previous version could not be put back (%1). It "
                                      "is kept as %2.")
                           .arg(QString::fromStdString(restoreFailure),
                                QFileInfo(backup().backupPath()).fileName()));
    }
    endRun(m_exitCode);
}

void Form2::closeEvent(QCloseEvent *event)
{
    if (!m_finished)
        abandonRun();
    event->accept();
}
