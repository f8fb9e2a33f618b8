#include "window/Form2.h"

#include "platform/Application.h"
#include "platform/Files.h"
#include "platform/FolderLock.h"
#include "platform/PlatformError.h"
#include "platform/SkinFile.h"
#include "platform/TerminationWatcher.h"
#include "support/LoopbackServer.h"
#include "support/TestUtil.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <condition_variable>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using testutil::entriesOf;
using testutil::readFile;
using testutil::waitUntil;
using testutil::writeFile;

// A folder whose fsync fails needs a failing disk, which cannot be had here; the window tests
// interpose fsync so that it fails for folders, and for nothing else, while this is set.
std::atomic<bool> g_failFolderSync{false};

extern "C" int fsync(int fd)
{
    struct stat info
    {};
    if (g_failFolderSync && ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace {

double processorSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Makes a folder read-only in a way root respects too (root ignores permission bits).
bool setImmutable(const QString &folder, bool immutable)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return ok;
}

// The window in a real application folder (a temporary one), downloading from a real loopback
// server. Two things are not real: the application folder is pointed at the temporary folder
// (the test binary lives elsewhere), and ending the program records the exit code instead of
// ending the test process; the end-to-end test runs the installed program for both.
class WindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_app.isValid() && m_outside.isValid());
        platform::setApplicationFolder(m_app.path());
        platform::setEndProgramHandler([this](int code) { m_exitCode = code; });

        m_marker = m_outside.filePath(QStringLiteral("marker"));
        // The new version notes which descriptors it was started with.
        m_new =
            script("new", "ls -l /proc/$$/fd > '" + m_marker.toStdString() + ".fds'\nexit 0\n") +
            std::string(400'000, '#') + "\n";
        auto &server = m_http.server();
        server.Get("/ProgramFiles/Korvane.exe",
                   [this](const httplib::Request &, httplib::Response &response) {
                       ++m_requests;
                       response.set_content(m_new, "application/octet-stream");
                   });
        // Answers that are a 200 but no program.
        server.Get("/empty", [](const httplib::Request &, httplib::Response &response) {
            response.set_content("", "application/octet-stream");
        });
        server.Get("/signin", [](const httplib::Request &, httplib::Response &response) {
            response.set_redirect("/portal");
        });
        server.Get("/portal", [](const httplib::Request &, httplib::Response &response) {
            response.set_content("<!DOCTYPE html>\n<html><head><title>Sign in to the Wi-Fi</title>"
                                 "</head><body><form></form></body></html>\n",
                                 "text/html");
        });
        server.Get("/notice", [](const httplib::Request &, httplib::Response &response) {
            response.set_content("Korvane 2.0 is coming soon.\n", "application/octet-stream");
        });
        server.Get("/gzip", [this](const httplib::Request &, httplib::Response &response) {
            response.set_header("Content-Encoding", "gzip");
            response.set_content(m_new, "application/octet-stream");
        });
        server.Get("/cut", [this](const httplib::Request &, httplib::Response &response) {
            response.set_content_provider(
                m_new.size(), "application/octet-stream",
                [this](std::size_t offset, std::size_t, httplib::DataSink &sink) {
                    if (offset > 0)
                        return false; // hang up after the first half
                    return sink.write(m_new.data(), m_new.size() / 2);
                });
        });
        server.Get("/slow", [this](const httplib::Request &, httplib::Response &response) {
            response.set_content_provider(
                m_new.size(), "application/octet-stream",
                [this](std::size_t offset, std::size_t, httplib::DataSink &sink) {
                    if (offset == 0)
                        return sink.write(m_new.data(), 1000);
                    std::unique_lock lock(m_mutex);
                    m_release.wait_for(lock, std::chrono::seconds(20),
                                       [this] { return m_released; });
                    return false;
                });
        });
        m_http.start();

        m_boxWatcher.setInterval(50);
        QObject::connect(&m_boxWatcher, &QTimer::timeout, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                m_messages << box->text();
                m_messageTitles << box->windowTitle();
                m_captionAtMessage = m_window ? m_window->Caption() : QString();
                box->done(QMessageBox::Ok);
            }
        });
        m_boxWatcher.start();
    }

    void TearDown() override
    {
        {
            std::lock_guard lock(m_mutex);
            m_released = true;
        }
        m_release.notify_all();
        m_http.stop();
        platform::setEndProgramHandler({});
        platform::setApplicationFolder(QString());
    }

    std::string script(const char *word, const std::string &more = "exit 0\n") const
    {
        return "#!/bin/sh\necho " + std::string(word) + " >> '" + m_marker.toStdString() + "'\n" +
               more;
    }

    QString exe() const { return m_app.filePath(QStringLiteral("Korvane.exe")); }

    void writeOldExecutable()
    {
        writeFile(exe(), QByteArray::fromStdString(script("old")));
        ASSERT_EQ(::chmod(QFile::encodeName(exe()).constData(), 0750), 0);
    }

    // Runs the whole update against the address at path; returns once the program has ended.
    void runUpdate(Form2 &window, const char *path)
    {
        m_window = &window;
        // The design-time address is the vendor's; the test points it at its own server.
        window.txtURL->setText(QString::fromStdString(m_http.url(path)));
        window.Form_Load();
        window.show();
        ASSERT_TRUE(waitUntil([&] { return m_exitCode >= 0; }, 30000));
    }

    // What the started programs wrote, once it reads expected or five seconds have passed: a
    // started script creates the file before it writes its line, and a second program may follow.
    QString marker(const QString &expected) const
    {
        const auto now = [&] {
            return QFile::exists(m_marker) ? QString::fromUtf8(readFile(m_marker)).trimmed()
                                           : QString();
        };
        waitUntil([&] { return now() == expected && readFile(m_marker).endsWith('\n'); }, 5000);
        return now();
    }

    QTemporaryDir m_app;
    QTemporaryDir m_outside;
    QString m_marker;
    std::string m_new;
    LoopbackServer m_http;
    std::mutex m_mutex;
    std::condition_variable m_release;
    bool m_released = false;
    QTimer m_boxWatcher;
    QStringList m_messages;
    QStringList m_messageTitles;
    QString m_captionAtMessage;
    Form2 *m_window = nullptr;
    int m_exitCode = -1;
    std::atomic<int> m_requests{0};
};

// The things every run must leave: the product in place and runnable, nothing of ours beside it.
void expectTidyFolderWith(const QString &folder, const std::string &program)
{
    const QString exe = folder + QStringLiteral("/Korvane.exe");
    const std::string now = readFile(exe).toStdString();
    EXPECT_TRUE(now == program) << "Korvane.exe begins " << now.substr(0, now.find('\n', 12));
    struct stat info
    {};
    ::stat(QFile::encodeName(exe).constData(), &info);
    EXPECT_EQ(info.st_mode & 07777, 0750U);
    EXPECT_EQ(entriesOf(folder), QStringList{QStringLiteral("Korvane.exe")});
}

} // namespace

TEST_F(WindowTest, DesignValuesBeforeTheRun)
{
    Form2 window;
    EXPECT_EQ(window.Caption(), QStringLiteral("Updating Korvane"));
    EXPECT_EQ(window.size(), QSize(362, 66));
    EXPECT_EQ(window.palette().color(QPalette::Window), QColor(224, 224, 224));
    EXPECT_EQ(window.Label1->Caption(), QStringLiteral("00"));
    EXPECT_EQ(window.lbl1->Caption(), QStringLiteral("00"));
    EXPECT_EQ(window.pB->Value(), 0.0F);
    EXPECT_EQ(window.txtSave->text(), QStringLiteral("C:\\Temp\\Test.exe"));
    EXPECT_TRUE(window.txtURL->text().endsWith(QStringLiteral("/ProgramFiles/Korvane.exe")));
    EXPECT_EQ(window.File1->Pattern(), QStringLiteral("*.skn"));

    // The panel shows; everything else lies outside the client area.
    const QRect client = window.rect();
    EXPECT_EQ(window.lbl1->geometry(), QRect(16, 16, 129, 17));
    EXPECT_EQ(window.Label1->geometry(), QRect(216, 16, 129, 17));
    EXPECT_EQ(window.pB->geometry(), QRect(16, 32, 329, 21));
    EXPECT_EQ(window.Shape1->geometry(), QRect(8, 8, 345, 49));
    for (QWidget *hidden :
         {static_cast<QWidget *>(window.File1), static_cast<QWidget *>(window.txtSave),
          static_cast<QWidget *>(window.Command1), static_cast<QWidget *>(window.txtURL),
          static_cast<QWidget *>(window.Label2)})
        EXPECT_FALSE(client.intersects(hidden->geometry())) << hidden->metaObject()->className();
    EXPECT_TRUE(window.j->isHidden());
    window.Label3->setCaption(QStringLiteral("Korvane.exe"));
    EXPECT_EQ(window.Label3->x(), 392);
    EXPECT_GT(window.Label3->width(), 6) << "sizes itself to its caption";
    EXPECT_FALSE(client.intersects(window.Label3->geometry()));
}

TEST_F(WindowTest, KeyboardReachesTheHiddenControlsAndSpaceClicksDownloadAgain)
{
    writeOldExecutable();
    Form2 window;
    m_window = &window;
    window.txtURL->setText(QString::fromStdString(m_http.url("/slow")));
    // Listening before the run starts: the one progress event may arrive while the window opens.
    QSignalSpy progress(window.j, &BajaArchivos::Progress);
    window.Form_Load();
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    EXPECT_EQ(QApplication::focusWidget(), window.Command1);

    ASSERT_TRUE(waitUntil([&] { return progress.count() >= 1; }));
    // The space bar presses the focused button: Download again, refused while "Id" is pending.
    QTest::keyClick(window.Command1, Qt::Key_Space);
    EXPECT_EQ(m_exitCode, -1) << "a refused second click is swallowed";

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), window.txtURL);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), window.txtSave);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), window.File1);

    // Closing before completion: the transfer is cancelled, the old executable comes back and
    // nothing is started.
    window.close();
    ASSERT_EQ(m_exitCode, Form2::kExitClosed);
    EXPECT_EQ(readFile(exe()).toStdString(), script("old"));
    EXPECT_EQ(entriesOf(m_app.path()), QStringList{QStringLiteral("Korvane.exe")});
    QTest::qWait(300);
    EXPECT_FALSE(QFile::exists(m_marker)) << "nothing is started after a close";
    EXPECT_TRUE(m_messages.isEmpty());
}

// Records, when the window is first shown, which skin the engine had drawn by then.
class ShowWatcher : public QObject
{
public:
    explicit ShowWatcher(Form2 &window) : m_window(window) { window.installEventFilter(this); }
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == &m_window && event->type() == QEvent::Show && !shown) {
            shown = true;
            skinFile = m_window.Skin1->skinFile();
            drawn = m_window.Skin1->appliedSkin().has_value();
        }
        return false;
    }
    bool shown = false;
    bool drawn = false;
    QString skinFile;

private:
    Form2 &m_window;
};

void expectDrawnWith(Form2 &window, const QString &skinPath)
{
    QApplication::processEvents();
    const platform::Skin skin = platform::readSkinFile(skinPath);
    const QImage image = window.grab().toImage();
    const int top = skin.frame.borderWidth;
    const int y = top + skin.title.height * 3 / 4;
    const QColor title = testutil::gradientColorAt(
        skin.title.background.stops, testutil::rowFraction(y, top, skin.title.height));
    EXPECT_TRUE(testutil::colorsNear(testutil::pixelAt(image, {300, y}), title))
        << skinPath.toStdString() << ": title bar";
    const int inset = skin.bar.grooveBorderColor.isValid() ? 1 : 0;
    const QRect track = window.pB->geometry().adjusted(inset, inset, -inset, -inset);
    const int row = track.top() + track.height() / 3;
    const QColor fill = testutil::gradientColorAt(
        skin.bar.fill.stops, testutil::rowFraction(row, track.top(), track.height()));
    EXPECT_TRUE(testutil::colorsNear(testutil::pixelAt(image, {track.left() + 20, row}), fill))
        << skinPath.toStdString() << ": the bar's fill";
}

TEST_F(WindowTest, StartsWithTheDefaultSkinAndArrowKeysInTheSkinListApplyOthers)
{
    writeOldExecutable();
    const QString skins = m_app.filePath(QStringLiteral("SKN"));
    ASSERT_TRUE(QDir().mkpath(skins));
    for (const char *name : {"FlatSage.skn", "Midnight.skn", "SoftCrystal.skn"})
        ASSERT_TRUE(QFile::copy(testutil::sourceFolder("skins/") + QLatin1String(name),
                                skins + u'/' + QLatin1String(name)));

    Form2 window;
    m_window = &window;
    ShowWatcher watcher(window);
    window.txtURL->setText(QString::fromStdString(m_http.url("/slow")));
    QSignalSpy progress(window.j, &BajaArchivos::Progress);
    window.Form_Load();
    window.show();
    ASSERT_TRUE(watcher.shown);
    EXPECT_TRUE(watcher.drawn) << "the skin is drawn before the window is first shown";
    EXPECT_EQ(watcher.skinFile, skins + QStringLiteral("/SoftCrystal.skn"));
    EXPECT_EQ(window.File1->FileName(), QStringLiteral("SoftCrystal.skn"));
    ASSERT_TRUE(waitUntil([&] { return progress.count() >= 1; })) << "the download runs";
    window.pB->setValue(50.0F);
    expectDrawnWith(window, skins + QStringLiteral("/SoftCrystal.skn"));

    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), window.File1);
    QTest::keyClick(window.File1, Qt::Key_Up);
    EXPECT_EQ(window.Skin1->skinFile(), skins + QStringLiteral("/Midnight.skn"));
    expectDrawnWith(window, skins + QStringLiteral("/Midnight.skn"));
    QTest::keyClick(window.File1, Qt::Key_Up);
    expectDrawnWith(window, skins + QStringLiteral("/FlatSage.skn"));
    EXPECT_EQ(window.size(), QSize(366, 90));
    EXPECT_EQ(window.Caption().left(16), QStringLiteral("Updating Korvane"));
    EXPECT_EQ(m_exitCode, -1) << "changing skins leaves the update running";
}

TEST_F(WindowTest, MalformedDefaultSkinLeavesThePlatformLookAndTheRunGoesOn)
{
    writeOldExecutable();
    const QString skins = m_app.filePath(QStringLiteral("SKN"));
    ASSERT_TRUE(QDir().mkpath(skins));
    writeFile(skins + QStringLiteral("/SoftCrystal.skn"), "refitor-skin 1.0\n[title]\nheight=9\n");
    Form2 window;
    QSignalSpy progress(window.j, &BajaArchivos::Progress);
    window.txtURL->setText(QString::fromStdString(m_http.url("/slow")));
    window.Form_Load();
    window.show();
    ASSERT_TRUE(waitUntil([&] { return progress.count() >= 1; })) << "the download runs";
    EXPECT_FALSE(window.Skin1->appliedSkin().has_value());
    EXPECT_EQ(window.size(), QSize(362, 66));
    EXPECT_FALSE(window.windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_EQ(window.pB->geometry(), QRect(16, 32, 329, 21));
}

TEST_F(WindowTest, TerminationSignalsMidDownloadEndTheRunWithTheOldExecutableInPlace)
{
    writeOldExecutable();
    for (const int signalNumber : {SIGTERM, SIGQUIT}) {
        SCOPED_TRACE(signalNumber);
        m_exitCode = -1;
        Form2 window;
        m_window = &window;
        platform::TerminationWatcher termination;
        QObject::connect(&termination, &platform::TerminationWatcher::terminationRequested, &window,
                         [&window] { window.requestEnd(); });
        window.txtURL->setText(QString::fromStdString(m_http.url("/slow")));
        QSignalSpy progress(window.j, &BajaArchivos::Progress);
        window.Form_Load();
        window.show();
        ASSERT_TRUE(waitUntil([&] { return progress.count() >= 1; }));
        EXPECT_EQ(readFile(exe()).toStdString(), script("old")) << "untouched while downloading";

        ASSERT_EQ(::raise(signalNumber), 0);
        ASSERT_TRUE(waitUntil([&] { return m_exitCode >= 0; }));
        EXPECT_EQ(m_exitCode, Form2::kExitClosed);
        expectTidyFolderWith(m_app.path(), script("old"));
    }
}

TEST_F(WindowTest, SuccessfulRunInstallsStartsAndEnds)
{
    writeOldExecutable();
    Form2 window;
    m_window = &window;
    window.txtURL->setText(QString::fromStdString(m_http.url("/ProgramFiles/Korvane.exe")));
    QElapsedTimer clock;
    clock.start();
    window.Form_Load();
    EXPECT_GE(clock.elapsed(), 3000) << "three seconds pass before the download starts";
    EXPECT_EQ(window.txtSave->text(), exe());
    EXPECT_EQ(window.Label3->Caption(), QStringLiteral("Korvane.exe"));
    EXPECT_EQ(readFile(exe()).toStdString(), script("old")) << "the old one stays in place";
    EXPECT_TRUE(QFile::exists(exe() + QStringLiteral(".refitor-lock")));

    window.show();
    ASSERT_TRUE(waitUntil([&] { return m_exitCode >= 0; }, 30000));
    EXPECT_EQ(m_exitCode, Form2::kExitUpdated);
    EXPECT_EQ(m_messages, QStringList{QStringLiteral("Update is completed")});
    EXPECT_EQ(m_messageTitles, QStringList{QStringLiteral("Updating Korvane")});
    EXPECT_EQ(m_captionAtMessage, QStringLiteral("Update is completed"));
    expectTidyFolderWith(m_app.path(), m_new);
    EXPECT_EQ(marker(QStringLiteral("new")), QStringLiteral("new"));
    EXPECT_EQ(window.pB->Value(), 100.0F);
    EXPECT_EQ(window.Label1->Caption(), QStringLiteral("100%"));
    const QString size = QString::number(m_new.size());
    EXPECT_EQ(window.lbl1->Caption(), size + u'/' + size);

    // The product starts with the standard descriptors only: none of the server's connection,
    // the lock file, or anything else of ours.
    const QString descriptors = QString::fromUtf8(readFile(m_marker + QStringLiteral(".fds")));
    EXPECT_TRUE(descriptors.contains(QStringLiteral(" 0 -> "))) << descriptors.toStdString();
    EXPECT_FALSE(descriptors.contains(QStringLiteral("socket:"))) << descriptors.toStdString();
    EXPECT_FALSE(descriptors.contains(QStringLiteral("refitor"))) << descriptors.toStdString();
}

TEST_F(WindowTest, AnswersThatAreNoProgramAreRefusedAndTheOldExecutableStays)
{
    writeOldExecutable();
    const struct
    {
        const char *path;
        const char *reason;
    } rows[] = {
        {"/ProgramFiles/Missing.exe", "The server answered 404."},
        {"/empty", "The server sent an empty file."},
        {"/signin", "The server sent an HTML page, not a program."},
        {"/notice", "The server sent a file that is not a program."},
        {"/gzip", "gzip"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.path);
        m_exitCode = -1;
        m_messages.clear();
        QFile::remove(m_marker);
        Form2 window;
        runUpdate(window, row.path);
        EXPECT_EQ(m_exitCode, Form2::kExitFailed);
        EXPECT_EQ(m_captionAtMessage, QStringLiteral("Update failed"));
        ASSERT_EQ(m_messages.size(), 1);
        EXPECT_TRUE(m_messages[0].startsWith(QStringLiteral("Update failed\n\n")));
        EXPECT_TRUE(m_messages[0].contains(QLatin1String(row.reason)))
            << m_messages[0].toStdString();
        expectTidyFolderWith(m_app.path(), script("old"));
        EXPECT_EQ(marker(QStringLiteral("old")), QStringLiteral("old"));
    }
}

TEST_F(WindowTest, ANewVersionThatDoesNotStartGivesWayToTheOldOne)
{
    const struct
    {
        const char *what;
        std::string program;
        int exitCode;
        const char *reason;
        const char *started;
    } rows[] = {
        {"missing interpreter", "#!/nonexistent/sh\n", Form2::kExitFailed, "cannot start", "old"},
        {"killed at once", script("new", "kill -KILL $$\n"), Form2::kExitFailed, "SIGKILL",
         "new\nold"},
        {"crashes at once", script("new", "kill -SEGV $$\n"), Form2::kExitFailed, "SIGSEGV",
         "new\nold"},
        // Any exit status of its own is the product's business.
        {"exits with 3", script("new", "exit 3\n"), Form2::kExitUpdated, "", "new"},
        // It takes its predecessor with it: a folder now stands under the backup's name.
        {"the old one cannot be put back",
         script("new", "rm Korvane.exe.refitor-backup\nmkdir Korvane.exe.refitor-backup\n"
                       "kill -KILL $$\n"),
         Form2::kExitRestoreFailed, "could not be put back", "new"},
    };
    // A crash must not leave a core file in the product's folder.
    const rlimit noCore{0, 0};
    ASSERT_EQ(::setrlimit(RLIMIT_CORE, &noCore), 0);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        writeOldExecutable();
        QFile::remove(m_marker);
        m_exitCode = -1;
        m_messages.clear();
        m_new = row.program;
        Form2 window;
        runUpdate(window, "/ProgramFiles/Korvane.exe");
        EXPECT_EQ(m_exitCode, row.exitCode);
        EXPECT_EQ(marker(QLatin1String(row.started)), QLatin1String(row.started));
        if (row.exitCode == Form2::kExitUpdated) {
            EXPECT_EQ(m_messages, QStringList{QStringLiteral("Update is completed")});
            EXPECT_EQ(readFile(exe()).toStdString(), row.program);
            EXPECT_EQ(entriesOf(m_app.path()), QStringList{QStringLiteral("Korvane.exe")});
            continue;
        }
        ASSERT_EQ(m_messages.size(), 2);
        EXPECT_EQ(m_messages[0], QStringLiteral("Update is completed"));
        if (row.exitCode == Form2::kExitRestoreFailed) {
            // Told as what it is, never as a restored version.
            EXPECT_TRUE(m_messages[1].contains(QLatin1String(row.reason)))
                << m_messages[1].toStdString();
            EXPECT_TRUE(m_messages[1].contains(QStringLiteral("Korvane.exe.refitor-backup")));
            EXPECT_FALSE(m_messages[1].contains(QStringLiteral("was restored")));
            ASSERT_TRUE(QDir(exe() + QStringLiteral(".refitor-backup")).removeRecursively());
            continue;
        }
        EXPECT_TRUE(m_messages[1].startsWith(QStringLiteral("Update failed\n\nThe new Korvane.exe "
                                                            "did not start")))
            << m_messages[1].toStdString();
        EXPECT_TRUE(m_messages[1].contains(QLatin1String(row.reason)))
            << m_messages[1].toStdString();
        EXPECT_TRUE(m_messages[1].contains(QStringLiteral("previous version was restored")));
        EXPECT_EQ(window.Caption(), QStringLiteral("Update failed"));
        expectTidyFolderWith(m_app.path(), script("old"));
    }
}

TEST_F(WindowTest, ASecondUpdaterInTheFolderTouchesNothing)
{
    writeOldExecutable();
    writeFile(m_app.filePath(QStringLiteral(".refitor-Ab12Cd.part")), "the first one's download");
    const auto first = platform::FolderLock::tryAcquire(exe() + QStringLiteral(".refitor-lock"));
    ASSERT_NE(first, nullptr);
    const QStringList before = entriesOf(m_app.path());

    Form2 window;
    m_window = &window;
    window.txtURL->setText(QString::fromStdString(m_http.url("/ProgramFiles/Korvane.exe")));
    QElapsedTimer clock;
    clock.start();
    window.Form_Load();
    EXPECT_EQ(m_exitCode, Form2::kExitBusy);
    EXPECT_LT(clock.elapsed(), 2000) << "it does not wait before giving up";
    EXPECT_EQ(m_messages, QStringList{QStringLiteral(
                              "An update of Korvane is already running in this folder.")});
    EXPECT_EQ(entriesOf(m_app.path()), before);
    EXPECT_EQ(readFile(exe()).toStdString(), script("old"));
    EXPECT_EQ(m_requests, 0);
    QTest::qWait(200);
    EXPECT_FALSE(QFile::exists(m_marker)) << "nothing is started";
}

TEST_F(WindowTest, AFolderOrLinkUnderTheExecutablesNameIsRefusedBeforeDownloading)
{
    writeFile(m_app.filePath(QStringLiteral("Korvane-1.0")),
              QByteArray::fromStdString(script("old")));
    for (const bool folder : {true, false}) {
        SCOPED_TRACE(folder ? "folder" : "link");
        m_exitCode = -1;
        m_messages.clear();
        if (folder)
            ASSERT_TRUE(QDir(m_app.path()).mkpath(QStringLiteral("Korvane.exe/inside")));
        else
            ASSERT_TRUE(QFile::link(m_app.filePath(QStringLiteral("Korvane-1.0")), exe()));
        Form2 window;
        runUpdate(window, "/ProgramFiles/Korvane.exe");
        EXPECT_EQ(m_exitCode, Form2::kExitFailed);
        ASSERT_EQ(m_messages.size(), 1);
        EXPECT_TRUE(m_messages[0].contains(folder ? QStringLiteral("is a folder")
                                                  : QStringLiteral("symbolic link")))
            << m_messages[0].toStdString();
        EXPECT_EQ(m_requests, 0) << "nothing is downloaded";
        EXPECT_EQ(platform::fileKind(exe()),
                  folder ? platform::FileKind::Directory : platform::FileKind::SymbolicLink);
        EXPECT_EQ(entriesOf(m_app.path()),
                  (QStringList{QStringLiteral("Korvane-1.0"), QStringLiteral("Korvane.exe")}));
        EXPECT_FALSE(QFile::exists(m_marker)) << "nothing is started";
        if (folder)
            ASSERT_TRUE(QDir(exe()).removeRecursively());
        else
            ASSERT_TRUE(QFile::remove(exe()));
    }
}

TEST_F(WindowTest, AFolderThatCannotBeSyncedAfterTheSwapIsToldAsSuch)
{
    writeOldExecutable();
    Form2 window;
    g_failFolderSync = true;
    runUpdate(window, "/ProgramFiles/Korvane.exe");
    g_failFolderSync = false;
    EXPECT_EQ(m_exitCode, Form2::kExitUpdated) << "the new executable is in place";
    ASSERT_EQ(m_messages.size(), 1);
    EXPECT_TRUE(m_messages[0].startsWith(QStringLiteral("Update is completed\n\nThe new "
                                                        "Korvane.exe is in place, but the folder "
                                                        "could not be written to disk")))
        << m_messages[0].toStdString();
    EXPECT_TRUE(m_messages[0].contains(QStringLiteral("Input/output error")));
    expectTidyFolderWith(m_app.path(), m_new);
    EXPECT_EQ(marker(QStringLiteral("new")), QStringLiteral("new"));
}

TEST_F(WindowTest, AFileSizeLimitFailsTheDownloadInsteadOfEndingTheProgram)
{
    writeOldExecutable();
    platform::ignoreWriteSignals();
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit limit = before;
    limit.rlim_cur = 100 * 1024; // a quarter of the download
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    Form2 window;
    runUpdate(window, "/ProgramFiles/Korvane.exe");
    ::setrlimit(RLIMIT_FSIZE, &before);
    EXPECT_EQ(m_exitCode, Form2::kExitFailed);
    ASSERT_EQ(m_messages.size(), 1);
    EXPECT_TRUE(m_messages[0].contains(QStringLiteral("File too large")))
        << m_messages[0].toStdString();
    expectTidyFolderWith(m_app.path(), script("old"));
    EXPECT_EQ(marker(QStringLiteral("old")), QStringLiteral("old"));
}

TEST_F(WindowTest, ConnectionCutHalfwayNeverInstallsThePartialFile)
{
    writeOldExecutable();
    Form2 window;
    runUpdate(window, "/cut");
    EXPECT_EQ(m_exitCode, Form2::kExitFailed);
    ASSERT_EQ(m_messages.size(), 1);
    EXPECT_TRUE(m_messages[0].contains(QStringLiteral("lost"))) << m_messages[0].toStdString();
    expectTidyFolderWith(m_app.path(), script("old"));
    EXPECT_EQ(marker(QStringLiteral("old")), QStringLiteral("old"));
    EXPECT_EQ(window.Label1->Caption().right(1), QStringLiteral("%")) << "progress was shown";
}

TEST_F(WindowTest, RunsWithoutSkinFolderOrOldExecutableAndRecoversAKilledRun)
{
    // A killed earlier run left a temporary file; no Korvane.exe, no SKN folder.
    writeFile(m_app.filePath(QStringLiteral(".refitor-Ab12Cd.part")), "stale");
    Form2 window;
    runUpdate(window, "/ProgramFiles/Korvane.exe");
    EXPECT_EQ(m_exitCode, Form2::kExitUpdated);
    EXPECT_TRUE(window.Skin1->skinFile().isEmpty());
    EXPECT_EQ(readFile(exe()).toStdString(), m_new);
    struct stat info
    {};
    ::stat(QFile::encodeName(exe()).constData(), &info);
    EXPECT_EQ(info.st_mode & 07777, 0755U);
    EXPECT_EQ(entriesOf(m_app.path()), QStringList{QStringLiteral("Korvane.exe")});
    EXPECT_EQ(marker(QStringLiteral("new")), QStringLiteral("new"));
}

TEST_F(WindowTest, ReadOnlyFolderFailsHonestlyAndKeepsTheOldExecutable)
{
    writeOldExecutable();
    if (!setImmutable(m_app.path(), true))
        GTEST_SKIP() << "this file system cannot make a folder read-only for root";
    struct Unlock
    {
        QString folder;
        ~Unlock() { setImmutable(folder, false); }
    } unlock{m_app.path()};

    Form2 window;
    runUpdate(window, "/ProgramFiles/Korvane.exe");
    EXPECT_EQ(m_exitCode, Form2::kExitFailed);
    ASSERT_EQ(m_messages.size(), 1);
    EXPECT_TRUE(m_messages[0].startsWith(QStringLiteral("Update failed")));
    EXPECT_EQ(readFile(exe()).toStdString(), script("old"));
    EXPECT_EQ(marker(QStringLiteral("old")), QStringLiteral("old"));
}

TEST_F(WindowTest, ProgressDisplay)
{
    Form2 window;
    auto progress = [&](int downloaded, int total) {
        Q_EMIT window.j->Progress(downloaded, total, QStringLiteral("any key"));
    };
    progress(0, 200);
    EXPECT_EQ(window.lbl1->Caption(), QStringLiteral("00")) << "no bytes yet changes nothing";
    EXPECT_EQ(window.Caption(), QStringLiteral("Updating Korvane"));

    progress(50, 200);
    EXPECT_EQ(window.pB->Value(), 25.0F);
    EXPECT_EQ(window.lbl1->Caption(), QStringLiteral("50/200"));
    EXPECT_EQ(window.Label1->Caption(), QStringLiteral("25%"));
    EXPECT_EQ(window.Caption(), QStringLiteral("Updating Korvane 25%"));

    progress(1, 3);
    EXPECT_EQ(window.Label1->Caption(), QStringLiteral("33.33333%"));
    EXPECT_EQ(window.Caption(), QStringLiteral("Updating Korvane 33.33333%"));

    // Counts past 21,474,836 would overflow a 32-bit product by 100; the display keeps moving.
    progress(25'000'000, 50'000'000);
    EXPECT_EQ(window.pB->Value(), 50.0F);
    EXPECT_EQ(window.lbl1->Caption(), QStringLiteral("25000000/50000000"));
    EXPECT_EQ(window.Label1->Caption(), QStringLiteral("50%"));
    progress(2'000'000'000, 2'147'483'647);
    EXPECT_EQ(window.Label1->Caption(), QStringLiteral("93.13226%"));

    progress(50, 0); // size unknown: the bar keeps its value
    EXPECT_EQ(window.lbl1->Caption(), QStringLiteral("50/0"));
    EXPECT_EQ(window.Label1->Caption(), QStringLiteral("93.13226%"));
    progress(300, 200); // more than announced: the bar refuses, the counter still counts
    EXPECT_EQ(window.lbl1->Caption(), QStringLiteral("300/200"));
    EXPECT_EQ(window.Caption(), QStringLiteral("Updating Korvane 93.13226%"));

    progress(200, 200);
    EXPECT_EQ(window.pB->Value(), 100.0F);
    EXPECT_EQ(window.Label1->Caption(), QStringLiteral("100%"));
}

TEST_F(WindowTest, PauseReturnsAtOnceForNothingToWait)
{
    Form2 window;
    for (const QVariant &interval :
         {QVariant(0), QVariant(-1), QVariant(QStringLiteral("abc")), QVariant(QString())}) {
        bool pumped = false;
        QTimer::singleShot(0, [&] { pumped = true; });
        window.Pause(interval);
        EXPECT_FALSE(pumped) << interval.toString().toStdString();
        QCoreApplication::processEvents();
        EXPECT_TRUE(pumped);
    }
    EXPECT_THROW(window.Pause(QVariant::fromValue(QRect())), platform::PlatformError);
}

TEST_F(WindowTest, PauseWaitsWithoutBusyingTheProcessorAndDispatchesEvents)
{
    Form2 window;
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(100);

    QElapsedTimer clock;
    clock.start();
    const double before = processorSeconds();
    window.Pause(2.5);
    const double processor = processorSeconds() - before;
    const qint64 waited = clock.elapsed();
    EXPECT_GE(waited, 2500);
    EXPECT_LT(waited, 2900);
    EXPECT_GE(ticks, 15) << "events are dispatched while waiting";
    // A spinning wait costs the whole 2.5 s; an idle one a few milliseconds. The bound is loose
    // so that a loaded machine or the sanitizers cannot make it flake.
    EXPECT_LT(processor, 0.5);

    clock.restart();
    window.Pause(QStringLiteral("2,5"));
    EXPECT_GE(clock.elapsed(), 2000);
    EXPECT_LT(clock.elapsed(), 2400) << "a comma is no decimal point: only the 2 counts";
}
