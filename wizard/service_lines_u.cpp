#include "service_lines_u.h"
#include "package_service_u.h"

#include <QProgressBar>
#include <QStringList>

QString ServiceLines::take(const QString &text, QProgressBar *bar)
{
    const QString lines = heldLine + text;
    const int end = lines.lastIndexOf(QLatin1Char('\n')) + 1;
    heldLine = lines.mid(end);
    QString shown;
    // split() gives an empty piece behind the last line end: not a line.
    QStringList whole = lines.left(end).split(QLatin1Char('\n'));
    whole.removeLast();
    for (const QString &line : qAsConst(whole)) {
        const ServiceLine record = readServiceLine(line);
        if (record.kind == ServiceLine::Progress) {
            if (bar) {
                bar->setValue(record.percent);
                bar->setVisible(true);
            }
            continue;
        }
        if (record.kind == ServiceLine::Package) {
            if (record.text == lastPackage)
                continue;
            lastPackage = record.text;
        }
        // Waiting for a lock, PackageKit's apt backend flips between two
        // states for seconds on end: the pair shows once.
        if (record.kind != ServiceLine::Note && (line == lastLines[0] || line == lastLines[1]))
            continue;
        lastLines[0] = lastLines[1];
        lastLines[1] = line;
        shown += line + QLatin1Char('\n');
    }
    return shown;
}
