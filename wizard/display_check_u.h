// Whether the X display can be reached, asked before Qt is: Qt's own X
// connection aborts the process (SIGABRT, a core file) when it fails. And
// the X11 platform, named to Qt so that it tries no other.
#ifndef DISPLAY_CHECK_U_H
#define DISPLAY_CHECK_U_H

#include <string>
#include <vector>

struct xcb_connection_t;

// Connects to the display on construction. reachable() is true when the
// wizard can open its window: the server answers and has the screen that
// DISPLAY names. Otherwise problem() says what went wrong in words for the
// user. The wizard runs on X11 alone (QtPlatformArguments), so there is
// nothing else to check. The connection stays open until release() or
// destruction: an X server whose only client leaves resets itself and
// refuses clients meanwhile, so it is held until Qt has connected.
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

// The arguments to make the application from: the program's own, with Qt's
// X11 platform named on them. A desktop may name another platform in
// QT_QPA_PLATFORM (wayland, say), which the wizard does not carry and Qt
// would abort on; the argument overrides that for the wizard alone, while
// the programs it starts get the variable as the user set it. An xcb entry
// of the variable is taken with its options.
class QtPlatformArguments
{
public:
    QtPlatformArguments(int argc, char **argv);
    QtPlatformArguments(const QtPlatformArguments &) = delete;
    QtPlatformArguments &operator=(const QtPlatformArguments &) = delete;

    // Both stay valid, and the application may rearrange them, for as long
    // as this object lives.
    int &argc() { return count; }
    char **argv() { return pointers.data(); }

private:
    std::vector<std::string> texts;
    std::vector<char *> pointers;
    int count;
};

#endif
