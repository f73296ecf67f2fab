// A package-service client's lines as the install page shows them: the
// install log keeps every line, while the page shows progress as a bar, a
// package line only when it names another package than the last, and no
// service line that repeats one of the two lines shown last.
#ifndef SERVICE_LINES_U_H
#define SERVICE_LINES_U_H

#include <QString>

class QProgressBar;

class ServiceLines
{
public:
    // The whole lines of text that came so far, as the page shows them;
    // the start of a line still being written waits for its end. The last
    // percentage among them shows on bar, unless it is null.
    QString take(const QString &text, QProgressBar *bar);

private:
    QString heldLine;
    QString lastPackage;
    QString lastLines[2]; // the two lines shown last
};

#endif
