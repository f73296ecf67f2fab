// The installer on the systems its users have: fresh Debian roots of other
// releases and architectures (made once per machine and cached in
// $QOR_COMPAT_CACHE, default /var/cache/qor-compat), one run of a launcher
// per row through compat.sh, judged from what that run leaves. Slow: it
// builds the i686 launcher and the release installers (self-contained
// wizard, RPM and Ubuntu builds) again, and the first time downloads the roots.
#include "../table_steps.h"
#include "../test_waits.h"

#include <unistd.h>

namespace {
const QString kSrc = QOR_SOURCE_DIR, kWork = QOR_WORK_DIR, kSteps = kSrc + "/tests/compat/compat.sh";
constexpr int kBuildMs = 2400000, kRowMs = 1200000;
// What a stock GNOME desktop has of X11, and no Qt.
const QString kDesktop = QString::fromUtf8(fact(kSrc + "/tests/desktop_packages.txt"))
                             .split('\n', Qt::SkipEmptyParts)
                             .filter(QRegularExpression("^[^#]"))
                             .join(',');
// What a stock desktop has for installing: PackageKit and polkit, no pkexec,
// no gdebi; and the MIME database by which PackageKit tells what a file is.
const QString kStock = "dbus,polkitd,packagekit,passwd,shared-mime-info," + kDesktop;
// Each root's suite, architecture and packages. Debian 13 has no
// policykit-1: pkexec and polkitd instead.
const QMap<QString, QString> kRoots{
    {"bullseye-amd64", "bullseye amd64 rpm"},
    {"bookworm-i386", "bookworm i386 rpm,libqt5widgets5,libqt5printsupport5,fonts-dejavu-core"},
    {"bullseye-desktop", "bullseye amd64 rpm,policykit-1,gdebi-core," + kDesktop},
    {"trixie-desktop", "trixie amd64 rpm,pkexec,polkitd,gdebi-core,dbus-bin,dbus-daemon," + kDesktop},
    {"trixie-stock", "trixie amd64 dbus-bin,dbus-daemon," + kStock},
    {"bookworm-stock", "bookworm amd64 " + kStock}};
// Debian 12's PackageKit runs its dummy backend, which takes an RPM.
const QMap<QString, QString> kBackends{{"bookworm-stock", "dummy"}};

bool hasLine(const QByteArray &text, const QByteArray &line) { return ('\n' + text + '\n').contains('\n' + line + '\n'); }
bool hasLineStart(const QByteArray &text, const QByteArray &start) { return ('\n' + text).contains('\n' + start); }
struct Row { QString root, build, command; int status; QString outcome; };
}
Q_DECLARE_METATYPE(Row)

class Compat : public QObject
{
    Q_OBJECT

public:
    static QString skipReason() { return geteuid() ? "compat needs root for namespaces and mmdebstrap" : QString(); }

private:
    QString mirror, qemu;
    QByteArray i686Skipped; // why the i686 build was not made, if it was not
    bool userns = false;
    QMap<QString, QString> rootDirs; // an empty folder: the root could not be made

private slots:
    void initTestCase()
    {
        // The release builds take the static Qt that tools/build-static-qt.sh makes once per machine.
        const QList<QStringList> builds{
            {"i686", "-DCMAKE_TOOLCHAIN_FILE=" + kSrc + "/cmake/i686.cmake"},
            {"release", "-DQOR_SELF_CONTAINED_WIZARD=ON", "-DQOR_PACKAGE_FILE_NAME=qor-3.1.1.1912102-1912102.rhel6.i686.rpm"},
            {"ubuntu", "-DQOR_SELF_CONTAINED_WIZARD=ON", "-DQOR_PACKAGE_FILE_NAME=qor-3.1.1.1912102.ubuntu.amd64.deb"}};
        const auto ready = run_step(kSrc + "/tools/i686-ready.sh", {}, kPatienceMs);
        QVERIFY2(ready.first == 0 || ready.first == 77, ready.second.constData());
        if (ready.first == 77)
            i686Skipped = ready.second.trimmed();
        for (QStringList b : builds) {
            const QString dir = kWork + '/' + b.takeFirst();
            if (dir.endsWith("/i686") && !i686Skipped.isEmpty())
                continue;
            auto build = run_step(QOR_CMAKE, QStringList{"-S", kSrc, "-B", dir, "-DBUILD_TESTING=OFF"} + b, kBuildMs);
            if (build.first == 0)
                build = run_step(QOR_CMAKE, {"--build", dir, "--target", "qor-setup"}, kBuildMs);
            QVERIFY2(build.first == 0, qPrintable("the build in " + dir + ":\n" + build.second.right(3000)));
        }
        mirror = qEnvironmentVariable("QOR_COMPAT_MIRROR",
                                      run_step(kSrc + "/tools/debian-mirror.sh", {}, kPatienceMs).second.trimmed());
        QVERIFY2(!mirror.isEmpty(), "this machine's apt configuration names no Debian mirror: name one in QOR_COMPAT_MIRROR");
        if (i686Skipped.isEmpty() && run_step(kWork + "/i686/qor-setup", {"help"}, kPatienceMs).first != 0) { // this kernel runs no 32-bit code
            qemu = "/usr/bin/qemu-i386-static";
            QVERIFY2(QFileInfo(qemu).isExecutable(), "this kernel runs no i386 programs: install qemu-user-static");
            qInfo("i386 programs run under %s", qPrintable(qemu));
        }
        // A chroot allows none, and without one qemu-i386 cannot be registered for this test alone.
        userns = run_step("unshare", {"--user", "true"}, kPatienceMs).first == 0;
    }

    // Row: the root, the launcher's build, what is done (the launcher's
    // words, or "(MODE) WORDS", see compat.sh), its exit status and outcome.
    void runsOnTheirSystems_data()
    {
        QTest::addColumn<Row>("row");
        for (const Row &r : QList<Row>{
                 {"bullseye-amd64", "x86_64", "help", 0, "says 3. accepteula extract <filename>"},
                 {"bullseye-amd64", "x86_64", "extract /root/qor.rpm", 0, "extracted"},
                 {"bullseye-amd64", "x86_64", "accepteula", 0, "installed"},
                 {"bookworm-i386", "i686", "help", 0, "says 3. accepteula extract <filename>"},
                 {"bookworm-i386", "i686", "extract /root/qor.rpm", 0, "extracted"},
                 {"bookworm-i386", "i686", "accepteula", 0, "installed"},
                 {"bookworm-i386", "i686", "(desktop) Escape", 3, "cancelled"},
                 {"bookworm-i386", "i686", "(desktop) Return Tab space Return", 0, "installed"},
                 {"bullseye-desktop", "release", "(desktop) Return Tab space Return", 0, "installed"},
                 {"bullseye-desktop", "ubuntu", "(desktop) Return Tab space Return", 0, "installed-deb"},
                 {"trixie-desktop", "release", "(desktop) Return Tab space Return", 0, "installed"},
                 {"trixie-desktop", "ubuntu", "(desktop) Return Tab space Return", 0, "installed-deb"},
                 {"trixie-desktop", "ubuntu", "(user) Return Tab space Return", 0, "installed-deb"},
                 {"bullseye-amd64", "release", "(tty) n", 1, "hints, then the licence"},
                 {"trixie-desktop", "release", "(user) Return Tab space Return", 2, "says nor PackageKit is available on this system"},
                 {"trixie-stock", "ubuntu", "(user) Return Tab space Return", 0, "installed-deb through PackageKit"},
                 {"trixie-stock", "ubuntu", "(refused) Return Tab space Return", 2, "refused"},
                 {"trixie-stock", "release", "(user) Return Tab space Return", 2, "says PackageKit on this system cannot install this kind of package"},
                 {"trixie-stock", "ubuntu", "(desktop) Return Tab space Return", 0, "installed-deb"},
                 {"trixie-stock", "ubuntu", "accepteula", 0, "installed-deb with apt-get"},
                 {"bookworm-stock", "release", "(user) Return Tab space Return", 0, "finished through PackageKit"}})
            QTest::newRow(qPrintable(r.root + ' ' + r.build + " '" + r.command + "'")) << r;
    }
    void runsOnTheirSystems()
    {
        QFETCH(Row, row);
        const QString &root = row.root, &command = row.command, &outcome = row.outcome;
        const QString spec = kRoots.value(root);
        if (row.build == "i686" && !i686Skipped.isEmpty())
            QSKIP(i686Skipped.constData());
        const bool underQemu = !qemu.isEmpty() && spec.section(' ', 1, 1) == "i386";
        // qemu-i386 7.2 cannot run the i386 Qt's QProcess: it refuses the
        // clone(CLONE_PIDFD) that Qt picks where the kernel offers pidfds, and
        // with SIGCHLD as the fallback it mixes up the threads' identities.
        if (underQemu && command.startsWith("(desktop) Return"))
            QSKIP("the wizard's package tool cannot run under qemu-i386");
        if (underQemu && !userns)
            QSKIP("qemu-i386 needs a user namespace, and this system allows none (a chroot?)");
        const QStringList env{"QOR_QEMU_I386=" + (underQemu ? qemu : QString())};
        if (!rootDirs.contains(root)) {
            const QString cache = qEnvironmentVariable("QOR_COMPAT_CACHE", "/var/cache/qor-compat");
            const auto made = run_step(kSteps, {"root", root, spec, mirror, cache}, kBuildMs, env);
            rootDirs[root] = made.first == 0 ? made.second.trimmed().split('\n').last() : QString();
            QVERIFY2(made.first == 0, qPrintable("no " + root + " root:\n" + made.second));
        }
        QVERIFY2(!rootDirs[root].isEmpty(), qPrintable("no " + root + " root (its first row says why)"));

        QStringList words = command.split(' ');
        const QString mode = command.startsWith('(') ? words.takeFirst().mid(1).chopped(1) : "text";
        const QString launcher = row.build == "x86_64" ? QOR_LAUNCHER : kWork + '/' + row.build + "/qor-setup", r = kWork + "/row";
        QDir(r).removeRecursively();
        QDir().mkpath(r);
        QElapsedTimer took;
        took.start();
        const auto ran = run_step(kSteps, QStringList{"row", rootDirs[root], launcher, QOR_XVFB_RUN, r, mode, kBackends.value(root)}
                                              + words, kRowMs, env);
        qInfo("the run took %lld s", took.elapsed() / 1000);
        QVERIFY2(ran.first == 0 && !fact(r + "/status").isNull(), qPrintable("the row did not run:\n" + ran.second));

        const QByteArray out = fact(r + "/out"), log = fact(r + "/install.log"), rpmQ = fact(r + "/rpm-q").trimmed(),
                         dpkg = fact(r + "/dpkg-query"), tmp = fact(r + "/tmp"), cli = fact(r + "/qor-cli").trimmed();
        const bool noFiles = !hasLineStart(tmp, "qor-"), version = cli.split('\n').last() == "3.1.1.1912102";
        const auto ends = [&out](const char *line) { return out.endsWith('\n' + QByteArray(line) + "\n\n\n"); };
        const bool failed = ends("Installation failed: the product was not installed; the setup window showed why.") && noFiles;
        const bool finished = ends("Installation Finished") && log.contains("Installation Finished") && noFiles;
        const bool deb = dpkg == "install ok installed" && version && ends("Installation Finished") && noFiles;
        const bool askedPackageKit = hasLineStart(log, "PackageKit: asking to install /tmp/qor-");
        const QByteArray says = outcome.mid(5).toUtf8();
        const QMap<QString, bool> seen{
            {"says", out.contains(says) || (log.contains(says) && failed)},
            {"extracted", !fact(r + "/qor.rpm").isNull() && fact(r + "/qor.rpm") == fact(QOR_DEMO_RPM)},
            {"installed", rpmQ == "0" && version && (mode == "text" ? ends("Installation Finished") : finished)},
            {"installed-deb", deb && finished},
            // PackageKit's own progress between our first and last lines, whatever it says.
            {"installed-deb through PackageKit", finished && deb && ('\n' + log).count("\nPackageKit: ") >= 4 && askedPackageKit
                                                     && hasLine(log, "PackageKit: finished, the package is installed")},
            {"installed-deb with apt-get", deb && out.contains("gdebi-core is not installed: installing with /usr/bin/apt-get install /tmp/qor-")},
            // The page shows what the log holds of the run, then the outcome.
            {"refused", dpkg.isEmpty() && hasLineStart(log, "Authorisation was refused") && hasLine(log, "Application:PackageKit") && failed},
            {"finished through PackageKit", askedPackageKit && finished},
            // The packages named are those the desktop roots install by these names.
            {"hints, then the licence", out.contains("install libxcb1, libx11-xcb1, libxkbcommon-x11-0, libfontconfig1, libfreetype6 and libdbus-1-3.")
                                            && out.contains("Do you accept the above License Agreement Terms?[Yes/No]:")},
            {"cancelled", rpmQ != "0" && ends("Installation cancelled: nothing was installed.") && noFiles}};
        const QByteArray facts = "exit status " + fact(r + "/status") + "rpm -q qor: status " + rpmQ + "; dpkg-query: " + dpkg
            + "; qor-cli -v: " + cli + "\n/tmp: " + tmp + "prerequisite check refused: " + fact(r + "/prerequisites-refused")
            + "\noutput:\n" + out + "standard error:\n" + fact(r + "/err") + "install log:\n" + log + '\n' + ran.second;
        QVERIFY2(fact(r + "/status").trimmed() == QByteArray::number(row.status), "another exit status; " + facts);
        QVERIFY2(fact(r + "/prerequisites-refused").isNull(), "the prerequisite check refused; " + facts);
        QVERIFY2(seen.value(outcome.startsWith("says ") ? "says" : outcome), qPrintable("not " + outcome + "; " + facts));
    }
};

QOR_TABLE_MAIN(Compat)
#include "tst_compat.moc"
