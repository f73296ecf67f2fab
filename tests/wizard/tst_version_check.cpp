// The installed-version check with real qor-cli programs on PATH: what the
// question box shows, what each answer means, and clients that fail, are
// missing or never answer.
#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWindow>
#include <QtTest>

#include <cerrno>

#include <signal.h>

#include "qorwiz_u.h"
#include "wizard_test_support.h"

namespace {

// Watches for the question box while the check runs, notes what it shows
// and answers it the way a user would.
class BoxAnswerer : public QObject
{
public:
    explicit BoxAnswerer(const QString &answer, const QString &screenshot = QString())
        : answer(answer), screenshot(screenshot)
    {
        connect(&timer, &QTimer::timeout, this, &BoxAnswerer::look);
        timer.start(20);
    }

    int boxesSeen = 0;
    QString text;
    QString informativeText;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    bool hadParent = false;
    bool screenshotSaved = false;

private:
    void look()
    {
        QMessageBox *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        ++boxesSeen;
        text = box->text();
        informativeText = box->informativeText();
        icon = box->icon();
        buttons = box->standardButtons();
        defaultButton = box->defaultButton() ? box->standardButton(box->defaultButton())
                                             : QMessageBox::NoButton;
        hadParent = box->parentWidget() != nullptr;
        if (!screenshot.isEmpty()) {
            screenshotSaved = QTest::qWaitForWindowExposed(box, kPatienceMs);
            QTest::qWait(200);
            screenshotSaved = screenshotSaved && saveScreenshot(box, screenshot);
        }
        if (answer == QLatin1String("Ok"))
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        else if (answer == QLatin1String("Cancel"))
            QTest::mouseClick(box->button(QMessageBox::Cancel), Qt::LeftButton);
        else if (answer == QLatin1String("Escape"))
            QTest::keyClick(box, Qt::Key_Escape);
        else
            box->windowHandle()->close();
    }

    QTimer timer;
    QString answer;
    QString screenshot;
};

} // namespace

class VersionCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void check_data();
    void check();
    void okLeadsToWelcomePage();
    void hangingClientCountsAsNotInstalled();

private:
    StandinPath standins;
};

static const QByteArray selfTest = "EC_generateKey_FIPS_consistancy_test: GOOD Signature Verify!";

void VersionCheck::initTestCase()
{
    Q_INIT_RESOURCE(qorwiz);
}

void VersionCheck::check_data()
{
    QTest::addColumn<QByteArray>("client");   // script body; empty: no qor-cli at all
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("boxShown");
    QTest::addColumn<QString>("informativeText");
    QTest::addColumn<bool>("endWizard");

    const QByteArray demo = readFile(QStringLiteral(QOR_DEMO_CLIENT_DIR "/qor-cli"));
    QTest::newRow("demo client, Ok") << demo << "Ok" << true << QString::fromLatin1(QOR_VERSION) << false;
    QTest::newRow("self-test line then version, Cancel")
        << QByteArray("echo '" + selfTest + "'\necho 2.0.0.1700000\n") << "Cancel" << true
        << "2.0.0.1700000" << true;
    QTest::newRow("two lines joined, Escape")
        << QByteArray("printf 'first\\r\\nsecond\\n'\n") << "Escape" << true << "firstsecond" << true;
    QTest::newRow("self-test line inside a line, close button")
        << QByteArray("echo 'a " + selfTest + " b'\n") << "close" << true << "a  b" << true;
    QTest::newRow("only the self-test line") << QByteArray("echo '" + selfTest + "'\n") << "Ok" << true
                                             << "" << false;
    QTest::newRow("UTF-8 output") << QByteArray("printf 'Versi\\303\\263n 5\\n'\n") << "Ok" << true
                                  << QString::fromUtf8("Versión 5") << false;
    QTest::newRow("output ends at a zero byte") << QByteArray("printf '1.2\\000junk'\n") << "Cancel"
                                                << true << "1.2" << true;
    QTest::newRow("non-zero exit") << QByteArray("echo 2.0\nexit 3\n") << "Cancel" << false << ""
                                   << false;
    QTest::newRow("killed by a signal") << QByteArray("echo 2.0\nkill -KILL $$\n") << "Cancel" << false
                                        << "" << false;
    QTest::newRow("missing") << QByteArray() << "Cancel" << false << "" << false;
}

void VersionCheck::check()
{
    QFETCH(QByteArray, client);
    QFETCH(QString, answer);
    QFETCH(bool, boxShown);
    QFETCH(QString, informativeText);
    QFETCH(bool, endWizard);

    const QString program = standins.bin() + QStringLiteral("/qor-cli");
    QFile::remove(program);
    qorwiz wizard; // built with no client on PATH: its own check passes
    if (!client.isEmpty())
        QVERIFY(standins.addProgram(QStringLiteral("qor-cli"), client));

    BoxAnswerer answerer(answer);
    QCOMPARE(wizard.installCheck(), endWizard);
    QCOMPARE(answerer.boxesSeen, boxShown ? 1 : 0);
    if (!boxShown)
        return;
    QCOMPARE(answerer.text, QStringLiteral("Already Installed. Do you want to upgrade from"));
    QCOMPARE(answerer.informativeText, informativeText);
    QCOMPARE(answerer.icon, QMessageBox::Warning);
    QCOMPARE(answerer.buttons, QMessageBox::Ok | QMessageBox::Cancel);
    QCOMPARE(answerer.defaultButton, QMessageBox::Ok);
    QVERIFY(!answerer.hadParent);
}

void VersionCheck::okLeadsToWelcomePage()
{
    QVERIFY(standins.addProgram(QStringLiteral("qor-cli"),
                                readFile(QStringLiteral(QOR_DEMO_CLIENT_DIR "/qor-cli"))));
    BoxAnswerer answerer(QStringLiteral("Ok"), QStringLiteral("install-check-question.png"));
    qorwiz wizard;
    QCOMPARE(answerer.boxesSeen, 1);
    QVERIFY(answerer.screenshotSaved);
    wizard.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wizard, kPatienceMs));
    QCOMPARE(wizard.currentId(), int(qorwiz::Page_Intro));
    QFile::remove(standins.bin() + QStringLiteral("/qor-cli"));
}

void VersionCheck::hangingClientCountsAsNotInstalled()
{
    QFile::remove(standins.bin() + QStringLiteral("/qor-cli"));
    qorwiz wizard;
    const QString pidFile = standins.file(QStringLiteral("hanging.pid"));
    QVERIFY(standins.addProgram(QStringLiteral("qor-cli"),
                                "echo $$ > '" + QFile::encodeName(pidFile) + "'\n"
                                "echo 9.9\n"
                                "exec sleep 600\n"));
    BoxAnswerer answerer(QStringLiteral("Cancel"));
    QCOMPARE(wizard.installCheck(), false);
    QCOMPARE(answerer.boxesSeen, 0);
    QFile::remove(standins.bin() + QStringLiteral("/qor-cli"));

    // The client was stopped and reaped, not left behind.
    const pid_t pid = readFile(pidFile).trimmed().toInt();
    QVERIFY(pid > 0);
    QCOMPARE(::kill(pid, 0), -1);
    QCOMPARE(errno, ESRCH);
}

QTEST_MAIN(VersionCheck)
#include "tst_version_check.moc"
