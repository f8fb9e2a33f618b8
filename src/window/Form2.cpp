#include "Form2.h"

#include "ExecutableBackup.h"
#include "WindowIcon.h"
#include "platform/Application.h"
#include "platform/Conversions.h"
#include "platform/Dialogs.h"
#include "platform/EventPump.h"
#include "platform/Files.h"
#include "platform/PlatformError.h"
#include "platform/Statement.h"
#include "platform/Twips.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <cmath>
#include <limits>

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
    // Before anything else: put back what an interrupted earlier run left behind.
    runStatement([&] { backup().recover(); });

    runStatement([&] {
        File1->setPath(platform::applicationFolder() + platform::separator() + kSkinFolderName +
                       platform::separator());
    });
    runStatement([&] { File1->setFileName(kSkinFileName); });
    runStatement([&] { File1_Click(); });
    runStatement([&] { Pause(3); });
    // The old executable is moved aside rather than deleted, so it can come back if the
    // update does not end with a new one in place.
    runStatement([&] { backup().moveAside(); });
    runStatement([&] { txtSave->setText(executablePath()); });
    runStatement([&] { Label3->setCaption(kExecutableName); });
    runStatement([&] { Command1_Click(); });

    // A download refused at once would leave the window waiting for a completion that never
    // comes; hand over as a failure once the window is up.
    if (!m_lastClickFailure.isEmpty()) {
        const QString reason = m_lastClickFailure;
        QTimer::singleShot(0, this, [this, reason] { finishFailed(reason); });
    }
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
    bool updated = false;
    runStatement([&] { updated = result.inPlace && result.destination == executablePath(); });
    if (updated)
        finishUpdated();
    else
        finishFailed(result.failure.isEmpty() ? QString::fromStdString(reason) : result.failure);
}

void Form2::finishUpdated()
{
    m_finished = true;
    m_exitCode = kExitUpdated;
    runStatement([&] {
        const ExecutableBackup saved = backup();
        platform::copyExecutablePermissions(
            platform::pathExists(saved.backupPath()) ? saved.backupPath() : QString(),
            executablePath());
    });
    runStatement([&] { backup().discard(); });
    runStatement([&] { setCaption(kCompleted); });
    runStatement([&] { platform::messageBox(kCompleted); });
    runStatement(
        [&] { platform::startProgram(executablePath(), platform::WindowState::MinimizedFocus); });
    platform::endProgram(kExitUpdated);
}

void Form2::finishFailed(const QString &reason)
{
    if (m_finished)
        return;
    m_finished = true;
    m_exitCode = kExitFailed;
    // The old executable goes back first, so it is in place whatever happens to this process
    // while the message is on screen.
    runStatement([&] { backup().restore(); });
    runStatement([&] { setCaption(kFailed); });
    runStatement(
        [&] { platform::messageBox(kFailed + QStringLiteral("\n\n") + asSentence(reason)); });
    runStatement(
        [&] { platform::startProgram(executablePath(), platform::WindowState::MinimizedFocus); });
    platform::endProgram(kExitFailed);
}

void Form2::requestEnd()
{
    if (!m_finished)
        abandonRun();
    else
        platform::endProgram(m_exitCode);
}

void Form2::abandonRun()
{
    m_finished = true;
    m_exitCode = kExitClosed;
    // Destroying the control cancels its transfer, removes the temporary file and joins the
    // worker, so nothing is left half-written when the old executable comes back.
    delete j;
    j = nullptr;
    runStatement([&] { backup().restore(); });
    platform::endProgram(kExitClosed);
}

void Form2::closeEvent(QCloseEvent *event)
{
    if (!m_finished)
        abandonRun();
    event->accept();
}
