#pragma once

#include "ReleaseFile.h"
#include "control/BajaArchivos.h"
#include "runtime/Controls.h"
#include "runtime/Files.h"
#include "runtime/Text.h"
#include "skin/SkinEngine.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class ExecutableBackup;

/// The update window and the update run its handlers drive: wait, download the new executable
/// with progress while the old one stays in place, check it and swap it in, hand over to it and
/// fall back to the old one should it not start. UI thread only.
class Form2
{
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
        kExitRestoreFailed = 4,
        /// The update failed and the old executable is in place, but it could not be started.
        kExitNotStarted = 5
    };

    /// How long a newly started executable must keep from crashing before its predecessor is
    /// given up.
    static constexpr int kStartWatchMs = 5000;
    /// How long the swap waits for an old executable that another program holds open (the
    /// product still running, a virus scanner) before the update fails.
    static constexpr int kHeldWaitMs = 30000;

    /// UI thread. Builds the window with its controls at their design values, in the order its
    /// layout stores them; does not show it. Throws RuntimeError when the window system or the
    /// download control cannot start.
    Form2();
    ~Form2();
    Form2(const Form2 &) = delete;
    Form2 &operator=(const Form2 &) = delete;

    /// UI thread. The window's load handler: runs once, before the window is first shown.
    /// Never throws.
    void Form_Load();

    /// UI thread. Waits interval seconds (the number its text form begins with), dispatching
    /// events as they arrive without keeping a processor busy; 0, a negative number or a text
    /// with no number returns at once. Throws RuntimeError when interval has no text form.
    void Pause(const runtime::Value &interval);

    /// UI thread. Ends the program because the system asked it to end: before the update is over
    /// this is a close of the window; afterwards the program ends without starting anything.
    /// Never throws.
    void requestEnd();

    /// UI thread. The window's caption, which is exactly its title. Never throws beyond
    /// std::bad_alloc.
    std::string Caption() const { return m_window->Caption(); }
    void setCaption(const std::string &caption) { m_window->setCaption(caption); }

    /// UI thread. The keys trusted before any release is installed: the build's own unless
    /// changed (tests sign with keys of their own); none makes the run unsigned. Never throws
    /// beyond std::bad_alloc.
    void setCompiledKeys(std::vector<runtime::P256PublicKey> keys)
    {
        m_compiledKeys = std::move(keys);
    }

    /// UI thread. How long the swap waits for an old executable that another program holds
    /// open; kHeldWaitMs unless changed (tests wait less). Never throws.
    void setHeldWaitLimit(std::chrono::milliseconds limit) { m_heldWaitLimit = limit; }

    /// UI thread. The window itself. Never throws.
    runtime::Window &window() { return *m_window; }

    /// UI thread. The window's handler of the control's Progress event: shows the counts in the
    /// bar, the byte counter, the percentage and the caption; TotalBytes is 0 while the size is
    /// unknown. Never throws.
    void j_Progress(const std::int64_t &DownLoadedBytes, const std::int64_t &TotalBytes,
                    const std::string &sId);

    /// Any thread. The whole download's time budget that REFITOR_TIME_BUDGET names ("90",
    /// "90s", "30m", "1h"); none when it is unset, and none with why in reason when it is not
    /// such a time. Never throws beyond std::bad_alloc.
    static std::optional<std::chrono::milliseconds> timeBudgetFromEnvironment(std::string &reason);

private:
    // First, so that it goes last: every control is destroyed before its window.
    std::unique_ptr<runtime::Window> m_window;

public:
    // The window's controls, in the order they are created.
    std::unique_ptr<runtime::SkinLabel> Label1;
    std::unique_ptr<skin::SkinEngine> Skin1;
    std::unique_ptr<runtime::FileListBox> File1;
    std::unique_ptr<runtime::TextBox> txtSave;
    std::unique_ptr<BajaArchivos> j; // null once the window has been closed
    std::unique_ptr<runtime::CommandButton> Command1;
    std::unique_ptr<runtime::TextBox> txtURL;
    std::unique_ptr<runtime::ProgressBar> pB;
    std::unique_ptr<runtime::SkinLabel> lbl1;
    std::unique_ptr<runtime::Label> Label3;
    std::unique_ptr<runtime::Shape> Shape1;
    std::unique_ptr<runtime::Label> Label2;

private:
    void Command1_Click();
    void File1_Click();
    void j_Completed(const std::int64_t &Bytes, const std::string &sId);
    void j_Retrying(const RetryNotice &notice);
    void Form_Unload();

    std::string releaseUrl() const;
    void fetchRelease();
    void releaseFetched();
    std::optional<ReleaseFile> installedRelease();
    void abandonRun();
    void refuseSecondRun();
    void finishUpdated(const std::string &syncFailure);
    void finishFailed(const std::string &reason);
    void rollBackFailedStart(const std::string &reason);
    void startPrevious();
    void tell(const std::string &text);
    void note(const std::string &text) const;
    void noteBackupLeft(const std::string &reason);
    void endRun(int exitCode);
    void endDuringSwap();
    bool waitWhileHeld();
    BajaArchivos &control() const;
    std::string executablePath() const;
    ExecutableBackup backup();
    std::string restoreFailureText(const std::string &reason);

    bool m_finished = false;
    std::string m_lastTold; // what the last message box said, for the log's last line
    int m_exitCode = kExitClosed;
    std::string m_lastClickFailure; // why the last Download was refused, "" if it was not
    std::string m_startFailure;     // why the run cannot go ahead, "" while it can
    std::unique_ptr<runtime::FolderLock> m_lock;
    // The keys this build trusts before any release is installed; none in an unsigned build.
    std::vector<runtime::P256PublicKey> m_compiledKeys;
    // The verified release whose program is being downloaded; empty in an unsigned build.
    std::optional<ReleaseFile> m_release;
    // While the swap runs (and waits for a held executable), a close or an end request is noted
    // here and honoured once the swap has given up: the control's handler is still on the stack
    // then, so the control cannot go, and the downloaded file is the swap's to remove.
    bool m_swapping = false;
    bool m_endRequested = false;
    std::chrono::steady_clock::time_point m_heldSince;
    std::chrono::milliseconds m_heldWaitLimit{kHeldWaitMs};
};
