// Every way a run of the release launcher can end, as its user meets it:
// with the real rpm and wizard, each row in a sandbox and X server of its
// own (run_ends.sh runs it and leaves its facts), judged here.
#include "../table_steps.h"
#include "qor_build_config.h"

#include <unistd.h>

// The environments, the user and the action as run_ends.sh names them, the
// launcher's arguments; the exit status, whether qor got installed and the
// last line on standard output (%L: the launcher's path).
struct Row { QString envs, user, action; QStringList args; int status; bool installed; QString last; };
Q_DECLARE_METATYPE(Row)

class RunEnds : public QObject
{
    Q_OBJECT

public:
    static QString skipReason() { return getuid() == 0 ? QString() : "needs root for the sandbox"; }

private:
    const QString launcher = QOR_LAUNCHER, launcherInRow = "/run/qor/" QOR_INSTALLER_NAME;
    QByteArray hostBefore;

    QByteArray hostState() { const auto s = run_step(QOR_RUN_ENDS, {"host-state", launcher}, 60000); return s.first == 0 ? s.second : QByteArray(); }
    // The last line that is not empty.
    static QString lastLine(const QByteArray &text)
    {
        const QStringList lines = QString::fromLocal8Bit(text).remove('\r').split('\n', Qt::SkipEmptyParts);
        return lines.value(lines.size() - 1);
    }

private slots:
    void initTestCase() { QVERIFY(!(hostBefore = hostState()).isEmpty()); }
    void cleanupTestCase() { QCOMPARE(hostState(), hostBefore); }

    void endsAsItsUserMeetsIt_data()
    {
        QTest::addColumn<Row>("row");
        const QString hint = "To install without it, run \"%L accepteula\" (or %L without arguments) in a terminal.";
        const QString finished = QOR_RECORD_FINISHED, cancelled = "Installation cancelled: nothing was installed.";
        const QString usage = " 3. accepteula extract <filename>: user agrees to the eula and does not want any prompts while extracting to filename.";
        QTest::newRow("install fails") << Row{"rpm-fails", "root", "install", {}, 2, false, "Installation failed: the product was not installed; the setup window showed why."};
        QTest::newRow("noexec /tmp") << Row{"noexec-tmp", "root", "install", {}, 0, true, finished};
        QTest::newRow("Qt missing, no terminal") << Row{"no-qt", "root", "wait", {}, 127, false, hint};
        QTest::newRow("Qt missing, terminal") << Row{"no-qt,tty", "root", "wait", {}, 0, true, finished};
        QTest::newRow("display unreachable") << Row{"bad-display", "root", "wait", {}, 1, false, hint};
        QTest::newRow("display without the screen") << Row{"no-screen", "root", "wait", {}, 1, false, hint};
        QTest::newRow("closed pipe, text mode") << Row{"closed-pipe", "root", "wait", {"accepteula"}, 0, true, ""};
        QTest::newRow("closed pipe, graphical") << Row{"closed-pipe", "root", "escape", {}, 3, false, ""};
        QTest::newRow("SIGTERM while rpm runs") << Row{"slow-rpm", "root", "term-at-rpm", {"accepteula"}, 0, true, finished};
        QTest::newRow("SIGTERM while wizard runs") << Row{"plain", "root", "term-at-window", {}, 3, false, cancelled};
        QTest::newRow("SIGHUP at the prompt") << Row{"no-display", "root", "hup-at-prompt", {}, 129, false, "Do you accept the above License Agreement Terms?[Yes/No]:"};
        QTest::newRow("SIGTERM while writing") << Row{"stalled-chmod", "root", "term-at-write", {}, 143, false, ""};
        QTest::newRow("link in root's own log") << Row{"root-link", "root", "install", {}, 0, true, finished};
        QTest::newRow("link in a user's log") << Row{"user-link", "root", "install", {}, 0, true, finished};
        QTest::newRow("extract onto a device") << Row{"device", "root", "wait", {"extract", "/run/dev"}, 17, false, " ERROR : /run/dev is a device, not a regular file: it was left as it is and nothing was extracted. Name a new or regular file."};
        QTest::newRow("-h") << Row{"plain", "root", "wait", {"-h"}, 0, false, usage};
        QTest::newRow("--help") << Row{"no-display", "root", "wait", {"--help"}, 0, false, usage};
        QTest::newRow("not root, text mode") << Row{"no-display", "nobody", "wait", {"accepteula"}, 1, false, "Installing needs root rights: run the installer as root, for example: sudo %L"};
        QTest::newRow("second run while rpm runs") << Row{"slow-rpm", "root", "second-at-rpm", {"accepteula"}, 0, true, finished};
        QTest::newRow("another user's second run") << Row{"plain", "root", "second-at-window", {}, 3, false, cancelled};
        QTest::newRow("planted by another user") << Row{"planted", "root", "install", {}, 0, true, finished};
        QTest::newRow("display lost while rpm runs") << Row{"slow-rpm", "root", "kill-x-at-rpm", {}, 4, true, QOR_RECORD_APPLICATION QOR_WIZARD_PATH};
    }
    void endsAsItsUserMeetsIt()
    {
        QFETCH(Row, row);
        QTemporaryDir facts(QOR_WORK_DIR "/run-ends-XXXXXX");
        QVERIFY(facts.isValid());
        const auto f = [&facts](const char *name) { return fact(facts.filePath(name)); };
        const auto ran = run_step(QOR_SANDBOX, QStringList{QOR_XVFB_RUN, QOR_RUN_ENDS, "row", facts.path(), row.envs,
                                                           row.user, row.action, launcher} + row.args, 600000,
                                  {"QOR_SANDBOX_KEEP=" + facts.path()});
        QVERIFY2(ran.first == 0, ran.second);
        const QByteArray said = "output:\n" + f("out") + "\nstandard error:\n" + f("err");
        QVERIFY2(f("status").trimmed().toInt() == row.status && !f("status").isEmpty(), f("status") + said);
        QCOMPARE(lastLine(f("out")), QString(row.last).replace("%L", launcherInRow));
        QCOMPARE(f("installed"), QByteArray(row.installed ? "yes\n" : "no\n"));
        QVERIFY2(f("victim") == "victim\n", "written through the link: " + f("victim"));
        for (const char *name : {"left", "outlasted", "outlived", "device"}) // qor files in /tmp, the launcher or the wizard still there, a device replaced
            QVERIFY2(f(name).isEmpty(), name + (": " + f(name)));
        if (row.action == "term-at-window")
            QVERIFY2(f("waited") == "yes\n", "the launcher did not wait for the wizard");
        // Another run of the same installer meanwhile ends at once, saying
        // so, and touches none of this run's files.
        if (row.action.startsWith("second-")) {
            QCOMPARE(f("second-status"), QByteArray("16\n"));
            QCOMPARE(lastLine(f("second-out")), " ERROR : another installation is in progress, started by user root, and uses " QOR_PACKAGE_PATH " ; wait until it has ended, then run the installer again.");
        }
    }
};

QOR_TABLE_MAIN(RunEnds)
#include "tst_run_ends.moc"
