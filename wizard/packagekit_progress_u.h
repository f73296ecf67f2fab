// PackageKit's "N% done" lines, as the PackageKit mode prints them: the
// install log keeps them, the install page shows them as a progress bar.
#ifndef PACKAGEKIT_PROGRESS_U_H
#define PACKAGEKIT_PROGRESS_U_H

#include <QString>

class PercentageLines
{
public:
    // The whole lines of text that came so far, without the percentage
    // lines; the start of a line still being written waits for its end.
    // *percentage is the last one taken, or stays as it was.
    QString take(const QString &text, int *percentage);

    // TEXT without its percentage lines.
    static QString without(QString text);

private:
    QString heldLine;
};

#endif
