#include "image_install_t.h"

#include "run_guard_t.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

int run_image_install(ImageSystem kind, const char *package, char *command, size_t size, const char **closing)
{
    bool live = kind == ImageSystem::Ostree;
    int status = system(command);
    // A tool that is not there (the shell's 127) is not there the second
    // time either; a user who asked the run to end is not asked again.
    const bool missing = WIFEXITED(status) && WEXITSTATUS(status) == 127;
    if (status != 0 && live && !missing && guard_child_ends() == 0) {
        printf("\n%s\n", kImageLiveRefused);
        live = false;
        // Shorter than the first command, which fitted.
        format_image_install_command(command, size, kind, false, package);
        guard_child_begins();
        status = system(command);
    }
    if (status == 0)
        *closing = live ? kImageAppliedLive : kImageNeedsRestart;
    return status;
}
