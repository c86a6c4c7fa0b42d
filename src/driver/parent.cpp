// parent.cpp: ending the run when a chosen ancestor ends.
//
// A pidfd refers to one process for good, whatever later reuses its number: a
// thread waits on it and sends SIGTERM when it becomes readable, wherever the
// process stands above this one. The kernel's parent-death signal arms the
// same ending for the direct parent, PID or a wrapper between, whose end
// ends the run as well.
// Without pidfds (Linux before 5.3) the thread watches the chain of
// ancestors instead: once PID has left it, it never comes back.
#include "driver/parent.h"

#include <poll.h>
#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

namespace {

// The parent of `pid`, read from /proc; 0 when it cannot be read.
pid_t parent_of(pid_t pid) {
    char name[64];
    std::snprintf(name, sizeof name, "/proc/%d/stat", static_cast<int>(pid));
    std::FILE *f = std::fopen(name, "re");
    if (f == nullptr) return 0;
    char text[1024];
    const size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    text[n] = '\0';
    // "pid (command) state ppid ...": the command may hold spaces and parentheses.
    const char *close = std::strrchr(text, ')');
    int ppid = 0;
    char state = 0;
    if (close == nullptr || std::sscanf(close + 1, " %c %d", &state, &ppid) != 2) return 0;
    return static_cast<pid_t>(ppid);
}

// Whether `pid` is among this process's ancestors now.
bool is_ancestor(pid_t pid) {
    pid_t at = ::getppid();
    for (int depth = 0; at > 0 && depth < 4096; ++depth) {
        if (at == pid) return true;
        at = parent_of(at);
    }
    return false;
}

void end_run() { ::kill(::getpid(), SIGTERM); }

void watch_pidfd(int fd) {
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    end_run();
}

void watch_chain(pid_t pid) {
    while (is_ancestor(pid)) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    end_run();
}

// Starts `watch` on a thread that takes no signals, so that the run's own
// thread keeps them as before.
template <class F>
bool start_watching(F watch) {
    sigset_t all, before;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &before);
    bool started = true;
    try {
        std::thread(watch).detach();
    } catch (const std::system_error &) {
        started = false;
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return started;
}

}  // namespace

std::string lv::follow_parent(long pid_number) {
#if defined(__linux__)
    const auto pid = static_cast<pid_t>(pid_number);
    const std::string named = "--parent " + std::to_string(pid_number);
    // The process this one runs under: PID, or a wrapper below PID that waits for it.
    const pid_t direct = ::getppid();
    int fd = -1;
#if defined(SYS_pidfd_open)
    fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0 && errno == ESRCH) return named + ": no such process";
#endif
    // Checked after the pidfd is taken: an ancestor found now is the process
    // the pidfd holds, since a number reused later cannot be an ancestor.
    if (!is_ancestor(pid)) {
        if (fd >= 0) ::close(fd);
        return named + " is not an ancestor of this process";
    }
    // A caller that ignores or blocks SIGTERM (as some supervisors start
    // their jobs) passes that on: it is put back to the default here.
    std::signal(SIGTERM, SIG_DFL);
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ::sigprocmask(SIG_UNBLOCK, &term, nullptr);
    // The parent-death signal follows the direct parent, PID or a wrapper:
    // a caller that stops waiting for the run can signal only the process it
    // started, and a wrapper it ends must not leave the run going on unread.
    // Armed after exec, the signal may come too late: a parent that ended
    // before it leaves this process with another parent, and the run ends.
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != direct) end_run();
    const bool watching = fd >= 0 ? start_watching([fd] { watch_pidfd(fd); })
                                  : start_watching([pid] { watch_chain(pid); });
    if (!watching) return named + ": cannot start the thread that follows it";
    return "";
#else
    (void)pid_number;
    return "--parent needs Linux";
#endif
}
