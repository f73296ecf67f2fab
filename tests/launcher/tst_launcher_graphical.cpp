// The graphical launch: the payloads written to /tmp for the wizard, the
// wizard started and its end reported, and /tmp files that are not ours.
#include "launcher_test_support.h"

class LauncherGraphical : public QObject, protected LauncherFixture
{
    Q_OBJECT

    // The launcher by a relative name, as a user starts it from its folder:
    // that name, not the file's, is the one the user knows.
    QByteArray startedAs() const
    {
        return "./" + QFile::encodeName(QDir::current().relativeFilePath(QFile::decodeName(launcher)));
    }

private slots:
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    // Descriptors inherited from the test runner would count against the
    // limit that wizardCannotStart sets for the launcher.
    void initTestCase()
    {
        const QStringList fds = QDir("/proc/self/fd").entryList(QDir::Files | QDir::System);
        for (const QString &fd : fds)
            if (fd.toInt() > 2)
                ::fcntl(fd.toInt(), F_SETFD, FD_CLOEXEC);
    }

    void graphical_data()
    {
        QTest::addColumn<QByteArray>("display");
        QTest::addColumn<QByteArray>("wizardExit");
        QTest::addColumn<QByteArray>("tail");
        QTest::addColumn<int>("status");
        QByteArray died = "\nApplication:" + wizardPath + "\n\n\n";
        QByteArray inTerminal = "\nTo install without it, run \"" + startedAs() + " accepteula\" (or " + startedAs()
                                + " without arguments) in a terminal.\n";
        QByteArray cannotStart = "\nThe graphical setup cannot start on this system: ";
        QTest::newRow("wizard exits 0") << QByteArray(":99") << QByteArray("0")
                                        << QByteArray("\nInstallation Finished\n\n\n") << 0;
        QTest::newRow("empty DISPLAY") << QByteArray("") << QByteArray("0")
                                       << QByteArray("\nInstallation Finished\n\n\n") << 0;
        QTest::newRow("no display") << QByteArray(":99") << QByteArray("1")
            << cannotStart + "there is no usable X display (see the message above)." + inTerminal << 1;
        QTest::newRow("install failed") << QByteArray(":99") << QByteArray("2")
            << QByteArray("\nInstallation failed: the product was not installed; the setup window showed why.\n\n\n")
            << 2;
        QTest::newRow("cancelled") << QByteArray(":99") << QByteArray("3")
                                   << QByteArray("\nInstallation cancelled: nothing was installed.\n\n\n") << 3;
        QTest::newRow("cannot be run") << QByteArray(":99") << QByteArray("126")
            << cannotStart + "its program cannot be run here." + inTerminal << 126;
        // With dpkg on this machine, only Debian's package names.
        QTest::newRow("libraries missing") << QByteArray(":99") << QByteArray("127") << cannotStart + (
            qgetenv("QOR_TEST_SELF_CONTAINED") == "1" ? "the X11, font and D-Bus libraries it needs are missing (see the "
            "message above); install libxcb1, libx11-xcb1, libxkbcommon-x11-0, libfontconfig1, libfreetype6 and libdbus-1-3."
            : "the Qt 5 libraries it needs are missing (see the message above); install libqt5widgets5t64 and "
            "libqt5printsupport5t64 (before Debian 13 and Ubuntu 24.04: libqt5widgets5 and libqt5printsupport5).")
            + inTerminal << 127;
        QTest::newRow("wizard exits 5") << QByteArray(":99") << QByteArray("5") << "\nError Code:1280" + died << 5;
        QTest::newRow("wizard killed") << QByteArray(":99") << QByteArray("TERM") << "\nError Code:36608" + died << 143;
    }

    void graphical()
    {
        QFETCH(QByteArray, display);
        QFETCH(QByteArray, wizardExit);
        QFETCH(QByteArray, tail);
        QFETCH(int, status);
        // Our own files from an earlier run, longer than the payloads and
        // writable for everybody: overwritten exactly, and no longer open to others.
        for (const QByteArray &p : {packagePath, licencePath, wizardPath})
            put(p, QByteArray(20000, 'x'), 0666);

        int exitStatus;
        QStringList e{"DISPLAY=" + QString::fromLatin1(display), "QOR_TEST_WIZARD_EXIT=" + wizardExit};
        QByteArray out = run(startedAs(), {}, {}, e, &exitStatus);
        COMPARE_OUTPUT(out, extracted() + tail);
        QCOMPARE(exitStatus, status);
        QVERIFY2(err.isEmpty(), err.constData());
        QCOMPARE(bytes(t + "/wizard-saw/package"), package);
        QCOMPARE(bytes(t + "/wizard-saw/licence"), licence);
        QCOMPARE(bytes(t + "/wizard-saw/wizard"), bytes(env("QOR_TEST_WIZARD")));
        // The wizard's own mode, then the package's and licence's: none writable by others.
        const QList<QByteArray> modes = bytes(t + "/wizard-saw/mode").split('\n');
        QCOMPARE(modes.value(0), QByteArray("701"));
        for (const QByteArray &mode : modes.mid(1, 2))
            QVERIFY2((mode.toInt(nullptr, 8) & 022) == 0, mode.constData());
        // No arguments; the launcher's own folder and display, and its name for the wizard's hints.
        QCOMPARE(bytes(t + "/wizard-saw/started"), "args=0 cwd=" + QFile::encodeName(QDir::currentPath())
                                                       + " display=" + display + " command=" + startedAs() + "\n");
        // Whatever the end, nothing is left to block the next run.
        for (const QByteArray &p : {packagePath, licencePath, wizardPath})
            QVERIFY2(!exists(p), p.constData());
    }

    void refusesPlantedFile_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<QByteArray>("kind");
        QTest::addColumn<int>("error");
        for (int step = 0; step < 3; ++step) {
            const char *name[] = {"package", "licence", "wizard"};
            QTest::addRow("symlink at %s", name[step]) << step << QByteArray("symlink") << 13;
            // No run holds the lock, so another user's file is stale: root removes it and goes on.
            QTest::addRow("other user's file at %s", name[step]) << step << QByteArray("nobody") << 0;
            QTest::addRow("other user's symlink at %s", name[step]) << step << QByteArray("nobody's symlink") << 0;
            QTest::addRow("other user's fifo at %s", name[step]) << step << QByteArray("nobody's fifo") << 0;
            QTest::addRow("hard link at %s", name[step]) << step << QByteArray("hardlink") << 13;
            QTest::addRow("fifo at %s", name[step]) << step << QByteArray("fifo") << 6;
            QTest::addRow("folder at %s", name[step]) << step << QByteArray("folder") << 21;
            // Moved aside, whole, and the NOTE says where.
            QTest::addRow("other user's folder at %s", name[step]) << step << QByteArray("nobody's folder") << 0;
        }
    }

    void refusesPlantedFile()
    {
        QFETCH(int, step);
        QFETCH(QByteArray, kind);
        QFETCH(int, error);
        if (kind.startsWith("nobody") && geteuid() != 0)
            QSKIP("needs root to plant another user's file");
        const QByteArray paths[] = {packagePath, licencePath, wizardPath};
        const QByteArray path = paths[step];
        const QByteArray victim = t + "/victim";
        put(victim, "victim", 0666);
        if (kind.endsWith("symlink"))
            QCOMPARE(::symlink(victim.constData(), path.constData()), 0);
        else if (kind == "hardlink")
            QCOMPARE(::link(victim.constData(), path.constData()), 0);
        else if (kind.endsWith("fifo"))
            QCOMPARE(::mkfifo(path.constData(), 0666), 0);
        else if (kind.endsWith("folder"))
            QCOMPARE(::mkdir(path.constData(), 0755), 0);
        else
            put(path, "planted", 0666);
        if (kind.startsWith("nobody"))
            QCOMPARE(::lchown(path.constData(), 65534, 65534), 0);

        int status;
        QByteArray out = run(launcher, {}, {}, {"DISPLAY=:99"}, &status);
        const char *failed[] = {"\n Failed in extracting Native installer to : ", "\n Failed in extracting license file to : ",
                                "\n Failed in ui installer file to : "};
        QByteArray expected = error == 0 ? extracted() + "\nInstallation Finished\n\n\n"
                                         : extracted().split('\n').mid(0, step + 1).join('\n') + failed[step] + path
                                               + "," + QByteArray::number(error);
        if (kind == "nobody's folder") {
            const QByteArray moved = QRegularExpression(" it was moved to (/tmp/\\.\\S+) \\.\n").match(out).captured(1).toLatin1();
            const int at = extracted().split('\n').mid(0, step + 1).join('\n').size();
            expected.insert(at, "\n NOTE : " + path + " was a folder of user nobody, where this installer writes a file of"
                                " its own: it was moved to " + moved + " .\n");
            COMPARE_OUTPUT(out, expected);
            QCOMPARE(::rmdir(moved), 0);
        }
        COMPARE_OUTPUT(out, expected);
        QCOMPARE(status, error);
        QCOMPARE(bytes(victim), QByteArray("victim"));
        QCOMPARE(exists(t + "/wizard-saw/package"), error == 0);
        // Nothing of the run stays behind; what was planted stays unless it was another user's.
        for (int i = 0; i < 3; ++i)
            QCOMPARE(exists(paths[i]), i == step && error != 0);
    }

    // A /tmp with room for the package and the licence, a page each, but not
    // the wizard: its write fails as the disk fills (while it is unpacked,
    // where it is stored compressed), and none of the run's files stays.
    void fullDiskAtTheWizard()
    {
        if (geteuid() != 0)
            QSKIP("needs root for a /tmp of its own");
        const QString size = QString::number(((package.size() + 4095) / 4096 + 1) * 4) + "k";
        int status;
        QByteArray out = run(launcher, {}, {}, {"DISPLAY=:99"}, &status,
                             {"unshare", "--mount", "--propagation", "private", "sh", "-c",
                              // Started through a descriptor: a build folder under /tmp is hidden.
                              "exec 3<\"$0\" && mount -t tmpfs -o size=" + size + ",mode=1777 full /tmp &&"
                              " /proc/self/fd/3; s=$?; ls -A /tmp >&2; exit $s"});
        COMPARE_OUTPUT(out, extracted().left(extracted().lastIndexOf('\n')) + "\n ERROR : file extraction to "
                                + wizardPath + " :28\n");
        QCOMPARE(status, 28);
        QVERIFY2(err.isEmpty(), err.constData());
    }

    // pipe() fails with EMFILE when no descriptor is left for it (the
    // launcher holds its own file and its run lock open besides the standard three).
    void wizardCannotStart()
    {
        int status;
        QByteArray out = run(launcher, {}, {}, {"DISPLAY=:99"}, &status, {"prlimit", "--nofile=6:6"});
        QVERIFY2(err.isEmpty(), err.constData());
        // The reason in brackets is the C library's text: glibc and musl word it differently.
        const int reason = out.lastIndexOf(" (");
        QVERIFY2(reason > 0 && out.endsWith(")\n"), out.constData());
        COMPARE_OUTPUT(out.left(reason), extracted() + "\n ERROR : cannot start the ui installer " + wizardPath + " :24");
        QCOMPARE(status, 24);
        QVERIFY(!exists(t + "/wizard-saw/package"));
    }
};

QTEST_GUILESS_MAIN(LauncherGraphical)
#include "tst_launcher_graphical.moc"
