// The parts that decide on their own, each row in milliseconds: no root,
// no daemon, no display.
#include "../table_steps.h"
#include "install_road_u.h"
#include "package_service_u.h"
#include "qor_build_config.h"
#include "package_file_facts_u.h"
#include "rpm_header_u.h"

#include <QTemporaryDir>

Q_DECLARE_METATYPE(ServiceLine)

class Units : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    QString unsignedRpm, signedRpm; // built and signed for this run

    // A copy of an RPM, cut to size bytes, with bytes put in at at.
    QString variant(const char *name, int size, int at = 0, const QByteArray &bytes = {})
    {
        QFile out(work.filePath(name));
        const QByteArray data = fact(unsignedRpm).left(size).replace(at, bytes.size(), bytes);
        return out.open(QIODevice::WriteOnly) && out.write(data) == data.size() ? out.fileName() : QString();
    }

private slots:
    void initTestCase()
    {
        const QString home = work.filePath("gnupg"), top = work.filePath("rpmbuild"), spec = work.filePath("u.spec");
        const QString signer = "qor unit <unit@pellandor.invalid>";
        QFile specFile(spec);
        QVERIFY(QDir().mkpath(home) && QFile::setPermissions(home, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)
                && specFile.open(QIODevice::WriteOnly)
                && specFile.write("Name: qor-unit\nVersion: 1\nRelease: 1\nSummary: unit\nLicense: none\nRequires: qor-unit-dep >= 2\n"
                                 "Requires: /bin/sh\nProvides: qor-unit-feature\nRequires: qor-unit-feature\n%description\nunit\n%files\n") > 0);
        specFile.close();
        unsignedRpm = top + "/RPMS/x86_64/qor-unit-1-1.x86_64.rpm", signedRpm = work.filePath("signed.rpm");
        const QStringList env{"GNUPGHOME=" + home};
        const QList<QStringList> steps{
            {"rpmbuild", "-bb", "--quiet", "--target", "x86_64", "--define", "_topdir " + top, "--define", "_dbpath " + top, spec},
            {"cp", QOR_DEMO_RPM, signedRpm},
            {"gpg", "--batch", "--passphrase", "", "--quick-gen-key", signer, "rsa2048", "sign", "never"},
            {"rpmsign", "--define", "__gpg /usr/bin/gpg", "--define", "_gpg_name " + signer, "--addsign", signedRpm}};
        for (const QStringList &step : steps) {
            const auto ran = run_step(step.first(), step.mid(1), 60000, env);
            QVERIFY2(ran.first == 0, ran.second);
        }
        run_step("gpgconf", {"--kill", "gpg-agent"}, 60000, env);
    }

    void serviceLineRoundTrips_data()
    {
        QTest::addColumn<ServiceLine>("record");
        QTest::addColumn<QString>("line");
        const PackageService pk = PackageService::PackageKit;
        const QString refused = "Cannot read the package file /tmp/x.rpm: Permission denied", named = "PackageKit could not be reached: no reply";
        QTest::newRow("note") << ServiceLine::note(refused) << refused;
        QTest::newRow("note naming the service") << ServiceLine::note(named) << named;
        QTest::newRow("asking") << ServiceLine::asking(pk, "/tmp/qor-ubuntu.deb", "apt") << "PackageKit: asking to install /tmp/qor-ubuntu.deb (backend: apt)";
        QTest::newRow("asking, odd path") << ServiceLine::asking(pk, "/tmp/a (backend: x) b.rpm", "dnf") << "PackageKit: asking to install /tmp/a (backend: x) b.rpm (backend: dnf)";
        QTest::newRow("state") << ServiceLine::state(pk, "loading the cache") << "PackageKit: loading the cache";
        QTest::newRow("state naming packages") << ServiceLine::state(pk, "installing packages") << "PackageKit: installing packages";
        QTest::newRow("state naming the package manager") << ServiceLine::state(pk, "waiting for the package manager lock") << "PackageKit: waiting for the package manager lock";
        QTest::newRow("state like a percentage") << ServiceLine::state(pk, "101% done") << "PackageKit: 101% done";
        QTest::newRow("package") << ServiceLine::package(pk, "installing", "qor 3.1 (amd64)") << "PackageKit: installing package qor 3.1 (amd64)";
        QTest::newRow("package with a hyphened action") << ServiceLine::package(pk, "collection-installed", "qor") << "PackageKit: collection-installed package qor";
        QTest::newRow("progress 0") << ServiceLine::progress(pk, 0) << "PackageKit: 0% done";
        QTest::newRow("progress 100") << ServiceLine::progress(pk, 100) << "PackageKit: 100% done";
        const PackageService dnf5 = PackageService::Dnf5Daemon;
        QTest::newRow("dnf5 daemon asking") << ServiceLine::asking(dnf5, "/tmp/q.rpm", "libdnf5")
                                            << "dnf5 daemon: asking to install /tmp/q.rpm (backend: libdnf5)";
        QTest::newRow("dnf5 daemon package") << ServiceLine::package(dnf5, "installing", "qor-3.1-1.i686")
                                             << "dnf5 daemon: installing package qor-3.1-1.i686";
        QTest::newRow("dnf5 daemon progress") << ServiceLine::progress(dnf5, 40) << "dnf5 daemon: 40% done";
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
        QTest::addColumn<int>("read"); // RpmSignature
        QTest::addColumn<QString>("identity"); // name, version, release, architecture, what it requires
        const QString demo = "qor 3.1.1.1912102 1912102.rhel6 i686 ";
        const int isSigned = int(RpmSignature::Signed), isUnsigned = int(RpmSignature::Unsigned), none = int(RpmSignature::NotAnRpm);
        QTest::newRow("unsigned") << unsignedRpm << isUnsigned << "qor-unit 1 1 x86_64 /bin/sh,qor-unit-dep >= 2";
        QTest::newRow("unsigned, another architecture") << QString(QOR_DEMO_RPM) << isUnsigned << demo;
        QTest::newRow("signed, another architecture") << signedRpm << isSigned << demo;
        QTest::newRow("damaged lead") << variant("lead.rpm", INT_MAX, 1, QByteArray(1, 0)) << none << "";
        QTest::newRow("damaged header") << variant("header.rpm", INT_MAX, 96, QByteArray(1, 0)) << none << "";
        QTest::newRow("entries beyond reason") << variant("entries.rpm", INT_MAX, 96 + 8, "\x7f\xff\xff\xff") << none << "";
        QTest::newRow("truncated in the lead") << variant("short-lead.rpm", 50) << none << "";
        QTest::newRow("truncated in the index") << variant("short-index.rpm", 96 + 16 + 8) << none << "";
        QTest::newRow("empty") << variant("empty.rpm", 0) << none << "";
        QTest::newRow("missing") << work.filePath("no-such.rpm") << none << "";
    }
    void rpmHeaderReader()
    {
        QFETCH(QString, rpm);
        QFETCH(int, read);
        QVERIFY(!rpm.isEmpty());
        QFETCH(QString, identity);
        QCOMPARE(int(rpmSignature(rpm)), read);
        const RpmHeader header = readRpmHeader(rpm);
        const QStringList seen{header.name, header.version, header.release, header.arch, header.requires.join(',')};
        QCOMPARE(header.complete() ? seen.join(' ') : QString(), identity);
    }

    void architectureRunsHere_data()
    {
        QTest::addColumn<QString>("arch");
        QTest::addColumn<bool>("runs");
        for (const char *arch : {"x86_64", "noarch", "i686", "i386"})
            QTest::newRow(arch) << arch << true;
        for (const char *arch : {"s390x", "aarch64", "ppc64le", "armv7hl"})
            QTest::newRow(arch) << arch << false;
    }
    void architectureRunsHere()
    {
        QFETCH(QString, arch);
        QFETCH(bool, runs);
        if (machineArchitecture() != "x86_64")
            QSKIP("the rows are for an x86_64 machine");
        QCOMPARE(rpmArchitectureRunsHere(arch), runs);
    }

    void roadChoice_data()
    {
        QTest::addColumn<bool>("root");
        QTest::addColumn<bool>("deb");
        QTest::addColumn<bool>("toolsPresent");
        QTest::addColumn<int>("road"); // InstallRoad
        QTest::addColumn<bool>("dnf5Daemon");
        const int rpm = int(InstallRoad::Rpm), dpkg = int(InstallRoad::Dpkg), pk = int(InstallRoad::PackageKit);
        QTest::newRow("root, rpm, tools") << true << false << true << rpm << false;
        QTest::newRow("root, rpm, no tools") << true << false << false << rpm << false;
        QTest::newRow("root, deb, tools") << true << true << true << dpkg << false;
        QTest::newRow("root, deb, no tools") << true << true << false << dpkg << false;
        QTest::newRow("user, rpm, tools") << false << false << true << int(InstallRoad::GpkInstallLocalFile) << false;
        QTest::newRow("user, rpm, no tools") << false << false << false << pk << false;
        QTest::newRow("user, deb, tools") << false << true << true << int(InstallRoad::PkexecGdebi) << false;
        QTest::newRow("user, deb, no tools") << false << true << false << pk << false;
        const int dnf5 = int(InstallRoad::Dnf5Daemon);
        QTest::newRow("user, rpm, no tools, dnf5 daemon") << false << false << false << dnf5 << true;
        QTest::newRow("user, rpm, tools, dnf5 daemon") << false << false << true << int(InstallRoad::GpkInstallLocalFile) << true;
        QTest::newRow("user, deb, no tools, dnf5 daemon") << false << true << false << pk << true;
        QTest::newRow("root, rpm, dnf5 daemon") << true << false << false << rpm << true;
    }
    void roadChoice()
    {
        QFETCH(bool, root);
        QFETCH(bool, deb);
        QFETCH(bool, toolsPresent);
        QFETCH(int, road);
        QFETCH(bool, dnf5Daemon);
        QCOMPARE(int(chooseInstallRoad(deb, root, toolsPresent, dnf5Daemon)), road);
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
        startedAs.isNull() ? qunsetenv(QOR_INSTALLER_COMMAND_VARIABLE) : qputenv(QOR_INSTALLER_COMMAND_VARIABLE, startedAs);
        QCOMPARE(terminalInstallHint(), "To install from a terminal instead, run the installer as root, for example: sudo " + command);
    }
};

QTEST_GUILESS_MAIN(Units)
#include "tst_units.moc"
