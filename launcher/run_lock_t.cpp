// The run lock and what the launcher says about other users' runs and files.
#include "run_lock_t.h"

#include "crc32c_t.h"

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

int lock_fd = -1;

// The abstract name: a leading zero byte, then a text made from the path
// and the folder it lies in. Abstract names are shared by all that share a
// network namespace, chroots and containers with a /tmp of their own too:
// the folder's device and inode tell their /tmp folders apart. A path may
// be longer than the address holds, so a checksum of the whole path comes
// first and the path's start follows for people who look. Any local user
// can bind such a name; where a process that is no installer holds it, or
// another user's that this user may not inspect (judge_holder), the next of
// kLockNames takes its place (INDEX, 0 for the first).
const int kLockNames = 4;
// Every launcher holds this text, so it tells an installer's program file
// from others (the index, in the second %s, came later).
const char kNameFormat[] = "qor-setup %08x %llx:%llx %s%s";
const size_t kMarkerLength = sizeof "qor-setup %08x %llx:%llx %s" - 1;

socklen_t lock_address(const char *package_path, int index, sockaddr_un *address)
{
    memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    const size_t length = strlen(package_path);
    const uint32_t crc = crc32c_update(0, reinterpret_cast<const unsigned char *>(package_path), length);
    // The folder: all before the last slash ("/tmp"), or "." for a bare name.
    char folder[256] = ".";
    const char *slash = strrchr(package_path, '/');
    if (slash != nullptr)
        snprintf(folder, sizeof folder, "%.*s", slash == package_path ? 1 : static_cast<int>(slash - package_path),
                 package_path);
    struct stat st;
    if (stat(folder, &st) != 0)
        memset(&st, 0, sizeof st);
    char suffix[8] = "";
    if (index > 0)
        snprintf(suffix, sizeof suffix, "#%d ", index + 1);
    snprintf(address->sun_path + 1, sizeof address->sun_path - 1, kNameFormat, static_cast<unsigned>(crc),
             static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino), suffix,
             package_path);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + strlen(address->sun_path + 1));
}

// The user whose run holds the lock, asked of the kernel through a
// connection to it; false when it cannot tell (the holder is not listening
// yet, or its queue is full).
bool lock_holder(const sockaddr_un &address, socklen_t length, uid_t *uid)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    ucred peer;
    socklen_t size = sizeof peer;
    const bool known = connect(fd, reinterpret_cast<const sockaddr *>(&address), length) == 0
                       && getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0;
    close(fd);
    if (known)
        *uid = peer.uid;
    return known;
}

// True when LINE of the user database ("name:password:uid:...") is UID's;
// its name then goes into TEXT. Digits by hand: strtoul would bring in the
// C library's number scanner.
bool user_line(char *line, uid_t uid, char *text, size_t size)
{
    char *name_end = strchr(line, ':');
    const char *uid_start = name_end != nullptr ? strchr(name_end + 1, ':') : nullptr;
    if (uid_start == nullptr)
        return false;
    unsigned long value = 0;
    const char *digit = uid_start + 1;
    for (; *digit >= '0' && *digit <= '9' && value <= 0xffffffffUL; ++digit)
        value = value * 10 + static_cast<unsigned long>(*digit - '0');
    if (value != uid || *digit != ':' || digit == uid_start + 1)
        return false;
    *name_end = '\0';
    snprintf(text, size, "user %.63s", line);
    return true;
}

// Hands each line of the file at PATH to USE until it says true; true then.
// Lines longer than the buffer are skipped. Read by hand: the C library's
// buffered reading would add a fifth to the launcher's size.
bool find_line(const char *path, bool (*use)(char *line, void *context), void *context)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char chunk[4096];
    size_t kept = 0;
    bool found = false;
    while (!found) {
        ssize_t got = read(fd, chunk + kept, sizeof chunk - 1 - kept);
        if (got <= 0)
            break;
        kept += static_cast<size_t>(got);
        chunk[kept] = '\0';
        char *line = chunk;
        for (char *end; !found && (end = strchr(line, '\n')) != nullptr; line = end + 1) {
            *end = '\0';
            found = use(line, context);
        }
        kept = line == chunk && kept == sizeof chunk - 1 ? 0 : kept - static_cast<size_t>(line - chunk);
        memmove(chunk, line, kept);
    }
    close(fd);
    return found;
}

struct UserQuery {
    uid_t uid;
    char *text;
    size_t size;
};

bool is_users_line(char *line, void *context)
{
    UserQuery *query = static_cast<UserQuery *>(context);
    return user_line(line, query->uid, query->text, query->size);
}

// The sockets bound to a lock name, by inode, as /proc/net/unix lists
// them: "Num RefCount Protocol Flags Type St Inode @name".
struct SocketQuery {
    const char *name; // the abstract name, without its leading zero byte
    unsigned long inodes[8];
    int count;
};

bool note_socket(char *line, void *context)
{
    SocketQuery *query = static_cast<SocketQuery *>(context);
    char *field = line;
    for (int i = 0; i < 6 && field != nullptr; ++i)
        field = strchr(field + 1, ' ');
    char *path = field != nullptr ? strchr(field + 1, ' ') : nullptr;
    if (path == nullptr || path[1] != '@' || strcmp(path + 2, query->name) != 0)
        return false;
    unsigned long inode = 0;
    for (const char *digit = field + 1; *digit >= '0' && *digit <= '9'; ++digit)
        inode = inode * 10 + static_cast<unsigned long>(*digit - '0');
    if (query->count < 8)
        query->inodes[query->count++] = inode;
    return false;
}

// What getdents64 returns, one entry after another: the C libraries' own
// directory reading would take the heap.
struct DirEntry {
    uint64_t inode;
    int64_t offset;
    unsigned short length;
    unsigned char type;
    char name[1];
};

// Whether the process whose /proc folder is DIR holds one of the sockets.
bool holds_socket(const char *dir, const SocketQuery &sockets)
{
    char path[64];
    snprintf(path, sizeof path, "%s/fd", dir);
    int fds = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fds < 0)
        return false;
    alignas(8) char entries[2048];
    bool held = false;
    for (long got; !held && (got = syscall(SYS_getdents64, fds, entries, sizeof entries)) > 0;) {
        for (long at = 0; !held && at < got;) {
            const DirEntry *entry = reinterpret_cast<const DirEntry *>(entries + at);
            at += entry->length;
            char link[64];
            snprintf(path, sizeof path, "%s/fd/%s", dir, entry->name);
            ssize_t n = readlink(path, link, sizeof link - 1);
            if (n <= 0)
                continue;
            link[n] = '\0';
            for (int i = 0; i < sockets.count && !held; ++i) {
                char expected[40];
                snprintf(expected, sizeof expected, "socket:[%lu]", sockets.inodes[i]);
                held = strcmp(link, expected) == 0;
            }
        }
    }
    close(fds);
    return held;
}

// Whether the program file open as FD is an installer of this system: it is
// our own, or it holds the text of kNameFormat.
bool is_installer_program(int fd)
{
    struct stat theirs, ours;
    if (fstat(fd, &theirs) == 0 && stat("/proc/self/exe", &ours) == 0 && theirs.st_dev == ours.st_dev
        && theirs.st_ino == ours.st_ino)
        return true;
    static char buffer[64 * 1024];
    size_t kept = 0;
    for (ssize_t got; (got = read(fd, buffer + kept, sizeof buffer - kept)) > 0;) {
        kept += static_cast<size_t>(got);
        if (memmem(buffer, kept, kNameFormat, kMarkerLength) != nullptr)
            return true;
        // The text may straddle two reads.
        const size_t tail = kept < kMarkerLength ? kept : kMarkerLength - 1;
        memmove(buffer, buffer + kept - tail, tail);
        kept = tail;
    }
    return false;
}

// The kernel's socket diagnostics, asked about one unix socket by inode
// for its owner (linux/sock_diag.h, linux/unix_diag.h; musl brings no
// kernel headers): a netlink message header, then the request.
struct OwnerRequest {
    uint32_t length;
    uint16_t type, flags;
    uint32_t sequence, port;
    uint8_t family, protocol;
    uint16_t pad;
    uint32_t states, inode, show, cookie[2];
};
const int kNetlinkSockDiag = 4;
const uint16_t kSockDiagByFamily = 20, kNetlinkRequest = 1, kUnixDiagUid = 7;
const uint32_t kShowUid = 1 << 6, kNoCookie = ~0u;

// The uid that owns the unix socket INODE. Anyone may ask, of any user's
// socket, and the socket need not accept connections; false where this
// kernel does not tell (before Linux 5.3).
bool socket_owner(unsigned long inode, uid_t *uid)
{
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, kNetlinkSockDiag);
    if (fd < 0)
        return false;
    const OwnerRequest request = {sizeof request, kSockDiagByFamily, kNetlinkRequest, 1, 0, AF_UNIX, 0, 0, ~0u,
                                  static_cast<uint32_t>(inode), kShowUid, {kNoCookie, kNoCookie}};
    alignas(4) unsigned char reply[512];
    ssize_t got = -1;
    if (send(fd, &request, sizeof request, 0) == static_cast<ssize_t>(sizeof request))
        got = recv(fd, reply, sizeof reply, 0);
    close(fd);
    // The reply: its message header (16 bytes), the socket's record (16),
    // then attributes, each a length, a type and a value, 4-byte aligned.
    uint16_t type = 0;
    if (got >= 32)
        memcpy(&type, reply + 4, sizeof type);
    bool known = false;
    for (ssize_t at = 32; type == kSockDiagByFamily && at + 4 <= got;) {
        uint16_t length, kind;
        memcpy(&length, reply + at, sizeof length);
        memcpy(&kind, reply + at + 2, sizeof kind);
        if (length < 4 || at + length > got)
            break;
        if (kind == kUnixDiagUid && length >= 8) {
            uint32_t owner;
            memcpy(&owner, reply + at + 4, sizeof owner);
            *uid = owner;
            known = true;
        }
        at += (length + 3) & ~3;
    }
    return known;
}

enum Holder {
    kHolderUnknown,   // nobody we may look at: believed to be a run
    kHolderInstaller, // a run of an installer
    kHolderStranger,  // only processes that run no installer
    kHolderOtherUser  // another user's, not root's, hidden from this user
};

// Who holds the lock NAME: the processes with a socket bound to it, and the
// program each runs. Root sees them all, a user only their own. A user who
// is not root cannot tell another user's run from a program that binds the
// name to stop it (and a program can answer any greeting as a run would),
// so that hold stops nobody either: the other user's run cannot touch this
// user's files, and where both meet at the shared /tmp paths, the second is
// told whose file is there. A hidden hold by root, or one of this user's
// own that cannot be inspected, is believed.
Holder judge_holder(const char *name, pid_t *stranger, uid_t *other_user)
{
    SocketQuery sockets = {name, {}, 0};
    find_line("/proc/net/unix", note_socket, &sockets);
    if (sockets.count == 0)
        return kHolderUnknown;
    int procs = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procs < 0)
        return kHolderUnknown;
    Holder verdict = kHolderUnknown;
    alignas(8) char entries[4096];
    for (long got; verdict != kHolderInstaller && (got = syscall(SYS_getdents64, procs, entries, sizeof entries)) > 0;) {
        for (long at = 0; verdict != kHolderInstaller && at < got;) {
            const DirEntry *entry = reinterpret_cast<const DirEntry *>(entries + at);
            at += entry->length;
            if (entry->name[0] < '1' || entry->name[0] > '9')
                continue;
            char dir[32];
            snprintf(dir, sizeof dir, "/proc/%.20s", entry->name);
            if (!holds_socket(dir, sockets))
                continue;
            char exe[48];
            snprintf(exe, sizeof exe, "%s/exe", dir);
            int fd = open(exe, O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                verdict = kHolderInstaller; // its program is hidden from us: believed
                continue;
            }
            if (is_installer_program(fd)) {
                verdict = kHolderInstaller;
            } else {
                verdict = kHolderStranger;
                *stranger = 0;
                for (const char *digit = entry->name; *digit >= '0' && *digit <= '9'; ++digit)
                    *stranger = *stranger * 10 + (*digit - '0');
            }
            close(fd);
        }
    }
    close(procs);
    if (verdict != kHolderUnknown || geteuid() == 0)
        return verdict;
    // Embryos of connections not yet accepted carry the name with inode 0.
    for (int i = 0; i < sockets.count; ++i) {
        uid_t owner = 0;
        if (sockets.inodes[i] == 0)
            continue;
        if (!socket_owner(sockets.inodes[i], &owner) || owner == 0 || owner == geteuid())
            return kHolderUnknown;
        *other_user = owner;
        verdict = kHolderOtherUser;
    }
    return verdict;
}

} // namespace

int run_lock_take(const char *package_path)
{
    if (lock_fd >= 0)
        return 0;
    // The first name that is free becomes ours; the later ones must not be
    // held by a run either, which took one while a stranger held ours.
    int held = -1;
    for (int index = 0; index < kLockNames; ++index) {
        sockaddr_un address;
        const socklen_t length = lock_address(package_path, index, &address);
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr *>(&address), length) == 0 && listen(fd, 8) == 0) {
            if (held < 0)
                held = fd;
            else
                close(fd);
            continue;
        }
        const int error = errno;
        if (fd >= 0)
            close(fd);
        if (error != EADDRINUSE) {
            if (held >= 0)
                close(held);
            printf("\n ERROR : cannot make sure that no other installation uses %s :%d (%s)\n", package_path,
                   error, strerror(error));
            return error;
        }
        pid_t stranger = 0;
        uid_t other_user = 0;
        const Holder holder_kind = judge_holder(address.sun_path + 1, &stranger, &other_user);
        if (holder_kind == kHolderOtherUser) {
            printf("\n NOTE : a process of %s holds the name that installations use to keep out of each other's"
                   " way; this user may not see what it runs, and another user's run cannot touch this user's"
                   " files: it is passed by.\n",
                   describe_user(other_user));
            continue;
        }
        if (holder_kind == kHolderStranger) {
            struct stat st;
            char dir[32];
            snprintf(dir, sizeof dir, "/proc/%d", static_cast<int>(stranger));
            printf("\n NOTE : process %d of %s holds the name that installations use to keep out of each"
                   " other's way, but runs no installer: it is ignored.\n",
                   static_cast<int>(stranger), stat(dir, &st) == 0 ? describe_user(st.st_uid) : "another user");
            continue;
        }
        if (held >= 0)
            close(held);
        uid_t holder;
        if (lock_holder(address, length, &holder))
            printf("\n ERROR : another installation is in progress, started by %s, and uses %s ;"
                   " wait until it has ended, then run the installer again.\n",
                   describe_user(holder), package_path);
        else
            printf("\n ERROR : another installation is in progress and uses %s ;"
                   " wait until it has ended, then run the installer again.\n",
                   package_path);
        return kRunInProgress;
    }
    // Held by strangers only: they stop nobody, and runs go on unlocked.
    lock_fd = held;
    return 0;
}

// The C library's getpwuid would add a fifth to the launcher's own size:
// the local user database is read here, as "ls -l" shows names. An unknown
// name leaves the number.
const char *describe_user(uid_t uid)
{
    static char text[80];
    snprintf(text, sizeof text, "uid %u", static_cast<unsigned>(uid));
    UserQuery query = {uid, text, sizeof text};
    find_line("/etc/passwd", is_users_line, &query);
    return text;
}

namespace {

// Moves another user's folder at PATH aside, to a new hidden name beside
// it, and says where. Moved, not removed: removing a tree of another user
// safely as root is long and subtle, and the folder may hold that user's
// work. The rename is of the entry itself, relative to its folder, and
// never follows a link; with no name to spare, it stays, and the write
// that needs PATH fails as it did.
void move_foreign_folder(const char *path)
{
    const char *slash = strrchr(path, '/');
    if (slash == nullptr)
        return;
    char folder[256];
    snprintf(folder, sizeof folder, "%.*s", slash == path ? 1 : static_cast<int>(slash - path), path);
    const char *name = slash + 1;
    int dir = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return;
    struct stat st;
    const unsigned kRenameNoReplace = 1;
    for (int n = 1; n <= 100 && fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)
                    && st.st_uid != geteuid();
         ++n) {
        char aside[256];
        snprintf(aside, sizeof aside, ".%s.moved-%d-%d", name, static_cast<int>(getpid()), n);
        if (syscall(SYS_renameat2, dir, name, dir, aside, kRenameNoReplace) == 0) {
            printf("\n NOTE : %s was a folder of %s, where this installer writes a file of its own:"
                   " it was moved to %s/%s .\n",
                   path, describe_user(st.st_uid), strcmp(folder, "/") == 0 ? "" : folder, aside);
            break;
        }
        if (errno != EEXIST)
            break;
    }
    close(dir);
}

} // namespace

void remove_foreign_file(const char *path)
{
    struct stat st;
    if (lstat(path, &st) != 0 || st.st_uid == geteuid())
        return;
    if (S_ISDIR(st.st_mode))
        move_foreign_folder(path);
    else
        unlink(path);
}

void explain_foreign_file(const char *path)
{
    struct stat st;
    if (lstat(path, &st) != 0 || st.st_uid == geteuid())
        return;
    printf("\n %s belongs to %s, and this user may not replace it: have that user or root remove it"
           " (rm %s), then run the installer again.\n",
           path, describe_user(st.st_uid), path);
}
