// The wizard as a real window, started as the program starts it: which
// buttons each page shows, its frame, texts and pictures at the screen's
// scale, what the screen shows of it, Qt's translations, and what closing the
// window starts.
#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <QTranslator>
#include <QWindow>
#include <QtTest>

#include <unistd.h>

#include "qorwiz_u.h"
#include "startup_u.h"
#include "wizard_test_support.h"

class WizardPages : public QObject
{
    Q_OBJECT

public:
    static void initMain() { prepareWizardStart(); }

private slots:
    void initTestCase();
    void buttonTable_data();
    void buttonTable();
    void frameTextsAndPictures();
    void qtTranslations_data();
    void qtTranslations();
    void closingStartsClient_data();
    void closingStartsClient();
    void finishAfterInstallStartsClient();
    void refusesToCloseWhileInstalling();

private:
    void releaseInstallTool(int status) const;
    void walk(qorwiz &wizard, const QStringList &steps) const;

    StandinPath standins;
    LicenceFile licence;
};

static const QByteArray licenceText =
    "PELLANDOR TEST LICENCE\nThe licensee may install this software.\nSecond paragraph.\n";

static QCheckBox *agreeBox(qorwiz &wizard)
{
    return wizard.page(qorwiz::Page_EULA)->findChild<QCheckBox *>();
}

static QString buttonStates(qorwiz &wizard)
{
    const struct { QWizard::WizardButton which; const char *name; } buttons[] = {
        { QWizard::BackButton, "Back" },       { QWizard::NextButton, "Next" },
        { QWizard::CustomButton1, "Print" },   { QWizard::CancelButton, "Cancel" },
        { QWizard::FinishButton, "Finish" },
    };
    QStringList states;
    for (const auto &b : buttons) {
        const QAbstractButton *button = wizard.button(b.which);
        const char *state = !button->isVisible() ? "hidden"
                            : button->isEnabled() ? "enabled" : "disabled";
        states << QString::fromLatin1("%1=%2").arg(QLatin1String(b.name), QLatin1String(state));
    }
    if (wizard.currentId() == qorwiz::Page_EULA)
        states << QString::fromLatin1("Box=%1").arg(QLatin1String(agreeBox(wizard)->isChecked() ? "ticked" : "clear"));
    return states.join(QLatin1Char(' '));
}

void WizardPages::initTestCase()
{
    // QTEST_MAIN fixes fonts at 96 dpi; the wizard takes the screen's.
    QCoreApplication::setAttribute(Qt::AA_Use96Dpi, false);
    QVERIFY(licence.write(licenceText));
    // Every package tool the install page might run waits until the test
    // lets it end, with the status the test chooses.
    const QByteArray release = QFile::encodeName(standins.file(QStringLiteral("release")));
    for (const char *tool : { "rpm", "dpkg", "pkexec", "gdebi", "gpk-install-local-file" }) {
        QVERIFY(standins.addProgram(QLatin1String(tool),
                                    "i=0\n"
                                    "while [ ! -e '" + release + "' ] && [ $i -lt 1200 ]; do\n"
                                    "  sleep 0.05; i=$((i+1))\n"
                                    "done\n"
                                    "echo 'tool output'\n"
                                    "exit $(cat '" + release + "')\n"));
    }
    QVERIFY(standins.addRecorder(QStringLiteral("qor-ui")));
}

void WizardPages::releaseInstallTool(int status) const
{
    QFile release(standins.file(QStringLiteral("release.part")));
    QVERIFY(release.open(QIODevice::WriteOnly));
    release.write(QByteArray::number(status));
    release.close();
    QVERIFY(release.rename(standins.file(QStringLiteral("release"))));
}

// Steps: next, back, tick (click the agreement box), success (an earlier
// installation succeeded), install:N (the package tool ends with status N
// and the page has taken the result in).
void WizardPages::walk(qorwiz &wizard, const QStringList &steps) const
{
    for (const QString &step : steps) {
        if (step == QLatin1String("next")) {
            click(wizard.button(QWizard::NextButton));
        } else if (step == QLatin1String("back")) {
            click(wizard.button(QWizard::BackButton));
        } else if (step == QLatin1String("tick")) {
            click(agreeBox(wizard));
        } else if (step == QLatin1String("success")) {
            wizard.install_result = true;
        } else if (step.startsWith(QLatin1String("install:"))) {
            releaseInstallTool(step.mid(8).toInt());
            // The page's title tells that the result has arrived.
            const QWizardPage *page = wizard.page(qorwiz::Page_Install);
            QTRY_VERIFY_WITH_TIMEOUT(page->title() == QLatin1String("Finished.")
                                         || page->title() == QLatin1String("Failed."),
                                     kPatienceMs);
        } else {
            QFAIL(qPrintable(QStringLiteral("unknown step ") + step));
        }
    }
}

void WizardPages::buttonTable_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("buttons");

    const QString welcome = QStringLiteral("Back=disabled Next=enabled Print=hidden Cancel=enabled Finish=hidden");
    const QString licenceClear = QStringLiteral("Back=enabled Next=disabled Print=enabled Cancel=enabled Finish=hidden Box=clear");
    const QString licenceTicked = QStringLiteral("Back=enabled Next=enabled Print=enabled Cancel=enabled Finish=hidden Box=ticked");
    const QString installing = QStringLiteral("Back=hidden Next=hidden Print=hidden Cancel=enabled Finish=hidden");
    const QString finishOnly = QStringLiteral("Back=hidden Next=hidden Print=hidden Cancel=hidden Finish=enabled");

    QTest::newRow("welcome") << QStringList() << 0 << welcome;
    QTest::newRow("licence on entry") << QStringList{ "next" } << 1 << licenceClear;
    QTest::newRow("licence ticked") << QStringList{ "next", "tick" } << 1 << licenceTicked;
    QTest::newRow("licence ticked and unticked") << QStringList{ "next", "tick", "tick" } << 1 << licenceClear;
    QTest::newRow("back to welcome") << QStringList{ "next", "tick", "back" } << 0 << welcome;
    QTest::newRow("licence again after ticking")
        << QStringList{ "next", "tick", "back", "next" } << 1 << licenceClear;
    QTest::newRow("next with box clear stays")
        << QStringList{ "next", "next" } << 1 << licenceClear;
    QTest::newRow("install page while installing")
        << QStringList{ "next", "tick", "next" } << 2 << installing;
    QTest::newRow("install page after earlier success")
        << QStringList{ "success", "next", "tick", "next" } << 2 << finishOnly;
    QTest::newRow("install succeeded")
        << QStringList{ "next", "tick", "next", "install:0" } << 2 << finishOnly;
    QTest::newRow("install failed")
        << QStringList{ "next", "tick", "next", "install:1" } << 2
        << QStringLiteral("Back=hidden Next=hidden Print=hidden Cancel=enabled Finish=hidden");
}

void WizardPages::buttonTable()
{
    QFETCH(QStringList, steps);
    QFETCH(int, page);
    QFETCH(QString, buttons);

    QFile::remove(standins.file(QStringLiteral("release")));
    qorwiz wizard;
    wizard.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wizard, kPatienceMs));
    walk(wizard, steps);
    if (QTest::currentTestFailed())
        return;

    const int shownPage = wizard.currentId();
    const QString shownButtons = buttonStates(wizard);
    // Nothing cut at any scale of the screen (tst_wizard_pages_2x: 192 dpi).
    const QString shot = screenshotProblem(&wizard, QStringLiteral("page-%1.png")
                                         .arg(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-')));

    // Let a running package tool end before the wizard goes.
    if (!QFile::exists(standins.file(QStringLiteral("release"))))
        releaseInstallTool(1);
    const InstallPage *installPage = qobject_cast<InstallPage *>(wizard.page(qorwiz::Page_Install));
    QTRY_VERIFY_WITH_TIMEOUT(!installPage->isInstalling(), kPatienceMs);

    QCOMPARE(shownPage, page);
    QCOMPARE(shownButtons, buttons);
    QVERIFY2(shot.isEmpty(), qPrintable(shot));
}

void WizardPages::frameTextsAndPictures()
{
    qorwiz wizard;
    wizard.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wizard, kPatienceMs));
    QCOMPARE(wizard.windowTitle(), QStringLiteral("Pellandor Tolmerin 3.1.1.1912102 Setup"));
    QVERIFY(!wizard.button(QWizard::HelpButton)->isVisible());
    // The pictures drawn for the screen's scale: 1x at 96 dpi, 2x at 192.
    const int scale = screenScale();
    QCOMPARE(wizard.devicePixelRatioF(), qreal(scale));
    QCOMPARE(wizard.windowIcon().pixmap(wizard.windowHandle(), QSize(24, 24)).size(), QSize(24, 24) * scale);
    QCOMPARE(wizard.pixmap(QWizard::LogoPixmap).size(), QSize(120, 42) * scale);
    QCOMPARE(wizard.page(qorwiz::Page_Intro)->pixmap(QWizard::WatermarkPixmap).size(), QSize(170, 340) * scale);
    QCOMPARE(wizard.page(qorwiz::Page_Install)->pixmap(QWizard::WatermarkPixmap).size(), QSize(170, 340) * scale);
    QCOMPARE(wizard.styleSheet(), QStringLiteral("background-color:rgb(250,250,250);"));
    QCOMPARE(wizard.wizardStyle(), QWizard::ModernStyle);
    QCOMPARE(wizard.currentId(), int(qorwiz::Page_Intro));

    // The texts a user reads, exactly.
    const QWizardPage *intro = wizard.page(qorwiz::Page_Intro);
    QCOMPARE(intro->title(), QStringLiteral("Welcome to the Pellandor\nTolmerin 3.1.1.1912102 \nSetup Wizard"));
    QCOMPARE(intro->subTitle(), QString());
    const QLabel *body = intro->findChild<QLabel *>();
    QVERIFY(body);
    QCOMPARE(body->text(), QStringLiteral("This Setup Wizard will install Pellandor Tolmerin 3.1.1.1912102 on your "
                                          "computer. Click Next to continue or Cancel to exit the Setup Wizard."));
    QVERIFY(body->wordWrap());
    const QWizardPage *eula = wizard.page(qorwiz::Page_EULA);
    QCOMPARE(eula->title(), QStringLiteral("End-User License Agreement"));
    QCOMPARE(eula->subTitle(), QStringLiteral("<br>Please read the following license agreement carefully."));
    QCOMPARE(agreeBox(wizard)->text(), QStringLiteral("I agree to the terms of the license"));
    QCOMPARE(wizard.page(qorwiz::Page_Install)->title(), QStringLiteral("Installing.."));

    walk(wizard, { "next" });
    QCOMPARE(wizard.button(QWizard::CustomButton1)->text(), QStringLiteral("&Print"));
}

void WizardPages::qtTranslations_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QString>("nextText");
    QTest::addColumn<QString>("cancelText");

    QTest::newRow("C locale") << QStringLiteral("C") << false
                              << QStringLiteral("&Next >") << QStringLiteral("Cancel");
    QTest::newRow("de_DE") << QStringLiteral("de_DE") << true
                           << QStringLiteral("&Weiter >") << QStringLiteral("Abbrechen");
}

void WizardPages::qtTranslations()
{
    QFETCH(QString, locale);
    QFETCH(bool, installed);
    QFETCH(QString, nextText);
    QFETCH(QString, cancelText);

    QTranslator *translator = installQtTranslator(qApp, QLocale(locale));
    QCOMPARE(translator != nullptr, installed);
    if (translator)
        QCOMPARE(QFileInfo(translator->filePath()).fileName(), QStringLiteral("qt_de.qm"));

    {
        qorwiz wizard;
        QCOMPARE(wizard.buttonText(QWizard::NextButton), nextText);
        QMessageBox box;
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        QCOMPARE(box.button(QMessageBox::Cancel)->text(), cancelText);
    }
    if (translator) {
        QCoreApplication::removeTranslator(translator);
        delete translator;
    }
}

void WizardPages::closingStartsClient_data()
{
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QString>("how");

    for (bool installed : { false, true }) {
        for (const char *how : { "Cancel", "Escape", "close button" }) {
            QTest::newRow(qPrintable(QString::fromLatin1("%1, %2")
                                         .arg(QLatin1String(how),
                                              QLatin1String(installed ? "installed" : "not installed"))))
                << installed << QString::fromLatin1(how);
        }
    }
}

void WizardPages::closingStartsClient()
{
    QFETCH(bool, installed);
    QFETCH(QString, how);

    const QString record = standins.recordPath(QStringLiteral("qor-ui"));
    QFile::remove(record);
    qorwiz wizard;
    wizard.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wizard, kPatienceMs));
    wizard.install_result = installed;
    QSignalSpy finished(&wizard, SIGNAL(finished(int)));

    // Our own standard output is a pipe without a reader while the client
    // starts, as it is under the launcher.
    StdoutWithoutReader deadStdout;
    QVERIFY(deadStdout.isSet());
    if (how == QLatin1String("Cancel"))
        click(wizard.button(QWizard::CancelButton));
    else if (how == QLatin1String("Escape"))
        QTest::keyClick(&wizard, Qt::Key_Escape);
    else
        wizard.windowHandle()->close();
    deadStdout.restore();

    QCOMPARE(finished.count(), 1);
    QVERIFY(!wizard.isVisible());
    if (!installed) {
        // Started clients record within moments; give a wrong one the time.
        QTest::qWait(500);
        QVERIFY(!QFile::exists(record));
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), kPatienceMs);
    const QByteArray recorded = readFile(record);
    QVERIFY2(recorded.contains("stdout=/dev/null\n"), recorded.constData());
    QVERIFY2(recorded.contains("survived\n"), recorded.constData());
    QVERIFY2(!sigpipeIgnored(recorded), recorded.constData());
}

void WizardPages::finishAfterInstallStartsClient()
{
    const QString record = standins.recordPath(QStringLiteral("qor-ui"));
    QFile::remove(record);
    QFile::remove(standins.file(QStringLiteral("release")));
    qorwiz wizard;
    wizard.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wizard, kPatienceMs));
    walk(wizard, { "next", "tick", "next", "install:0" });
    QVERIFY(wizard.install_result);
    QVERIFY(wizard.button(QWizard::FinishButton)->isVisible());
    click(wizard.button(QWizard::FinishButton));
    QVERIFY(!wizard.isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), kPatienceMs);
}

void WizardPages::refusesToCloseWhileInstalling()
{
    QFile::remove(standins.file(QStringLiteral("release")));
    qorwiz wizard;
    wizard.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wizard, kPatienceMs));
    walk(wizard, { "next", "tick", "next" });
    const InstallPage *page = qobject_cast<InstallPage *>(wizard.page(qorwiz::Page_Install));
    QTRY_VERIFY_WITH_TIMEOUT(page->isInstalling(), kPatienceMs);

    QStringList told;
    QTimer::singleShot(0, [&told] {
        if (QMessageBox *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            told << box->text();
            box->accept();
        }
    });
    click(wizard.button(QWizard::CancelButton));
    QCOMPARE(told.size(), 1);
    QVERIFY(told.first().contains(QLatin1String("still running")));
    QVERIFY(wizard.isVisible());

    releaseInstallTool(1);
    QTRY_VERIFY_WITH_TIMEOUT(!page->isInstalling(), kPatienceMs);
    QTRY_VERIFY_WITH_TIMEOUT(wizard.button(QWizard::CancelButton)->isVisible(), kPatienceMs);
    click(wizard.button(QWizard::CancelButton));
    QVERIFY(!wizard.isVisible());
}

QTEST_MAIN(WizardPages)
#include "tst_wizard_pages.moc"
