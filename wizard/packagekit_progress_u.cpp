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
    // split() gives an empty piece behind the last line end: not a line.
    QStringList whole = lines.left(end).split(QLatin1Char('\n'));
    whole.removeLast();
    for (const QString &line : qAsConst(whole)) {
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
        // Waiting for a lock, PackageKit's apt backend flips between two
        // states for seconds on end: the pair shows once.
        if (line.startsWith(QLatin1String("PackageKit: ")) && (line == lastLines[0] || line == lastLines[1]))
            continue;
        lastLines[0] = lastLines[1];
        lastLines[1] = line;
        shown += line + QLatin1Char('\n');
    }
    return shown;
}
