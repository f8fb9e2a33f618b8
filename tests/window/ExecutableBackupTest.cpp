#include "window/ExecutableBackup.h"

#include "platform/PlatformError.h"
#include "support/TestUtil.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using testutil::entriesOf;
using testutil::readFile;
using testutil::writeFile;

namespace {

class BackupTest : public ::testing::Test
{
protected:
    QString path(const char *name) const { return m_dir.filePath(QString::fromLatin1(name)); }
    QTemporaryDir m_dir;
};

} // namespace

TEST_F(BackupTest, MoveAsideRestoreAndDiscard)
{
    const ExecutableBackup backup(path("Korvane.exe"));
    writeFile(path("Korvane.exe"), "old");
    backup.moveAside();
    EXPECT_EQ(entriesOf(m_dir.path()), QStringList{QStringLiteral("Korvane.exe.refitor-backup")});
    EXPECT_THROW(backup.moveAside(), platform::PlatformError) << "nothing left to move";

    backup.restore();
    EXPECT_EQ(readFile(path("Korvane.exe")), QByteArray("old"));
    EXPECT_NO_THROW(backup.restore()) << "no backup, nothing to do";

    backup.moveAside();
    writeFile(path("Korvane.exe"), "new");
    EXPECT_THROW(backup.restore(), platform::PlatformError) << "never over a new executable";
    EXPECT_EQ(readFile(path("Korvane.exe")), QByteArray("new"));
    backup.discard();
    EXPECT_EQ(entriesOf(m_dir.path()), QStringList{QStringLiteral("Korvane.exe")});
    EXPECT_NO_THROW(backup.discard());
}

TEST_F(BackupTest, RecoverRestoresAMissingExecutableAndTidiesOnlyOurLeftovers)
{
    writeFile(path("Korvane.exe.refitor-backup"), "old");
    writeFile(path(".refitor-a1B2c3.part"), "half a download");
    writeFile(path(".refitor-zzzzzz.part"), "another");
    // Look-alikes that are not ours stay.
    for (const char *name : {"refitor-a1B2c3.part", ".refitor-a1B2c.part",
                             ".refitor-a1B2c3.partial", "notes.txt", "Korvane.ini"})
        writeFile(path(name), "keep");

    ExecutableBackup(path("Korvane.exe")).recover();
    EXPECT_EQ(readFile(path("Korvane.exe")), QByteArray("old"));
    EXPECT_EQ(entriesOf(m_dir.path()),
              (QStringList{QStringLiteral(".refitor-a1B2c.part"),
                           QStringLiteral(".refitor-a1B2c3.partial"), QStringLiteral("Korvane.exe"),
                           QStringLiteral("Korvane.ini"), QStringLiteral("notes.txt"),
                           QStringLiteral("refitor-a1B2c3.part")}));
}

TEST_F(BackupTest, RecoverDropsAStaleBackupBesideAPresentExecutable)
{
    // A run killed after the new executable was in place but before its backup went.
    writeFile(path("Korvane.exe"), "new");
    writeFile(path("Korvane.exe.refitor-backup"), "old");
    const ExecutableBackup backup(path("Korvane.exe"));
    backup.recover();
    EXPECT_EQ(entriesOf(m_dir.path()), QStringList{QStringLiteral("Korvane.exe")});
    EXPECT_EQ(readFile(path("Korvane.exe")), QByteArray("new"));
    backup.moveAside(); // the next update can go ahead
}
