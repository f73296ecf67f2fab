// The X display check made before Qt starts.
#include "display_check_u.h"

#include <cstdlib>
#include <cstring>

#include <xcb/xcb.h>

static bool platform_is_xcb()
{
    // Qt takes the plugin name up to the first colon ("xcb:option=value").
    const char *platform = getenv("QT_QPA_PLATFORM");
    if (!platform || !*platform)
        return true;
    const size_t nameLength = strcspn(platform, ":");
    return nameLength == 3 && strncmp(platform, "xcb", 3) == 0;
}

static const char *connection_error_text(int error)
{
    switch (error) {
    case XCB_CONN_CLOSED_PARSE_ERR:
        return "the display name is missing or malformed";
    case XCB_CONN_CLOSED_INVALID_SCREEN:
        return "the display has no such screen";
    case XCB_CONN_CLOSED_MEM_INSUFFICIENT:
        return "out of memory";
    default:
        return "the X server refused the connection or cannot be reached";
    }
}

DisplayCheck::DisplayCheck() : connection(0)
{
    if (!platform_is_xcb())
        return;

    const char *display = getenv("DISPLAY");
    // Qt opens the screen that DISPLAY names and aborts when the server has
    // no such screen, although the connection itself succeeds: check both.
    int screen = 0;
    connection = xcb_connect(0, &screen);
    int error = xcb_connection_has_error(connection);
    if (!error && (screen < 0 || screen >= xcb_setup_roots_length(xcb_get_setup(connection))))
        error = XCB_CONN_CLOSED_INVALID_SCREEN;
    if (!error)
        return;
    release();

    problemText = "cannot open the X display ";
    if (display && *display)
        problemText += std::string("\"") + display + "\" named by DISPLAY";
    else
        problemText += "(DISPLAY is not set)";
    problemText += ": ";
    problemText += connection_error_text(error);
}

DisplayCheck::~DisplayCheck()
{
    release();
}

void DisplayCheck::release()
{
    // xcb_connect returns an object to free even when it failed.
    if (connection)
        xcb_disconnect(connection);
    connection = 0;
}
