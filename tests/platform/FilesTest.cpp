#include "platform/Files.h"

#include "platform/PlatformError.h"
#include "support/TestUtil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace platform;
using testutil::readFile;
using testutil::writeFile;

namespace {

mode_t modeOf(const QString &path)
{
    struct stat info
    {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    return info.st_mode & 07777;
}

} // namespace

TEST(RenameNoReplace, MovesAndNeverOverwrites)
{
    QTemporaryDir dir;
    const QString from = dir.filePath(QStringLiteral("new"));
    const QString to = dir.filePath(QStringLiteral("Korvane.exe"));
    writeFile(from, "new bytes");
    writeFile(to, "old bytes");

    EXPECT_THROW(renameNoReplace(from, to), PlatformError);
    EXPECT_EQ(readFile(to), QByteArray("old bytes"));
    EXPECT_EQ(readFile(from), QByteArray("new bytes"));

    QFile::remove(to);
    renameNoReplace(from, to);
    EXPECT_EQ(readFile(to), QByteArray("new bytes"));
    EXPECT_FALSE(pathExists(from));

    EXPECT_THROW(renameNoReplace(from, to), PlatformError) << "the source is gone";
}

TEST(RenameNoReplace, RefusesToCrossFileSystemsInsteadOfCopying)
{
    if (!QFileInfo(QStringLiteral("/dev/shm")).isDir())
        GTEST_SKIP() << "no second file system (/dev/shm) on this machine";
    QTemporaryDir disk;                                              // on the disk with the build
    QTemporaryDir memory(QStringLiteral("/dev/shm/refitor-XXXXXX")); // on tmpfs
    const QString from = disk.filePath(QStringLiteral("data"));
    writeFile(from, "payload");
    const QString to = memory.filePath(QStringLiteral("data"));
    EXPECT_THROW(renameNoReplace(from, to), PlatformError);
    EXPECT_FALSE(pathExists(to));
    EXPECT_TRUE(pathExists(from));
}

TEST(Files, DeleteExistsAndFolders)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("f"));
    EXPECT_THROW(deleteFile(file), PlatformError);
    writeFile(file, "x");
    EXPECT_TRUE(pathExists(file));
    deleteFile(file);
    EXPECT_FALSE(pathExists(file));

    const QString link = dir.filePath(QStringLiteral("dangling"));
    ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("nowhere")), link));
    EXPECT_TRUE(pathExists(link)) << "a dangling link still occupies the name";

    EXPECT_EQ(folderOf(QStringLiteral("/a/b/c.exe")), QStringLiteral("/a/b"));
    EXPECT_EQ(folderOf(QStringLiteral("/c.exe")), QStringLiteral("/"));
    EXPECT_EQ(folderOf(QStringLiteral("c.exe")), QString());
    EXPECT_NO_THROW(syncFolder(dir.path()));
    EXPECT_THROW(syncFolder(dir.filePath(QStringLiteral("missing"))), PlatformError);
}

TEST(Files, ExecutablePermissionsFollowTheOldFile)
{
    QTemporaryDir dir;
    const QString old = dir.filePath(QStringLiteral("old"));
    const QString fresh = dir.filePath(QStringLiteral("fresh"));
    writeFile(old, "o");
    writeFile(fresh, "n");
    ASSERT_EQ(::chmod(QFile::encodeName(old).constData(), 0750), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(fresh).constData(), 0600), 0);

    copyExecutablePermissions(old, fresh);
    EXPECT_EQ(modeOf(fresh), 0750U);

    copyExecutablePermissions(QString(), fresh);
    EXPECT_EQ(modeOf(fresh), 0755U) << "no old file: the usual mode of a program";
    copyExecutablePermissions(dir.filePath(QStringLiteral("missing")), fresh);
    EXPECT_EQ(modeOf(fresh), 0755U);
    EXPECT_THROW(copyExecutablePermissions(old, dir.filePath(QStringLiteral("missing"))),
                 PlatformError);
}
