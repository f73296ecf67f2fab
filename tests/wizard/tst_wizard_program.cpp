// The real qor-wizard program, driven from outside as the launcher and a
// user would: without a display, and with an installed product whose
// upgrade the user declines or accepts.
#include <QDeadlineTimer>
#include <QProcess>
#include <QtTest>

#include <unistd.h>

#include "wizard_test_support.h"

class WizardProgram : public QObject
{
    Q_OBJECT

private slots:
    void missingDisplay_data();
    void missingDisplay();
    void upgradeQuestion_data();
    void upgradeQuestion();
    void finishAfterInstallStartsClient();

private:
    StandinPath standins;
};

// Runs xdotool; true when it succeeded, with its output in *output.
static bool xdotool(const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    process.start(QStringLiteral("timeout"), QStringList{ QString::number(kPatienceMs / 1000), QStringLiteral("xdotool") } + arguments);
    const bool ok = process.waitForFinished(kPatienceMs + 10000) && process.exitStatus() == QProcess::NormalExit
                    && process.exitCode() == 0;
    if (output)
        *output = process.readAllStandardOutput().trimmed();
    return ok;
}

void WizardProgram::missingDisplay_data()
{
    QTest::addColumn<QByteArray>("display");   // empty: DISPLAY unset
    QTest::addColumn<QByteArray>("named");

    QTest::newRow("unreachable display") << QByteArray(":59999") << QByteArray("\":59999\"");
    // The server connects, but has one screen only.
    const QByteArray noSuchScreen = qgetenv("DISPLAY") + ".7";
    QTest::newRow("no such screen") << noSuchScreen << "\"" + noSuchScreen + "\" named by DISPLAY: the display has no such screen";
    QTest::newRow("malformed display") << QByteArray("no display here") << QByteArray("\"no display here\"");
    QTest::newRow("DISPLAY unset") << QByteArray() << QByteArray("DISPLAY is not set");
}

void WizardProgram::missingDisplay()
{
    QFETCH(QByteArray, display);
    QFETCH(QByteArray, named);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    if (display.isEmpty())
        env.remove(QStringLiteral("DISPLAY"));
    else
        env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(display));

    QProcess wizard;
    wizard.setProcessEnvironment(env);
    // No core file even if the program did abort.
    wizard.start(QStringLiteral("sh"), { QStringLiteral("-c"), QStringLiteral("ulimit -c 0; exec \"$0\""),
                                         QStringLiteral(QOR_WIZARD_BIN) });
    QVERIFY(wizard.waitForFinished(kPatienceMs));
    const QByteArray err = wizard.readAllStandardError();
    QCOMPARE(wizard.exitStatus(), QProcess::NormalExit);
    QCOMPARE(wizard.exitCode(), QOR_WIZARD_EXIT_NO_DISPLAY);
    QVERIFY2(err.contains("cannot open the X display") && err.contains(named), err.constData());
}

void WizardProgram::upgradeQuestion_data()
{
    QTest::addColumn<QString>("keys");      // typed into the question box
    QTest::addColumn<bool>("wizardShown");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<int>("exitCode");

    // Declining leaves the installed product: the same status as an install.
    QTest::newRow("Escape declines") << "Escape" << false << "C" << QOR_WIZARD_EXIT_INSTALLED;
    QTest::newRow("Cancel declines") << "Tab space" << false << "C" << QOR_WIZARD_EXIT_INSTALLED;
    QTest::newRow("Ok goes on, German, cancelled") << "Return" << true << "de_DE.UTF-8" << QOR_WIZARD_EXIT_CANCELLED;
}

void WizardProgram::upgradeQuestion()
{
    QFETCH(QString, keys);
    QFETCH(bool, wizardShown);
    QFETCH(QString, locale);
    QFETCH(int, exitCode);

    QVERIFY(standins.addRecorder(QStringLiteral("qor-cli"), "echo 2.0.0.1700000\n"));
    const QString record = standins.recordPath(QStringLiteral("qor-cli"));
    QFile::remove(record);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("LIBOVERLAY_SCROLLBAR"));
    env.insert(QStringLiteral("LC_ALL"), locale);
    env.insert(QStringLiteral("LANG"), locale);
    QProcess wizard;
    wizard.setProcessEnvironment(env);
    wizard.setStandardOutputFile(QProcess::nullDevice());
    wizard.start(QStringLiteral(QOR_WIZARD_BIN), QStringList());
    QVERIFY(wizard.waitForStarted(kPatienceMs));
    const QString pid = QString::number(wizard.processId());

    // The question box is the only window; the wizard's comes after it.
    QByteArray boxes;
    QVERIFY(xdotool({ "search", "--sync", "--onlyvisible", "--pid", pid }, &boxes));
    QCOMPARE(boxes.split('\n').size(), 1);
    const QString box = QString::fromLatin1(boxes);
    QByteArray boxTitle;
    QVERIFY(xdotool({ "getwindowname", box }, &boxTitle));
    QVERIFY2(!boxTitle.contains("Pellandor"), boxTitle.constData());
    QVERIFY(xdotool({ "windowfocus", "--sync", box }));
    QVERIFY(xdotool(QStringList{ "key", "--delay", "50" } + keys.split(QLatin1Char(' '))));

    if (wizardShown) {
        QByteArray window;
        for (QDeadlineTimer deadline(kPatienceMs); window.isEmpty() && !deadline.hasExpired();) {
            xdotool({ "search", "--onlyvisible", "--pid", pid, "--name", "Pellandor Tolmerin" }, &window);
            if (window.isEmpty())
                QTest::qWait(100);
        }
        QVERIFY2(!window.isEmpty(), "no wizard window after Ok");
        QByteArray title;
        QVERIFY(xdotool({ "getwindowname", QString::fromLatin1(window) }, &title));
        QCOMPARE(title, QByteArray("Pellandor Tolmerin " QOR_VERSION " Setup"));
        // For a reviewer, the German window once it has settled: painted,
        // and the same in two looks a moment apart.
        QImage shown;
        QImage before;
        for (QDeadlineTimer deadline(kPatienceMs); !deadline.hasExpired(); QTest::qWait(200)) {
            before = shown;
            shown = QGuiApplication::primaryScreen()->grabWindow(window.toULongLong()).toImage();
            if (!isBlank(shown) && shown == before)
                break;
        }
        QVERIFY(shown.save(QStringLiteral(QOR_SCREENSHOT_DIR "/program-welcome-de_DE.png")));
        QVERIFY2(!isBlank(shown) && shown == before, "the wizard's window shows no settled picture");
        QVERIFY(xdotool({ "windowfocus", "--sync", QString::fromLatin1(window) }));
        QVERIFY(xdotool({ "key", "Escape" }));
    }

    QVERIFY(wizard.waitForFinished(kPatienceMs));
    QCOMPARE(wizard.exitStatus(), QProcess::NormalExit);
    QCOMPARE(wizard.exitCode(), exitCode);

    // What the wizard hands on to the programs it starts.
    const QByteArray recorded = readFile(record);
    QVERIFY2(recorded.contains("overlay=[]\n"), recorded.constData());
    QVERIFY2(!sigpipeIgnored(recorded), recorded.constData());
}

void WizardProgram::finishAfterInstallStartsClient()
{
    QFile::remove(standins.bin() + QStringLiteral("/qor-cli"));
    for (const char *tool : { "rpm", "dpkg", "pkexec", "gpk-install-local-file" })
        QVERIFY(standins.addProgram(QLatin1String(tool), "echo 'package installed'\n"));
    QVERIFY(standins.addRecorder(QStringLiteral("qor-ui")));
    const QString record = standins.recordPath(QStringLiteral("qor-ui"));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("LIBOVERLAY_SCROLLBAR"));
    // As many set it on Wayland, where Xwayland serves DISPLAY.
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    QProcess wizard;
    wizard.setProcessEnvironment(env);
    // Standard output as the launcher leaves it: a pipe whose reader is gone.
    wizard.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    StdoutWithoutReader deadStdout;
    QVERIFY(deadStdout.isSet());
    wizard.start(QStringLiteral(QOR_WIZARD_BIN), QStringList());
    const bool started = wizard.waitForStarted(kPatienceMs);
    deadStdout.restore();
    QVERIFY(started);

    QByteArray window;
    QVERIFY(xdotool({ "search", "--sync", "--onlyvisible", "--pid", QString::number(wizard.processId()) },
                    &window));
    QVERIFY(xdotool({ "windowfocus", "--sync", QString::fromLatin1(window) }));
    // Next, the agreement box, Next: the installation starts.
    QVERIFY(xdotool({ "key", "--delay", "200", "Return", "Tab", "space", "Return" }));
    // Return presses the default button: Finish once the installation is
    // over; before that only Cancel is there, and the wizard refuses to
    // close with a message box that Return dismisses.
    for (QDeadlineTimer deadline(kPatienceMs); wizard.state() != QProcess::NotRunning && !deadline.hasExpired();) {
        xdotool({ "key", "Return" });
        wizard.waitForFinished(500);
    }
    QCOMPARE(wizard.state(), QProcess::NotRunning);
    QCOMPARE(wizard.exitStatus(), QProcess::NormalExit);
    QCOMPARE(wizard.exitCode(), 0);

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), kPatienceMs);
    const QByteArray recorded = readFile(record);
    QVERIFY2(recorded.contains("overlay=[]\n"), recorded.constData());
    QVERIFY2(recorded.contains("stdout=/dev/null\n"), recorded.constData());
    QVERIFY2(recorded.contains("survived\n"), recorded.constData());
    QVERIFY2(!sigpipeIgnored(recorded), recorded.constData());
    // Qt's variables as the wizard got them: none added for its platform or scale.
    QStringList qtVariables = env.toStringList().filter(QRegularExpression(QStringLiteral("^QT_")));
    qtVariables.sort();
    QCOMPARE(QString::fromLocal8Bit(recorded.mid(recorded.indexOf("qt=\n") + 4)).split('\n', Qt::SkipEmptyParts),
             qtVariables);
}

QTEST_MAIN(WizardProgram)
#include "tst_wizard_program.moc"
