// Whole installations through the real wizard window with the real package
// tools. Runs only inside install_system.sh (a private namespace whose
// /usr, /etc, /var and /tmp vanish afterwards); each function is started
// by name, as root or as the throwaway user that script creates.
#include "install_test_support.h"
#include "qor_build_config.h"
#include "qorwiz_u.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QTimer>
#include <QProcess>
#include <QTextEdit>
#include <QtTest>

#include <unistd.h>

class TestInstallSystem : public QObject
{
    Q_OBJECT

private:
    // Runs the wizard from the welcome page to the end of the installation;
    // returns the install page's title and the view's text.
    // exitStatus: after a failure, the wizard's status once Cancel closes it.
    static QPair<QString, QString> installThroughWizard(const InstallTarget &target = testTarget(), int *exitStatus = nullptr)
    {
        // Once the product is installed the wizard asks whether to upgrade.
        // A prerequisite box is answered with Abort and counted: no row
        // expects one.
        QTimer upgrade;
        int prerequisiteBoxes = 0;
        QObject::connect(&upgrade, &QTimer::timeout, [&prerequisiteBoxes] {
            QMessageBox *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (box && box->text().startsWith(QLatin1String("Already Installed")))
                QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
            if (box && box->windowTitle() == QLatin1String("Package Dependency Check") && box->isVisible()) {
                ++prerequisiteBoxes;
                QTest::mouseClick(box->button(QMessageBox::Abort), Qt::LeftButton);
            }
        });
        upgrade.start(50);
        qorwiz wizard;
        upgrade.stop();
        qobject_cast<InstallPage *>(wizard.page(qorwiz::Page_Install))->setInstallTarget(target);
        wizard.show();
        [&] { QVERIFY(QTest::qWaitForWindowExposed(&wizard, kPatienceMs)); }();
        QTest::mouseClick(wizard.button(QWizard::NextButton), Qt::LeftButton);
        QTest::mouseClick(wizard.page(qorwiz::Page_EULA)->findChild<QCheckBox *>(), Qt::LeftButton);
        upgrade.start(50);
        QTest::mouseClick(wizard.button(QWizard::NextButton), Qt::LeftButton);
        upgrade.stop();
        [&] { QCOMPARE(prerequisiteBoxes, 0); }();
        QWizardPage *page = wizard.page(qorwiz::Page_Install);
        [&] { QTRY_VERIFY_WITH_TIMEOUT(page->title() != QLatin1String("Installing.."), 180000); }();
        InstallPage *installPage = qobject_cast<InstallPage *>(page);
        [&] { QTRY_VERIFY_WITH_TIMEOUT(!installPage->isInstalling(), kPatienceMs); }();
        const QString title = page->title();
        const QString text = page->findChild<QTextEdit *>()->toPlainText();
        // Only Finish after success, only Cancel after failure.
        const bool success = title == QLatin1String("Finished.");
        [&] {
            QCOMPARE(wizard.button(QWizard::FinishButton)->isVisible(), success);
            QCOMPARE(wizard.button(QWizard::CancelButton)->isVisible(), !success);
            QCOMPARE(wizard.install_result, success);
        }();
        if (exitStatus && !success) {
            QTest::mouseClick(wizard.button(QWizard::CancelButton), Qt::LeftButton);
            *exitStatus = wizard.exitStatus();
        }
        return qMakePair(title, text);
    }

    static QByteArray run(const QString &program, const QStringList &args, int *exitCode = nullptr)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, args);
        p.waitForFinished(kPatienceMs);
        if (exitCode)
            *exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        return p.readAll();
    }

    static QByteArray debStatus()
    {
        return run(QStringLiteral("dpkg-query"), {QStringLiteral("-W"), QStringLiteral("-f=${Status}"), QStringLiteral("qor")});
    }

    static QByteArray installLog()
    {
        QFile log(QFile::decodeName(qgetenv("HOME")) + QStringLiteral("/.qor/install.log"));
        return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray("<no log>");
    }

    static bool copyPackage(const char *from, const QString &to)
    {
        QFile::remove(to);
        return QFile::copy(testInput(from), to)
               && QFile::setPermissions(to, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    }

private slots:
    void rootInstallsRpmWithRpm();
    void rootRpmRefusesSameVersionAgain();
    void rootInstallsUbuntuDebWithDpkg();
    void rootInstallsUbuntuWithoutPkexecOrGdebi();
    void userInstallsUbuntuDebThroughPkexecGdebi();
    void userInstallsThroughGpkInstallLocalFile();
    void userInstallsThroughPackageKit_data();
    void userInstallsThroughPackageKit();
    void userCancelsWhileAnotherProgramInstalls();
    void imageBasedSystem_data();
    void imageBasedSystem();
};

void TestInstallSystem::rootInstallsRpmWithRpm()
{
    QVERIFY(getuid() == 0);
    QVERIFY(copyPackage(QOR_DEMO_RPM, QStringLiteral(QOR_PACKAGE_PATH)));
    const auto outcome = installThroughWizard();
    QVERIFY2(outcome.first == QLatin1String("Finished."), qPrintable(outcome.first + QStringLiteral(": ") + outcome.second));
    QVERIFY2(outcome.second.endsWith(QLatin1String("Installation Succesful.")), qPrintable(outcome.second));
    int code = -1;
    QCOMPARE(run(QStringLiteral("rpm"), {QStringLiteral("-q"), QStringLiteral("qor")}, &code).trimmed(),
             QByteArray("qor-" QOR_VERSION "-1912102.rhel6.i686"));
    QCOMPARE(code, 0);
    QVERIFY(QFileInfo(QStringLiteral("/usr/bin/qor-cli")).isExecutable());
    QVERIFY2(installLog().endsWith("\nInstallation Finished"), installLog().constData());
}

void TestInstallSystem::rootRpmRefusesSameVersionAgain()
{
    QVERIFY(getuid() == 0);
    QVERIFY(copyPackage(QOR_DEMO_RPM, QStringLiteral(QOR_PACKAGE_PATH)));
    const QByteArray logBefore = installLog();
    const auto outcome = installThroughWizard();
    QVERIFY2(outcome.first == QLatin1String("Failed."), qPrintable(outcome.first + QStringLiteral(": ") + outcome.second));
    const QString trailer = QStringLiteral("\nError Code:2\nApplication:rpm\nArguments:-U;" QOR_PACKAGE_PATH);
    QVERIFY2(outcome.second.contains(QLatin1String("Failed with error :2\n")), qPrintable(outcome.second));
    QVERIFY2(outcome.second.contains(QLatin1String("is already installed")), qPrintable(outcome.second));
    QVERIFY2(outcome.second.endsWith(trailer), qPrintable(outcome.second));
    // The second record follows the first directly.
    const QByteArray log = installLog();
    QVERIFY(log.startsWith(logBefore));
    QVERIFY(log.mid(logBefore.size()).contains("is already installed"));
    QVERIFY(log.endsWith(trailer.toLatin1()));
}

void TestInstallSystem::rootInstallsUbuntuDebWithDpkg()
{
    QVERIFY(getuid() == 0);
    const QString path = QStringLiteral("/tmp/qor_demo_Ubuntu_all.deb");
    QVERIFY(copyPackage(QOR_DEMO_DEB, path));
    const auto outcome = installThroughWizard(testTarget(path, true));
    QVERIFY2(outcome.first == QLatin1String("Finished."), qPrintable(outcome.first + QStringLiteral(": ") + outcome.second));
    // The check passed with nothing to say; then dpkg's own words, once each.
    QVERIFY2(outcome.second.startsWith(QLatin1String("Selecting previously unselected package qor.")),
             qPrintable(outcome.second));
    QCOMPARE(outcome.second.count(QLatin1String("Setting up qor")), 1);
    QCOMPARE(debStatus(), QByteArray("install ok installed"));
    QVERIFY(installLog().endsWith("\nInstallation Finished"));
}

// dpkg needs neither pkexec nor gdebi: as root nothing asks for them.
void TestInstallSystem::rootInstallsUbuntuWithoutPkexecOrGdebi()
{
    QVERIFY(getuid() == 0);
    run(QStringLiteral("dpkg"), {QStringLiteral("--purge"), QStringLiteral("qor")});
    run(QStringLiteral("dpkg"), {QStringLiteral("--purge"), QStringLiteral("--force-depends"), QStringLiteral("pkexec"),
                                 QStringLiteral("gdebi-core")});
    QVERIFY(!QFile::exists(QStringLiteral("/usr/bin/pkexec")) && !QFile::exists(QStringLiteral("/usr/bin/gdebi")));
    const QString path = QStringLiteral("/tmp/qor-UBUNTU-again.deb");
    QVERIFY(copyPackage(QOR_DEMO_DEB, path));
    const auto outcome = installThroughWizard(testTarget(path, true));
    QVERIFY2(outcome.first == QLatin1String("Finished."), qPrintable(outcome.first + QStringLiteral(": ") + outcome.second));
    QVERIFY2(outcome.second.startsWith(QLatin1String("Selecting previously unselected package qor.")),
             qPrintable(outcome.second));
    QCOMPARE(debStatus(), QByteArray("install ok installed"));
}

void TestInstallSystem::userInstallsUbuntuDebThroughPkexecGdebi()
{
    QVERIFY(getuid() != 0);
    QCOMPARE(debStatus().trimmed().isEmpty() || !debStatus().contains("install ok installed"), true);
    const QString path = QStringLiteral("/tmp/qor-ubuntu-user.deb");
    QVERIFY(copyPackage(QOR_DEMO_DEB, path));
    const auto outcome = installThroughWizard(testTarget(path, true));
    QVERIFY2(outcome.first == QLatin1String("Finished."), qPrintable(outcome.first + QStringLiteral(": ") + outcome.second));
    QCOMPARE(debStatus(), QByteArray("install ok installed"));
    QVERIFY2(installLog().endsWith("\nInstallation Finished"), installLog().constData());
}

void TestInstallSystem::userInstallsThroughGpkInstallLocalFile()
{
    QVERIFY(getuid() != 0);
    QVERIFY(!debStatus().contains("install ok installed"));
    // Installed as an RPM build would: the desktop's installer takes it.
    const QString path = QStringLiteral("/tmp/qor-desktop-user.deb");
    QVERIFY(copyPackage(QOR_DEMO_DEB, path));
    const auto outcome = installThroughWizard(testTarget(path, false));
    QVERIFY2(outcome.first == QLatin1String("Finished."), qPrintable(outcome.first + QStringLiteral(": ") + outcome.second));
    QVERIFY2(outcome.second.contains(QLatin1String("Installing packages")), qPrintable(outcome.second));
    QCOMPARE(debStatus(), QByteArray("install ok installed"));
}

// Run by install_system.sh a row at a time, as a user with no pkexec and no
// gpk-install-local-file, PackageKit with its apt backend, and polkit first
// with a rule for the user, then without.
void TestInstallSystem::userInstallsThroughPackageKit_data()
{
    QTest::addColumn<QString>("packagePath");
    QTest::addColumn<QStringList>("shown"); // the last one ends the log's record

    const QString deb = QStringLiteral("/tmp/qor-ubuntu-packagekit.deb");
    QTest::newRow("deb, apt backend") << deb
        << QStringList{QStringLiteral("The package is installed by PackageKit, this system's software service. "
                                      "The system will ask for your password.\nPackageKit: asking to install ") + deb,
                       QStringLiteral("\nPackageKit: finished, the package is installed\n\nInstallation Succesful."),
                       QStringLiteral("\nInstallation Finished")};
    // install_system.sh holds the dpkg lock for 20 s as the row starts.
    QTest::newRow("another program holds the lock") << deb
        << QStringList{QStringLiteral("\nAnother program is installing or updating software (python3, process "),
                       QStringLiteral("\nPackageKit: finished, the package is installed\n\nInstallation Succesful."),
                       QStringLiteral("\nInstallation Finished")};
    QTest::newRow("the lock held beyond the wait") << deb
        << QStringList{QStringLiteral("\nAnother program kept the package manager busy for 20 seconds: nothing was "
                                      "installed. Try again once it has finished.\n"),
                       QStringLiteral("Failed with error :1\n"),
                       QStringLiteral("\nError Code:1\nApplication:PackageKit\nArguments:") + deb};
    QTest::newRow("refused by polkit") << deb
        << QStringList{QStringLiteral("\nAuthorisation was refused: installing needs an administrator's permission, "
                                      "which was not given.\nPackageKit error not-authorized (48): "),
                       QStringLiteral("Failed with error :2\n"),
                       QStringLiteral("\nError Code:2\nApplication:PackageKit\nArguments:") + deb};
}

void TestInstallSystem::userInstallsThroughPackageKit()
{
    QFETCH(QString, packagePath);
    QFETCH(QStringList, shown);
    QVERIFY(getuid() != 0);
    QVERIFY(copyPackage(QOR_DEMO_DEB, packagePath));
    const QByteArray logBefore = installLog();
    const auto outcome = installThroughWizard(testTarget(packagePath, true));
    for (const QString &text : shown.mid(0, shown.size() - 1))
        QVERIFY2(outcome.second.contains(text), qPrintable(text + QStringLiteral(" not in: ") + outcome.second));
    // PackageKit's progress came in between, whatever its words; its
    // percentages went to the bar, and to the log.
    QVERIFY2(outcome.second.count(QLatin1String("\nPackageKit: ")) >= 3, qPrintable(outcome.second));
    QVERIFY2(!outcome.second.contains(QLatin1String("% done\n")), qPrintable(outcome.second));
    // No PackageKit line repeats one of the two before it, as PackageKit's
    // flipping between two states while it waits for the lock would.
    const QStringList view = outcome.second.split(QLatin1Char('\n'));
    for (int i = 2; i < view.size(); ++i)
        QVERIFY2(!view[i].startsWith(QLatin1String("PackageKit: ")) || (view[i] != view[i - 1] && view[i] != view[i - 2]),
                 qPrintable(view.mid(i - 2, 3).join(QLatin1Char('\n'))));
    QCOMPARE(debStatus() == "install ok installed", shown.last() == QLatin1String("\nInstallation Finished"));
    const QByteArray record = installLog().mid(logBefore.size());
    QVERIFY2(record.startsWith("PackageKit: asking to install " + packagePath.toLocal8Bit() + " (backend: apt)\n")
             && record.endsWith(shown.last().toLocal8Bit()), record.constData());
    QVERIFY2(!record.contains("Installation Finished") || record.contains("% done\n"), record.constData());
    // A lock's holder is waited out, not asked about again and again.
    QVERIFY2(record.count("\nAnother program is installing") <= 1, record.constData());
}

// install_system.sh holds the dpkg lock while this runs: Cancel, pressed
// while the installation waits for it, cancels it, and the wizard ends.
void TestInstallSystem::userCancelsWhileAnotherProgramInstalls()
{
    QVERIFY(getuid() != 0);
    const QString deb = QStringLiteral("/tmp/qor-ubuntu-cancelled.deb");
    QVERIFY(copyPackage(QOR_DEMO_DEB, deb));
    const QByteArray logBefore = installLog();
    qorwiz wizard;
    qobject_cast<InstallPage *>(wizard.page(qorwiz::Page_Install))->setInstallTarget(testTarget(deb, true));
    wizard.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wizard, kPatienceMs));
    QTest::mouseClick(wizard.button(QWizard::NextButton), Qt::LeftButton);
    QTest::mouseClick(wizard.page(qorwiz::Page_EULA)->findChild<QCheckBox *>(), Qt::LeftButton);
    QTest::mouseClick(wizard.button(QWizard::NextButton), Qt::LeftButton);
    QTextEdit *view = wizard.page(qorwiz::Page_Install)->findChild<QTextEdit *>();
    QTRY_VERIFY_WITH_TIMEOUT(view->toPlainText().contains(QLatin1String("Another program is installing")), 120000);
    QTest::mouseClick(wizard.button(QWizard::CancelButton), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!wizard.isVisible(), kPatienceMs);
    QCOMPARE(wizard.exitStatus(), QOR_WIZARD_EXIT_CANCELLED);
    QVERIFY(!debStatus().contains("install ok installed"));
    const QByteArray record = installLog().mid(logBefore.size());
    QVERIFY2(record.contains("\nThe installation was cancelled: nothing was installed.\n")
             && record.endsWith("\nError Code:5\nApplication:PackageKit\nArguments:" + deb.toLocal8Bit()),
             record.constData());
}

// Run by install_system.sh a row at a time on an image-based system made for
// real (image_system.sh), with stand-ins for rpm-ostree and transactional-update.
void TestInstallSystem::imageBasedSystem_data()
{
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QByteArray>("toolCalls"); // what the stand-in recorded; empty: it never ran
    const QString user = QStringLiteral("This is %1: its /usr is read-only, and rpm cannot install there. A package is "
        "layered onto the system with the system's own tool, %2, and takes effect at the next start. Setup does that "
        "only when it runs as root: nothing was changed.\nTo install from a terminal instead, run the installer as "
        "root, for example: sudo ");
    QTest::newRow("root, rpm-ostree stand-in")
        << QStringLiteral("stand-in rpm-ostree: install --idempotent --apply-live " QOR_PACKAGE_PATH "\nNo restart is "
                          "needed: the package is in use on the running system already.\n\nInstallation Succesful.")
        << QByteArray("rpm-ostree uid=0 package=present install --idempotent --apply-live " QOR_PACKAGE_PATH "\n");
    QTest::newRow("user, rpm-ostree stand-in") << user.arg(QStringLiteral("an rpm-ostree system (Fedora Atomic, "
        "Universal Blue)"), QStringLiteral("rpm-ostree")) << QByteArray();
    QTest::newRow("user, transactional-update stand-in") << user.arg(QStringLiteral("a transactional system (openSUSE "
        "Aeon, Kalpa, MicroOS)"), QStringLiteral("transactional-update")) << QByteArray();
}

void TestInstallSystem::imageBasedSystem()
{
    QFETCH(QString, shown);
    QFETCH(QByteArray, toolCalls);
    QVERIFY(copyPackage(QOR_DEMO_RPM, QStringLiteral(QOR_PACKAGE_PATH)));
    const QByteArray logBefore = installLog();
    int status = QOR_WIZARD_EXIT_INSTALLED;
    const auto outcome = installThroughWizard(testTarget(), &status);
    QVERIFY2(outcome.second.contains(shown), qPrintable(outcome.second));
    QFile calls(QStringLiteral("/run/qor-image-tool.log"));
    QCOMPARE(calls.open(QIODevice::ReadOnly) ? calls.readAll() : QByteArray(), toolCalls);
    // A user's run touches nothing: no tool, no record, the package as it was.
    QCOMPARE(status, toolCalls.isEmpty() ? QOR_WIZARD_EXIT_FAILED : QOR_WIZARD_EXIT_INSTALLED);
    QCOMPARE(installLog() == logBefore, toolCalls.isEmpty());
    QVERIFY(QFile::exists(QStringLiteral(QOR_PACKAGE_PATH)));
}

QTEST_MAIN(TestInstallSystem)
#include "tst_install_system.moc"
