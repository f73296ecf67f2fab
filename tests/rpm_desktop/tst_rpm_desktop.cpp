// The RPM road of a user who is not root, against the PackageKit backends
// that RHEL (dnf) and openSUSE (zypp) run, built from Debian's own PackageKit
// source into a Debian 13 root (tools/build-packagekit-backends.sh), the one
// Fedora runs since 44 (dnf5, on PackageKit 1.4.0), built from forky's source
// into a forky root (tools/build-packagekit-dnf5.sh), and against the dnf5
// daemon of Debian forky (tools/build-dnf5daemon-root.sh).
// Each row is one step of rpm_desktop_step.sh in a throwaway overlay over
// that root; the step leaves its facts in a folder, and the row judges them.
#include "../table_steps.h"
#include "qor_build_config.h"

#include <unistd.h>

// A whole row on a slow, loaded two-core machine: daemons started cold, a
// 20 MB wizard unpacked, PackageKit's transaction.
const int kStepMs = 15 * 60 * 1000;
// The root of each backend is made once per machine, in 5 to 15 minutes.
const int kRootMs = 60 * 60 * 1000;
const int kToolMs = 10 * 60 * 1000;
const QString kVersion = QOR_VERSION, kSigner = "Qor Test Signer <qor-test@example.invalid>";

// setup: the launcher `input` ("release" or "signed") driven from the
// keyboard, its install log judged; packagekit: the release wizard's
// PackageKit mode on the package `input`, its output judged. slowRepo:
// seconds until a repository's index ends, "never", or none; kill: the
// daemon killed once the transaction runs (for dnf5daemon, stop: stopped
// while it resolves; for packagekit, term: the wizard sent SIGTERM once the
// package is written, then the daemon killed). Each of `holds` must match.
// options: more of the step's options (--refuse, --kill-wizard).
struct Row { QString backend, command, input, slowRepo; bool kill; int status; QStringList holds, options = {}; QString action = {}; };
Q_DECLARE_METATYPE(Row)

// Runs each command in turn: the first failure's output, or nothing.
static QByteArray failureOf(const QList<QStringList> &commands, const QStringList &env = {})
{
    for (const QStringList &c : commands) {
        const auto ran = run_step(c.first(), c.mid(1), kToolMs, env);
        if (ran.first != 0)
            return c.join(' ').toUtf8() + ":\n" + ran.second;
    }
    return {};
}

class RpmDesktop : public QObject
{
    Q_OBJECT

public:
    // Namespaces, chroot and mmdebstrap need root.
    static QString skipReason() { return geteuid() ? "needs root for namespaces and the backends' root" : ""; }

private:
    QTemporaryDir work;
    QString signerKey;
    // The tool that makes each backend's root, and the roots made so far, by tool.
    const QMap<QString, QString> rootTools{{"dnf", "build-packagekit-backends.sh"}, {"zypp", "build-packagekit-backends.sh"},
                                           {"dnf5", "build-packagekit-dnf5.sh"}, {"dnf5daemon", "build-dnf5daemon-root.sh"}};
    QMap<QString, QString> roots;
    QMap<QString, QString> inputs{{"release", QOR_RELEASE_LAUNCHER}, {"demo", QOR_DEMO_RPM}};

    // The demo package built for TARGET, with EXTRASPECLINE among its tags.
    QString buildRpm(const QString &name, const QString &target, const QString &extraSpecLine)
    {
        const QString top = work.filePath("rpmbuild-" + name), spec = top + "/qor.spec";
        QString text = fact(QOR_DEMO_CLIENT_DIR "/qor.spec");
        if (extraSpecLine.startsWith('%'))
            text += '\n' + extraSpecLine + '\n';
        else if (!extraSpecLine.isEmpty())
            text.replace(QRegularExpression("^(AutoReqProv:.*)$", QRegularExpression::MultilineOption), "\\1\n" + extraSpecLine);
        QFile file(spec);
        if (!QDir().mkpath(top + "/db") || !file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) != text.toUtf8().size())
            return QString();
        file.close();
        const QByteArray failed = failureOf({{"rpmbuild", "-bb", "--quiet", "--target", target, "--define", "_topdir " + top,
                                              "--define", "_dbpath " + top + "/db", "--define", "_sourcedir " QOR_DEMO_CLIENT_DIR, spec}});
        const QString built = QString("%1/RPMS/%2/qor-%3-%4.rhel6.%2.rpm").arg(top, target.section('-', 0, 0), kVersion, kVersion.section('.', -1));
        const QString renamed = work.filePath("qor-" + name + ".rpm");
        if (!failed.isEmpty())
            qWarning("%s", failed.constData());
        return failed.isEmpty() && QFile::rename(built, renamed) ? renamed : QString();
    }

    // A release launcher that carries PACKAGE, as the input NAME: the release
    // preset, with the release wizard as it is. The first failure, or nothing.
    QByteArray releaseLauncher(const QString &name, const QString &package)
    {
        const QString build = QOR_RELEASE_BUILDS_DIR "/" + name + "-release";
        inputs[name] = build + "/" QOR_INSTALLER_NAME;
        return failureOf({{QOR_CMAKE, "--preset", "release", "-S", QOR_SOURCE_DIR, "-B", build, "-DQOR_NATIVE_PACKAGE=" + package,
                           "-DQOR_WIZARD_PROGRAM=" QOR_RELEASE_WIZARD},
                          {QOR_CMAKE, "--build", build, "--target", QOR_INSTALLER_NAME}});
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(QOR_RELEASE_LAUNCHER) && QFile::exists(QOR_RELEASE_WIZARD),
                 "the release installer is missing: build it with cmake --preset release && cmake --build --preset release");
        inputs["s390x"] = buildRpm("s390x", "s390x", "");
        inputs["unprovided dependency"] = buildRpm("unprovided", "i686", "Requires:       qor-no-such-library");
        // rpm waits in the package's script while the daemon is killed (a
        // script in rpm's own Lua, or the package would need /bin/sh).
        inputs["slow script"] = buildRpm("slow-script", "i686", "%pre -p <lua>\nposix.sleep(600)");
        QVERIFY(!inputs.values().contains(QString()));

        // A release launcher that carries the demo package signed, with a key
        // made for this run alone (its public half in signerKey). Debian's
        // rpm names gpg2, which Debian no longer ships.
        const QString home = work.filePath("gnupg"), package = work.filePath(QFileInfo(QOR_DEMO_RPM).fileName());
        signerKey = work.filePath("signer.asc");
        QVERIFY(QDir().mkpath(home) && QFile::setPermissions(home, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)
                && QFile::copy(QOR_DEMO_RPM, package));
        const QByteArray signFailure = failureOf(
            {{"gpg", "--batch", "--passphrase", "", "--quick-gen-key", kSigner, "rsa2048", "sign", "never"},
             {"rpmsign", "--define", "__gpg /usr/bin/gpg", "--define", "_gpg_name " + kSigner, "--addsign", package},
             {"gpg", "--armor", "--output", signerKey, "--export", kSigner}},
            {"GNUPGHOME=" + home});
        run_step("gpgconf", {"--kill", "gpg-agent"}, kToolMs, {"GNUPGHOME=" + home});
        QVERIFY2(signFailure.isEmpty() && fact(signerKey).startsWith("-----BEGIN PGP PUBLIC KEY BLOCK-----"), signFailure);
        const QByteArray buildFailure = releaseLauncher("signed", package) + releaseLauncher("unprovided", inputs["unprovided dependency"]);
        QVERIFY2(buildFailure.isEmpty(), buildFailure);
    }

    void installsOrSaysWhy_data()
    {
        QTest::addColumn<Row>("row");
        const QStringList installed{"^PackageKit: finished, the package is installed$"};
        const QString finishedLast = QRegularExpression::escape(QOR_RECORD_FINISHED) + "\\s*\\z";
        // The release installer, from the keyboard as a user would: Return on
        // the welcome page, the licence accepted, Next.
        QTest::newRow("dnf unsigned") << Row{"dnf", "setup", "release", "", false, 0, installed + QStringList{finishedLast}};
        // libzypp insists on a signature for a package from a plain folder,
        // which is what PackageKit makes of a local file.
        QTest::newRow("zypp unsigned") << Row{"zypp", "setup", "release", "", false, 2, {"refuses packages that are not signed", "sudo "}};
        QTest::newRow("zypp signed") << Row{"zypp", "setup", "signed", "", false, 0, installed + QStringList{finishedLast}};
        // The wizard's PackageKit mode alone against the dnf backend, which
        // reports both of these as a transaction it cannot solve.
        const QStringList conflicts{"^PackageKit error package-conflicts \\(36\\): .+"};
        QTest::newRow("another architecture") << Row{"dnf", "packagekit", "s390x", "", false, 1, conflicts};
        QTest::newRow("unprovided dependency") << Row{"dnf", "packagekit", "unprovided dependency", "", false, 1, conflicts};
        // Killed while the backend waits for a repository's index.
        QTest::newRow("daemon killed") << Row{"dnf", "packagekit", "demo", "never", true, 3,
                                              {"^PackageKit stopped before the installation ended: the package may not be installed\\.$",
                                               // one end, one reason, one hint
                                               "\\A(?!.*could not be reached)(?:(?!sudo ).)*sudo (?:(?!sudo ).)*\\z"}};
        // A mirror that stalls for longer than any answer from the daemon may
        // take, as RHEL's repositories were seen to: the daemon still answers,
        // so the wait goes on, with the backend's state on the page.
        QTest::newRow("stalling repository") << Row{"dnf", "packagekit", "demo", "75", false, 0, {"^PackageKit: loading the cache$.*" + installed.first()}};
        // Fedora 44 and later. libdnf5 checks the signature of a local file
        // only where localpkg_gpgcheck is set, and Fedora leaves it off: the
        // unsigned package installs.
        QTest::newRow("dnf5 unsigned") << Row{"dnf5", "setup", "release", "", false, 0, installed + QStringList{finishedLast}};
        QTest::newRow("dnf5 another architecture") << Row{"dnf5", "packagekit", "s390x", "", false, 1, {"\\barchitecture\\b"}};
        // Through the launcher, as a user meets it: the page names what is missing.
        QTest::newRow("dnf5 unprovided dependency") << Row{"dnf5", "setup", "unprovided", "", false, 2,
            {"^The package needs what nothing installed on this system provides: qor-no-such-library\\.$"}};
        // The package is written when the daemon dies: the rpm database says so.
        QTest::newRow("dnf5 daemon killed") << Row{"dnf5", "packagekit", "demo", "never", true, 0,
                                                   {"^PackageKit stopped as the installation ended, but the package is installed\\.$"}};
        // The backend still allows Cancel once the package is written, while
        // it loads the repositories again; then it is killed.
        QTest::newRow("dnf5 wizard stopped while installing") << Row{"dnf5", "packagekit", "demo", "never", false, 0,
            {"^PackageKit is changing the system now: the installation can no longer be cancelled\\.",
             "\\A(?!.*has not changed the system yet)", "^PackageKit stopped as the installation ended, but the package is installed\\.$"}, {}, "term"};

        // The dnf5 daemon, where PackageKit is not on the bus. Debian's libdnf5
        // runs its "local" plugin after rpm, which fails without createrepo_c:
        // the package is installed all the same.
        const QStringList daemonInstalled{"^dnf5 daemon: finished, the package is installed$", finishedLast};
        QTest::newRow("dnf5daemon unsigned") << Row{"dnf5daemon", "setup", "release", "", false, 0, daemonInstalled};
        QTest::newRow("dnf5daemon refused") << Row{"dnf5daemon", "setup", "release", "", false, 2,
                                                   {"^Authorisation was refused: installing needs an administrator's permission"}, {"--refuse"}};
        QTest::newRow("dnf5daemon unprovided dependency") << Row{"dnf5daemon", "setup", "unprovided", "", false, 2,
                                                                 {"^The package needs qor-no-such-library, which no repository of this system provides"}};
        QTest::newRow("dnf5daemon another architecture") << Row{"dnf5daemon", "dnf5daemon", "s390x", "", false, 1,
                                                                {"^The package is built for another kind of computer \\(s390x, where this one is x86_64\\)"}};
        QTest::newRow("dnf5daemon killed") << Row{"dnf5daemon", "dnf5daemon", "slow script", "", true, 3,
                                                  {"^The dnf5 daemon stopped before the installation ended: the package may not be installed\\.$"}};
        // Killed while the daemon waits for a repository: its session goes.
        // A daemon that keeps its name and answers nothing: the pings' bound.
        QTest::newRow("dnf5daemon silent") << Row{"dnf5daemon", "dnf5daemon", "demo", "never", false, 3,
                                                  {"^The dnf5 daemon stopped answering \\(60 s\\): the package may not be installed\\.$"}, {}, "stop"};
        QTest::newRow("dnf5daemon wizard killed") << Row{"dnf5daemon", "setup", "release", "never", false, 9, {}, {"--kill-wizard"}};
    }
    void installsOrSaysWhy()
    {
        QFETCH(Row, row);
        const QString result = work.filePath(QString("row-%1").arg(QTest::currentDataTag()).replace(' ', '-'));
        QDir(result).removeRecursively();
        QStringList options;
        if (row.command == "setup")
            options << "--display" << QOR_XVFB_RUN;
        if (row.input == "signed")
            options << "--key" << signerKey;
        if (!row.slowRepo.isEmpty())
            options << "--slow-repo" << row.slowRepo;
        options << row.options;
        const bool daemon = row.backend == "dnf5daemon";
        const QString tool = rootTools.value(row.backend);
        if (!roots.contains(tool)) {
            // Each root is made on the first row that needs it.
            const auto made = run_step(QOR_SOURCE_DIR "/tools/" + tool, {}, kRootMs);
            const QString root = made.second.trimmed().split('\n').last();
            QVERIFY2(made.first == 0 && QFile::exists(root + (daemon ? "/usr/sbin/dnf5daemon-server" : "/usr/libexec/packagekitd")), made.second);
            roots[tool] = root;
        }
        QStringList command{row.command, row.command == "setup" ? "" : QOR_RELEASE_WIZARD, inputs.value(row.input)};
        command << (row.command == "setup" ? QStringList{"Return", "Tab", "space", "Return"} : QStringList{row.kill ? "kill" : row.action});
        const auto ran = run_step(QOR_RPM_DESKTOP_STEP, options + QStringList{roots[tool], result, row.backend} + command.filter(QRegularExpression(".")), kStepMs);
        if (ran.first != 0)
            qWarning("the step failed: %s", ran.second.constData());

        const auto facts = [&](const char *name) { return QString::fromUtf8(fact(result + '/' + name)); };
        const QString out = facts("out"), log = facts("install.log"), judged = row.command == "setup" ? log : out;
        const QByteArray seen = (out + "\ninstall log:\n" + log + "\nzypp:\n" + facts("pk_backend_zypp").right(3000)).toLocal8Bit();
        qInfo("%s: %s, backend \"%s\"", QTest::currentDataTag(), qPrintable(facts("service").trimmed()),
              qPrintable(facts("backend").trimmed()));
        QCOMPARE(facts("backend").trimmed().section(' ', 0, 0), row.backend);
        if (daemon)
            QCOMPARE(facts("sessions").trimmed(), QString("0"));
        if (row.options.contains("--kill-wizard"))
            QVERIFY2(facts("sessions-before-kill").toInt() > 0, "the wizard was killed before the daemon held its session");
        QVERIFY2(facts("status").trimmed() == QString::number(row.status), seen);
        QCOMPARE(facts("rpm-version").trimmed(), row.status == 0 ? kVersion : QString());
        const QString asking = QString("^%1: asking to install /tmp/qor-\\S+\\.rpm \\(backend: %2\\)$")
                                   .arg(daemon ? "dnf5 daemon" : "PackageKit", daemon ? "libdnf5" : row.backend);
        // A wizard killed early leaves no record to read.
        for (const QString &holds : row.holds + (row.options.contains("--kill-wizard") ? QStringList() : QStringList{asking})) {
            QVERIFY2((holds == asking ? out + log : judged)
                         .contains(QRegularExpression(holds, QRegularExpression::MultilineOption | QRegularExpression::DotMatchesEverythingOption)),
                     qPrintable(holds + " not in:\n" + seen));
        }
        QCOMPARE(facts("tmp-left").trimmed(), QString());
    }
};

QOR_TABLE_MAIN(RpmDesktop)
#include "tst_rpm_desktop.moc"
