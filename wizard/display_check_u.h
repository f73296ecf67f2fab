// Whether the X display can be reached, asked before Qt is: Qt's own X
// connection aborts the process (SIGABRT, a core file) when it fails.
#ifndef DISPLAY_CHECK_U_H
#define DISPLAY_CHECK_U_H

#include <string>

struct xcb_connection_t;

// Connects to the display on construction. reachable() is true when the
// wizard can open its window: the server answers and has the screen that
// DISPLAY names; when the platform plugin Qt will use is not
// X11 (QT_QPA_PLATFORM names another one), there is nothing to check and the
// answer is true. Otherwise problem() says what went wrong in words for the
// user. The connection stays open until release() or destruction: an X server
// whose only client leaves resets itself and refuses clients meanwhile, so it
// is held until Qt has connected.
class DisplayCheck
{
public:
    DisplayCheck();
    ~DisplayCheck();
    DisplayCheck(const DisplayCheck &) = delete;
    DisplayCheck &operator=(const DisplayCheck &) = delete;

    bool reachable() const { return problemText.empty(); }
    const std::string &problem() const { return problemText; }
    void release();

private:
    xcb_connection_t *connection;
    std::string problemText;
};

#endif
