// Installing on an image-based system, whose /usr is read-only: the
// package is layered with the system's own tool in place of rpm.
#ifndef IMAGE_INSTALL_T_H
#define IMAGE_INSTALL_T_H

#include "image_system.h"

#include <stddef.h>

// Runs COMMAND, the system's install command with --apply-live where it has
// one (format_image_install_command), through the shell as system() does,
// between guard_child_begins() and guard_child_ends() like any package tool.
// Where rpm-ostree refuses to apply the package live, it has staged the new
// deployment already, and is asked once more without --apply-live, which
// --idempotent makes a check that the package is there for the next start;
// COMMAND then holds that command. Returns the last tool's wait status; on
// success *closing is the line that says whether a restart is still needed.
int run_image_install(ImageSystem kind, const char *package, char *command, size_t size, const char **closing);

#endif
