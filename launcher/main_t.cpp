// Entry point of the launcher: graphical installation on an X11 desktop when
// started without arguments, text mode otherwise.
#include "payload_io_t.h"
#include "qorwiz_t.h"
#include "run_guard_t.h"

#include <stdlib.h>

namespace {

// The operating system keeps only the low 8 bits of an exit status, and a
// wait status of 256 (a tool that exited with 1) would read as success.
// A failure must never exit with 0: take the low byte when it holds
// something (errno, -1, a signal), else the child's own exit status, else 1.
int exit_status_of(int result)
{
    if (result == 0)
        return 0;
    if ((result & 0xff) != 0)
        return result & 0xff;
    if (((result >> 8) & 0xff) != 0)
        return (result >> 8) & 0xff;
    return 1;
}

} // namespace

int isX11Mode()
{
    return getenv("DISPLAY") != nullptr ? 1 : 0;
}

int main(int argc, char **argv)
{
    guard_install();
    // A damaged or incomplete file must not show, write or run anything.
    int damage = check_installer_file();
    if (damage != 0)
        return exit_status_of(damage);
    cli_set_program_name(argc > 0 ? argv[0] : nullptr);
    int result = isX11Mode() == 1 && argc <= 1 ? cli_start_ui() : cli_execute(argc, argv);
    return exit_status_of(result);
}
