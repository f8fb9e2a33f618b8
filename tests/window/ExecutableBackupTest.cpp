#include "window/ExecutableBackup.h"

#include "runtime/Crypto.h"
#include "runtime/Files.h"
#include "runtime/RuntimeError.h"
#include "support/PlatformSupport.h"
#include "support/SystemSupport.h"
#include "window/ReleaseFile.h"

#include <gtest/gtest.h>
#include <string>

using runtime::RuntimeError;
using support::entriesOf;
using support::readFile;
using support::writeFile;
using Names = std::vector<std::string>;

namespace {

// Permission bits are checked where the platform has them; Windows has none to carry over.
bool modeIs(const std::filesystem::path &path, unsigned expected)
{
    const auto mode = support::modeOf(path);
    return !mode || *mode == expected;
}

} // namespace

namespace {

// Stand-ins for the product, in this platform's program format.
const std::string kOld = support::markerProgram("/nonexistent/marker", "old");
const std::string kNew = support::markerProgram("/nonexistent/marker", "new");

// A well-formed release record naming program; what is kept is never verified again, so its
// key and signature need only be of the right form.
std::string recordFor(const std::string &program, int serial)
{
    const runtime::Sha256Digest digest = runtime::sha256(program);
    std::string key;
    for (int group = 0; group < 21; ++group)
        key += "BAQE";
    return "refitor-release 1\nproduct Korvane\nsize " + std::to_string(program.size()) +
           "\nsha256 " + hexOf(digest) + "\nserial " + std::to_string(serial) + "\nkey " + key +
           "BAQ=\nsignature MAA=\n";
}

// Whether the installed release's record names the program in place.
bool recordNamesProgram(const std::filesystem::path &executable)
{
    const ExecutableBackup backup(executable);
    const std::string record = backup.installedRecord();
    return !record.empty() &&
           ReleaseFile::parse(record).sha256() == runtime::sha256(readFile(executable));
}

class BackupTest : public ::testing::Test
{
protected:
    std::filesystem::path path(const char *name) const { return m_dir.file(name); }
    std::filesystem::path exe() const { return path("Korvane.exe"); }
    std::filesystem::path saved() const { return path("Korvane.exe.refitor-backup"); }
    std::filesystem::path part() const { return path(".refitor-Ab12Cd.part"); }

    static void write(const std::filesystem::path &file, const std::string &bytes,
                      unsigned mode = 0750)
    {
        writeFile(file, bytes);
        support::setMode(file, mode);
    }

    support::TemporaryFolder m_dir;
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
        {"killed mid-swap", "", 0, kOld.c_str(), kOld.c_str()},
        {"killed after the swap", kNew.c_str(), 0750, kOld.c_str(), kNew.c_str()},
        {"the executable may not run", kNew.c_str(), 0600, kOld.c_str(), kOld.c_str()},
        {"the executable is empty", "", 0755, kOld.c_str(), kOld.c_str()},
        {"the executable is a web page", "<html>", 0755, kOld.c_str(), kOld.c_str()},
        {"nothing to recover", kNew.c_str(), 0750, "", kNew.c_str()},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        support::TemporaryFolder dir;
        const auto executable = dir.file("Korvane.exe");
        if (*row.executable != '\0' || std::string_view(row.what) == "the executable is empty")
            write(executable, row.executable, row.mode);
        if (*row.backup != '\0')
            writeFile(dir.file("Korvane.exe.refitor-backup"), row.backup);
        ExecutableBackup(executable).recover();
        EXPECT_EQ(readFile(executable), row.expected);
        EXPECT_EQ(entriesOf(dir.path()), Names{"Korvane.exe"});
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
    std::filesystem::create_directory(path(".refitor-Folder.part"));
    // A folder under the executable's name beside a backup: neither is ours to remove.
    std::filesystem::create_directory(exe());
    write(saved(), kOld);

    ExecutableBackup(exe()).recover();
    EXPECT_EQ(entriesOf(m_dir.path()),
              (Names{".refitor-Folder.part", ".refitor-a1B2c.part", ".refitor-a1B2c3.partial",
                     "Korvane.exe", "Korvane.exe.refitor-backup", "Korvane.ini", "notes.txt",
                     "refitor-a1B2c3.part"}));
    EXPECT_THROW(ExecutableBackup(exe()).checkReplaceable(), RuntimeError);
}

TEST_F(BackupTest, OnlyAPlainFileIsReplaced)
{
    const ExecutableBackup backup(exe());
    EXPECT_NO_THROW(backup.checkReplaceable()) << "missing: the download goes to its name";
    write(exe(), kOld);
    EXPECT_NO_THROW(backup.checkReplaceable());
    std::filesystem::remove(exe());
    const support::TemporaryFolder elsewhere;
    for (const auto &target : {path("Korvane-1.0"), elsewhere.file("Korvane-1.0")}) {
        SCOPED_TRACE(target.string());
        write(target, kOld);
        auto link = support::makeSymbolicLink(target, exe());
        ASSERT_TRUE(link);
        try {
            backup.checkReplaceable();
            ADD_FAILURE() << "a link was accepted";
        } catch (const RuntimeError &error) {
            EXPECT_EQ(error.kind(), runtime::ErrorKind::Refused);
            EXPECT_NE(std::string(error.what()).find("symbolic link"), std::string::npos)
                << error.what();
        }
        // Recovery leaves a link under the executable's name alone, and what it leads to.
        write(saved(), kNew);
        backup.recover();
        EXPECT_EQ(runtime::fileKind(exe()), runtime::FileKind::SymbolicLink);
        EXPECT_EQ(readFile(target), kOld);
        std::filesystem::remove(saved());
    }
    std::filesystem::create_directory(exe());
    EXPECT_THROW(backup.checkReplaceable(), RuntimeError);
}

namespace {

using Swap = ExecutableBackup::Swap;

const char *nameOf(Swap swap)
{
    return swap == Swap::Exchange ? "exchange" : swap == Swap::Link ? "link" : "renames";
}

} // namespace

TEST_F(BackupTest, InstallSwapsInACheckedFileAndKeepsTheOldOneUntilDiscarded)
{
    for (const Swap swap : {Swap::Exchange, Swap::Link, Swap::Renames}) {
        SCOPED_TRACE(nameOf(swap));
        std::filesystem::remove(saved());
        write(exe(), kOld, 04750);
        write(part(), kNew, 0600);
        ExecutableBackup backup(exe());
        backup.setStrongestSwap(swap);
        backup.install(part());
        EXPECT_EQ(readFile(exe()), kNew);
        EXPECT_TRUE(modeIs(exe(), 0750U)) << "the old bits, without setuid";
        EXPECT_EQ(readFile(saved()), kOld);
        EXPECT_TRUE(modeIs(saved(), 04750U)) << "the old file is kept as it was";
        EXPECT_FALSE(runtime::pathExists(part()));

        // Should the new one not start, the old one comes back.
        backup.rollBack();
        EXPECT_EQ(readFile(exe()), kOld);
        EXPECT_EQ(entriesOf(m_dir.path()), Names{"Korvane.exe"});
        EXPECT_THROW(backup.rollBack(), RuntimeError) << "nothing left to put back";
    }

    const ExecutableBackup backup(exe());
    write(part(), kNew, 0600);
    backup.install(part());
    backup.discard();
    EXPECT_EQ(entriesOf(m_dir.path()), Names{"Korvane.exe"});
    EXPECT_NO_THROW(backup.discard());
}

TEST_F(BackupTest, ARefusedDownloadLeavesTheOldExecutableAndNoTrace)
{
    write(exe(), kOld);
    const ExecutableBackup backup(exe());
    for (const std::string &bytes :
         {std::string(), std::string("<!DOCTYPE html><title>Sign in</title>"),
          std::string("\x1f\x8b")}) {
        write(part(), bytes, 0600);
        EXPECT_THROW(backup.install(part()), RuntimeError);
        EXPECT_EQ(readFile(exe()), kOld);
        EXPECT_TRUE(modeIs(exe(), 0750U));
        EXPECT_EQ(entriesOf(m_dir.path()), Names{"Korvane.exe"});
    }
    // A file that went straight to the name because there was no executable: kept only if it
    // can run, and then runnable.
    std::filesystem::remove(exe());
    write(exe(), "<html>", 0600);
    EXPECT_THROW(backup.adopt(), RuntimeError);
    EXPECT_TRUE(entriesOf(m_dir.path()).empty());
    write(exe(), kNew, 0600);
    backup.adopt();
    EXPECT_TRUE(modeIs(exe(), 0755U));
}

// Windows will not replace a read-only file, and an installer may well leave the product so.
TEST_F(BackupTest, AReadOnlyExecutableIsReplacedAndKeptAsItWas)
{
    namespace fs = std::filesystem;
    const auto readOnly = [](const fs::path &file) {
        return (fs::status(file).permissions() & fs::perms::owner_write) == fs::perms::none;
    };
    for (const Swap swap : {Swap::Exchange, Swap::Link, Swap::Renames}) {
        SCOPED_TRACE(nameOf(swap));
        write(exe(), kOld, 0550);
        fs::permissions(exe(), fs::perms::owner_write | fs::perms::group_write,
                        fs::perm_options::remove);
        ASSERT_TRUE(readOnly(exe()));
        write(part(), kNew, 0600);
        ExecutableBackup backup(exe());
        backup.setStrongestSwap(swap);
        backup.install(part());
        EXPECT_EQ(readFile(exe()), kNew);
        EXPECT_EQ(readFile(saved()), kOld);
        EXPECT_TRUE(readOnly(saved())) << "the old file keeps its mark";
        backup.rollBack();
        EXPECT_EQ(readFile(exe()), kOld);
        EXPECT_TRUE(readOnly(exe()));
        EXPECT_EQ(entriesOf(m_dir.path()), Names{"Korvane.exe"});
        fs::permissions(exe(), fs::perms::owner_write, fs::perm_options::add);
        fs::remove(exe());
    }
}

// A real process is killed after each step of the swap (and of a rollback) in turn, with and
// without a release record. Where the file system has an exchange or links, the executable's
// name holds a runnable program at every step; whatever step it dies after, the next run's
// recovery leaves a runnable executable, old or new, the record that names it, and nothing
// else.
TEST_F(BackupTest, AKillAtAnyStepLeavesARunnableExecutableAfterRecovery)
{
    const support::TemporaryFolder records;
    writeFile(records.file("new.release"), recordFor(kNew, 2));
    struct Run
    {
        Swap swap;
        bool rollBack;
        bool signedRelease;
    };
    std::vector<Run> runs;
    for (const Swap swap : {Swap::Exchange, Swap::Link, Swap::Renames})
        for (const bool rollBack : {false, true})
            for (const bool signedRelease : {false, true})
                runs.push_back({swap, rollBack, signedRelease});
    for (const Run &run : runs) {
        for (int killAfter = 1;; ++killAfter) {
            SCOPED_TRACE(testing::Message()
                         << nameOf(run.swap) << (run.rollBack ? ", rollback" : ", install")
                         << (run.signedRelease ? ", signed" : "") << ", killed after step "
                         << killAfter);
            for (const std::string &name : entriesOf(m_dir.path()))
                std::filesystem::remove_all(path(name.c_str()));
            write(exe(), kOld);
            write(part(), kNew, 0600);
            if (run.signedRelease)
                writeFile(path("Korvane.exe.refitor-release"), recordFor(kOld, 1));
            if (run.rollBack) {
                ExecutableBackup installer(exe());
                installer.install(part(), run.signedRelease ? recordFor(kNew, 2) : std::string());
            }
            std::vector<std::string> arguments{"refitor-test-child",
                                               "swap",
                                               exe().string(),
                                               part().string(),
                                               run.rollBack ? "rollback" : "install",
                                               nameOf(run.swap),
                                               std::to_string(killAfter)};
            if (run.signedRelease)
                arguments.push_back(records.file("new.release").string());
            support::ChildProcess child(REFITOR_TEST_CHILD, arguments);
            ASSERT_TRUE(child.wait());
            const bool killed = child.killed();
            ASSERT_TRUE(killed || child.exitCode() == 0) << "the swap failed";
            if (run.swap != Swap::Renames) {
                EXPECT_TRUE(runtime::isRunnableExecutable(exe()))
                    << "no moment without a runnable executable";
            }

            ExecutableBackup(exe()).recover();
            ASSERT_TRUE(runtime::isRunnableExecutable(exe()));
            const std::string now = readFile(exe());
            EXPECT_TRUE(now == kOld || now == kNew);
            if (run.signedRelease) {
                EXPECT_TRUE(recordNamesProgram(exe())) << "the record names the program";
            }
            if (!killed) {
                EXPECT_EQ(now, run.rollBack ? kOld : kNew);
                break;
            }
            const Names expected = run.signedRelease
                                       ? Names{"Korvane.exe", "Korvane.exe.refitor-release"}
                                       : Names{"Korvane.exe"};
            EXPECT_EQ(entriesOf(m_dir.path()), expected);
        }
    }
}
