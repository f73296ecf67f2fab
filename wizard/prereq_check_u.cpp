// The Ubuntu prerequisite check: are the packages that the non-root Ubuntu
// installation runs (pkexec, gdebi) present, asked of dpkg-query.
#include "check_bounds_u.h"
#include "qorwiz_u.h"

#include <QByteArray>
#include <QProcess>

// dpkg-query --status answers 0 for every package it knows, also one that
// was removed but not purged ("Status: deinstall ok config-files"), whose
// programs are gone. Only a package whose state (the third word of its
// Status line) is "installed", or installed with triggers still to run,
// has its programs in place.
static bool status_says_installed(const QByteArray &statusReport)
{
    for (const QByteArray &line : statusReport.split('\n')) {
        if (!line.startsWith("Status:"))
            continue;
        const QList<QByteArray> words = line.mid(7).simplified().split(' ');
        if (words.size() == 3
            && (words[2] == "installed" || words[2] == "triggers-pending" || words[2] == "triggers-awaited"))
            return true;
    }
    return false;
}

// "pkexec | policykit-1": any one of the names will do, the first is the
// one to install.
static QStringList alternatives(const QString &requirement)
{
    QStringList names;
    for (const QString &name : requirement.split(QLatin1Char('|'))) {
        if (!name.trimmed().isEmpty())
            names << name.trimmed();
    }
    if (names.isEmpty())
        names << requirement;
    return names;
}

// Tells the user which package to install; the caller's list puts first a
// name that current Debian and Ubuntu releases have.
static QString install_hint(const QStringList &names)
{
    QString hint = QStringLiteral("\n");
    if (names.size() > 1)
        hint += QStringLiteral("'%1' will do; ").arg(names.join(QStringLiteral("' or '")));
    return hint + QStringLiteral("'%1' can be installed on Debian 12 and later and on current Ubuntu releases, "
                                 "for example with: sudo apt-get install %1\n").arg(names.first());
}

bool qorwiz::prereqCheckUbuntu(QStringList packages, QString &errorString)
{
    errorString.clear();
    for (const QString &requirement : packages) {
        const QStringList names = alternatives(requirement);
        QString details;
        bool present = false;
        bool answered = true;
        for (const QString &name : names) {
            QProcess query;
            query.setStandardInputFile(QProcess::nullDevice());
            query.start(QStringLiteral("/usr/bin/dpkg-query"), QStringList() << QStringLiteral("--status") << name,
                        QIODevice::ReadOnly);
            if (!query.waitForStarted(kCheckStartMs)) {
                errorString += QStringLiteral("\n ERROR: Cannot execute dpkg, Please ensure dpkg is installed!!");
                return true;
            }
            answered = query.waitForFinished(kCheckAnswerMs);
            if (!answered) {
                query.kill();
                query.waitForFinished(kCheckReapMs);
            }
            const QByteArray out = query.readAllStandardOutput();
            const QByteArray err = query.readAllStandardError();
            present = answered && query.exitStatus() == QProcess::NormalExit && query.exitCode() == 0
                      && status_says_installed(out);
            if (present)
                break;
            details += QString::fromUtf8(out.constData());
            details += QString::fromUtf8(err.constData());
            // Another query would most likely hang the same way.
            if (!answered)
                break;
        }
        if (present)
            continue;

        errorString += QStringLiteral("Required package '%1' is not available. Please retry after "
                                      "installing the package.\n\nDetails:\n").arg(names.first());
        errorString += details;
        if (answered)
            errorString += install_hint(names);
        else
            errorString += QStringLiteral("dpkg-query did not answer within %1 seconds and was stopped.\n")
                               .arg(kCheckAnswerMs / 1000);
        return false;
    }
    return true;
}
