// The Ubuntu release installer as a user who is not root meets it on a stock
// Debian 13 desktop: PackageKit installs, and a real graphical polkit agent
// asks for the password. The "dnf5 daemon" rows do the same with the RPM
// release installer on Debian forky's dnf5 daemon, without PackageKit, and the
// "dnf5 backend" rows on PackageKit 1.4.0's dnf5 backend, as Fedora 44 and
// later have it. Each row is one run by agent_row.sh, which leaves
// facts (the launcher's status and output, the install log, what dpkg has
// installed, what is left running); the rows judge our own texts and those
// facts, never what the agent or PackageKit say.
#include "../table_steps.h"
#include "qor_build_config.h"

#include <unistd.h>

// The root the first time on a machine, and the release build: many minutes.
const int kPrepareMs = 50 * 60 * 1000;
// The lock rows may wait out PackageKit's retries; the script bounds every wait.
const int kRowMs = 30 * 60 * 1000, kCleanUpMs = 60000;

// step: agent_row.sh's ROW; facts: its "key: value" lines that must be there;
// outputEnd: the launcher's last line, where it has one; log: patterns that
// the install log must match; suite: the Debian release of the root.
struct Row { QString step; QStringList facts; QString outputEnd; QStringList log; QString suite = "trixie"; };
Q_DECLARE_METATYPE(Row)

class TestDesktopAgent : public QObject
{
    Q_OBJECT

public:
    static QString skipReason() { return geteuid() ? "needs root for namespaces, cgroups and mmdebstrap" : ""; }

private:
    QMap<QString, QString> rootDirs, launchers;

    // A suite's root, made (or found in the cache) by its first row.
    void prepare(const QString &suite)
    {
        if (rootDirs.contains(suite))
            return;
        // The RPM release installer, in a forky root of the dnf5 daemon
        // without PackageKit, or of PackageKit's dnf5 backend.
        const QMap<QString, QString> rpmRoots{{"dnf5daemon", "build-dnf5daemon-root.sh"}, {"dnf5", "build-packagekit-dnf5.sh"}};
        if (rpmRoots.contains(suite)) {
            const QString launcher = QOR_SOURCE_DIR "/build-release/" QOR_INSTALLER_NAME;
            const auto made = run_step(QOR_SOURCE_DIR "/tools/" + rpmRoots[suite], {}, kPrepareMs);
            QVERIFY2(made.first == 0 && QFile::exists(launcher),
                     made.second + "\n(the RPM release installer: cmake --preset release && cmake --build --preset release)");
            rootDirs[suite] = QString::fromUtf8(made.second).trimmed().section('\n', -1);
            launchers[suite] = launcher;
            return;
        }
        const auto prepared = run_step(QOR_AGENT_DIR "/prepare.sh", {QOR_SOURCE_DIR, QOR_WORK_DIR, QOR_CMAKE, QOR_DEMO_DEB, suite},
                                       kPrepareMs);
        const QStringList lines = QString::fromUtf8(prepared.second).trimmed().split('\n');
        QVERIFY2(prepared.first == 0 && lines.size() >= 2, prepared.second);
        rootDirs[suite] = lines.at(lines.size() - 2), launchers[suite] = lines.last();
    }

private slots:
    void initTestCase() { prepare("trixie"); }

    void row_data()
    {
        QTest::addColumn<Row>("row");
        const QString installed = "installed: install ok installed", nothing = "installed:", noFiles = "package files left: 0",
                      shown = "dialog: shown", finished = QOR_RECORD_FINISHED,
                      finishedLast = "^" + QRegularExpression::escape(QOR_RECORD_FINISHED) + "\\s*\\z",
                      oneAction = "second actions: 0", failedEnd = "Installation failed: the product was not installed; the setup window showed why.",
                      cancelledEnd = "Installation cancelled: nothing was installed.";
        // The install log's trailer after a failure: the status, the tool and the package.
        const auto errorCode = [](int status) { return QRegularExpression::escape(QOR_RECORD_ERROR_CODE + QString::number(status)); };
        const auto trailerOf = [](const QString &tool, const QString &package) {
            return "\\n" + QRegularExpression::escape(QOR_RECORD_APPLICATION + tool) + "\\n"
                   + QRegularExpression::escape(QOR_RECORD_ARGUMENTS + package);
        };
        const QString trailer = trailerOf("PackageKit", "/tmp/qor-" QOR_VERSION ".ubuntu.amd64.deb"), record = trailer + "\\s*\\z";

        QTest::newRow("password typed") << Row{"password", {shown, "status: 0", installed, noFiles}, finished, {finishedLast}};
        QTest::newRow("dialog dismissed")
            << Row{"dismiss", {shown, "status: 2", nothing, noFiles}, failedEnd, {"^Authorisation was refused", errorCode(2) + record}};
        QTest::newRow("cancelled while the dialog is open")
            << Row{"cancel", {shown, "dialog after cancel: gone", "status: 3", nothing, noFiles}, cancelledEnd,
                   {"^The installation was cancelled: nothing was installed\\.$", errorCode(5) + record}};
        // Neither the client nor its transaction outlives the wizard.
        QTest::newRow("wizard killed while the dialog is open")
            << Row{"kill", {shown, "clients left: 0", "transactions left: 0", nothing, noFiles}, "", {}};
        // PackageKit drops the transaction after 300 s, and the agent's dialog
        // goes with it; Try again asks anew, and the log keeps both attempts.
        QTest::newRow("dialog left open past PackageKit's limit")
            << Row{"leftopen",
                   {shown, "dialog at the limit: gone", "installed at the limit:", "dialogs: 2", "status: 0", installed,
                    noFiles, "transactions: 2", oneAction},
                   finished,
                   {"^PackageKit stopped waiting for an administrator's password \\(it waits 5 minutes\\): nothing was "
                    "installed\\.$\\n+" + errorCode(7) + trailer,
                    finishedLast}};
        // PackageKit 1.3.1 gives up on the lock after 10 s; the wizard tries
        // again once the holder has gone, and polkit asks for the unsigned
        // file's password once per attempt (auth_admin is not kept): twice,
        // however long the holder takes.
        for (const QString seconds : {"40", "90"})
            QTest::newRow(qPrintable("dpkg's lock held for " + seconds + " s"))
                << Row{"lock:" + seconds, {shown, "dialogs: 2", "status: 0", installed, noFiles, "transactions: 2", oneAction},
                       finished, {"^Another program is installing or updating software \\(python3, process ", finishedLast}};
        // Held beyond the installer's wait, set to 20 s here: the reason, and status 2.
        QTest::newRow("dpkg's lock held beyond the wait")
            << Row{"lock:600:20", {shown, "dialogs: 2", "status: 2", nothing, noFiles}, failedEnd,
                   {"^Another program kept the package manager busy for 20 seconds: nothing was installed\\. Try again "
                    "once it has finished\\.$", errorCode(1) + record}};

        // Debian's testing release: PackageKit 1.4.0, which takes one action
        // per transaction (a second gets InvalidState), and polkit 128.
        QTest::newRow("forky: password typed")
            << Row{"password", {shown, "status: 0", installed, noFiles, "transactions: 1"}, finished, {finishedLast}, "forky"};
        // It waits for the lock itself; freed within its wait (60 s), it then
        // fails the file as package-not-found, which is the lock.
        QTest::newRow("forky: dpkg's lock held for 40 s")
            << Row{"lock:40", {shown, "dialogs: 2", "status: 0", installed, noFiles, "transactions: 2", oneAction}, finished,
                   {"^Another program was installing or updating software while PackageKit waited for it: it has "
                    "finished, trying again\\.$", finishedLast}, "forky"};
        // 1.4.0 also ends the dropped transaction as cancelled, then leaves the bus.
        QTest::newRow("forky: dialog left open past PackageKit's limit")
            << Row{"leftopen", {shown, "dialog at the limit: gone", "dialogs: 2", "status: 0", installed, noFiles,
                                "transactions: 2", oneAction, "invalid-state errors: 0"},
                   finished, {"^PackageKit stopped waiting for an administrator's password", finishedLast}, "forky"};

        // The RPM release installer on PackageKit 1.4.0's dnf5 backend, as
        // Fedora 44 and later have it (a root whose bus cannot start the dnf5
        // daemon, which the wizard would take).
        const QString rpmInstalled = "installed: " QOR_VERSION, rpmPackage = QOR_PACKAGE_PATH;
        QTest::newRow("dnf5 backend: cancelled while the dialog is open")
            << Row{"dnf5:cancel", {shown, "dialog after cancel: gone", "status: 3", nothing, noFiles}, cancelledEnd,
                   {"^The installation was cancelled: nothing was installed\\.$",
                    errorCode(5) + trailerOf("PackageKit", rpmPackage) + "\\s*\\z"}, "dnf5"};

        const QString rpmTrailer = trailerOf("dnf5daemon", rpmPackage), rpmRecord = rpmTrailer + "\\s*\\z";
        QTest::newRow("dnf5 daemon: password typed") << Row{"dnf5daemon:password", {shown, "status: 0", rpmInstalled, noFiles}, finished, {finishedLast}, "dnf5daemon"};
        QTest::newRow("dnf5 daemon: dialog dismissed")
            << Row{"dnf5daemon:dismiss", {shown, "status: 2", nothing, noFiles}, failedEnd,
                   {"^Authorisation was refused", errorCode(2) + rpmRecord}, "dnf5daemon"};
        // The daemon cancels nothing while polkit asks: the page says to use
        // the dialog's Cancel, and the dialog's Cancel then ends the run cancelled.
        QTest::newRow("dnf5 daemon: cancelled while the dialog is open")
            << Row{"dnf5daemon:cancel", {shown, "dialog after cancel: open", "status: 3", nothing, noFiles}, cancelledEnd,
                   {"^Cancelling the installation\\. If the system is asking for the password, choose Cancel in that dialog",
                    "^The installation was cancelled: nothing was installed\\.$", errorCode(5) + rpmRecord}, "dnf5daemon"};
        QTest::newRow("dnf5 daemon: wizard killed while the dialog is open")
            << Row{"dnf5daemon:kill", {shown, "clients left: 0", "transactions left: 0", nothing, noFiles}, "", {}, "dnf5daemon"};
        // Slow: the daemon waits 2 minutes for polkit's answer and answers
        // nothing meanwhile, pings included; then it refuses, and the dialog
        // goes with the client. Try again gets a second one.
        QTest::newRow("dnf5 daemon: dialog left open past the daemon's limit")
            << Row{"dnf5daemon:leftopen",
                   {shown, "dialog at the limit: gone", "installed at the limit:", "dialogs: 2", "status: 0", rpmInstalled, noFiles},
                   finished,
                   {"^The dnf5 daemon stopped waiting for an administrator's password \\(it waits 2 minutes\\): nothing "
                    "was installed\\.$\\n+" + errorCode(7) + rpmTrailer,
                    finishedLast}, "dnf5daemon"};
    }

    void row()
    {
        QFETCH(Row, row);
        prepare(row.suite);
        QTemporaryDir facts;
        QVERIFY(facts.isValid());
        Step run(QOR_AGENT_DIR "/agent_row.sh", {row.step, rootDirs.value(row.suite), launchers.value(row.suite), QOR_XVFB_RUN,
                                                 facts.path()});
        // The row's namespace, session and overlay are cleared up on SIGTERM.
        const bool inTime = run.p.waitForFinished(kRowMs);
        if (!inTime)
            run.p.terminate();
        const int status = run.finish(kCleanUpMs);
        const auto read = [&](const char *name) { return QString::fromUtf8(fact(facts.filePath(name))); };
        const QString factText = read("facts"), output = read("out"), log = read("log");
        const QByteArray story = "\nrun:\n" + run.output + ("\nfacts:\n" + factText + "\noutput:\n" + output + "\nerrors:\n"
                                                            + read("err") + "\nlog:\n" + log).toUtf8();
        QVERIFY2(inTime && status == 0, story);
        const QString waited = factText.section("do_transaction answered after: ", 1).section('\n', 0, 0);
        qInfo("%s: %s%s", qPrintable(row.suite), qPrintable(factText.section("service: ", 1).section('\n', 0, 0)),
              qPrintable(waited.isEmpty() ? QString() : ", do_transaction answered after " + waited));

        QStringList found;
        for (const QString &line : factText.split('\n'))
            found << line.trimmed();
        for (const QString &wanted : row.facts)
            QVERIFY2(found.contains(wanted), "no fact '" + wanted.toUtf8() + "'" + story);
        if (!row.outputEnd.isEmpty())
            QVERIFY2(output.trimmed().section('\n', -1) == row.outputEnd, story);
        for (const QString &pattern : row.log)
            QVERIFY2(log.contains(QRegularExpression(pattern, QRegularExpression::MultilineOption)),
                     "the log does not match '" + pattern.toUtf8() + "'" + story);
    }
};

QOR_TABLE_MAIN(TestDesktopAgent)
#include "tst_desktop_agent.moc"
