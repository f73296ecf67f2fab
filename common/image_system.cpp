#include "image_system.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statvfs.h>
#include <unistd.h>

const char kImageAppliedLive[] = "No restart is needed: the package is in use on the running system already.";
const char kImageNeedsRestart[] =
    "Restart the computer to use it: the package is installed into the system for its next start.";
const char kImageLiveRefused[] =
    "rpm-ostree did not apply the package to the running system: asking it to install the package for the next "
    "start instead.";

namespace {

const char *const kRpmOstreeLive[] = {"rpm-ostree", "install", "--idempotent", "--apply-live", nullptr};
const char *const kRpmOstreeStaged[] = {"rpm-ostree", "install", "--idempotent", nullptr};
const char *const kTransactionalUpdate[] = {"transactional-update", "--non-interactive", "pkg", "install", nullptr};

// Fedora's atomic desktops and the Universal Blue images built on them,
// where an os-release may lack OSTREE_VERSION.
bool is_ostree_variant(const char *variant)
{
    static const char *const kVariants[] = {"silverblue", "kinoite", "sericea", "onyx", "iot", "coreos",
                                            "bazzite", "bluefin", "aurora", nullptr};
    for (const char *const *known = kVariants; *known != nullptr; ++known) {
        if (strcmp(variant, *known) == 0)
            return true;
    }
    const size_t length = strlen(variant);
    return length > 7 && strcmp(variant + length - 7, "-atomic") == 0;
}

// KEY=value, the value maybe in single or double quotes; true when line
// sets key, with its value in value.
bool os_release_value(const char *line, const char *key, char *value, size_t size)
{
    const size_t key_length = strlen(key);
    if (strncmp(line, key, key_length) != 0 || line[key_length] != '=')
        return false;
    const char *from = line + key_length + 1;
    size_t length = strcspn(from, "\r\n");
    if (length >= 2 && (from[0] == '"' || from[0] == '\'') && from[length - 1] == from[0]) {
        ++from;
        length -= 2;
    }
    if (length >= size)
        length = size - 1;
    memcpy(value, from, length);
    value[length] = '\0';
    return true;
}

// /etc/os-release, or where it is missing the vendor's own copy.
bool os_release_says_ostree()
{
    FILE *file = fopen("/etc/os-release", "re");
    if (file == nullptr)
        file = fopen("/usr/lib/os-release", "re");
    if (file == nullptr)
        return false;
    bool ostree = false;
    char line[512];
    char value[128];
    while (!ostree && fgets(line, sizeof line, file) != nullptr) {
        if (os_release_value(line, "OSTREE_VERSION", value, sizeof value))
            ostree = value[0] != '\0';
        else if (os_release_value(line, "VARIANT_ID", value, sizeof value))
            ostree = is_ostree_variant(value);
    }
    fclose(file);
    return ostree;
}

bool mounted_read_only(const char *path)
{
    struct statvfs info;
    return statvfs(path, &info) == 0 && (info.f_flag & ST_RDONLY) != 0;
}

bool executable_in(const char *folder, size_t folder_length, const char *program)
{
    char path[1024];
    const int length = snprintf(path, sizeof path, "%.*s/%s", static_cast<int>(folder_length), folder, program);
    return length > 0 && static_cast<size_t>(length) < sizeof path && access(path, X_OK) == 0;
}

// On PATH, or in the system folders that a user's PATH often lacks
// (openSUSE gives users no sbin).
bool program_present(const char *program)
{
    const char *path = getenv("PATH");
    if (path == nullptr)
        path = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
    for (const char *folder = path;;) {
        const size_t length = strcspn(folder, ":");
        if (length > 0 && executable_in(folder, length, program))
            return true;
        if (folder[length] == '\0')
            break;
        folder += length + 1;
    }
    return executable_in("/usr/sbin", 9, program) || executable_in("/sbin", 5, program);
}

} // namespace

// An ostree boot leaves /run/ostree-booted, and keeps /usr read-only. The
// file alone proves little: /run is anybody's who is root, and a container
// sharing an ostree host's /run, or a test, leaves it on a system whose rpm
// installs into a writable /usr for real; sending the user to rpm-ostree
// there, which such a system lacks, would fail an installation that works.
// So with a writable /usr the file counts only where os-release names an
// ostree deployment too: one unlocked for development (ostree admin unlock)
// has a writable /usr whose changes are gone at the next start, and rpm
// would report as installed what the next start throws away.
// transactional-update alone is a package that any openSUSE may carry; it
// is the system's only way in where / or /usr is read-only.
ImageSystem detect_image_system()
{
    const bool read_only = mounted_read_only("/usr") || mounted_read_only("/");
    if (access("/run/ostree-booted", F_OK) == 0 && (read_only || os_release_says_ostree()))
        return ImageSystem::Ostree;
    if (read_only && program_present("transactional-update"))
        return ImageSystem::Transactional;
    return ImageSystem::Ordinary;
}

const char *image_system_words(ImageSystem system)
{
    switch (system) {
    case ImageSystem::Ostree:
        return "an rpm-ostree system (Fedora Atomic, Universal Blue)";
    case ImageSystem::Transactional:
        return "a transactional system (openSUSE Aeon, Kalpa, MicroOS)";
    case ImageSystem::Ordinary:
        break;
    }
    return "an ordinary system";
}

const char *image_system_tool(ImageSystem system)
{
    return image_install_words(system, true)[0];
}

const char *const *image_install_words(ImageSystem system, bool live)
{
    if (system == ImageSystem::Transactional)
        return kTransactionalUpdate;
    return live ? kRpmOstreeLive : kRpmOstreeStaged;
}

int format_image_install_command(char *buffer, size_t size, ImageSystem system, bool live, const char *path)
{
    size_t used = 0;
    for (const char *const *word = image_install_words(system, live); *word != nullptr; ++word) {
        const int length = snprintf(buffer + used, size - used, "%s ", *word);
        if (length < 0 || static_cast<size_t>(length) >= size - used)
            return static_cast<int>(size);
        used += static_cast<size_t>(length);
    }
    const int length = snprintf(buffer + used, size - used, "%s", path);
    return length < 0 ? length : static_cast<int>(used) + length;
}
