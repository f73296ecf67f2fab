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

bool display_reachable(std::string &problem)
{
    problem.clear();
    if (!platform_is_xcb())
        return true;

    const char *display = getenv("DISPLAY");
    xcb_connection_t *connection = xcb_connect(0, 0);
    const int error = xcb_connection_has_error(connection);
    xcb_disconnect(connection);
    if (!error)
        return true;

    problem = "cannot open the X display ";
    if (display && *display)
        problem += std::string("\"") + display + "\" named by DISPLAY";
    else
        problem += "(DISPLAY is not set)";
    problem += ": ";
    problem += connection_error_text(error);
    return false;
}
