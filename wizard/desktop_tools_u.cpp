#include "desktop_tools_u.h"
#include "qorwiz_u.h"

#include <QStandardPaths>

bool desktopInstallToolsPresent(bool deb, QString *report)
{
    if (!deb)
        return !QStandardPaths::findExecutable(QStringLiteral("gpk-install-local-file")).isEmpty();
    // What the installation runs is pkexec and /usr/bin/gdebi, which come
    // with "pkexec" and "gdebi-core"; "policykit-1" (gone since Debian 13
    // and Ubuntu 25.04) and "gdebi" (the GTK front end) bring them too.
    QString words;
    const bool present = qorwiz::prereqCheckUbuntu(
        {QStringLiteral("pkexec | policykit-1"), QStringLiteral("gdebi-core | gdebi")}, words);
    if (report)
        *report = words;
    return present;
}
