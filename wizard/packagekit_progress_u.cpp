#include "packagekit_progress_u.h"
#include "packagekit_names_u.h"

#include <QProgressBar>
#include <QRegularExpression>
#include <QStringList>

QString PackageKitLines::take(const QString &text, QProgressBar *bar)
{
    static const QRegularExpression percentageLine(QStringLiteral("^PackageKit: (\\d+)% done$"));
    const QString lines = heldLine + text;
    const int end = lines.lastIndexOf(QLatin1Char('\n')) + 1;
    heldLine = lines.mid(end);
    QString shown;
    for (const QString &line : lines.left(end).split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch done = percentageLine.match(line);
        if (done.hasMatch()) {
            if (bar) {
                bar->setValue(done.captured(1).toInt());
                bar->setVisible(true);
            }
            continue;
        }
        const QString package = packageOfLine(line);
        if (!package.isNull()) {
            if (package == lastPackage)
                continue;
            lastPackage = package;
        }
        shown += line + QLatin1Char('\n');
    }
    // split() gives an empty piece behind the last line end.
    shown.chop(1);
    return shown;
}
