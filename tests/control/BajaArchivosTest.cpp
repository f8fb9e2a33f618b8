#include "control/BajaArchivos.h"

#include "platform/AsyncReader.h"
#include "platform/Files.h"
#include "platform/PlatformError.h"
#include "support/LoopbackServer.h"
#include "support/TestUtil.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using testutil::entriesOf;
using testutil::readFile;
using testutil::waitUntil;

namespace {

constexpr std::size_t kFileSize = 300'000;

// A loopback server with a complete file, a 404, and a file that trickles out until released,
// so a transfer can be held pending for as long as a test needs.
class ControlTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_body = testutil::randomBytes(kFileSize);
        m_other = testutil::randomBytes(1000, 7);
        auto &server = m_http.server();
        server.Get("/file", [this](const httplib::Request &, httplib::Response &response) {
            response.set_content(m_body, "application/octet-stream");
        });
        server.Get("/other", [this](const httplib::Request &, httplib::Response &response) {
            response.set_content(m_other, "application/octet-stream");
        });
        server.Get("/slow", [this](const httplib::Request &, httplib::Response &response) {
            response.set_content_provider(
                m_body.size(), "application/octet-stream",
                [this](std::size_t offset, std::size_t, httplib::DataSink &sink) {
                    if (offset == 0)
                        return sink.write(m_body.data(), 1000);
                    std::unique_lock lock(m_mutex);
                    m_release.wait_for(lock, std::chrono::seconds(20),
                                       [this] { return m_released; });
                    return sink.write(m_body.data() + offset, m_body.size() - offset);
                });
        });
        m_http.start();
    }

    void TearDown() override
    {
        release();
        m_http.stop();
    }

    void release()
    {
        {
            std::lock_guard lock(m_mutex);
            m_released = true;
        }
        m_release.notify_all();
    }

    QString url(const char *path) const { return QString::fromStdString(m_http.url(path)); }
    QString path(const char *name) const { return m_dir.filePath(QString::fromLatin1(name)); }

    QTemporaryDir m_dir;
    LoopbackServer m_http;
    std::string m_body;
    std::string m_other;
    std::mutex m_mutex;
    std::condition_variable m_release;
    bool m_released = false;
};

} // namespace

TEST_F(ControlTest, DownloadsUnderTheDefaultKeyAndMovesTheFileIntoPlace)
{
    BajaArchivos control;
    QSignalSpy progress(&control, &BajaArchivos::Progress);
    QSignalSpy completed(&control, &BajaArchivos::Completed);
    control.Download(url("/file"), path("Korvane.exe"));

    ASSERT_TRUE(waitUntil([&] { return completed.count() == 1; }));
    EXPECT_EQ(completed.at(0).at(0).toInt(), static_cast<int>(kFileSize));
    EXPECT_EQ(completed.at(0).at(1).toString(), QStringLiteral("Id"));
    ASSERT_GE(progress.count(), 1);
    EXPECT_EQ(progress.last().at(0).toInt(), static_cast<int>(kFileSize));
    EXPECT_EQ(progress.last().at(1).toInt(), static_cast<int>(kFileSize));
    EXPECT_EQ(progress.last().at(2).toString(), QStringLiteral("Id"));
    EXPECT_EQ(readFile(path("Korvane.exe")).toStdString(), m_body);
    EXPECT_EQ(entriesOf(m_dir.path()), QStringList{QStringLiteral("Korvane.exe")});
    const DownloadResult result = control.lastResult(QStringLiteral("Id"));
    EXPECT_TRUE(result.inPlace);
    EXPECT_EQ(result.destination, path("Korvane.exe"));
}

TEST_F(ControlTest, TwoTransfersSideBySideEachToItsOwnDestination)
{
    BajaArchivos control;
    QSignalSpy completed(&control, &BajaArchivos::Completed);
    control.Download(url("/file"), path("one"), QStringLiteral("A"));
    control.Download(url("/other"), path("two"), QStringLiteral("B"));
    ASSERT_TRUE(waitUntil([&] { return completed.count() == 2; }));
    QStringList keys{completed.at(0).at(1).toString(), completed.at(1).at(1).toString()};
    keys.sort();
    EXPECT_EQ(keys, (QStringList{QStringLiteral("A"), QStringLiteral("B")}));
    EXPECT_EQ(readFile(path("one")).toStdString(), m_body);
    EXPECT_EQ(readFile(path("two")).toStdString(), m_other);
}

TEST_F(ControlTest, PendingKeyIsRefusedUntilItsCompletionEvenAfterCancel)
{
    BajaArchivos control;
    QSignalSpy progress(&control, &BajaArchivos::Progress);
    QSignalSpy completed(&control, &BajaArchivos::Completed);
    control.Download(url("/slow"), path("first"));
    ASSERT_TRUE(waitUntil([&] { return progress.count() >= 1; }));

    EXPECT_THROW(control.Download(url("/other"), path("second")), platform::PlatformError);
    EXPECT_FALSE(platform::AsyncReader::isTemporaryFileName(QStringLiteral("second")));
    EXPECT_EQ(entriesOf(m_dir.path()).size(), 1) << "only the first transfer's temporary file";

    control.CancelDownload(QStringLiteral("no such key")); // ignored
    control.CancelDownload();
    EXPECT_THROW(control.Download(url("/other"), path("second")), platform::PlatformError)
        << "the key stays pending until the cancelled transfer completes";

    ASSERT_TRUE(waitUntil([&] { return completed.count() == 1; }));
    EXPECT_FALSE(control.lastResult(QStringLiteral("Id")).inPlace);
    EXPECT_FALSE(control.lastResult(QStringLiteral("Id")).failure.isEmpty());
    EXPECT_TRUE(entriesOf(m_dir.path()).isEmpty()) << "nothing of the cancelled transfer is left";

    control.Download(url("/other"), path("second"));
    ASSERT_TRUE(waitUntil([&] { return completed.count() == 2; }));
    EXPECT_EQ(readFile(path("second")).toStdString(), m_other);
}

TEST_F(ControlTest, KeyIsFreeInsideTheCompletedHandler)
{
    BajaArchivos control;
    int completions = 0;
    QObject::connect(&control, &BajaArchivos::Completed, [&](int, const QString &id) {
        if (++completions == 1)
            control.Download(url("/other"), path("again"), id);
    });
    control.Download(url("/file"), path("first"));
    ASSERT_TRUE(waitUntil([&] { return completions == 2; }));
    EXPECT_EQ(readFile(path("first")).toStdString(), m_body);
    EXPECT_EQ(readFile(path("again")).toStdString(), m_other);
}

TEST_F(ControlTest, ExistingDestinationIsNeverOverwrittenAndTheDataStaysInTheTemporaryFile)
{
    testutil::writeFile(path("Korvane.exe"), "old program");
    BajaArchivos control;
    QSignalSpy completed(&control, &BajaArchivos::Completed);
    control.Download(url("/file"), path("Korvane.exe"));
    ASSERT_TRUE(waitUntil([&] { return completed.count() == 1; }));
    EXPECT_EQ(completed.at(0).at(0).toInt(), static_cast<int>(kFileSize));
    EXPECT_EQ(readFile(path("Korvane.exe")), QByteArray("old program"));
    const DownloadResult result = control.lastResult(QStringLiteral("Id"));
    EXPECT_FALSE(result.inPlace);
    EXPECT_TRUE(result.failure.contains(QStringLiteral("moved into place")))
        << result.failure.toStdString();
    ASSERT_FALSE(result.temporary.isEmpty());
    EXPECT_EQ(platform::folderOf(result.temporary), m_dir.path());
    EXPECT_EQ(readFile(result.temporary).toStdString(), m_body) << "the host may still use it";
    EXPECT_EQ(entriesOf(m_dir.path()).size(), 2);
}

TEST_F(ControlTest, FailedTransferCompletesWithItsReasonAndMovesNothing)
{
    BajaArchivos control;
    QSignalSpy progress(&control, &BajaArchivos::Progress);
    QSignalSpy completed(&control, &BajaArchivos::Completed);
    control.Download(url("/missing"), path("Korvane.exe"));
    ASSERT_TRUE(waitUntil([&] { return completed.count() == 1; }));
    EXPECT_EQ(progress.count(), 0) << "an error page is no progress";
    EXPECT_TRUE(entriesOf(m_dir.path()).isEmpty());
    EXPECT_TRUE(control.lastResult(QStringLiteral("Id")).failure.contains(QStringLiteral("404")));
    EXPECT_THROW(control.lastResult(QStringLiteral("other")), platform::PlatformError);
}

TEST_F(ControlTest, RefusedStartKeepsTheKeyPending)
{
    BajaArchivos control;
    EXPECT_THROW(control.Download(QStringLiteral("ftp://127.0.0.1/x"), path("x")),
                 platform::PlatformError);
    EXPECT_THROW(control.Download(url("/file"), path("x")), platform::PlatformError)
        << "the entry added before the refused start keeps the key pending";
    EXPECT_TRUE(entriesOf(m_dir.path()).isEmpty());
}

TEST(ControlFace, KeepsFortyEightPixelsSquareWhateverTheContainerDoes)
{
    QWidget container;
    BajaArchivos control(&container);
    control.resize(100, 20);
    EXPECT_EQ(control.size(), QSize(48, 48));
    control.setGeometry(5, 5, 10, 300);
    EXPECT_EQ(control.size(), QSize(48, 48));
    container.show();
    control.show();
    const QImage face = control.grab().toImage();
    EXPECT_EQ(face.size(), QSize(48, 48) * control.devicePixelRatioF());
}
