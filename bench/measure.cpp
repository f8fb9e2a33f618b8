// Runs one command and writes what it cost: wall time, user and system processor time and peak
// resident memory, the last three from wait4(), so they cover the command and every descendant
// it waited for (a shell pair such as "curl ... && sync" counts whole, as GNU time would).
//
//   measure -o FILE -- COMMAND [ARG...]
//
// The command keeps this program's standard streams. FILE gets one line of key=value figures;
// the clock readings are CLOCK_MONOTONIC, the clock other tools here compare against. The exit
// status is the command's (128 + signal number when a signal ended it). SIGTERM, SIGINT and
// SIGHUP are passed on to the command, so stopping this program stops what it measures.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t childPid = 0;

extern "C" void passOn(int received)
{
    if (childPid > 0)
        kill(childPid, received);
}

double monotonicSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double seconds(const timeval &value)
{
    return static_cast<double>(value.tv_sec) + static_cast<double>(value.tv_usec) / 1e6;
}

int usage()
{
    std::fprintf(stderr, "usage: measure -o FILE -- COMMAND [ARG...]\n");
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 5 || std::strcmp(argv[1], "-o") != 0 || std::strcmp(argv[3], "--") != 0)
        return usage();
    const std::string output = argv[2];
    char **command = argv + 4;

    const double start = monotonicSeconds();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("measure: fork");
        return 125;
    }
    if (child == 0) {
        execvp(command[0], command);
        std::fprintf(stderr, "measure: cannot run %s: %s\n", command[0], std::strerror(errno));
        _exit(127);
    }
    childPid = child;
    struct sigaction action
    {};
    action.sa_handler = passOn;
    sigemptyset(&action.sa_mask);
    for (const int passed : {SIGTERM, SIGINT, SIGHUP})
        sigaction(passed, &action, nullptr);

    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::perror("measure: wait4");
            return 125;
        }
    }
    const double end = monotonicSeconds();
    const int exitCode = WIFEXITED(status)     ? WEXITSTATUS(status)
                         : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                               : 125;

    std::FILE *file = std::fopen(output.c_str(), "w");
    if (file == nullptr) {
        std::fprintf(stderr, "measure: cannot write %s: %s\n", output.c_str(),
                     std::strerror(errno));
        return 125;
    }
    // ru_maxrss is in KiB on Linux.
    std::fprintf(file,
                 "wall=%.4f user=%.4f system=%.4f processor=%.4f max_rss_kib=%ld exit=%d "
                 "start=%.6f end=%.6f\n",
                 end - start, seconds(usage.ru_utime), seconds(usage.ru_stime),
                 seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_maxrss, exitCode,
                 start, end);
    std::fclose(file);
    return exitCode;
}
