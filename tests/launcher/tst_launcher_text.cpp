// Text mode: the licence dialogue, extract, help and the package tool, with
// exact standard output, exit status and the files left behind; and root's
// files in /tmp as a user who is not root meets them, in either mode.
#include "launcher_test_support.h"

class LauncherTextMode : public QObject, protected LauncherFixture
{
    Q_OBJECT

private slots:
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    void textMode_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("env");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("atDefault"); // what the default path holds afterwards
        QTest::addColumn<bool>("atOut");           // whether %T/out.rpm holds the package
        QTest::addColumn<bool>("installed");

        const QByteArray D = packagePath, A = kAccepted, N = kNotAccepted, C = kAcceptedOnCommandLine;
        const QByteArray P = prompt(), H = help(), X = extracting(D), out = "%T/out.rpm";
        const QByteArray gone, stale = "stale", pkg = "package";
        const QByteArray keptForRetry = geteuid() == 0 ? pkg : gone; // after a failed tool
        const QStringList none, disp("DISPLAY=:99");
        auto row = [](const char *name, const QStringList &args, const QStringList &env, const QByteArray &input,
                      const QByteArray &output, int status, const QByteArray &atDefault, bool atOut,
                      bool installed) {
            QTest::newRow(name) << args << env << input << output << status << atDefault << atOut << installed;
        };
        row("yes", {}, none, "yes\n", X + P + A + rpmRan("0"), 0, gone, false, true);
        row("y without line end", {}, none, "y", X + P + A + rpmRan("0"), 0, gone, false, true);
        row("Yes", {}, none, "Yes\n", X + P + A + rpmRan("0"), 0, gone, false, true);
        row("No", {}, none, "No\n", X + P + N, 1, gone, false, false);
        row("blank line", {}, none, "\ny\n", X + P + N, 1, gone, false, false);
        row("line starting with a blank", {}, none, " yes\n", X + P + N, 1, gone, false, false);
        row("end of input", {}, none, "", X + P + N, 1, gone, false, false);
        row("accepteula with a display", {"accepteula"}, disp, "", C + X + A + rpmRan("0"), 0, gone, false, true);
        row("accepteula twice", {"accepteula", "accepteula"}, none, "", C + C + X + A + rpmRan("0"), 0, gone,
            false, true);
        row("not keywords", {"Help", "-help", "ACCEPTEULA"}, none, "y\n", X + P + A + rpmRan("0"), 0, gone, false,
            true);
        row("rpm exits 1", {}, {"QOR_TEST_RPM_EXIT=1"}, "y\n", X + P + A + rpmRan("256"), 1, keptForRetry, false, true);
        row("rpm exits 2", {"accepteula"}, {"QOR_TEST_RPM_EXIT=2"}, "", C + X + A + rpmRan("512"), 2, keptForRetry,
            false, true);
        row("rpm killed", {"accepteula"}, {"QOR_TEST_RPM_EXIT=TERM"}, "", C + X + A + rpmRan("36608"), 143,
            keptForRetry, false, true);
        row("extract file", {"extract", out}, none, "", extracting(out) + A, 0, stale, true, false);
        row("accepteula extract file", {"accepteula", "extract", out}, disp, "", C + extracting(out) + A, 0, stale,
            true, false);
        row("extract alone, yes", {"extract"}, none, "y\n", noFileName(D) + P + A, 0, pkg, false, false);
        row("extract alone, no", {"extract"}, none, "n\n", noFileName(D) + P + N, 1, gone, false, false);
        row("extract a extract", {"extract", "%T/a", "extract"}, none, "", extracting("%T/a") + noFileName(D) + A,
            0, pkg, false, false);
        row("extract name of 1023 characters", {"extract", "%1023"}, none, "", extracting("%1023") + A, 0, stale,
            true, false);
        const QByteArray tooLong = "\n ERROR : the file name after extract has 1024 characters; at most 1023 are"
                                   " allowed. Nothing was extracted.\n";
        row("extract name of 1024 characters", {"extract", "%1024"}, none, "", extracting("%1024") + tooLong, 36,
            stale, false, false);
        row("extract name of 1024 characters, then help", {"extract", "%1024", "help"}, none, "",
            extracting("%1024") + H, 0, stale, false, false);
        row("extract name of 1024 characters replaced", {"extract", "%1024", "extract"}, none, "",
            extracting("%1024") + noFileName(D) + A, 0, pkg, false, false);
        row("extract into a missing folder", {"extract", "%T/no/out.rpm"}, none, "",
            extracting("%T/no/out.rpm") + A + "\n Failed in extracting Native installer to : %T/no/out.rpm,2", 2,
            stale, false, false);
        row("extract onto a folder", {"extract", "%T"}, none, "", extracting("%T") + "\n ERROR : file extraction to %T :21\n",
            21, stale, false, false);
        row("help", {"help"}, none, "", X + H, 0, stale, false, false);
        row("help with a display", {"help"}, disp, "", X + H, 0, stale, false, false);
        row("help last", {"accepteula", "extract", out, "help"}, none, "", C + extracting(out) + H, 0, stale, false,
            false);
        row("help first", {"help", "extract"}, none, "", noFileName(D) + H, 0, stale, false, false);
        row("-h", {"-h"}, none, "", X + H, 0, stale, false, false);
        row("--help with a display", {"accepteula", "--help"}, disp, "", C + X + H, 0, stale, false, false);
    }

    void textMode()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, env);
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, output);
        QFETCH(int, status);
        QFETCH(QByteArray, atDefault);
        QFETCH(bool, atOut);
        QFETCH(bool, installed);
        for (QString &a : args)
            a = QString::fromLatin1(expand(a.toLatin1()));
        // What the default path holds beforehand: a link that must never be
        // written through, to a file that reads "stale" while it is left alone.
        put(t + "/victim", "stale");
        QCOMPARE(::symlink(t + "/victim", packagePath), 0);

        int exitStatus;
        QByteArray got = run(launcher, args, input, env, &exitStatus);
        COMPARE_OUTPUT(got, expand(output));
        QCOMPARE(exitStatus, status);
        QVERIFY2(err.isEmpty(), err.constData());

        QCOMPARE(bytes(packagePath),
                 atDefault.isEmpty() ? QByteArray("<missing>") : atDefault == "package" ? package : atDefault);
        QCOMPARE(bytes(t + "/out.rpm"), atOut ? package : QByteArray("<missing>"));
        QVERIFY(!exists(t + "/a"));
        QCOMPARE(bytes(t + "/victim"), QByteArray("stale"));
        QCOMPARE(exists(t + "/rpm-args"), installed);
        if (installed) {
            QCOMPARE(bytes(t + "/rpm-args"), "-ivh\n" + packagePath + "\n");
            QCOMPARE(bytes(t + "/rpm-package"), package);
        }
    }

    // Only the answer line is the launcher's; the package tool gets the rest.
    void answerLeavesTheNextLineToTheTool()
    {
        int status;
        run(launcher, {}, "yes please\nfor the tool\n", {}, &status);
        QCOMPARE(status, 0);
        QCOMPARE(bytes(t + "/rpm-stdin"), QByteArray("for the tool\n"));
    }

    void emptyLicence()
    {
        int status;
        QByteArray out = run(emptyLicenceLauncher, {}, "y\n", {}, &status);
        COMPARE_OUTPUT(out, extracting(emptyPackagePath));
        QCOMPARE(status, 1);
        QVERIFY(!exists(emptyPackagePath));
        QVERIFY(!exists(t + "/rpm-args"));
        // The wizard still gets an empty licence file.
        out = run(emptyLicenceLauncher, {}, {}, {"DISPLAY=:99", "QOR_TEST_WIZARD_EXIT=1"}, &status);
        QCOMPARE(status, 1);
        QCOMPARE(bytes(t + "/wizard-saw/licence"), QByteArray(""));
        QCOMPARE(bytes(t + "/wizard-saw/package"), package);
        for (const char *suffix : {"", ".license.txt", "_ui_bin"})
            ::unlink(emptyPackagePath + suffix);
    }
    // A user who is not root meets root's files in /tmp.
    void otherUser_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("status");
        const QByteArray rootsFile = "\n %D belongs to user root, and this user may not replace it: have that user or"
                                     " root remove it (rm %D), then run the installer again.\n";
        QTest::newRow("graphical") << QStringList() << "\n Failed in extracting Native installer to : %D,13" + rootsFile
                                   << 13;
        QTest::newRow("text mode") << QStringList{"accepteula"}
                                   << kAcceptedOnCommandLine + extracting("%D") + "\n ERROR : file extraction to %D :1\n"
                                          + rootsFile
                                   << 1;
        QTest::newRow("extract elsewhere") << QStringList{"extract", "%T/out.rpm"}
                                           << extracting("%T/out.rpm") + kAccepted << 0;
    }

    void otherUser()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, output);
        QFETCH(int, status);
        if (geteuid() != 0)
            QSKIP("needs root to switch users");
        for (QString &a : args)
            a = QString::fromLatin1(expand(a.toLatin1()));
        QCOMPARE(::chmod(t.constData(), 0777), 0);
        const QByteArray copy = t + "/launcher";
        QVERIFY(QFile::copy(QString::fromLatin1(launcher), QString::fromLatin1(copy)));
        put(packagePath, "root's", 0666);
        int exitStatus;
        QByteArray out = run(copy, args, {}, {"DISPLAY=:99"}, &exitStatus,
                             {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        COMPARE_OUTPUT(out, expand(output));
        QCOMPARE(exitStatus, status);
        QCOMPARE(bytes(packagePath), QByteArray("root's"));
        if (status == 0)
            QCOMPARE(bytes(t + "/out.rpm"), package);
    }

    // Started with SIGCHLD ignored, as some service managers and CI runners
    // leave it: the statuses of the tool and of the wizard still count.
    void childSignalIgnored_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("env");
        QTest::addColumn<QByteArray>("output");
        QTest::newRow("text mode") << QStringList{"accepteula"} << QStringList()
                                   << kAcceptedOnCommandLine + extracting(packagePath) + kAccepted + rpmRan("0");
        QTest::newRow("graphical") << QStringList() << QStringList{"DISPLAY=:99"}
                                   << extracted() + "\nInstallation Finished\n\n\n";
    }

    void childSignalIgnored()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, env);
        QFETCH(QByteArray, output);
        int status;
        QByteArray out = run(launcher, args, {}, env, &status, {"/usr/bin/python3", "-c", "import os, signal, sys;"
            " signal.signal(signal.SIGCHLD, signal.SIG_IGN); os.execv(sys.argv[1], sys.argv[1:])"});
        COMPARE_OUTPUT(out, output);
        QCOMPARE(status, 0);
        QVERIFY2(err.isEmpty(), err.constData());
    }

    // The run lock's name held by a real run or a program that only binds
    // it (HOLDER, a uid), while RUNNER runs: a run of root, or of this same
    // user, keeps the other out; a program stops nobody, and a user who is
    // not root passes by another user's hold, which that user may not inspect.
    void lockHeldByAnotherUser_data()
    {
        QTest::addColumn<bool>("installer");
        QTest::addColumn<int>("holder");
        QTest::addColumn<int>("runner");
        QTest::newRow("another user's run") << true << 65534 << 0;
        QTest::newRow("another user's program") << false << 65534 << 0;
        QTest::newRow("root's run, as a user") << true << 0 << 65534;
        QTest::newRow("the user's own run") << true << 65534 << 65534;
        QTest::newRow("another user's program, as a user") << false << 1 << 65534;
    }

    void lockHeldByAnotherUser()
    {
        QFETCH(bool, installer);
        QFETCH(int, holder);
        QFETCH(int, runner);
        if (geteuid() != 0)
            QSKIP("needs root to switch users");
        QCOMPARE(::chmod(t.constData(), 0777), 0);
        const QString copy = QString::fromLatin1(t + "/launcher");
        QVERIFY(QFile::copy(QString::fromLatin1(launcher), copy));
        auto as = [](int uid) {
            return QStringList{"--reuid=" + QString::number(uid), "--regid=" + QString::number(uid), "--clear-groups"};
        };
        // The holder's run holds the lock while it waits at the licence prompt.
        QProcess holding;
        holding.start("setpriv", as(holder) + QStringList{"env", "-u", "DISPLAY", copy});
        QByteArray name;
        QTRY_VERIFY_WITH_TIMEOUT(!(name = lockName()).isEmpty(), 60000);
        if (!installer) {
            holding.kill();
            QVERIFY(holding.waitForFinished(60000));
            holding.start("setpriv", as(holder) + QStringList{"/usr/bin/python3", "-c", "import socket, sys;"
                " s = socket.socket(socket.AF_UNIX); s.bind(b'\\0' + sys.argv[1].encode());"
                " print('bound', flush=True); sys.stdin.read()", QString::fromLatin1(name)});
            QVERIFY(holding.waitForReadyRead(60000));
        }
        const qint64 holderPid = holding.processId();
        int status;
        QByteArray out = run(copy.toLatin1(), {"accepteula"}, {}, {}, &status, QStringList("setpriv") + as(runner));
        holding.closeWriteChannel();
        QVERIFY(holding.waitForFinished(60000));
        const QByteArray user = holder == 0 ? "user root" : holder == 1 ? "user daemon" : "user nobody";
        const QByteArray said = installer
            ? "\n ERROR : another installation is in progress, started by " + user + ", and uses " + packagePath
                  + " ; wait until it has ended, then run the installer again.\n"
            : (runner == 0 ? "\n NOTE : process " + QByteArray::number(holderPid) + " of " + user
                                 + " holds the name that installations use to keep out of each other's way, but runs"
                                   " no installer: it is ignored.\n"
                           : "\n NOTE : a process of " + user + " holds the name that installations use to keep out"
                                 " of each other's way; this user may not see what it runs, and another user's run"
                                 " cannot touch this user's files: it is passed by.\n")
                  + kAccepted + rpmRan("0");
        COMPARE_OUTPUT(out, kAcceptedOnCommandLine + extracting(packagePath) + said);
        QCOMPARE(status, installer ? 16 : 0);
    }

private:
    // The abstract name of the run lock on the package path, as a run holds it.
    QByteArray lockName() const
    {
        for (const QByteArray &line : bytes("/proc/net/unix").split('\n')) {
            const int at = line.indexOf(" @qor-setup ");
            if (at > 0 && line.endsWith(" " + packagePath))
                return line.mid(at + 2);
        }
        return QByteArray();
    }
};

QTEST_GUILESS_MAIN(LauncherTextMode)
#include "tst_launcher_text.moc"
