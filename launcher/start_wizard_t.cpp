// The wizard's start: from /tmp through the shell, or from a memory file.
#include "start_wizard_t.h"

#include "payload_write_t.h"
#include "run_guard_t.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// A memory file holding the wizard, or -1 with errno. Written by the same
// checked writer as the /tmp copy. Close-on-exec: the running wizard does
// not keep a descriptor of its own image open, and neither do the programs
// it starts.
int wizard_memory_file()
{
    int fd = memfd_create("qor-wizard", MFD_CLOEXEC);
    if (fd < 0)
        return -1;
    const Extraction wizard = {"qor-wizard", &kPayloads[kWizardPayload], kKeepMode, nullptr, nullptr};
    if (write_payload_to(fd, wizard) != kWritten) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// In the child: never returns. 126 is the shell's own status for a program
// that cannot be executed.
[[noreturn]] void exec_wizard(const char *path, int image_fd, int stdout_fd)
{
    dup2(stdout_fd, STDOUT_FILENO);
    if (image_fd < 0) {
        execl("/bin/sh", "sh", "-c", path, static_cast<char *>(nullptr));
        _exit(127);
    }
    char *argv[] = {const_cast<char *>(path), nullptr};
    fexecve(image_fd, argv, environ);
    dprintf(STDERR_FILENO, "%s: cannot run the setup program from memory\n", path);
    _exit(126);
}

} // namespace

int run_wizard(const char *path, int *status, int *interrupted)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return errno;
    int image_fd = -1;
    if (access(path, X_OK) != 0 && errno == EACCES) {
        image_fd = wizard_memory_file();
        if (image_fd < 0) {
            int error = errno;
            close(out[0]);
            close(out[1]);
            return error;
        }
    }

    guard_child_begins();
    pid_t pid = fork();
    if (pid == 0)
        exec_wizard(path, image_fd, out[1]);
    int error = pid < 0 ? errno : 0;
    // Nobody reads the wizard's output: it must not rely on writing there.
    close(out[0]);
    close(out[1]);
    if (image_fd >= 0)
        close(image_fd);
    while (pid > 0 && waitpid(pid, status, 0) < 0) {
        if (errno != EINTR) {
            error = errno;
            break;
        }
    }
    *interrupted = guard_child_ends();
    return error;
}
