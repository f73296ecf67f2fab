// The RPM road of a user who is not root, against the PackageKit backends
// that Fedora, RHEL (dnf) and openSUSE (zypp) run, built from Debian's own
// PackageKit source into a Debian 13 root (tools/build-packagekit-backends.sh).
// Each row is one step of rpm_desktop_step.sh in a throwaway overlay over
// that root; the step leaves its facts in a folder, and the row judges them.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

// A whole row on a slow, loaded two-core machine: daemons started cold, a
// 20 MB wizard unpacked, PackageKit's transaction.
const int kStepMs = 15 * 60 * 1000;
// The backend root is made once per machine, in 5 to 15 minutes.
const int kRootMs = 60 * 60 * 1000;
const int kToolMs = 5 * 60 * 1000;

const QString kVersion = QStringLiteral("3.1.1.1912102");
const QString kSigner = QStringLiteral("Qor Test Signer <qor-test@example.invalid>");

// The wizard's first PackageKit line, which names the backend where the
// wizard asks PackageKit for it.
const QRegularExpression kAskingLine(QStringLiteral("^PackageKit: asking to install (/tmp/qor-\\S+\\.rpm)"
                                                    "(?: \\(backend: (\\S+)\\))?$"),
                                     QRegularExpression::MultilineOption);

struct Facts
{
    QString backend;
    int status = -1;
    QString out;
    QString log;
    QString version;
    QString tmpLeft;
    QString daemonLog;
};

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// Runs PROGRAM to its end; *output gets what it printed, both channels.
bool runTool(const QString &program, const QStringList &args, QString *output, int timeoutMs = kToolMs,
             const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    const bool ended = p.waitForFinished(timeoutMs);
    *output = QString::fromLocal8Bit(p.readAll());
    if (!ended)
        p.kill();
    return ended && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

} // namespace

class RpmDesktop : public QObject
{
    Q_OBJECT

private:
    Facts step(const QStringList &options, const QString &backend, const QStringList &command);
    QString buildRpm(const QString &name, const QString &target, const QString &extraSpecLine);
    void signPackage(const QString &package);
    void verifyAskingLine(const Facts &facts, const QString &backend);

    QTemporaryDir work;
    QString root;
    QString signedLauncher;
    QString signerKey;
    QMap<QString, QString> packages;

private slots:
    void initTestCase();
    void releaseInstaller_data();
    void releaseInstaller();
    void packageKitMode_data();
    void packageKitMode();
};

Facts RpmDesktop::step(const QStringList &options, const QString &backend, const QStringList &command)
{
    const QString result = work.filePath(QStringLiteral("row-%1").arg(QTest::currentDataTag()).replace(' ', '-'));
    QDir(result).removeRecursively();
    QString output;
    const bool ran = runTool(QStringLiteral(QOR_RPM_DESKTOP_STEP), options + QStringList{root, result, backend} + command,
                             &output, kStepMs);
    Facts facts;
    facts.backend = readText(result + QStringLiteral("/backend")).trimmed();
    bool number = false;
    facts.status = readText(result + QStringLiteral("/status")).trimmed().toInt(&number);
    if (!number)
        facts.status = -1;
    facts.out = readText(result + QStringLiteral("/out"));
    facts.log = readText(result + QStringLiteral("/install.log"));
    facts.version = readText(result + QStringLiteral("/rpm-version")).trimmed();
    facts.tmpLeft = readText(result + QStringLiteral("/tmp-left")).trimmed();
    facts.daemonLog = readText(result + QStringLiteral("/packagekitd.log"))
                      + readText(result + QStringLiteral("/pk_backend_zypp"));
    qInfo("%s: PackageKit reported backend \"%s\"", QTest::currentDataTag(), qPrintable(facts.backend));
    if (!ran)
        qWarning("the step failed: %s", qPrintable(output));
    return facts;
}

// The demo package's spec, built for TARGET, with EXTRASPECLINE among its tags.
QString RpmDesktop::buildRpm(const QString &name, const QString &target, const QString &extraSpecLine)
{
    const QString top = work.filePath(QStringLiteral("rpmbuild-") + name);
    QString spec = readText(QStringLiteral(QOR_DEMO_CLIENT_DIR "/qor.spec"));
    if (!extraSpecLine.isEmpty())
        spec.replace(QRegularExpression(QStringLiteral("^(AutoReqProv:.*)$"), QRegularExpression::MultilineOption),
                     QStringLiteral("\\1\n") + extraSpecLine);
    QDir().mkpath(top + QStringLiteral("/db"));
    QFile file(top + QStringLiteral("/qor.spec"));
    if (!file.open(QIODevice::WriteOnly) || file.write(spec.toUtf8()) != spec.toUtf8().size())
        return QString();
    file.close();
    QString output;
    if (!runTool(QStringLiteral("rpmbuild"),
                 {QStringLiteral("-bb"), QStringLiteral("--quiet"), QStringLiteral("--target"), target,
                  QStringLiteral("--define"), QStringLiteral("_topdir ") + top, QStringLiteral("--define"),
                  QStringLiteral("_dbpath ") + top + QStringLiteral("/db"), QStringLiteral("--define"),
                  QStringLiteral("_sourcedir " QOR_DEMO_CLIENT_DIR), file.fileName()},
                 &output)) {
        qWarning("rpmbuild: %s", qPrintable(output));
        return QString();
    }
    const QString built =
        QStringLiteral("%1/RPMS/%2/qor-%3-1912102.rhel6.%2.rpm").arg(top, target.section('-', 0, 0), kVersion);
    const QString renamed = work.filePath(QStringLiteral("qor-%1.rpm").arg(name));
    return QFile::rename(built, renamed) ? renamed : QString();
}

// Signs PACKAGE with a key made for this run alone; its public half goes to
// signerKey. The gpg-agent that gpg starts for it is stopped again.
void RpmDesktop::signPackage(const QString &package)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString home = work.filePath(QStringLiteral("gnupg"));
    QVERIFY(QDir().mkpath(home));
    QVERIFY(QFile::setPermissions(home, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    env.insert(QStringLiteral("GNUPGHOME"), home);
    QString output;
    const bool made =
        runTool(QStringLiteral("gpg"),
                {QStringLiteral("--batch"), QStringLiteral("--passphrase"), QString(), QStringLiteral("--quick-gen-key"),
                 kSigner, QStringLiteral("rsa2048"), QStringLiteral("sign"), QStringLiteral("never")},
                &output, kToolMs, env);
    QString signOutput;
    // Debian's rpm names gpg2, which Debian no longer ships.
    const bool signedOk = made
        && runTool(QStringLiteral("rpmsign"),
                   {QStringLiteral("--define"), QStringLiteral("__gpg /usr/bin/gpg"), QStringLiteral("--define"),
                    QStringLiteral("_gpg_name ") + kSigner, QStringLiteral("--addsign"), package},
                   &signOutput, kToolMs, env);
    signerKey = work.filePath(QStringLiteral("signer.asc"));
    QString key;
    const bool exported = signedOk
        && runTool(QStringLiteral("gpg"), {QStringLiteral("--armor"), QStringLiteral("--export"), kSigner}, &key, kToolMs,
                   env);
    QString ignored;
    runTool(QStringLiteral("gpgconf"), {QStringLiteral("--kill"), QStringLiteral("gpg-agent")}, &ignored, kToolMs, env);
    QVERIFY2(made, qPrintable(output));
    QVERIFY2(signedOk, qPrintable(signOutput));
    QVERIFY2(exported && key.startsWith(QLatin1String("-----BEGIN PGP PUBLIC KEY BLOCK-----")), qPrintable(key));
    QFile file(signerKey);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(key.toLatin1()) == key.size());
}

void RpmDesktop::initTestCase()
{
    QVERIFY(work.isValid());
    QVERIFY2(QFile::exists(QStringLiteral(QOR_RELEASE_LAUNCHER)) && QFile::exists(QStringLiteral(QOR_RELEASE_WIZARD)),
             "the release installer is missing: build it with cmake --preset release && cmake --build --preset release");

    QProcess make;
    make.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    make.start(QStringLiteral(QOR_SOURCE_DIR "/tools/build-packagekit-backends.sh"), QStringList());
    QVERIFY(make.waitForFinished(kRootMs));
    QCOMPARE(make.exitCode(), 0);
    root = QString::fromLocal8Bit(make.readAllStandardOutput()).trimmed();
    QVERIFY2(QFile::exists(root + QStringLiteral("/usr/libexec/packagekitd")), qPrintable(root));

    packages.insert(QStringLiteral("demo"), QStringLiteral(QOR_DEMO_RPM));
    packages.insert(QStringLiteral("s390x"), buildRpm(QStringLiteral("s390x"), QStringLiteral("s390x"), QString()));
    packages.insert(QStringLiteral("unprovided dependency"),
                    buildRpm(QStringLiteral("unprovided"), QStringLiteral("i686"),
                             QStringLiteral("Requires:       qor-no-such-library")));
    for (const QString &package : packages)
        QVERIFY(!package.isEmpty());

    // A release launcher that carries the demo package signed: the release
    // preset, with the release wizard as it is.
    const QString signedPackage = work.filePath(QFileInfo(QStringLiteral(QOR_DEMO_RPM)).fileName());
    QVERIFY(QFile::copy(QStringLiteral(QOR_DEMO_RPM), signedPackage));
    signPackage(signedPackage);
    if (QTest::currentTestFailed())
        return;
    QString output;
    const QString build = QStringLiteral(QOR_SIGNED_BUILD_DIR);
    QVERIFY2(runTool(QStringLiteral(QOR_CMAKE),
                     {QStringLiteral("--preset"), QStringLiteral("release"), QStringLiteral("-S"),
                      QStringLiteral(QOR_SOURCE_DIR), QStringLiteral("-B"), build,
                      QStringLiteral("-DQOR_NATIVE_PACKAGE=") + signedPackage,
                      QStringLiteral("-DQOR_WIZARD_PROGRAM=" QOR_RELEASE_WIZARD)},
                     &output)
                 && runTool(QStringLiteral(QOR_CMAKE),
                            {QStringLiteral("--build"), build, QStringLiteral("--target"), QStringLiteral("qor-setup")},
                            &output),
             qPrintable(output));
    signedLauncher = build + QStringLiteral("/qor-setup");
}

void RpmDesktop::verifyAskingLine(const Facts &facts, const QString &backend)
{
    const QRegularExpressionMatch asking = kAskingLine.match(facts.log + facts.out);
    QVERIFY2(asking.hasMatch(), qPrintable(facts.out + facts.log));
    if (!asking.captured(2).isEmpty())
        QCOMPARE(asking.captured(2), backend);
}

// The release installer, from the keyboard as a user would: Return on the
// welcome page, the licence accepted, Next.
void RpmDesktop::releaseInstaller_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<bool>("signedBuild");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QStringList>("logHolds");

    QTest::newRow("dnf unsigned") << "dnf" << false << 0 << true << QStringList{"PackageKit: finished, the package is installed"};
    // libzypp insists on a signature for a package from a plain folder,
    // which is what PackageKit makes of a local file.
    QTest::newRow("zypp unsigned") << "zypp" << false << 2 << false
                                   << QStringList{"refuses packages that are not signed", "sudo "};
    QTest::newRow("zypp signed") << "zypp" << true << 0 << true << QStringList{"PackageKit: finished, the package is installed"};
}

void RpmDesktop::releaseInstaller()
{
    QFETCH(QString, backend);
    QFETCH(bool, signedBuild);
    QFETCH(int, status);
    QFETCH(bool, installed);
    QFETCH(QStringList, logHolds);

    QStringList options{QStringLiteral("--display"), QStringLiteral(QOR_XVFB_RUN)};
    if (signedBuild)
        options << QStringLiteral("--key") << signerKey;
    const Facts facts = step(options, backend,
                             {QStringLiteral("setup"), signedBuild ? signedLauncher : QStringLiteral(QOR_RELEASE_LAUNCHER),
                              QStringLiteral("Return"), QStringLiteral("Tab"), QStringLiteral("space"),
                              QStringLiteral("Return")});
    const QByteArray seen = (facts.out + QStringLiteral("\ninstall log:\n") + facts.log + QStringLiteral("\ndaemon:\n")
                             + facts.daemonLog.right(3000)).toLocal8Bit();
    QCOMPARE(facts.backend, backend);
    QVERIFY2(facts.status == status, seen.constData());
    QCOMPARE(facts.version, installed ? kVersion : QString());
    verifyAskingLine(facts, backend);
    if (installed)
        QVERIFY2(facts.log.trimmed().endsWith(QLatin1String("Installation Finished")), seen.constData());
    for (const QString &line : logHolds)
        QVERIFY2(facts.log.contains(line), qPrintable(line + QStringLiteral(" not in:\n") + seen));
    QCOMPARE(facts.tmpLeft, QString());
}

// The wizard's PackageKit mode alone against the dnf backend: PackageKit's
// own failures, each in the mode's words with PackageKit's error code and
// nothing installed; a daemon that dies; a repository that stalls.
void RpmDesktop::packageKitMode_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("slowRepo"); // seconds until its index ends, "never", or none
    QTest::addColumn<bool>("kill");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output");

    // The dnf backend reports both as a transaction it cannot solve.
    QTest::newRow("another architecture") << "s390x" << "" << false << 1
                                          << "^PackageKit error package-conflicts \\(36\\): .+";
    QTest::newRow("unprovided dependency") << "unprovided dependency" << "" << false << 1
                                           << "^PackageKit error package-conflicts \\(36\\): .+";
    // Killed while the backend waits for a repository's index.
    QTest::newRow("daemon killed") << "demo" << "never" << true << 3
                                   << "^PackageKit stopped before the installation ended: the package may not be "
                                      "installed\\.$";
    // A mirror that stalls for longer than any answer from the daemon may
    // take, as RHEL's repositories were seen to: the daemon still answers,
    // so the wait goes on, with the backend's state on the page.
    QTest::newRow("stalling repository") << "demo" << "75" << false << 0
                                         << "^PackageKit: loading the cache$.*"
                                            "^PackageKit: finished, the package is installed$";
}

void RpmDesktop::packageKitMode()
{
    QFETCH(QString, package);
    QFETCH(QString, slowRepo);
    QFETCH(bool, kill);
    QFETCH(int, status);
    QFETCH(QString, output);

    const QString backend = QStringLiteral("dnf");
    QStringList options;
    if (!slowRepo.isEmpty())
        options << QStringLiteral("--slow-repo") << slowRepo;
    QStringList command{QStringLiteral("packagekit"), QStringLiteral(QOR_RELEASE_WIZARD), packages.value(package)};
    if (kill)
        command << QStringLiteral("kill");
    const Facts facts = step(options, backend, command);
    const QByteArray seen = (facts.out + QStringLiteral("\ndaemon:\n") + facts.daemonLog.right(3000)).toLocal8Bit();
    qInfo("%s: the wizard printed:\n%s", QTest::currentDataTag(), qPrintable(facts.out));
    QCOMPARE(facts.backend, backend);
    QVERIFY2(facts.status == status, seen.constData());
    const QRegularExpression expected(output, QRegularExpression::MultilineOption
                                                  | QRegularExpression::DotMatchesEverythingOption);
    QVERIFY2(facts.out.contains(expected), seen.constData());
    QCOMPARE(facts.version, status == 0 ? kVersion : QString());
    verifyAskingLine(facts, backend);
}

int main(int argc, char **argv)
{
    // Namespaces, chroot and mmdebstrap need root.
    if (getuid() != 0) {
        puts("tst_rpm_desktop: needs root for namespaces and the backends' root; skipped");
        return 77;
    }
    // A row may take minutes; the whole test is bounded by ctest.
    if (qEnvironmentVariableIsEmpty("QTEST_FUNCTION_TIMEOUT"))
        qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number(kRootMs));
    QCoreApplication app(argc, argv);
    RpmDesktop test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_rpm_desktop.moc"
