// The terminal command that failure texts offer, as the user would type it.
#include "package_service_u.h"
#include "qor_build_config.h"

#include <QFile>

// Quoted for the shell where it needs to be, as a user would type it.
static QString shellWord(const QString &word)
{
    static const QString plain =
        QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._+-=,:@");
    bool quote = word.isEmpty();
    for (const QChar c : word)
        quote = quote || !plain.contains(c);
    if (!quote)
        return word;
    QString quoted = word;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString terminalInstallHint()
{
    // A launcher started by a bare name was found on PATH, which sudo may
    // not search: named from the current folder then.
    QString command = QFile::decodeName(qgetenv(QOR_INSTALLER_COMMAND_VARIABLE));
    if (command.isEmpty())
        command = QStringLiteral("./" QOR_INSTALLER_NAME);
    else if (!command.contains(QLatin1Char('/')))
        command.prepend(QStringLiteral("./"));
    return QStringLiteral("To install from a terminal instead, run the installer as root, for example: sudo ")
           + shellWord(command);
}
