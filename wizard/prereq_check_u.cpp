// The Ubuntu prerequisite check: are the packages that the non-root Ubuntu
// installation runs (pkexec, gdebi) present, asked of dpkg-query.
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

bool qorwiz::prereqCheckUbuntu(QStringList packages, QString &errorString)
{
    errorString.clear();
    for (const QString &package : packages) {
        QProcess query;
        query.setStandardInputFile(QProcess::nullDevice());
        query.start(QStringLiteral("/usr/bin/dpkg-query"),
                    QStringList() << QStringLiteral("--status") << package, QIODevice::ReadOnly);
        if (!query.waitForStarted(30000)) {
            errorString += QStringLiteral("\n ERROR: Cannot execute dpkg, Please ensure dpkg is installed!!");
            return true;
        }
        // The GUI thread waits here, so the wait is bounded: a dpkg-query
        // that hangs (a locked or broken database) must not freeze the
        // wizard. Without an answer the package is not confirmed present.
        const bool answered = query.waitForFinished(30000);
        if (!answered) {
            query.kill();
            query.waitForFinished(5000);
        }
        const QByteArray out = query.readAllStandardOutput();
        const QByteArray err = query.readAllStandardError();
        const bool present = answered && query.exitStatus() == QProcess::NormalExit
                             && query.exitCode() == 0 && status_says_installed(out);
        if (present)
            continue;

        errorString += QStringLiteral("Required package '%1' is not available. Please retry after "
                                      "installing the package.\n\nDetails:\n").arg(package);
        errorString += QString::fromUtf8(out.constData());
        errorString += QString::fromUtf8(err.constData());
        if (!answered)
            errorString += QStringLiteral("dpkg-query did not answer within 30 seconds and was stopped.\n");
        return false;
    }
    return true;
}
