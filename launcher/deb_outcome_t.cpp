// Asks dpkg-deb and dpkg-query, started directly (no shell) with their
// output on a pipe, what a .deb holds and whether it is installed.
#include "deb_outcome_t.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// Runs ARGV and reads its standard output into OUT (at most SIZE - 1
// bytes, NUL-terminated). True when it ran and ended with status 0.
bool run_and_read(char *const argv[], char *out, size_t size)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    const bool spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    size_t used = 0;
    while (spawned && used + 1 < size) {
        ssize_t n = read(pipe_fds[0], out + used, size - 1 - used);
        if (n <= 0)
            break;
        used += static_cast<size_t>(n);
    }
    out[used] = '\0';
    close(pipe_fds[0]);
    int status = -1;
    bool reaped = false;
    while (spawned && !(reaped = waitpid(pid, &status, 0) == pid) && errno == EINTR) {
    }
    return reaped && status == 0;
}

// Debian package names and versions hold no blanks or shell syntax; anything
// else is not taken for one.
bool plain_field(const char *text)
{
    return text[0] != '\0' && strspn(text, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.+-:~")
                                  == strlen(text);
}

} // namespace

bool deb_identify(const char *package_file, DebIdentity *identity)
{
    char out[sizeof identity->name + sizeof identity->version];
    char *argv[] = {const_cast<char *>("/usr/bin/dpkg-deb"), const_cast<char *>("--show"),
                    const_cast<char *>("--showformat=${Package}\\n${Version}\\n"),
                    const_cast<char *>(package_file), nullptr};
    if (!run_and_read(argv, out, sizeof out))
        return false;
    char *version = strchr(out, '\n');
    char *end = version != nullptr ? strchr(version + 1, '\n') : nullptr;
    if (end == nullptr)
        return false;
    *version++ = '\0';
    *end = '\0';
    if (!plain_field(out) || !plain_field(version) || strlen(out) >= sizeof identity->name
        || strlen(version) >= sizeof identity->version)
        return false;
    strcpy(identity->name, out);
    strcpy(identity->version, version);
    return true;
}

bool deb_installed(const DebIdentity &identity)
{
    char out[256];
    char *argv[] = {const_cast<char *>("/usr/bin/dpkg-query"), const_cast<char *>("--show"),
                    const_cast<char *>("--showformat=${Status} ${Version}"),
                    const_cast<char *>(identity.name), nullptr};
    if (!run_and_read(argv, out, sizeof out))
        return false;
    char expected[sizeof "install ok installed " + sizeof identity.version];
    strcpy(expected, "install ok installed ");
    strcat(expected, identity.version);
    return strcmp(out, expected) == 0;
}
