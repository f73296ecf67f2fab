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

// True when the package of IDENTITY is installed at its version. STAMP gets
// when dpkg last wrote the package's list of files (dpkg 1.19.3 and later;
// empty before), which a reinstallation of the same version changes.
bool deb_installed(const DebIdentity &identity, char *stamp, size_t size)
{
    char out[256];
    char *argv[] = {const_cast<char *>("/usr/bin/dpkg-query"), const_cast<char *>("--show"),
                    const_cast<char *>("--showformat=${Status} ${Version}\\n${db-fsys:Last-Modified}"),
                    const_cast<char *>(identity.name), nullptr};
    stamp[0] = '\0';
    if (!run_and_read(argv, out, sizeof out))
        return false;
    char *line_end = strchr(out, '\n');
    if (line_end == nullptr)
        return false;
    *line_end = '\0';
    if (strlen(line_end + 1) < size)
        strcpy(stamp, line_end + 1);
    char expected[sizeof "install ok installed " + sizeof identity.version];
    strcpy(expected, "install ok installed ");
    strcat(expected, identity.version);
    return strcmp(out, expected) == 0;
}

} // namespace

void deb_note_before(const char *package_file, DebBefore *before)
{
    before->identified = deb_identify(package_file, &before->identity);
    before->installed = before->identified
                        && deb_installed(before->identity, before->stamp, sizeof before->stamp);
}

bool deb_declined(const DebBefore &before)
{
    if (!before.identified)
        return false;
    char stamp[sizeof before.stamp];
    if (!deb_installed(before.identity, stamp, sizeof stamp))
        return true;
    // Installed before and after: only a reinstallation rewrites the list.
    return before.installed && before.stamp[0] != '\0' && strcmp(stamp, before.stamp) == 0;
}
