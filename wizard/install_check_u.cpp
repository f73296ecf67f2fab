// PLACEHOLDER: being written (installed-version check).
#include "qorwiz_u.h"
bool qorwiz::installCheck() { return false; }
