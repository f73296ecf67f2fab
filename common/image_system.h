// Image-based systems (Fedora Atomic and Universal Blue with rpm-ostree;
// openSUSE Aeon, Kalpa and MicroOS with transactional-update): their /usr
// is read-only, rpm cannot install there, and a package is layered onto the
// system with the system's own tool. What kind of system this is, and the
// commands and words that go with it, for the launcher and the wizard alike:
// plain C++ with libc only, so that the static launcher links it too.
#ifndef IMAGE_SYSTEM_H
#define IMAGE_SYSTEM_H

#include <stddef.h>

enum class ImageSystem {
    Ordinary,     // rpm installs into /usr
    Ostree,       // rpm-ostree layers the package
    Transactional // transactional-update installs it into the next snapshot
};

// Decided from what the system itself shows: /run/ostree-booted and
// OSTREE_VERSION or VARIANT_ID in /etc/os-release for an ostree deployment,
// the transactional-update program for a transactional one, each together
// with a read-only / or /usr (see image_system.cpp for the reasons).
ImageSystem detect_image_system();

// The system's kind in words, for a sentence: "an rpm-ostree system
// (Fedora Atomic, Universal Blue)".
const char *image_system_words(ImageSystem system);
// The tool that installs there: "rpm-ostree", "transactional-update".
const char *image_system_tool(ImageSystem system);

// The install command's words ahead of the package path, ending in a null
// pointer. live: rpm-ostree applies the package to the running system as
// well; without it the package waits for the next start. A transactional
// system has the one command, whatever live says.
const char *const *image_install_words(ImageSystem system, bool live);

// That command for the shell, the path appended unquoted (the launcher's
// package paths hold no character the shell would read). Returns what
// snprintf returns: a result of size or more was cut and must not be run.
int format_image_install_command(char *buffer, size_t size, ImageSystem system, bool live, const char *path);

// The last line after a successful installation: whether a restart is
// still needed.
extern const char kImageAppliedLive[];
extern const char kImageNeedsRestart[];
// Said before rpm-ostree is asked once more without --apply-live.
extern const char kImageLiveRefused[];

#endif
