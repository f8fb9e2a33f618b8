// refitor-test-child: what some tests need done in a process of their own, to see how it ends.
// Forking the test process instead can leave the child stuck on a lock that another thread of
// the parent held, the address sanitizer's allocator lock among them.
//
//   exit-during-read URL FOLDER
//       starts reading URL into a temporary file in FOLDER and, once standard input closes, ends
//       the program with exit(1) while the transfer still runs, as Qt ends the program when the
//       display connection breaks
//   hold-lock PATH
//       takes the folder lock at PATH, writes "locked" (or "busy") and a newline, and once
//       standard input closes ends the program with exit(0), the lock still held
//   swap EXECUTABLE TEMPORARY install|rollback exchange|link|renames STEP [RECORD]
//       installs TEMPORARY as EXECUTABLE (or rolls it back), swapping by one exchange, by a link
//       and a replacing rename, or by two renames, whichever the file system offers up to the
//       one named, with the release record in the file RECORD when given, and kills itself after
//       step STEP, as a power cut or a kill would end it (no handler runs); exits 0 when the
//       work ends first

#include "runtime/AsyncRead.h"
#include "runtime/Files.h"
#include "support/PlatformSupport.h"
#include "window/ExecutableBackup.h"

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

namespace {

void waitForStandardInputToClose()
{
    while (std::cin.get() != std::char_traits<char>::eof()) {
    }
}

int usage()
{
    std::cerr << "usage: refitor-test-child exit-during-read URL FOLDER\n"
                 "       refitor-test-child hold-lock PATH\n"
                 "       refitor-test-child swap EXECUTABLE TEMPORARY install|rollback "
                 "exchange|link|renames STEP [RECORD]\n";
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    try {
        if (command == "exit-during-read" && argc == 4) {
            // Never destroyed: exit() leaves main's locals alone, so the transfer is still running
            // and only what the facility arranged for an exit can remove its file.
            const auto reader = runtime::createAsyncReader({}, {});
            reader->start(argv[2], runtime::AsyncReader::kKindFile, "exe", 0,
                          std::filesystem::path(argv[3]));
            waitForStandardInputToClose();
            std::exit(1);
        }
        if (command == "hold-lock" && argc == 3) {
            const auto lock = runtime::tryLockFolder(argv[2]);
            std::cout << (lock ? "locked" : "busy") << std::endl;
            waitForStandardInputToClose();
            std::exit(0);
        }
        if (command == "swap" && (argc == 7 || argc == 8)) {
            ExecutableBackup backup(argv[2]);
            const std::string swap = argv[5];
            backup.setStrongestSwap(swap == "exchange" ? ExecutableBackup::Swap::Exchange
                                    : swap == "link"   ? ExecutableBackup::Swap::Link
                                                       : ExecutableBackup::Swap::Renames);
            const int killAfter = std::stoi(argv[6]);
            int steps = 0;
            backup.setStepHook([&] {
                if (++steps == killAfter)
                    support::killThisProcess();
            });
            if (std::string(argv[4]) == "rollback")
                backup.rollBack();
            else
                backup.install(argv[3], argc == 8 ? runtime::readRegularFile(argv[7], 65536)
                                                  : std::string());
            return 0;
        }
    } catch (const std::exception &error) {
        std::cerr << "refitor-test-child: " << error.what() << "\n";
        return 3;
    }
    return usage();
}
