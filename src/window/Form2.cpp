#include "Form2.h"

#include "ExecutableBackup.h"
#include "Product.h"
#include "ReleaseKeys.h"
#include "WindowIcon.h"
#include "runtime/Application.h"
#include "runtime/EventPump.h"
#include "runtime/MessageBox.h"
#include "runtime/Programs.h"
#include "runtime/RuntimeError.h"
#include "runtime/SkinLook.h"
#include "runtime/Statement.h"
#include "runtime/SupportLog.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

using runtime::runStatement;

namespace {

const std::string kCaption = product::kTitle;
const std::string kCompleted = "Update is completed";
const std::string kFailed = "Update failed";
const std::string kExecutableName = product::kExecutableName;
const std::string kSkinFolderName = "SKN";
const std::string kSkinFileName = "SoftCrystal.skn";
// The transfer that fetches the release file, beside the program's own ("Id").
const std::string kReleaseKey = "Release";
const std::string kProgramKey = "Id";

runtime::FontSpec designFont(bool bold = false)
{
    return {"MS Sans Serif", 8.25, bold};
}

// "the server answered 404 " becomes "the server answered 404.", for the end of a sentence.
std::string sentenceEnd(std::string reason)
{
    const auto first = reason.find_first_not_of(" \t\n");
    reason.erase(0, first == std::string::npos ? reason.size() : first);
    while (!reason.empty() && (reason.back() == ' ' || reason.back() == '\n'))
        reason.pop_back();
    if (reason.empty())
        reason = "the download did not complete";
    if (reason.back() != '.')
        reason.push_back('.');
    return reason;
}

// "the server answered 404" becomes "The server answered 404."
std::string asSentence(const std::string &reason)
{
    std::string sentence = sentenceEnd(reason);
    if (sentence[0] >= 'a' && sentence[0] <= 'z')
        sentence[0] = static_cast<char>(sentence[0] - 'a' + 'A');
    return sentence;
}

} // namespace

Form2::Form2()
    : m_window(runtime::controls().createWindow()),
      m_compiledKeys(product::kReleaseKeys.begin(), product::kReleaseKeys.end())
{
    runtime::ControlFactory &factory = runtime::controls();
    m_window->setCaption(kCaption);
    runStatement([&] { m_window->setIcon(updateWindowIcon()); });
    m_window->setFont(designFont());
    m_window->setBackColor({224, 224, 224});
    m_window->setClientSize(5430, 990);

    Label1 = factory.createSkinLabel(*m_window);
    Label1->setPlace({3240, 240, 1935, 255});

    Skin1 = std::make_unique<skin::SkinEngine>(*m_window);
    runtime::SkinSettings skinSettings;
    skinSettings.hue = 0;
    skinSettings.backColor = {255, 255, 255};
    skinSettings.foreColor = {0, 0, 0};
    skinSettings.panelColor = {216, 233, 236};
    skinSettings.panelTextColor = {0, 0, 0};
    skinSettings.applyColors = true;
    skinSettings.skinClientArea = true;
    Skin1->setSettings(skinSettings);

    File1 = factory.createFileListBox(*m_window);
    File1->setPlace({8160, 2520, 2055, 1455});
    File1->setPattern("*.skn");

    txtSave = factory.createTextBox(*m_window);
    txtSave->setPlace({960, 1740, 6195, 315});
    txtSave->setText("C:\\Temp\\Test.exe");

    j = std::make_unique<BajaArchivos>(m_window.get());
    j->face().move(5040, 2640);
    j->face().setVisible(false);

    Command1 = factory.createCommandButton(*m_window);
    Command1->setPlace({3360, 2760, 1215, 435});
    Command1->setCaption("Download");

    txtURL = factory.createTextBox(*m_window);
    txtURL->setPlace({240, 2280, 7395, 315});
    txtURL->setText(product::kDownloadUrl);

    pB = factory.createProgressBar(*m_window);
    pB->setPlace({240, 480, 4935, 315});

    lbl1 = factory.createSkinLabel(*m_window);
    lbl1->setPlace({240, 240, 1935, 255});

    Label3 = factory.createLabel(*m_window);
    Label3->setPlace({5880, 240, 90, 195});
    Label3->setFont(designFont(true));
    Label3->setCentred(true);
    Label3->setAutoSize(true);
    Label3->setBackColor({224, 224, 224});

    Shape1 = factory.createShape(*m_window);
    Shape1->setPlace({120, 120, 5175, 735});

    Label2 = factory.createLabel(*m_window);
    Label2->setPlace({120, 1800, 735, 195});
    Label2->setAutoSize(true);
    Label2->setCaption("Save As...");

    // Only the runtime's own input controls take the focus, all of them out of sight.
    m_window->setTabOrder({Command1.get(), txtURL.get(), txtSave.get(), File1.get()});
    m_window->setFocus(*Command1);

    Command1->onClick([this] { Command1_Click(); });
    File1->onClick([this] { File1_Click(); });
    j->onProgress([this](const std::int64_t &downloaded, const std::int64_t &total,
                         const std::string &id) { j_Progress(downloaded, total, id); });
    j->onCompleted(
        [this](const std::int64_t &bytes, const std::string &id) { j_Completed(bytes, id); });
    j->onRetrying([this](const RetryNotice &notice) { j_Retrying(notice); });
    std::string budgetProblem;
    if (const auto budget = timeBudgetFromEnvironment(budgetProblem)) {
        RetryPolicy policy = j->retryPolicy();
        policy.budget = *budget;
        j->setRetryPolicy(std::move(policy));
    } else if (!budgetProblem.empty()) {
        note(budgetProblem);
    }
    m_window->onClose([this] { Form_Unload(); });
}

Form2::~Form2() = default;

BajaArchivos &Form2::control() const
{
    if (!j)
        throw runtime::RuntimeError(runtime::ErrorKind::Unavailable,
                                    "the download control is gone");
    return *j;
}

std::string Form2::executablePath() const
{
    return runtime::applicationFolder() + runtime::separator() + kExecutableName;
}

ExecutableBackup Form2::backup()
{
    ExecutableBackup backup(runtime::pathFromUtf8(executablePath()));
    backup.setBusyWait([this] { return waitWhileHeld(); });
    return backup;
}

bool Form2::waitWhileHeld()
{
    using Clock = std::chrono::steady_clock;
    const auto now = Clock::now();
    if (m_heldSince == Clock::time_point{})
        m_heldSince = now;
    if (m_endRequested || now - m_heldSince >= m_heldWaitLimit)
        return false;
    // A quarter of a second between attempts, with the window responsive: events are
    // dispatched as they come, and the wait sleeps otherwise. Not through Pause, whose interval
    // goes through its text form, where a decimal comma would make it nothing.
    const auto until = now + std::chrono::milliseconds(250);
    for (auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
         left.count() > 0 && !m_endRequested;
         left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()))
        runtime::waitForEvents(static_cast<int>(left.count()));
    return !m_endRequested;
}

void Form2::Form_Load()
{
    runtime::supportlog::beginRun(
        runtime::supportlog::supportLogDefaultPath(product::kProductName, product::kUpdaterName),
        std::string(product::kUpdaterName) + ' ' + product::kVersion + " in " +
            runtime::applicationFolder());
    // One updater per folder, before anything is looked at: a second one (a double click) would
    // take over the first one's files.
    bool busy = false;
    std::string reason;
    if (runStatement(
            [&] {
                try {
                    m_lock = runtime::tryLockFolder(backup().lockPath());
                } catch (const runtime::RuntimeError &error) {
                    if (error.kind() != runtime::ErrorKind::Denied)
                        throw;
                    // A folder of programs that this user may not change, without elevation.
                    throw runtime::RuntimeError(runtime::ErrorKind::Denied,
                                                "the folder " + runtime::applicationFolder() +
                                                    " cannot be written, so " + kExecutableName +
                                                    " cannot be replaced (" + error.what() + ")");
                }
                busy = m_lock == nullptr;
            },
            &reason)) {
        if (busy) {
            runtime::supportlog::line("lock: another update runs in this folder");
            refuseSecondRun();
            return;
        }
        runtime::supportlog::line("lock: taken");
        // Put right what an interrupted earlier run left behind.
        runStatement([&] { backup().recover(); });
    } else {
        m_startFailure = reason;
    }

    runStatement([&] {
        File1->setPath(runtime::applicationFolder() + runtime::separator() + kSkinFolderName +
                       runtime::separator());
    });
    runStatement([&] { File1->setFileName(kSkinFileName); });
    runStatement([&] { File1_Click(); });
    runStatement([&] { Pause(std::int32_t{3}); });
    // The old executable stays where it is, runnable, until a checked new one replaces it; only
    // what an update must not replace is refused here, before anything is downloaded.
    if (m_startFailure.empty() && !runStatement([&] { backup().checkReplaceable(); }, &reason))
        m_startFailure = reason;
    runStatement([&] { txtSave->setText(executablePath()); });
    runStatement([&] { Label3->setCaption(kExecutableName); });
    if (m_startFailure.empty() && m_compiledKeys.empty()) {
        note("this build has no keys, so the new " + kExecutableName +
             " is installed without a check of its signature");
        runStatement([&] { Command1_Click(); });
    } else if (m_startFailure.empty()) {
        // A signed build downloads the program only once its release file has been verified.
        runStatement([&] { fetchRelease(); }, &m_startFailure);
    }

    // A run refused at once would leave the window waiting for a completion that never comes;
    // hand over as a failure once the window is up.
    const std::string failure = m_startFailure.empty() ? m_lastClickFailure : m_startFailure;
    if (!failure.empty())
        m_window->invokeLater([this, failure] { finishFailed(failure); });
}

void Form2::refuseSecondRun()
{
    m_finished = true;
    m_exitCode = kExitBusy;
    tell(std::string("An update of ") + product::kProductName +
         " is already running in this folder.");
    endRun(kExitBusy);
}

void Form2::Command1_Click()
{
    std::string reason;
    m_lastClickFailure.clear();
    if (!runStatement([&] { control().Download(txtURL->Text(), txtSave->Text()); }, &reason))
        m_lastClickFailure = reason;
}

void Form2::Pause(const runtime::Value &interval)
{
    // A monotonic clock: a wait across midnight or a change of the system clock still ends
    // after the interval.
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    for (;;) {
        const double limit = runtime::valueOfText(runtime::textOfValue(interval));
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (!(elapsed < limit))
            return;
        const double remainingMs = std::ceil((limit - elapsed) * 1000.0);
        runtime::waitForEvents(remainingMs >= std::numeric_limits<int>::max()
                                   ? std::numeric_limits<int>::max()
                                   : static_cast<int>(remainingMs));
    }
}

void Form2::File1_Click()
{
    runStatement([&] { Skin1->AttachWindow(m_window->handle()); });
    runStatement(
        [&] { Skin1->LoadSkinFile(File1->Path() + runtime::separator() + File1->FileName()); });
    runStatement([&] { Skin1->ApplySkin(m_window->handle()); });
}

void Form2::j_Progress(const std::int64_t &DownLoadedBytes, const std::int64_t &TotalBytes,
                       const std::string &sId)
{
    static_cast<void>(sId);
    if (DownLoadedBytes <= 0 || m_finished)
        return;
    runStatement([&] {
        if (TotalBytes == 0)
            throw runtime::RuntimeError("division by zero");
        // In double precision from the true 64-bit counts, so that the percentage keeps moving
        // past 21,474,836 bytes (where a 32-bit product by 100 would overflow) and stays true
        // past 2 and 4 GiB.
        const double percent =
            static_cast<double>(DownLoadedBytes) * 100.0 / static_cast<double>(TotalBytes);
        const auto single = static_cast<float>(percent);
        if (!std::isfinite(single))
            throw runtime::RuntimeError("overflow");
        pB->setValue(single);
    });
    runStatement([&] {
        lbl1->setCaption(runtime::textOfInt(DownLoadedBytes) + '/' +
                         runtime::textOfInt(TotalBytes));
    });
    runStatement([&] { Label1->setCaption(runtime::textOfSingle(pB->Value()) + '%'); });
    runStatement([&] { setCaption(kCaption + ' ' + runtime::textOfSingle(pB->Value()) + '%'); });
}

std::string Form2::releaseUrl() const
{
    // Beside the program, unless the build names another address: the program's address is
    // the address box's text, as the download takes it.
    const std::string besideDesigned = std::string(product::kDownloadUrl) + ".release";
    return product::kReleaseUrl == besideDesigned ? txtURL->Text() + ".release"
                                                  : std::string(product::kReleaseUrl);
}

void Form2::fetchRelease()
{
    // The release file is fetched as the program is, through the control and its retries, but
    // never takes more than a release file can be.
    std::string failure;
    const bool started = runStatement(
        [&] {
            control().capSize(kReleaseKey, static_cast<std::int64_t>(ReleaseFile::kMaxBytes));
            control().Download(releaseUrl(), runtime::utf8FromPath(backup().releaseDownloadPath()),
                               kReleaseKey);
        },
        &failure);
    if (!started)
        throw runtime::RuntimeError("the release file could not be fetched: " + failure);
}

std::optional<ReleaseFile> Form2::installedRelease()
{
    std::string record;
    std::string reason;
    if (runStatement([&] { record = backup().installedRecord(); }, &reason) && record.empty())
        return std::nullopt;
    if (reason.empty()) {
        try {
            return ReleaseFile::parse(record);
        } catch (const std::exception &error) {
            reason = error.what();
        }
    }
    // Whoever can damage it can replace the program beside it as well; it counts as none.
    note("the installed release's record " + runtime::utf8FromPath(backup().recordPath()) +
         " is taken as none: " + reason);
    return std::nullopt;
}

void Form2::releaseFetched()
{
    std::string reason;
    std::optional<ReleaseFile> verified;
    runStatement(
        [&] {
            const DownloadResult result = control().lastResult(kReleaseKey);
            const std::string file = result.inPlace ? result.destination : result.temporary;
            if (file.empty())
                throw runtime::RuntimeError("the release file could not be fetched: " +
                                            result.failure);
            std::string text;
            std::string readFailure;
            runStatement(
                [&] {
                    text = runtime::readRegularFile(runtime::pathFromUtf8(file),
                                                    ReleaseFile::kMaxBytes);
                },
                &readFailure);
            runStatement([&] { runtime::deleteFile(runtime::pathFromUtf8(file)); });
            if (!readFailure.empty())
                throw runtime::RuntimeError("the release file could not be read: " + readFailure);
            ReleaseFile release = ReleaseFile::parse(text);
            const std::optional<ReleaseFile> installed = installedRelease();
            const std::vector<runtime::P256PublicKey> trusted =
                installed ? installed->keysTrustedAfter() : m_compiledKeys;
            release.verify(trusted, product::kProductName, std::chrono::system_clock::now(),
                           installed);
            verified = std::move(release);
        },
        &reason);
    if (!verified) {
        finishFailed(reason);
        return;
    }
    m_release = std::move(verified);
    runStatement([&] {
        runtime::supportlog::line("release: serial " + std::to_string(m_release->serial()) + ", " +
                                  std::to_string(m_release->size()) + " bytes, SHA-256 " +
                                  hexOf(m_release->sha256()) + ", signed by key " +
                                  keyIdOf(m_release->key()));
    });
    // The program is held to the signed size as it arrives and to the signed hash as it ends;
    // bytes that are not the release's never reach its name.
    runStatement([&] { control().expect(kProgramKey, m_release->size(), m_release->sha256()); });
    Command1_Click();
    if (!m_lastClickFailure.empty())
        finishFailed(m_lastClickFailure);
}

std::optional<std::chrono::milliseconds> Form2::timeBudgetFromEnvironment(std::string &reason)
{
    const char *const value = std::getenv("REFITOR_TIME_BUDGET");
    if (!value || !*value)
        return std::nullopt;
    const std::string text = value;
    std::size_t digits = 0;
    while (digits < text.size() && digits < 9 && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    const std::string unit = text.substr(digits);
    const long long scale = unit.empty() || unit == "s" ? 1
                            : unit == "m"               ? 60
                            : unit == "h"               ? 3600
                                                        : 0;
    if (digits == 0 || scale == 0 || std::stoll(text.substr(0, digits)) == 0) {
        reason = "REFITOR_TIME_BUDGET=" + text +
                 " is not a time such as 90, 90s, 30m or 1h; the default budget holds";
        return std::nullopt;
    }
    return std::chrono::seconds(std::stoll(text.substr(0, digits)) * scale);
}

void Form2::j_Retrying(const RetryNotice &notice)
{
    if (m_finished)
        return;
    // Waits of a minute at most: no group separators to tell apart from the plain attempt
    // numbers beside them.
    const std::string when = runtime::countOf(
        std::max<std::int64_t>(1, std::chrono::ceil<std::chrono::seconds>(notice.wait).count()),
        "second", "seconds");
    const std::string of =
        std::to_string(notice.attempt) + " of " + std::to_string(notice.attempts);
    note(sentenceEnd(notice.reason) + " Trying again in " + when + " (attempt " + of + ").");
    // The caption is what a user looking at the taskbar sees; the counts stay as they were, and
    // the next attempt's progress brings back the percentage.
    runStatement([&] { setCaption(kCaption + ": trying again in " + when + " (" + of + ")"); });
}

void Form2::j_Completed(const std::int64_t &Bytes, const std::string &sId)
{
    static_cast<void>(Bytes);
    if (m_finished)
        return;
    if (sId == kReleaseKey) {
        releaseFetched();
        return;
    }
    DownloadResult result;
    std::string reason;
    runStatement([&] { result = control().lastResult(sId); }, &reason);
    std::string failure = result.failure.empty() ? reason : result.failure;
    reason.clear();
    bool installed = false;
    m_swapping = true;
    if (!result.temporary.empty()) {
        // The old executable was in the way, as it should be: the data waits in the transfer's
        // file, and is checked and swapped in here.
        installed = runStatement(
            [&] {
                backup().install(runtime::pathFromUtf8(result.temporary),
                                 m_release ? m_release->text() : std::string());
            },
            &reason);
    } else if (result.inPlace && result.destination == executablePath()) {
        // There was no old executable, so the file went straight to its name.
        installed = runStatement(
            [&] { backup().adopt(m_release ? m_release->text() : std::string()); }, &reason);
    } else if (result.inPlace) {
        failure = "the download went to " + result.destination + " instead";
    }
    m_swapping = false;
    if (m_endRequested) {
        // Closed while the swap waited: the old executable goes back should the new one have
        // got in all the same, and the run ends as a close.
        if (installed && backup().hasBackup())
            runStatement([&] { backup().rollBack(); });
        endDuringSwap();
        return;
    }
    if (!installed) {
        finishFailed(reason.empty() ? failure : reason);
        return;
    }
    std::string syncFailure = result.syncFailure;
    if (!runStatement(
            [&] { runtime::syncFolder(runtime::pathFromUtf8(runtime::applicationFolder())); },
            &reason))
        syncFailure = reason;
    finishUpdated(syncFailure);
}

void Form2::finishUpdated(const std::string &syncFailure)
{
    m_finished = true;
    m_exitCode = kExitUpdated;
    runStatement([&] { setCaption(kCompleted); });
    std::string text = kCompleted;
    if (!syncFailure.empty()) {
        // The new executable is in place; only the durability of its name is in doubt.
        text += "\n\nThe new " + kExecutableName +
                " is in place, but the folder could not be written to disk (" + syncFailure +
                "). If the computer loses power soon, the previous version may come back.";
    }
    tell(text);
    // The watch goes on unseen: the window has said all it has to say, and a box comes back only
    // should the new version not start.
    runStatement([&] { m_window->hide(); });

    // The previous version stays as the backup until the new one is seen running.
    std::unique_ptr<runtime::StartedProgram> started;
    std::string startFailure;
    runStatement(
        [&] {
            started = runtime::startProgram(runtime::pathFromUtf8(executablePath()),
                                            runtime::WindowState::MinimizedFocus);
        },
        &startFailure);
    if (started) {
        runtime::supportlog::line("start: the new " + kExecutableName +
                                  " is started, watched for " + std::to_string(kStartWatchMs) +
                                  " ms");
    }
    if (started && started->watch(std::chrono::milliseconds(kStartWatchMs)) ==
                       runtime::StartedProgram::State::Crashed)
        startFailure = "it was ended by " + started->crash() + " as it started";
    runtime::supportlog::line(startFailure.empty() ? "start: the new version runs"
                                                   : "start: failed: " + startFailure);
    if (!startFailure.empty()) {
        rollBackFailedStart(startFailure);
        return;
    }
    std::string discardFailure;
    if (!runStatement([&] { backup().discard(); }, &discardFailure))
        noteBackupLeft(discardFailure);
    endRun(kExitUpdated);
}

std::string Form2::restoreFailureText(const std::string &reason)
{
    return "\n\nThe previous version could not be put back (" + reason + "). It is kept as " +
           runtime::utf8FromPath(backup().backupPath().filename()) + ".";
}

void Form2::rollBackFailedStart(const std::string &reason)
{
    m_exitCode = kExitFailed;
    runStatement([&] { setCaption(kFailed); });
    const std::string newOne = "The new " + kExecutableName + " did not start: " + reason + ".";
    if (!backup().hasBackup()) {
        tell(kFailed + "\n\n" + newOne);
        endRun(kExitFailed);
        return;
    }
    std::string restoreFailure;
    if (!runStatement([&] { backup().rollBack(); }, &restoreFailure)) {
        m_exitCode = kExitRestoreFailed;
        tell(kFailed + "\n\n" + newOne + restoreFailureText(restoreFailure));
        endRun(kExitRestoreFailed);
        return;
    }
    tell(kFailed + "\n\n" + newOne + " The previous version was restored.");
    startPrevious();
    endRun(m_exitCode);
}

void Form2::startPrevious()
{
    std::string failure;
    if (runStatement(
            [&] {
                runtime::startProgram(runtime::pathFromUtf8(executablePath()),
                                      runtime::WindowState::MinimizedFocus);
            },
            &failure))
        return;
    // The box before said what became of the update; this one must not let it pass for a run
    // that left the product working.
    m_exitCode = kExitNotStarted;
    runStatement([&] { setCaption(kFailed); });
    tell(kFailed + "\n\nThe previous " + kExecutableName +
         " is in place, but it could not be started: " + sentenceEnd(failure));
}

void Form2::finishFailed(const std::string &reason)
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
    std::string text = kFailed + "\n\n" + asSentence(reason);
    if (!restored) {
        m_exitCode = kExitRestoreFailed;
        text += restoreFailureText(restoreFailure);
    }
    if (restored && backup().hasBackup())
        noteBackupLeft("it is in use by another program");
    tell(text);
    if (restored && runtime::isRunnableExecutable(runtime::pathFromUtf8(executablePath())))
        startPrevious();
    endRun(m_exitCode);
}

void Form2::tell(const std::string &text)
{
    // Also on the standard error, for whoever started the updater from a terminal or a script.
    std::string line;
    line.reserve(text.size());
    for (std::size_t at = 0; at < text.size(); ++at) {
        const bool paragraph = text.compare(at, 2, "\n\n") == 0;
        line += paragraph ? ' ' : text[at];
        at += paragraph ? 1 : 0;
    }
    std::fprintf(stderr, "%s: %s\n", product::kUpdaterName, line.c_str());
    runtime::supportlog::line("told: " + line);
    m_lastTold = line;
    runStatement([&] { runtime::messageBox(text); });
}

void Form2::note(const std::string &text) const
{
    std::fprintf(stderr, "%s: %s\n", product::kUpdaterName, text.c_str());
    runtime::supportlog::line(text);
}

void Form2::noteBackupLeft(const std::string &reason)
{
    // Only a second name of the old program can be left so (the old program still running from
    // it, on Windows): the executable's own name holds a program either way.
    note(runtime::utf8FromPath(backup().backupPath().filename()) + " could not be removed (" +
         reason + "); the next run removes it.");
}

void Form2::endRun(int exitCode)
{
    runtime::supportlog::endRun("exit code " + std::to_string(exitCode) +
                                (m_lastTold.empty() ? std::string() : ": " + m_lastTold));
    m_lock.reset();
    runtime::endProgram(exitCode);
}

void Form2::requestEnd()
{
    if (m_swapping)
        m_endRequested = true;
    else if (!m_finished)
        abandonRun();
    else
        endRun(m_exitCode);
}

void Form2::Form_Unload()
{
    if (m_swapping)
        m_endRequested = true;
    else if (!m_finished)
        abandonRun();
}

void Form2::endDuringSwap()
{
    // The swap gave up without moving anything; the control is still on the stack, so it stays.
    m_finished = true;
    m_exitCode = kExitClosed;
    std::string restoreFailure;
    if (!runStatement([&] { backup().restore(); }, &restoreFailure)) {
        m_exitCode = kExitRestoreFailed;
        tell(kFailed + restoreFailureText(restoreFailure));
    } else if (backup().hasBackup()) {
        noteBackupLeft("it is in use by another program");
    }
    endRun(m_exitCode);
}

void Form2::abandonRun()
{
    m_finished = true;
    m_exitCode = kExitClosed;
    // Destroying the control cancels its transfer, removes the temporary file and joins the
    // worker, so nothing is left half-written.
    j.reset();
    std::string restoreFailure;
    if (!runStatement([&] { backup().restore(); }, &restoreFailure)) {
        m_exitCode = kExitRestoreFailed;
        tell(kFailed + restoreFailureText(restoreFailure));
    }
    endRun(m_exitCode);
}
