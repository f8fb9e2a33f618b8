#pragma once

#include "control/BajaArchivos.h"
#include "platform/AutoSizeLabel.h"
#include "platform/FileListBox.h"
#include "platform/FolderLock.h"
#include "platform/ProgressBar.h"
#include "platform/Shape.h"
#include "platform/SkinEngine.h"
#include "platform/SkinLabel.h"

#include <QLineEdit>
#include <QPushButton>
#include <QVariant>
#include <QWidget>
#include <memory>

class ExecutableBackup;

/// The update window and the update run its handlers drive: wait, download the new executable
/// with progress while the old one stays in place, check it and swap it in, hand over to it and
/// fall back to the old one should it not start. UI thread only.
class Form2 : public QWidget
{
    Q_OBJECT
public:
    /// How the program ends.
    enum ExitCode
    {
        /// The new executable is in place and was seen running.
        kExitUpdated = 0,
        /// The update failed, or the new executable did not start: the old one is in place and
        /// was started (when it can run).
        kExitFailed = 1,
        /// The window was closed before the end: the old executable is in place, nothing started.
        kExitClosed = 2,
        /// Another update runs in the folder: nothing was touched.
        kExitBusy = 3,
        /// The old executable could not be put back; it is kept under the backup name.
        kExitRestoreFailed = 4
    };

    /// How long a newly started executable must keep from being killed by a signal before its
    /// predecessor is given up.
    static constexpr int kStartWatchMs = 5000;

    /// UI thread. Builds the window with its controls at their design values; does not show it.
    /// Throws PlatformError when the download control cannot start.
    explicit Form2(QWidget *parent = nullptr);
    ~Form2() override;

    /// UI thread. The window's load handler: runs once, before the window is first shown.
    /// Never throws.
    void Form_Load();

    /// UI thread. Waits interval seconds (the number its text form begins with), dispatching
    /// events as they arrive without keeping a processor busy; 0, a negative number or a text
    /// with no number returns at once. Throws PlatformError when interval has no text form.
    void Pause(const QVariant &interval);

    /// UI thread. Ends the program because the system asked it to end: before the update is over
    /// this is a close of the window; afterwards the program ends without starting anything.
    /// Never throws.
    void requestEnd();

    /// UI thread. The window's caption, which is exactly its title. Never throws.
    QString Caption() const { return windowTitle(); }
    void setCaption(const QString &caption) { setWindowTitle(caption); }

    // The window's controls, in the order they are created.
    platform::SkinLabel *Label1;
    platform::SkinEngine *Skin1;
    platform::FileListBox *File1;
    QLineEdit *txtSave;
    BajaArchivos *j; // nullptr once the window has been closed
    QPushButton *Command1;
    QLineEdit *txtURL;
    platform::ProgressBar *pB;
    platform::SkinLabel *lbl1;
    platform::AutoSizeLabel *Label3;
    platform::Shape *Shape1;
    platform::AutoSizeLabel *Label2;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void Command1_Click();
    void File1_Click();
    void j_Progress(const int &DownLoadedBytes, const int &TotalBytes, const QString &sId);
    void j_Completed(const int &Bytes, const QString &sId);

    void abandonRun();
    void refuseSecondRun();
    void finishUpdated(const QString &syncFailure);
    void finishFailed(const QString &reason);
    void rollBackFailedStart(const QString &reason);
    void tell(const QString &text);
    void endRun(int exitCode);
    BajaArchivos &control() const;
    QString executablePath() const;
    ExecutableBackup backup() const;

    bool m_finished = false;
    int m_exitCode = kExitClosed;
    QString m_lastClickFailure; // why the last Download was refused, "" if it was not
    QString m_startFailure;     // why the run cannot go ahead, "" while it can
    std::unique_ptr<platform::FolderLock> m_lock;
};
