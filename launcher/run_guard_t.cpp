// Signal handling and the files a run has written. Only async-signal-safe
// calls happen inside the handlers.
#include "run_guard_t.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int kMaxTracked = 4;
const char *volatile tracked[kMaxTracked];
volatile sig_atomic_t tracked_count = 0;
volatile sig_atomic_t child_running = 0;
volatile sig_atomic_t pending_signal = 0;

void remove_tracked_files()
{
    for (sig_atomic_t i = 0; i < tracked_count; ++i) {
        struct stat st;
        const char *path = tracked[i];
        // Only what can be ours: /tmp paths are shared with other users.
        if (path != nullptr && lstat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid())
            unlink(path);
    }
}

void on_termination(int signal)
{
    if (child_running) {
        pending_signal = signal;
        return;
    }
    remove_tracked_files();
    _exit(128 + signal);
}

// A handler rather than SIG_IGN: an ignored signal would stay ignored in
// every program we start, a caught one is back to its default there.
void on_broken_pipe(int)
{
}

void catch_signal(int signal, void (*handler)(int))
{
    struct sigaction action;
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGTERM);
    sigaddset(&action.sa_mask, SIGHUP);
    sigaddset(&action.sa_mask, SIGINT);
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, nullptr);
}

void open_missing_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY); // takes the lowest free number: fd
    }
}

// A pipe or socket whose reader is gone reports POLLERR for writing.
void silence_unread_stdout()
{
    fflush(stdout);
    struct pollfd out = {STDOUT_FILENO, POLLOUT, 0};
    if (poll(&out, 1, 0) != 1 || (out.revents & POLLERR) == 0)
        return;
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0)
        return;
    dup2(null, STDOUT_FILENO);
    close(null);
    clearerr(stdout);
}

// A SIGCHLD ignored by whoever started us (some service managers and CI
// runners hand it on) makes the kernel reap our children itself: system()
// and waitpid() then fail with ECHILD after the child has run, and its
// status is lost. Blocked, it is as good as lost for the programs we start.
void restore_child_signal()
{
    struct sigaction action;
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGCHLD, &action, nullptr);
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    sigprocmask(SIG_UNBLOCK, &child, nullptr);
}

} // namespace

void guard_install()
{
    open_missing_standard_descriptors();
    restore_child_signal();
    catch_signal(SIGTERM, on_termination);
    catch_signal(SIGHUP, on_termination);
    catch_signal(SIGINT, on_termination);
    catch_signal(SIGPIPE, on_broken_pipe);
}

void guard_track(const char *path)
{
    if (tracked_count < kMaxTracked) {
        tracked[tracked_count] = path;
        tracked_count = tracked_count + 1;
    }
}

void guard_forget_all()
{
    tracked_count = 0;
}

void guard_child_begins()
{
    silence_unread_stdout();
    child_running = 1;
}

int guard_child_ends()
{
    child_running = 0;
    return pending_signal;
}
