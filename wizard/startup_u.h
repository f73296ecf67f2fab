// What the wizard sets up before its QApplication exists. The program's
// main calls it, and so do the tests that make the wizard's window in their
// own process, so that the window under test starts as the program's does:
// a setting dropped here fails them.
#ifndef STARTUP_U_H
#define STARTUP_U_H

// Call once, before the application object is made (Qt reads its
// attributes only then).
void prepareWizardStart();

#endif
