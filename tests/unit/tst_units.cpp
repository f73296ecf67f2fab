// The parts that decide on their own, each row in milliseconds: no root,
// no daemon, no display.
#include "../table_steps.h"
#include "install_road_u.h"
#include "package_service_u.h"
#include "qor_build_config.h"
#include "rpm_signature_u.h"

#include <QTemporaryDir>

Q_DECLARE_METATYPE(ServiceLine)
Q_DECLARE_METATYPE(RpmSignature)
Q_DECLARE_METATYPE(InstallRoad)

class Units : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    QMap<QString, QString> rpms; // what initTestCase built, by row

    // A copy of an RPM at name, cut to size bytes or with bytes changed at at.
    QString variant(const QString &name, const QString &from, int size, int at = -1, const QByteArray &bytes = {})
    {
        QByteArray data = fact(from).left(size);
        if (at >= 0)
            data.replace(at, bytes.size(), bytes);
        QFile out(work.filePath(name));
        return out.open(QIODevice::WriteOnly) && out.write(data) == data.size() ? out.fileName() : QString();
    }

private slots:
    void initTestCase()
    {
        const int kToolMs = 60000;
        const QString home = work.filePath("gnupg"), top = work.filePath("rpmbuild"), spec = work.filePath("u.spec");
        QVERIFY(QDir().mkpath(home) && QFile::setPermissions(home, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QFile specFile(spec);
        QVERIFY(specFile.open(QIODevice::WriteOnly));
        specFile.write("Name: qor-unit\nVersion: 1\nRelease: 1\nSummary: unit\nLicense: none\n"
                       "%description\nunit\n%files\n");
        specFile.close();
        const auto built = run_step("rpmbuild", {"-bb", "--quiet", "--target", "x86_64", "--define", "_topdir " + top,
                                                 "--define", "_dbpath " + work.filePath("db"), spec}, kToolMs);
        QVERIFY2(built.first == 0, built.second);
        rpms["unsigned"] = top + "/RPMS/x86_64/qor-unit-1-1.x86_64.rpm";
        rpms["unsigned, another architecture"] = QOR_DEMO_RPM;
        const QString signedCopy = work.filePath("signed.rpm"), signer = "qor unit <unit@pellandor.invalid>";
        QVERIFY(QFile::copy(QOR_DEMO_RPM, signedCopy));
        const QStringList env{"GNUPGHOME=" + home};
        const auto key = run_step("gpg", {"--batch", "--passphrase", "", "--quick-gen-key", signer, "rsa2048", "sign", "never"}, kToolMs, env);
        const auto sign = run_step("rpmsign", {"--define", "__gpg /usr/bin/gpg", "--define", "_gpg_name " + signer, "--addsign", signedCopy}, kToolMs, env);
        run_step("gpgconf", {"--kill", "gpg-agent"}, kToolMs, env);
        QVERIFY2(key.first == 0 && sign.first == 0, key.second + sign.second);
        rpms["signed, another architecture"] = signedCopy;
        const QString plain = rpms["unsigned"];
        rpms["damaged lead"] = variant("lead.rpm", plain, INT_MAX, 1, QByteArray(1, 0));
        rpms["damaged header"] = variant("header.rpm", plain, INT_MAX, 96, QByteArray(1, 0));
        rpms["entries beyond reason"] = variant("entries.rpm", plain, INT_MAX, 96 + 8, "\x7f\xff\xff\xff");
        rpms["truncated in the lead"] = variant("short-lead.rpm", plain, 50);
        rpms["truncated in the index"] = variant("short-index.rpm", plain, 96 + 16 + 8);
        rpms["empty"] = variant("empty.rpm", plain, 0);
        rpms["missing"] = work.filePath("no-such.rpm");
    }

    void serviceLineRoundTrips_data()
    {
        QTest::addColumn<ServiceLine>("record");
        QTest::addColumn<QString>("line");
        const PackageService pk = PackageService::PackageKit;
        QTest::newRow("note") << ServiceLine::note("Cannot read the package file /tmp/x.rpm: Permission denied")
                              << "Cannot read the package file /tmp/x.rpm: Permission denied";
        QTest::newRow("note naming the service") << ServiceLine::note("PackageKit could not be reached: no reply")
                                                 << "PackageKit could not be reached: no reply";
        QTest::newRow("asking") << ServiceLine::asking(pk, "/tmp/qor-ubuntu.deb", "apt")
                                << "PackageKit: asking to install /tmp/qor-ubuntu.deb (backend: apt)";
        QTest::newRow("asking, odd path") << ServiceLine::asking(pk, "/tmp/a (backend: x) b.rpm", "dnf")
                                          << "PackageKit: asking to install /tmp/a (backend: x) b.rpm (backend: dnf)";
        QTest::newRow("state") << ServiceLine::state(pk, "loading the cache") << "PackageKit: loading the cache";
        QTest::newRow("state naming packages") << ServiceLine::state(pk, "installing packages")
                                               << "PackageKit: installing packages";
        QTest::newRow("state naming the package manager") << ServiceLine::state(pk, "waiting for the package manager lock")
                                                          << "PackageKit: waiting for the package manager lock";
        QTest::newRow("state like a percentage") << ServiceLine::state(pk, "101% done") << "PackageKit: 101% done";
        QTest::newRow("package") << ServiceLine::package(pk, "installing", "qor 3.1 (amd64)")
                                 << "PackageKit: installing package qor 3.1 (amd64)";
        QTest::newRow("package with a hyphened action") << ServiceLine::package(pk, "collection-installed", "qor")
                                                        << "PackageKit: collection-installed package qor";
        QTest::newRow("progress 0") << ServiceLine::progress(pk, 0) << "PackageKit: 0% done";
        QTest::newRow("progress 100") << ServiceLine::progress(pk, 100) << "PackageKit: 100% done";
    }
    void serviceLineRoundTrips()
    {
        QFETCH(ServiceLine, record);
        QFETCH(QString, line);
        QCOMPARE(writeServiceLine(record), line);
        const ServiceLine back = readServiceLine(line);
        QVERIFY2(back == record, qPrintable(QString("read back as kind %1: %2").arg(back.kind).arg(writeServiceLine(back))));
    }

    void rpmHeaderReader_data()
    {
        QTest::addColumn<QString>("rpm");
        QTest::addColumn<RpmSignature>("read");
        const QPair<const char *, RpmSignature> rows[] = {
            {"unsigned", RpmSignature::Unsigned},
            {"unsigned, another architecture", RpmSignature::Unsigned},
            {"signed, another architecture", RpmSignature::Signed},
            {"damaged lead", RpmSignature::NotAnRpm},
            {"damaged header", RpmSignature::NotAnRpm},
            {"entries beyond reason", RpmSignature::NotAnRpm},
            {"truncated in the lead", RpmSignature::NotAnRpm},
            {"truncated in the index", RpmSignature::NotAnRpm},
            {"empty", RpmSignature::NotAnRpm},
            {"missing", RpmSignature::NotAnRpm}};
        for (const auto &row : rows)
            QTest::newRow(row.first) << rpms.value(row.first) << row.second;
    }
    void rpmHeaderReader()
    {
        QFETCH(QString, rpm);
        QFETCH(RpmSignature, read);
        QVERIFY(!rpm.isEmpty());
        QCOMPARE(int(rpmSignature(rpm)), int(read));
    }

    void roadChoice_data()
    {
        QTest::addColumn<bool>("root");
        QTest::addColumn<bool>("deb");
        QTest::addColumn<bool>("toolsPresent");
        QTest::addColumn<InstallRoad>("road");
        QTest::newRow("root, rpm, tools") << true << false << true << InstallRoad::Rpm;
        QTest::newRow("root, rpm, no tools") << true << false << false << InstallRoad::Rpm;
        QTest::newRow("root, deb, tools") << true << true << true << InstallRoad::Dpkg;
        QTest::newRow("root, deb, no tools") << true << true << false << InstallRoad::Dpkg;
        QTest::newRow("user, rpm, tools") << false << false << true << InstallRoad::GpkInstallLocalFile;
        QTest::newRow("user, rpm, no tools") << false << false << false << InstallRoad::PackageKit;
        QTest::newRow("user, deb, tools") << false << true << true << InstallRoad::PkexecGdebi;
        QTest::newRow("user, deb, no tools") << false << true << false << InstallRoad::PackageKit;
    }
    void roadChoice()
    {
        QFETCH(bool, root);
        QFETCH(bool, deb);
        QFETCH(bool, toolsPresent);
        QFETCH(InstallRoad, road);
        QCOMPARE(int(chooseInstallRoad(deb, root, toolsPresent)), int(road));
    }

    void terminalHint_data()
    {
        QTest::addColumn<QByteArray>("startedAs"); // QOR_INSTALLER_COMMAND; null: not set
        QTest::addColumn<QString>("command");
        QTest::newRow("not said") << QByteArray() << "./qor-setup";
        QTest::newRow("from its folder") << QByteArray("./qor-setup") << "./qor-setup";
        QTest::newRow("found on PATH") << QByteArray("qor-setup-3.1") << "./qor-setup-3.1";
        QTest::newRow("by its full path") << QByteArray("/home/u/Downloads/qor-setup") << "/home/u/Downloads/qor-setup";
        QTest::newRow("from a folder above") << QByteArray("../dl/qor-setup") << "../dl/qor-setup";
        QTest::newRow("a space") << QByteArray("/home/u/My Files/qor-setup") << "'/home/u/My Files/qor-setup'";
        QTest::newRow("a quote") << QByteArray("/home/u/it's/qor-setup") << "'/home/u/it'\\''s/qor-setup'";
        QTest::newRow("a dollar on PATH") << QByteArray("qor$1") << "'./qor$1'";
    }
    void terminalHint()
    {
        QFETCH(QByteArray, startedAs);
        QFETCH(QString, command);
        if (startedAs.isNull())
            qunsetenv(QOR_INSTALLER_COMMAND_VARIABLE);
        else
            qputenv(QOR_INSTALLER_COMMAND_VARIABLE, startedAs);
        QCOMPARE(terminalInstallHint(),
                 "To install from a terminal instead, run the installer as root, for example: sudo " + command);
    }
};

QTEST_GUILESS_MAIN(Units)
#include "tst_units.moc"
