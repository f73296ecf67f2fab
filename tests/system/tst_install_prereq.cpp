// The Ubuntu prerequisite check against the real /usr/bin/dpkg-query, with
// the package database changed for real. Runs only inside install_system.sh
// (sandbox.sh), which builds stand-ins for "pkexec", "gdebi-core" and their
// other names "policykit-1" and "gdebi" into $QOR_PREREQ_DEBS.
#include "qorwiz_u.h"

#include <QProcess>
#include <QtTest>

class TestInstallPrereq : public QObject
{
    Q_OBJECT

private:
    static void sh(const QString &script)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedChannels);
        p.start(QStringLiteral("/bin/sh"), {QStringLiteral("-ec"), script});
        QVERIFY(p.waitForFinished(120000));
        QVERIFY2(p.exitCode() == 0, qPrintable(script));
    }
    static QString debs() { return QFile::decodeName(qgetenv("QOR_PREREQ_DEBS")); }
    static QStringList packages() { return {QStringLiteral("pkexec | policykit-1"), QStringLiteral("gdebi-core | gdebi")}; }
    static QString missingText(const QString &package)
    {
        return QStringLiteral("Required package '%1' is not available. Please retry after installing the "
                              "package.\n\nDetails:\n").arg(package);
    }

private slots:
    void init() { QVERIFY(!debs().isEmpty()); }
    void packageStates_data();
    void packageStates();
    void missingDpkgQueryLetsInstallGoOn();
    void hangingQueryCountsAsMissing();
};

void TestInstallPrereq::packageStates_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("named");
    QTest::addColumn<QString>("details");

    // Every row starts from none of the four; $D holds the stand-in packages.
    QTest::newRow("current names only") << QStringLiteral("dpkg -i $D/pkexec.deb $D/gdebi-core.deb")
                                        << true << QString() << QString();
    QTest::newRow("both installed") << QStringLiteral("dpkg -i $D/policykit-1.deb $D/gdebi.deb")
                                    << true << QString() << QString();
    QTest::newRow("both missing: only the first is named") << QString()
        << false << QStringLiteral("pkexec")
        << QStringLiteral("dpkg-query: package 'policykit-1' is not installed and no information is available\n");
    QTest::newRow("first present: the second is named") << QStringLiteral("dpkg -i $D/policykit-1.deb")
        << false << QStringLiteral("gdebi-core")
        << QStringLiteral("dpkg-query: package 'gdebi' is not installed and no information is available\n");
    QTest::newRow("removed, config files left") << QStringLiteral("dpkg -i $D/pkexec.deb $D/gdebi-core.deb; dpkg -r pkexec")
        << false << QStringLiteral("pkexec") << QStringLiteral("Status: deinstall ok config-files\n");
    QTest::newRow("removed and purged") << QStringLiteral("dpkg -i $D/pkexec.deb $D/gdebi-core.deb; dpkg -P gdebi-core")
        << false << QStringLiteral("gdebi-core")
        << QStringLiteral("dpkg-query: package 'gdebi-core' is not installed and no information is available\n");
    QTest::newRow("unpacked, not configured") << QStringLiteral("dpkg -i $D/gdebi.deb; dpkg --unpack $D/pkexec.deb")
        << false << QStringLiteral("pkexec") << QStringLiteral("Status: install ok unpacked\n");
}

void TestInstallPrereq::packageStates()
{
    QFETCH(QString, setup);
    QFETCH(bool, result);
    QFETCH(QString, named);
    QFETCH(QString, details);

    sh(QStringLiteral("dpkg -P --force-depends pkexec policykit-1 gdebi-core gdebi >/dev/null 2>&1 || true; "
                      "D='%1'; %2").arg(debs(), setup));
    // Left over from an earlier call: the check starts from an empty text.
    QString errorString = QStringLiteral("stale text");
    const bool passed = qorwiz::prereqCheckUbuntu(packages(), errorString);
    QVERIFY2(passed == result, qPrintable(errorString));
    if (result) {
        QCOMPARE(errorString, QString());
        return;
    }
    QVERIFY2(errorString.startsWith(missingText(named)), qPrintable(errorString));
    QVERIFY2(errorString.contains(details), qPrintable(errorString));
    QVERIFY2(errorString.endsWith(QStringLiteral("'%1' can be installed on Debian 12 and later and on current Ubuntu "
        "releases, for example with: sudo apt-get install %1\n").arg(named)), qPrintable(errorString));
    QVERIFY(!errorString.contains(QLatin1String("stale")));
    QCOMPARE(errorString.count(QLatin1String("Required package")), 1);
}

void TestInstallPrereq::missingDpkgQueryLetsInstallGoOn()
{
    sh(QStringLiteral("mv /usr/bin/dpkg-query /usr/bin/dpkg-query.away"));
    QString errorString;
    const bool result = qorwiz::prereqCheckUbuntu(packages(), errorString);
    sh(QStringLiteral("mv /usr/bin/dpkg-query.away /usr/bin/dpkg-query"));
    QVERIFY(result);
    QCOMPARE(errorString, QStringLiteral("\n ERROR: Cannot execute dpkg, Please ensure dpkg is installed!!"));
}

// A dpkg-query that never answers is stopped after 30 s and its package
// counts as missing, with a message that says so.
void TestInstallPrereq::hangingQueryCountsAsMissing()
{
    sh(QStringLiteral("mv /usr/bin/dpkg-query /usr/bin/dpkg-query.real; "
                      "printf '#!/bin/sh\\necho \"Package: $2\"\\nexec sleep 600\\n' >/usr/bin/dpkg-query; "
                      "chmod 755 /usr/bin/dpkg-query"));
    QString errorString;
    const bool result = qorwiz::prereqCheckUbuntu(packages(), errorString);
    sh(QStringLiteral("mv /usr/bin/dpkg-query.real /usr/bin/dpkg-query"));
    QVERIFY(!result);
    QCOMPARE(errorString, missingText(QStringLiteral("pkexec")) + QStringLiteral(
        "Package: pkexec\ndpkg-query did not answer within 30 seconds and was stopped.\n"));
}

QTEST_GUILESS_MAIN(TestInstallPrereq)
#include "tst_install_prereq.moc"
