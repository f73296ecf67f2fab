// The X display check made before Qt starts.
#include "display_check_u.h"

#include <cstdlib>

#include <xcb/xcb.h>

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

// QT_QPA_PLATFORM holds one platform or a list separated by semicolons
// ("wayland;xcb"), each a plugin name with options after a colon
// ("xcb:option=value"). Returns the first xcb entry, or plain xcb.
static std::string xcb_platform_entry()
{
    const char *variable = getenv("QT_QPA_PLATFORM");
    std::string rest = variable ? variable : "";
    while (!rest.empty()) {
        const size_t end = rest.find(';');
        const std::string entry = rest.substr(0, end);
        if (entry.substr(0, entry.find(':')) == "xcb")
            return entry;
        rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
    }
    return "xcb";
}

QtPlatformArguments::QtPlatformArguments(int argc, char **argv)
{
    for (int i = 0; i < argc; ++i)
        texts.push_back(argv[i]);
    texts.push_back("-platform");
    texts.push_back(xcb_platform_entry());
    for (std::string &text : texts)
        pointers.push_back(&text[0]);
    count = int(texts.size());
    pointers.push_back(0);
}
