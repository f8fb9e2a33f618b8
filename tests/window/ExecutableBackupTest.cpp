#include "window/ExecutableBackup.h"

#include "platform/Executables.h"
#include "platform/Files.h"
#include "platform/PlatformError.h"
#include "support/TestUtil.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>

using testutil::entriesOf;
using testutil::readFile;
using testutil::writeFile;

namespace {

const QByteArray kOld = "#!/bin/sh\necho old\n";
const QByteArray kNew = "#!/bin/sh\necho new\n";

class BackupTest : public ::testing::Test
{
protected:
    QString path(const char *name) const { return m_dir.filePath(QString::fromLatin1(name)); }
    QString exe() const { return path("Korvane.exe"); }
    QString saved() const { return path("Korvane.exe.refitor-backup"); }
    QString part() const { return path(".refitor-Ab12Cd.part"); }

    void write(const QString &file, const QByteArray &bytes, mode_t mode = 0750) const
    {
        writeFile(file, bytes);
        ASSERT_EQ(::chmod(QFile::encodeName(file).constData(), mode), 0);
    }
    static mode_t modeOf(const QString &file)
    {
        struct stat info
        {};
        EXPECT_EQ(::lstat(QFile::encodeName(file).constData(), &info), 0);
        return info.st_mode & 07777;
    }

    QTemporaryDir m_dir;
};

} // namespace

TEST_F(BackupTest, RecoveryKeepsARunnableExecutableAndOtherwiseTheBackup)
{
    const struct
    {
        const char *what;
        const char *executable; // "" when missing
        mode_t mode;
        const char *backup; // "" when missing
        const char *expected;
    } rows[] = {
        {"killed mid-swap", "", 0, "#!/bin/sh\necho old\n", "#!/bin/sh\necho old\n"},
        {"killed after the swap", "#!/bin/sh\necho new\n", 0750, "#!/bin/sh\necho old\n",
         "#!/bin/sh\necho new\n"},
        {"the executable may not run", "#!/bin/sh\necho new\n", 0600, "#!/bin/sh\necho old\n",
         "#!/bin/sh\necho old\n"},
        {"the executable is empty", "", 0755, "#!/bin/sh\necho old\n", "#!/bin/sh\necho old\n"},
        {"the executable is a web page", "<html>", 0755, "#!/bin/sh\necho old\n",
         "#!/bin/sh\necho old\n"},
        {"nothing to recover", "#!/bin/sh\necho new\n", 0750, "", "#!/bin/sh\necho new\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        QTemporaryDir dir;
        const QString executable = dir.filePath(QStringLiteral("Korvane.exe"));
        const QString backup = executable + QStringLiteral(".refitor-backup");
        if (*row.executable != '\0' || std::string_view(row.what) == "the executable is empty") {
            writeFile(executable, row.executable);
            ASSERT_EQ(::chmod(QFile::encodeName(executable).constData(), row.mode), 0);
        }
        if (*row.backup != '\0')
            writeFile(backup, row.backup);
        ExecutableBackup(executable).recover();
        EXPECT_EQ(readFile(executable), QByteArray(row.expected));
        EXPECT_EQ(entriesOf(dir.path()), QStringList{QStringLiteral("Korvane.exe")});
    }
}

TEST_F(BackupTest, RecoveryTidiesOnlyOurLeftoversAndLeavesFoldersAndLinksAlone)
{
    write(part(), "half a download");
    writeFile(path(".refitor-zzzzzz.part"), "another");
    // Look-alikes that are not ours stay, and so does a folder under our pattern.
    for (const char *name : {"refitor-a1B2c3.part", ".refitor-a1B2c.part",
                             ".refitor-a1B2c3.partial", "notes.txt", "Korvane.ini"})
        writeFile(path(name), "keep");
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral(".refitor-Folder.part")));
    // A folder under the executable's name beside a backup: neither is ours to remove.
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("Korvane.exe")));
    write(saved(), kOld);

    ExecutableBackup(exe()).recover();
    EXPECT_EQ(
        entriesOf(m_dir.path()),
        (QStringList{QStringLiteral(".refitor-Folder.part"), QStringLiteral(".refitor-a1B2c.part"),
                     QStringLiteral(".refitor-a1B2c3.partial"), QStringLiteral("Korvane.exe"),
                     QStringLiteral("Korvane.exe.refitor-backup"), QStringLiteral("Korvane.ini"),
                     QStringLiteral("notes.txt"), QStringLiteral("refitor-a1B2c3.part")}));
    EXPECT_THROW(ExecutableBackup(exe()).checkReplaceable(), platform::PlatformError);
}

TEST_F(BackupTest, OnlyAPlainFileIsReplaced)
{
    const ExecutableBackup backup(exe());
    EXPECT_NO_THROW(backup.checkReplaceable()) << "missing: the download goes to its name";
    write(exe(), kOld);
    EXPECT_NO_THROW(backup.checkReplaceable());
    QFile::remove(exe());
    write(path("Korvane-1.0"), kOld);
    ASSERT_TRUE(QFile::link(path("Korvane-1.0"), exe()));
    try {
        backup.checkReplaceable();
        ADD_FAILURE() << "a link was accepted";
    } catch (const platform::PlatformError &error) {
        EXPECT_TRUE(error.reason().contains(QStringLiteral("symbolic link"))) << error.what();
    }
    QFile::remove(exe());
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("Korvane.exe")));
    EXPECT_THROW(backup.checkReplaceable(), platform::PlatformError);
}

TEST_F(BackupTest, InstallSwapsInACheckedFileAndKeepsTheOldOneUntilDiscarded)
{
    for (const bool exchange : {true, false}) {
        SCOPED_TRACE(exchange ? "one exchange" : "two renames");
        QFile::remove(saved());
        write(exe(), kOld, 04750);
        write(part(), kNew, 0600);
        ExecutableBackup backup(exe());
        backup.setExchangeAllowed(exchange);
        backup.install(part());
        EXPECT_EQ(readFile(exe()), kNew);
        EXPECT_EQ(modeOf(exe()), 0750U) << "the old bits, without setuid";
        EXPECT_EQ(readFile(saved()), kOld);
        EXPECT_EQ(modeOf(saved()), 04750U) << "the old file is kept as it was";
        EXPECT_FALSE(QFile::exists(part()));

        // Should the new one not start, the old one comes back.
        backup.rollBack();
        EXPECT_EQ(readFile(exe()), kOld);
        EXPECT_EQ(entriesOf(m_dir.path()), QStringList{QStringLiteral("Korvane.exe")});
        EXPECT_THROW(backup.rollBack(), platform::PlatformError) << "nothing left to put back";
    }

    const ExecutableBackup backup(exe());
    write(part(), kNew, 0600);
    backup.install(part());
    backup.discard();
    EXPECT_EQ(entriesOf(m_dir.path()), QStringList{QStringLiteral("Korvane.exe")});
    EXPECT_NO_THROW(backup.discard());
}

TEST_F(BackupTest, ARefusedDownloadLeavesTheOldExecutableAndNoTrace)
{
    write(exe(), kOld);
    const ExecutableBackup backup(exe());
    for (const QByteArray &bytes :
         {QByteArray(), QByteArray("<!DOCTYPE html><title>Sign in</title>"),
          QByteArray("\x1f\x8b")}) {
        write(part(), bytes, 0600);
        EXPECT_THROW(backup.install(part()), platform::PlatformError);
        EXPECT_EQ(readFile(exe()), kOld);
        EXPECT_EQ(modeOf(exe()), 0750U);
        EXPECT_EQ(entriesOf(m_dir.path()), QStringList{QStringLiteral("Korvane.exe")});
    }
    // A file that went straight to the name because there was no executable: kept only if it
    // can run, and then runnable.
    QFile::remove(exe());
    write(exe(), "<html>", 0600);
    EXPECT_THROW(backup.adopt(), platform::PlatformError);
    EXPECT_TRUE(entriesOf(m_dir.path()).isEmpty());
    write(exe(), kNew, 0600);
    backup.adopt();
    EXPECT_EQ(modeOf(exe()), 0755U);
}

// A real process is killed after each step of the swap (and of a rollback) in turn; whatever
// step it dies after, the next run's recovery leaves a runnable executable, old or new, and
// nothing else.
TEST_F(BackupTest, AKillAtAnyStepLeavesARunnableExecutableAfterRecovery)
{
    for (const bool exchange : {true, false}) {
        for (const bool rollBack : {false, true}) {
            for (int killAfter = 1;; ++killAfter) {
                SCOPED_TRACE(testing::Message() << (exchange ? "exchange" : "renames")
                                                << (rollBack ? ", rollback" : ", install")
                                                << ", killed after step " << killAfter);
                QDir(m_dir.path()).removeRecursively();
                ASSERT_TRUE(QDir().mkpath(m_dir.path()));
                write(exe(), kOld);
                write(part(), kNew, 0600);
                if (rollBack) {
                    ExecutableBackup installer(exe());
                    installer.install(part());
                }
                testutil::ChildProcess child(
                    REFITOR_TEST_CHILD,
                    {"refitor-test-child", "swap", exe().toStdString(), part().toStdString(),
                     rollBack ? "rollback" : "install", exchange ? "exchange" : "renames",
                     std::to_string(killAfter)});
                const int status = child.wait();
                ASSERT_NE(status, -1);
                const bool killed = WIFSIGNALED(status);
                ASSERT_TRUE(killed || WEXITSTATUS(status) == 0) << "the swap failed";

                ExecutableBackup(exe()).recover();
                ASSERT_TRUE(platform::isRunnableExecutable(exe()));
                const QByteArray now = readFile(exe());
                EXPECT_TRUE(now == kOld || now == kNew);
                if (!killed) {
                    EXPECT_EQ(now, rollBack ? kOld : kNew);
                    break;
                }
                EXPECT_EQ(entriesOf(m_dir.path()), QStringList{QStringLiteral("Korvane.exe")});
            }
        }
    }
}
