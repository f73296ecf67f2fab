#include "packagekit_progress_u.h"

#include <QRegularExpression>

static const QRegularExpression percentageLine(QStringLiteral("^PackageKit: (\\d+)% done\\n"),
                                               QRegularExpression::MultilineOption);

QString PercentageLines::take(const QString &text, int *percentage)
{
    QString lines = heldLine + text;
    const int end = lines.lastIndexOf(QLatin1Char('\n')) + 1;
    heldLine = lines.mid(end);
    lines.truncate(end);
    QRegularExpressionMatchIterator found = percentageLine.globalMatch(lines);
    while (found.hasNext())
        *percentage = found.next().captured(1).toInt();
    return lines.remove(percentageLine);
}

QString PercentageLines::without(QString text)
{
    return text.remove(percentageLine);
}
