#include "platform/Files.h"

#include "platform/Executables.h"
#include "platform/FolderLock.h"
#include "platform/PlatformError.h"
#include "support/TestUtil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <utility>

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

TEST(Files, KindsAndExchange)
{
    QTemporaryDir dir;
    const QString a = dir.filePath(QStringLiteral("a"));
    const QString b = dir.filePath(QStringLiteral("b"));
    writeFile(a, "first");
    writeFile(b, "second");
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder")));
    ASSERT_TRUE(QFile::link(a, dir.filePath(QStringLiteral("link"))));
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir.filePath(QStringLiteral("fifo"))).constData(), 0600),
              0);
    EXPECT_EQ(fileKind(a), FileKind::Regular);
    EXPECT_EQ(fileKind(dir.filePath(QStringLiteral("folder"))), FileKind::Directory);
    EXPECT_EQ(fileKind(dir.filePath(QStringLiteral("link"))), FileKind::SymbolicLink);
    EXPECT_EQ(fileKind(dir.filePath(QStringLiteral("fifo"))), FileKind::Other);
    EXPECT_EQ(fileKind(dir.filePath(QStringLiteral("missing"))), FileKind::Missing);
    EXPECT_EQ(fileKind(dir.filePath(QStringLiteral("a/under-a-file"))), FileKind::Missing);

    if (!exchangeFiles(a, b))
        GTEST_SKIP() << "this file system cannot swap names";
    EXPECT_EQ(readFile(a), QByteArray("second"));
    EXPECT_EQ(readFile(b), QByteArray("first"));
    EXPECT_THROW(exchangeFiles(a, dir.filePath(QStringLiteral("missing"))), PlatformError);
    EXPECT_EQ(readFile(a), QByteArray("second")) << "a refused swap changes nothing";
}

namespace {

// The bytes a program for this computer begins with: this test binary's own ELF header.
QByteArray nativeProgramHead()
{
    QFile self(QStringLiteral("/proc/self/exe"));
    EXPECT_TRUE(self.open(QIODevice::ReadOnly));
    return self.read(4096);
}

} // namespace

TEST(Executables, OnlyAProgramForThisComputerIsPreparedAndGetsTheOldBits)
{
    QTemporaryDir dir;
    const QString old = dir.filePath(QStringLiteral("old"));
    const QString fresh = dir.filePath(QStringLiteral("fresh"));
    writeFile(old, "#!/bin/sh\n");

    QByteArray foreign = nativeProgramHead();
    foreign[18] = static_cast<char>(foreign[18] ^ 0x01); // another e_machine
    const struct
    {
        const char *what;
        QByteArray bytes;
        const char *reason; // "" when accepted
    } files[] = {
        {"script", "#!/bin/sh\necho hi\n", ""},
        {"native program", nativeProgramHead(), ""},
        {"empty", "", "empty file"},
        {"HTML", "\xEF\xBB\xBF\n  <!DOCTYPE html><html><body>Sign in</body></html>", "HTML page"},
        {"HTML without doctype", "<HTML lang=en><HEAD><TITLE>Portal", "HTML page"},
        {"another machine", foreign, "another kind of computer"},
        {"Windows program", "MZ\x90\x00\x03", "Windows program"},
        {"text", "Korvane 2.0 is coming soon", "not a program"},
        {"XML", "<?xml version=\"1.0\"?><Error>AccessDenied</Error>", "not a program"},
    };
    for (const auto &file : files) {
        SCOPED_TRACE(file.what);
        writeFile(fresh, file.bytes);
        ASSERT_EQ(::chmod(QFile::encodeName(fresh).constData(), 0600), 0);
        if (*file.reason == '\0') {
            EXPECT_NO_THROW(prepareExecutable(fresh, old));
            EXPECT_TRUE(isRunnableExecutable(fresh));
        } else {
            try {
                prepareExecutable(fresh, old);
                ADD_FAILURE() << "accepted";
            } catch (const PlatformError &error) {
                EXPECT_TRUE(error.reason().contains(QLatin1String(file.reason))) << error.what();
            }
            EXPECT_EQ(modeOf(fresh), 0600U) << "a refused file is not touched";
            EXPECT_FALSE(isRunnableExecutable(fresh));
        }
    }

    writeFile(fresh, "#!/bin/sh\n");
    for (const auto &[oldMode, newMode] : {std::pair<mode_t, mode_t>{0750, 0750},
                                           {04755, 0755}, // never setuid on downloaded bytes
                                           {02711, 0711},
                                           {01775, 0775},
                                           {0600, 0755}, // the old one could not run
                                           {0, 0755}}) {
        ASSERT_EQ(::chmod(QFile::encodeName(old).constData(), oldMode), 0);
        prepareExecutable(fresh, old);
        EXPECT_EQ(modeOf(fresh), newMode) << std::oct << oldMode;
    }
    prepareExecutable(fresh, dir.filePath(QStringLiteral("missing")));
    EXPECT_EQ(modeOf(fresh), 0755U) << "no old file: the usual mode of a program";

    // Never through a link, and only a regular file.
    const QString link = dir.filePath(QStringLiteral("link"));
    ASSERT_TRUE(QFile::link(fresh, link));
    EXPECT_THROW(prepareExecutable(link, old), PlatformError);
    EXPECT_FALSE(isRunnableExecutable(link));
    EXPECT_THROW(prepareExecutable(dir.path(), old), PlatformError);
    ASSERT_EQ(::chmod(QFile::encodeName(fresh).constData(), 0644), 0);
    EXPECT_FALSE(isRunnableExecutable(fresh)) << "nobody may execute it";
}

TEST(FolderLock, OneHolderAtATimeAndTheFileGoesWithIt)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Korvane.exe.refitor-lock"));
    {
        auto first = FolderLock::tryAcquire(path);
        ASSERT_NE(first, nullptr);
        EXPECT_TRUE(pathExists(path));
        EXPECT_EQ(FolderLock::tryAcquire(path), nullptr) << "held: a second one is refused";
    }
    EXPECT_FALSE(pathExists(path)) << "the lock file goes with the lock";

    // A file left by a killed holder is taken over.
    writeFile(path, "");
    auto again = FolderLock::tryAcquire(path);
    ASSERT_NE(again, nullptr);
    again.reset();

    // A lock file that is not a file, or a folder that cannot be written, is no lock.
    ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("elsewhere")), path));
    EXPECT_THROW(FolderLock::tryAcquire(path), PlatformError);
    EXPECT_FALSE(pathExists(dir.filePath(QStringLiteral("elsewhere"))));
    EXPECT_THROW(FolderLock::tryAcquire(dir.filePath(QStringLiteral("missing/lock"))),
                 PlatformError);
}

TEST(FolderLock, AnotherProcessIsKeptOutAndExitRemovesTheFile)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("lock"));
    // The other process leaves through exit() with the lock held, the way a library that gives
    // up on the display ends a program.
    testutil::ChildProcess other(REFITOR_TEST_CHILD,
                                 {"refitor-test-child", "hold-lock", path.toStdString()});
    ASSERT_EQ(other.readLine(), "locked");
    EXPECT_EQ(FolderLock::tryAcquire(path), nullptr) << "another process holds it";
    testutil::ChildProcess third(REFITOR_TEST_CHILD,
                                 {"refitor-test-child", "hold-lock", path.toStdString()});
    EXPECT_EQ(third.readLine(), "busy");
    other.closeInput();
    const int status = other.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(pathExists(path)) << "exit() removed the lock file";
    EXPECT_NE(FolderLock::tryAcquire(path), nullptr);
}
