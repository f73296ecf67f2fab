// The licence page: what its view shows of the licence file, and printing
// the licence.
#include <QLineEdit>
#include <QPrintDialog>
#include <QProcess>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

#include "qorwiz_u.h"
#include "startup_u.h"
#include "wizard_test_support.h"

class LicencePage : public QObject
{
    Q_OBJECT

public:
    static void initMain() { prepareWizardStart(); }

private slots:
    void initTestCase();
    void licenceView_data();
    void licenceView();
    void printOpensOneDialogAfterRevisits();
    void printsLicenceToPdf();

private:
    StandinPath standins;
    LicenceFile licence;
};

static const QByteArray licenceText =
    "PELLANDOR TEST LICENCE\nThe licensee may install this software.\nSecond paragraph.\n";

void LicencePage::initTestCase()
{
    QVERIFY(licence.write(licenceText));
}

void LicencePage::licenceView_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("shown");

    QByteArray high;
    QString highText;
    for (int c = 0x80; c <= 0xFF; ++c) {
        high.append(char(c));
        highText.append(QChar(c));
    }

    QTest::newRow("plain text keeps its lines")
        << true << QByteArray("one\ntwo\n\nfour") << QStringLiteral("one\ntwo\n\nfour");
    QTest::newRow("ends at a zero byte")
        << true << QByteArray("before\0after", 12) << QStringLiteral("before");
    QTest::newRow("Latin-1 bytes 0x80 to 0xFF") << true << high << highText;
    QTest::newRow("leading HTML tag is markup")
        << true << QByteArray("<b>Bold</b> terms") << QStringLiteral("Bold terms");
    QTest::newRow("tag after the first line is text")
        << true << QByteArray("Terms\n<b>x</b>") << QStringLiteral("Terms\n<b>x</b>");
    QTest::newRow("empty file") << true << QByteArray() << QString();
    QTest::newRow("missing file") << false << QByteArray() << QString();
}

void LicencePage::licenceView()
{
    QFETCH(bool, present);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, shown);

    if (present)
        QVERIFY(licence.write(bytes));
    else
        QVERIFY(licence.remove());
    EULAPage page;
    QVERIFY(licence.write(licenceText));

    QTextEdit *view = page.findChild<QTextEdit *>();
    QVERIFY(view);
    // The raw text keeps every character (toPlainText would turn U+00A0
    // into a space); paragraph ends become line ends for comparison.
    QString text = view->document()->toRawText();
    text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    QCOMPARE(text, shown);

    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page, kPatienceMs));
    QVERIFY(view->isReadOnly());
    view->setFocus();
    QTest::keyClicks(view, QStringLiteral("typed"));
    QTest::keyClick(view, Qt::Key_Backspace);
    QTest::keyClick(view, Qt::Key_V, Qt::ControlModifier);
    QString after = view->document()->toRawText();
    after.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    QCOMPARE(after, shown);
}

void LicencePage::printOpensOneDialogAfterRevisits()
{
    qorwiz wizard;
    wizard.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wizard, kPatienceMs));
    for (QWizard::WizardButton which : { QWizard::NextButton, QWizard::BackButton, QWizard::NextButton,
                                         QWizard::BackButton, QWizard::NextButton })
        click(wizard.button(which));
    QCOMPARE(wizard.currentId(), int(qorwiz::Page_EULA));

    // Each rejection ends one dialog (a second one may well reuse the
    // first one's address, so count rejections, not pointers).
    int dialogs = 0;
    QTimer closer;
    connect(&closer, &QTimer::timeout, [&dialogs] {
        QPrintDialog *dialog = qobject_cast<QPrintDialog *>(QApplication::activeModalWidget());
        if (dialog && dialog->isVisible()) {
            ++dialogs;
            dialog->reject();
        }
    });
    closer.start(20);
    click(wizard.button(QWizard::CustomButton1));
    closer.stop();
    QCOMPARE(dialogs, 1);
}

void LicencePage::printsLicenceToPdf()
{
    qorwiz wizard;
    wizard.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wizard, kPatienceMs));
    click(wizard.button(QWizard::NextButton));

    // There is no print server: the dialog offers printing to a PDF file,
    // whose name the user types.
    const QString pdf = standins.file(QStringLiteral("licence print.pdf"));
    bool accepted = false;
    QTimer::singleShot(0, [&] {
        QPrintDialog *dialog = qobject_cast<QPrintDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        QLineEdit *fileName = dialog->findChild<QLineEdit *>(QStringLiteral("filename"));
        if (fileName) {
            fileName->setText(pdf);
            QTest::keyClick(dialog, Qt::Key_Return);
            accepted = true;
        } else {
            dialog->reject();
        }
    });
    click(wizard.button(QWizard::CustomButton1));
    QVERIFY2(accepted, "no print dialog with a file name field");
    QVERIFY(QFile::exists(pdf));

    QProcess pdftotext;
    pdftotext.start(QStringLiteral("pdftotext"), { pdf, QStringLiteral("-") });
    QVERIFY(pdftotext.waitForFinished(kPatienceMs));
    QCOMPARE(pdftotext.exitCode(), 0);
    const QByteArray text = pdftotext.readAllStandardOutput();
    QVERIFY2(text.contains("PELLANDOR TEST LICENCE") && text.contains("Second paragraph."),
             text.constData());
}

QTEST_MAIN(LicencePage)
#include "tst_licence_page.moc"
