// The install page inside the real wizard window: what the view, the title
// and the buttons show while and after the install program runs, and the
// Ubuntu prerequisite dialogue with the real dpkg-query.
#include "install_test_support.h"
#include "qorwiz_u.h"
#include "package_service_u.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTextEdit>
#include <QTextCodec>
#include <QTimer>
#include <QtTest>

#include <cerrno>
#include <clocale>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// Counts the worker's progress texts as the page receives them.
class ProgressTexts : public QObject
{
    Q_OBJECT

public:
    int count = 0;

public slots:
    void onDataRead(const char *) { ++count; }
};

// What dpkg writes in German; the "bytes" stand-in writes it a byte at a time.
static const QByteArray germanOutput = "Entpacken von qor (3.1.1) \xc3\xbc" "ber ...\n";

class TestInstallPage : public QObject
{
    Q_OBJECT

private:
    static void click(QAbstractButton *button) { QTest::mouseClick(button, Qt::LeftButton); }
    static QTextEdit *view(qorwiz &wizard) { return wizard.page(qorwiz::Page_Install)->findChild<QTextEdit *>(); }
    static InstallPage *installPage(qorwiz &wizard)
    {
        return qobject_cast<InstallPage *>(wizard.page(qorwiz::Page_Install));
    }
    static QString buttons(qorwiz &wizard)
    {
        QStringList shown;
        const QList<QPair<QWizard::WizardButton, QString>> all = {
            {QWizard::BackButton, "Back"}, {QWizard::NextButton, "Next"},
            {QWizard::CancelButton, "Cancel"}, {QWizard::FinishButton, "Finish"}};
        for (const auto &b : all) {
            if (wizard.button(b.first)->isVisible())
                shown << b.second;
        }
        return shown.join(QLatin1Char(' '));
    }
    // Welcome, licence (ticked), install page: the user's own way there.
    // These tests install an RPM, without the prerequisite check, unless
    // they name a target of their own.
    static void walkToInstallPage(qorwiz &wizard, const InstallTarget &target = testTarget(packagePath(), false))
    {
        installPage(wizard)->setInstallTarget(target);
        wizard.show();
        QVERIFY(QTest::qWaitForWindowExposed(&wizard, kPatienceMs));
        click(wizard.button(QWizard::NextButton));
        click(wizard.page(qorwiz::Page_EULA)->findChild<QCheckBox *>());
        click(wizard.button(QWizard::NextButton));
        QCOMPARE(wizard.currentId(), int(qorwiz::Page_Install));
    }
    static void finishWith(InstallPage *page, int code, const char *text)
    {
        QMetaObject::invokeMethod(page, "process_finished", Q_ARG(int, code), Q_ARG(const char*, text));
    }
    static QByteArray packagePath() { return QByteArray(QOR_PACKAGE_PATH); }
    static void saveShot(qorwiz &wizard, const QString &name)
    {
        QDir().mkpath(QStringLiteral(QOR_SCREENSHOT_DIR));
        const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(wizard.winId());
        QVERIFY(shot.save(QStringLiteral(QOR_SCREENSHOT_DIR "/") + name));
    }

private slots:
    void showsInstallation_data();
    void showsInstallation();
    void laterResultsDecide_data();
    void laterResultsDecide();
    void keepsTheEndOfLongOutput();
    void retryThreeTimesThenAbort_data();
    void retryThreeTimesThenAbort();
    void wizardGoesWhileToolRuns();
    void readsTheLocalesEncoding_data();
    void readsTheLocalesEncoding();
};

void TestInstallPage::showsInstallation_data()
{
    QTest::addColumn<QByteArray>("mode");
    QTest::addColumn<QStringList>("viewWhileRunning");
    QTest::addColumn<QString>("finalView");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("screenshot");
    QTest::addColumn<bool>("logFolderIsLink"); // a link planted in place of ~/.qor

    const QString trailer3 = QString::fromLatin1(failureTrailer(3, false, packagePath()));
    QTest::newRow("three pieces, success") << QByteArray("pieces")
        << QStringList{"one\n", "one\ntwo\n"}
        << QStringLiteral("one\ntwo\nthree\n\nInstallation Succesful.") << QStringLiteral("Finished.")
        << QStringLiteral("install-success.png") << false;
    // A byte that is not UTF-8, the locale's encoding, reads as U+FFFD.
    QTest::newRow("failure, text shown as it is") << QByteArray("latin1") << QStringList()
        << QStringLiteral("caf\ufffd <b>x</b>\nFailed with error :3\ncaf\ufffd <b>x</b>\n") + trailer3
        << QStringLiteral("Failed.") << QStringLiteral("install-failure.png") << false;
    const QString tool = QString::fromLatin1(expectedTool(false));
    QTest::newRow("tool missing") << QByteArray("missing") << QStringList()
        << QStringLiteral("Failed with error :-1\nCannot start %1: execvp: No such file or directory").arg(tool)
        << QStringLiteral("Failed.") << QStringLiteral("install-tool-missing.png") << false;
    // No program in the tool's place: ENOEXEC stands for libc's Russian words for that.
    QTest::newRow("tool no program") << QByteArray("no-program") << QStringList()
        << QStringLiteral("Failed with error :-1\nCannot start %1: execvp: ENOEXEC").arg(tool)
        << QStringLiteral("Failed.") << QString() << false;
    QStringList germanViews;
    for (int i = 1; i <= germanOutput.size(); ++i)
        germanViews << QString::fromUtf8(germanOutput.left(germanOutput.at(i - 1) == '\xc3' ? i - 1 : i));
    QTest::newRow("German, a byte at a time") << QByteArray("bytes") << germanViews
        << QString::fromUtf8(germanOutput + "\nInstallation Succesful.") << QStringLiteral("Finished.")
        << QStringLiteral("install-german.png") << false;
    QTest::newRow("no output, success, log folder a link") << QByteArray("silent") << QStringList()
        << QStringLiteral("Installation Succesful.") << QStringLiteral("Finished.")
        << QStringLiteral("install-no-log.png") << true;
    // "\u2026" stands for the rest of the end of the output, whole lines,
    // with no replacement character; HOME for the home folder.
    QTest::newRow("output cut, log written") << QByteArray("flood") << QStringList()
        << QStringLiteral("Earlier output is in the install log: HOME/.qor/install.log\nline \u2026\nInstallation Succesful.")
        << QStringLiteral("Finished.") << QString() << false;
    QTest::newRow("output cut, no log") << QByteArray("flood") << QStringList()
        << QStringLiteral("Earlier output was not kept: no install log was written.\nline \u2026\nInstallation Succesful.")
        << QStringLiteral("Finished.") << QString() << true;
    QTest::newRow("only error output, cut") << QByteArray("flood-stderr") << QStringList()
        << QStringLiteral("Failed with error :1\nEarlier output is in the install log: HOME/.qor/install.log\nline \u2026")
           + QString::fromLatin1(failureTrailer(1, false, packagePath()))
        << QStringLiteral("Failed.") << QString() << false;
    QTest::newRow("output cut, Cancel as the result arrives") << QByteArray("flood") << QStringList()
        << QStringLiteral("Earlier output is in the install log: HOME/.qor/install.log\nline \u2026\nInstallation Succesful.")
        << QStringLiteral("Finished.") << QString() << false;
    // One line of three-byte characters and an "x", far longer than the view
    // keeps: cut within it, and within a character.
    QTest::newRow("long line cut") << QByteArray("flood-euro") << QStringList()
        << QStringLiteral("Earlier output is in the install log: HOME/.qor/install.log\n\u20ac\u2026x\n\nInstallation Succesful.")
        << QStringLiteral("Finished.") << QString() << false;
}

void TestInstallPage::showsInstallation()
{
    QFETCH(QByteArray, mode);
    QFETCH(QStringList, viewWhileRunning);
    QFETCH(QString, finalView);
    QFETCH(QString, title);
    QFETCH(QString, screenshot);
    QFETCH(bool, logFolderIsLink);

    // A German user's encoding, with libc's messages in Russian (CMake sets
    // them, from locales made there).
    QCOMPARE(QByteArray(setlocale(LC_CTYPE, nullptr)), QByteArray("de_DE.UTF-8"));
    QCOMPARE(QByteArray(setlocale(LC_MESSAGES, nullptr)), QByteArray("ru_RU.UTF-8"));
    const QString enoexec = QString::fromLocal8Bit(strerror(ENOEXEC));
    QVERIFY2(enoexec.at(0).unicode() > 0xff, "no Russian messages from libc: install libc-l10n");
    finalView.replace(QStringLiteral("ENOEXEC"), enoexec);
    ToolSandbox tools;
    const QString elsewhere = tools.path() + QStringLiteral("/elsewhere");
    if (logFolderIsLink)
        QVERIFY(QDir().mkdir(elsewhere) && QFile::link(elsewhere, tools.home() + QStringLiteral("/.qor")));
    qputenv("QOR_TOOL_MODE", mode);
    if (mode == "missing" || mode == "no-program") {
        for (const char *tool : {"rpm", "gpk-install-local-file"}) {
            QFile file(tools.bin() + QLatin1Char('/') + QLatin1String(tool));
            QVERIFY(file.remove());
            if (mode == "no-program")
                QVERIFY(file.open(QIODevice::WriteOnly) && file.write("no\n") && file.setPermissions(QFile::ExeOwner));
        }
        qputenv("PATH", QFile::encodeName(tools.bin()));
    }
    qorwiz wizard;
    walkToInstallPage(wizard);
    InstallPage *page = installPage(wizard);
    QCOMPARE(page->title(), QStringLiteral("Installing.."));
    // The "bytes" stand-in starts at gate 0: each of its bytes is counted.
    ProgressTexts progress;
    connect(page->findChild<InstallWorker *>(), SIGNAL(dataRead(const char*)), &progress,
            SLOT(onDataRead(const char*)));
    tools.openGate(0);
    // Pressed while the view still takes in the output, right behind the page's slot for the result.
    const bool cancelAtResult = QByteArray(QTest::currentDataTag()).endsWith("Cancel as the result arrives");
    if (cancelAtResult)
        connect(page->findChild<InstallWorker *>(), QOverload<int, const char *>::of(&InstallWorker::finished),
                &wizard, [&] { click(wizard.button(QWizard::CancelButton)); }, Qt::QueuedConnection);

    // Each piece appears once, as the program wrote it; the next piece is
    // written only after the view has shown this one.
    for (int i = 0; i < viewWhileRunning.size(); ++i) {
        QTRY_COMPARE_WITH_TIMEOUT(view(wizard)->toPlainText(), viewWhileRunning[i], kPatienceMs);
        if (mode == "bytes")
            QTRY_COMPARE_WITH_TIMEOUT(progress.count, i + 1, kPatienceMs);
        QCOMPARE(buttons(wizard), QStringLiteral("Cancel"));
        QVERIFY(page->isInstalling());
        tools.openGate(i + 1);
    }
    QTRY_COMPARE_WITH_TIMEOUT(page->title(), title, kPatienceMs);
    const QStringList around = finalView.replace(QStringLiteral("HOME"), tools.home()).split(QChar(0x2026));
    const QString shown = view(wizard)->toPlainText();
    if (around.size() == 1)
        QCOMPARE(shown, finalView);
    else
        QVERIFY2(shown.startsWith(around[0]) && shown.endsWith(around[1]) && !shown.contains(QChar(QChar::ReplacementCharacter)),
                 qPrintable(shown.left(200)));
    const bool success = title == QLatin1String("Finished.");
    QCOMPARE(buttons(wizard), cancelAtResult ? QString() : success ? QStringLiteral("Finish") : QStringLiteral("Cancel"));
    QVERIFY(!cancelAtResult || wizard.exitStatus() == QOR_WIZARD_EXIT_INSTALLED);
    QCOMPARE(wizard.install_result, success);
    QTRY_VERIFY_WITH_TIMEOUT(!page->isInstalling(), kPatienceMs);
    QCOMPARE(page->findChildren<InstallWorker *>().size(), 1);
    const QString noLog = logFolderIsLink
        ? QStringLiteral("No install log was written: %1/.qor is a symbolic link.").arg(tools.home()) : QString();
    QCOMPARE(page->findChild<QLabel *>()->text(), noLog);
    QVERIFY(!QFile::exists(elsewhere + QStringLiteral("/install.log")));
    if (mode == "bytes")
        QCOMPARE(ToolSandbox::readFile(tools.logPath()), germanOutput + "\nInstallation Finished");
    if (!screenshot.isEmpty())
        saveShot(wizard, screenshot);
}

// Every result sets title and buttons anew; the view keeps every report.
void TestInstallPage::laterResultsDecide_data()
{
    QTest::addColumn<QList<int>>("codes");
    QTest::addColumn<QString>("viewEnd");
    QTest::addColumn<QString>("title");
    QTest::addColumn<bool>("installResult");

    QTest::newRow("1") << QList<int>{1} << QStringLiteral("Failed with error :1\nreport 0")
                       << QStringLiteral("Failed.") << false;
    QTest::newRow("-1") << QList<int>{-1} << QStringLiteral("Failed with error :-1\nreport 0")
                        << QStringLiteral("Failed.") << false;
    QTest::newRow("1 then 0") << QList<int>{1, 0}
        << QStringLiteral("Failed with error :1\nreport 0\nInstallation Succesful.")
        << QStringLiteral("Finished.") << true;
    QTest::newRow("0 then 2") << QList<int>{0, 2}
        << QStringLiteral("\nInstallation Succesful.Failed with error :2\nreport 1")
        << QStringLiteral("Failed.") << true;
}

void TestInstallPage::laterResultsDecide()
{
    QFETCH(QList<int>, codes);
    QFETCH(QString, viewEnd);
    QFETCH(QString, title);
    QFETCH(bool, installResult);

    ToolSandbox tools;
    qputenv("QOR_TOOL_MODE", "pieces");
    qorwiz wizard;
    walkToInstallPage(wizard);
    InstallPage *page = installPage(wizard);
    // The tool has written its first piece and waits: only these results count.
    QTRY_COMPARE_WITH_TIMEOUT(view(wizard)->toPlainText(), QStringLiteral("one\n"), kPatienceMs);
    for (int i = 0; i < codes.size(); ++i) {
        const QByteArray text = "report " + QByteArray::number(i);
        finishWith(page, codes[i], text.constData());
    }
    QCOMPARE(page->title(), title);
    QCOMPARE(view(wizard)->toPlainText(), QStringLiteral("one\n") + viewEnd);
    QCOMPARE(buttons(wizard), title == QLatin1String("Finished.") ? QStringLiteral("Finish") : QStringLiteral("Cancel"));
    QCOMPARE(wizard.install_result, installResult);
    // The worker still runs: the wizard must not be destroyed under it.
    QVERIFY(page->isInstalling());
    tools.openGate(1);
    tools.openGate(2);
    QTRY_VERIFY_WITH_TIMEOUT(!page->isInstalling(), kPatienceMs);
}

// Far more output than the view keeps: the view shows its end, whole lines
// without a gap, and the log has all of it.
void TestInstallPage::keepsTheEndOfLongOutput()
{
    ToolSandbox tools;
    qputenv("QOR_TOOL_MODE", "flood");
    qorwiz wizard;
    walkToInstallPage(wizard);
    QTRY_COMPARE_WITH_TIMEOUT(installPage(wizard)->title(), QStringLiteral("Finished."), kPatienceMs);

    QByteArray output;
    for (int i = 0; i < 10000; ++i)
        output += QStringLiteral("line %1 of a long output\n").arg(i, 5, 10, QLatin1Char('0')).toLatin1();
    const QString success = QStringLiteral("\nInstallation Succesful.");
    // Behind the line that says where the rest is.
    const QString view = TestInstallPage::view(wizard)->toPlainText().section(QLatin1Char('\n'), 1);
    QVERIFY(view.endsWith(success));
    const QByteArray shown = view.chopped(success.size()).toLatin1();
    QVERIFY2(shown.startsWith("line ") && output.endsWith(shown), shown.left(80).constData());
    QVERIFY2(shown.size() >= 32 * 1024 && shown.size() <= 160 * 1024, QByteArray::number(shown.size()).constData());
    QCOMPARE(ToolSandbox::readFile(tools.logPath()), output + "\nInstallation Finished");
}

// On an Ubuntu build a user who is not root has the page ask dpkg-query
// first. Without pkexec (and policykit-1) and without a system bus for
// PackageKit (install-system-prereq-page), the real check fails each time.
// A bus that takes the connection and never answers costs each check 30 s,
// through which the window goes on repainting (the answerer's timer runs).
void TestInstallPage::retryThreeTimesThenAbort_data()
{
    QTest::addColumn<bool>("silentBus");
    QTest::addColumn<int>("boxes");
    QTest::newRow("no bus") << false << 4;
    QTest::newRow("a bus that never answers") << true << 1;
}

void TestInstallPage::retryThreeTimesThenAbort()
{
    QFETCH(bool, silentBus);
    QFETCH(int, boxes);
    QProcess query;
    query.start(QStringLiteral("/usr/bin/dpkg-query"), {QStringLiteral("--status"), QStringLiteral("pkexec")});
    QVERIFY(query.waitForFinished(kPatienceMs));
    if (query.readAllStandardOutput().contains("Status: install ok installed"))
        QSKIP("pkexec is installed here: the check would pass");

    ToolSandbox tools;
    qputenv("QOR_TOOL_MODE", "silent");
    // Accepted by the kernel, never answered; closed at the end, so that the
    // check left waiting on it ends too.
    const QString silent = tools.path() + QStringLiteral("/silent-bus");
    const int bus = silentBus ? socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    if (silentBus) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(silent).constData(), sizeof address.sun_path);
        QVERIFY(bind(bus, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 && listen(bus, 4) == 0);
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + QFile::encodeName(silent));
    }
    qorwiz wizard;
    QStringList boxTexts, boxTitles;
    QList<int> workersAtBox;
    int ticksBeforeBox = 0;
    // Answers each question box as it comes: Retry three times, then Abort.
    QTimer answerer;
    connect(&answerer, &QTimer::timeout, [&] {
        QMessageBox *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) {
            ticksBeforeBox += boxTexts.isEmpty();
            return;
        }
        boxTexts << box->text();
        boxTitles << box->windowTitle();
        workersAtBox << wizard.findChildren<InstallWorker *>().size();
        QVERIFY(box->defaultButton() == box->button(QMessageBox::Retry));
        click(box->button(boxTexts.size() < boxes ? QMessageBox::Retry : QMessageBox::Abort));
    });
    answerer.start(20);
    walkToInstallPage(wizard, testTarget(QStringLiteral("/tmp/qor_3.1.1-1Ubuntu1_all.deb"), true));
    answerer.stop();
    if (bus >= 0)
        close(bus);

    QCOMPARE(boxTexts.size(), boxes);
    QCOMPARE(boxTitles, QVector<QString>(boxes, QStringLiteral("Package Dependency Check")).toList());
    QCOMPARE(workersAtBox, QVector<int>(boxes, 0).toList());
    // Blocked, the thread would have run the timer a few times at most.
    if (silentBus)
        QVERIFY2(ticksBeforeBox > 100, QByteArray::number(ticksBeforeBox).constData());
    const QString report = boxTexts.value(0);
    QVERIFY2(report.startsWith("Required package 'pkexec' is not available. Please retry after installing the "
                               "package.\n\nDetails:\n")
             && report.contains(" install pkexec\n\nOr install 'packagekit', the desktop's package service, in place "
                                "of both 'pkexec' and 'gdebi-core': sudo apt-get install packagekit\n("),
             qPrintable(report));
    QVERIFY2(!silentBus || report.contains("(the system bus did not answer within 30 s.)"), qPrintable(report));
    // Each check starts from an empty text: the same single report each time.
    QCOMPARE(boxTexts, QVector<QString>(boxes, report).toList());

    InstallPage *page = installPage(wizard);
    QCOMPARE(page->title(), QStringLiteral("Failed."));
    QCOMPARE(view(wizard)->toPlainText(), QStringLiteral("Failed with error :1\n") + report);
    QCOMPARE(buttons(wizard), QStringLiteral("Cancel"));
    QVERIFY(!wizard.install_result);
    // After Abort nothing is installed: no worker, nothing to wait for.
    QCOMPARE(wizard.findChildren<InstallWorker *>().size(), 0);
    QVERIFY(!page->isInstalling());
    QVERIFY(!QFile::exists(tools.path() + QStringLiteral("/argv")));
}

// Whatever ends the wizard while the tool runs, the tool is not killed and
// no running thread is destroyed: the tool's record is complete afterwards.
void TestInstallPage::wizardGoesWhileToolRuns()
{
    ToolSandbox tools;
    qputenv("QOR_TOOL_MODE", "pieces");
    {
        qorwiz wizard;
        walkToInstallPage(wizard);
        QTRY_COMPARE_WITH_TIMEOUT(view(wizard)->toPlainText(), QStringLiteral("one\n"), kPatienceMs);
        tools.openGate(1);
        tools.openGate(2);
    }
    QCOMPARE(ToolSandbox::readFile(tools.logPath()), QByteArray("one\ntwo\nthree\n\nInstallation Finished"));
}

QTEST_MAIN(TestInstallPage)
// The tools write in the encoding the C library's locale names, whatever
// Qt itself makes of the locale (Debian's Qt, built with ICU, says UTF-8).
void TestInstallPage::readsTheLocalesEncoding_data()
{
    QTest::addColumn<QByteArray>("locale");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("Latin-1") << QByteArray("de_DE.ISO-8859-1") << QByteArray("Gr\xf6\xdf" "e caf\xe9");
    QTest::newRow("UTF-8") << QByteArray("de_DE.UTF-8") << QByteArray("Gr\xc3\xb6\xc3\x9f" "e caf\xc3\xa9");
    QTest::newRow("C: read as UTF-8") << QByteArray("C") << QByteArray("Gr\xc3\xb6\xc3\x9f" "e caf\xc3\xa9");
}

void TestInstallPage::readsTheLocalesEncoding()
{
    QFETCH(QByteArray, locale);
    QFETCH(QByteArray, bytes);
    const QByteArray before = setlocale(LC_CTYPE, nullptr);
    QVERIFY2(setlocale(LC_CTYPE, locale.constData()), locale.constData());
    const QString text = installTextCodec()->toUnicode(bytes);
    setlocale(LC_CTYPE, before.constData());
    QCOMPARE(text, QStringLiteral("Gr\u00f6\u00dfe caf\u00e9"));
}

#include "tst_install_page.moc"
