// Whether the X display can be reached, asked before Qt is: Qt's own X
// connection aborts the process (SIGABRT, a core file) when it fails.
#ifndef DISPLAY_CHECK_U_H
#define DISPLAY_CHECK_U_H

#include <string>

// True when the wizard can open its window. When the platform plugin Qt will
// use is not X11 (QT_QPA_PLATFORM names another one), there is nothing to
// check and the answer is true. On false, problem says what went wrong in
// words for the user.
bool display_reachable(std::string &problem);

#endif
