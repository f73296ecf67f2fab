// The welcome page and the licence page.
#include "qorwiz_u.h"

#include <QByteArray>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QPixmap>
#include <QPrintDialog>
#include <QPrinter>
#include <QTextEdit>
#include <QTextOption>
#include <QVBoxLayout>

#include "qor_build_config.h"

IntroPage::IntroPage(QWidget *parent)
    : QWizardPage(parent),
      topLabel(0),
      isInitialized(false)
{
    setTitle(QString::fromLatin1("Welcome to the Pellandor\nTolmerin ") + szVersion
             + QString::fromLatin1(" \nSetup Wizard"));
    setPixmap(QWizard::WatermarkPixmap, artwork(":/res/watermark.png"));

    topLabel = new QLabel(QString::fromLatin1("This Setup Wizard will install Pellandor Tolmerin ")
                          + szVersion
                          + QString::fromLatin1(" on your computer. Click Next to continue or "
                                                "Cancel to exit the Setup Wizard."));
    topLabel->setWordWrap(true);

    QVBoxLayout *layout = new QVBoxLayout;
    layout->addWidget(topLabel);
    setLayout(layout);
}

IntroPage::~IntroPage()
{
}

void IntroPage::initializePage()
{
    if (!isInitialized)
        isInitialized = true;
}

int IntroPage::nextId() const
{
    return qorwiz::Page_EULA;
}

EULAPage::EULAPage(QWidget *parent)
    : QWizardPage(parent),
      eulaTextEdit(0),
      agreeCheckBox(0),
      isInitialized(false)
{
    setTitle(tr("End-User License Agreement"));
    setSubTitle(tr("<br>Please read the following license agreement carefully."));

    eulaTextEdit = new QTextEdit;
    eulaTextEdit->setWordWrapMode(QTextOption::WordWrap);

    // Read once, when the wizard starts: the launcher wrote the file before
    // starting us. A missing or unreadable file leaves the view empty; the
    // licence text itself is 8-bit and ends at its first zero byte.
    QFile licence(QString::fromLatin1(QOR_LICENSE_PATH));
    if (licence.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = licence.readAll();
        eulaTextEdit->setText(QString::fromLatin1(bytes.constData()));
        licence.close();
    }
    eulaTextEdit->setReadOnly(true);

    agreeCheckBox = new QCheckBox(tr("I agree to the terms of the license"));
    agreeCheckBox->setChecked(false);

    QVBoxLayout *layout = new QVBoxLayout;
    layout->addWidget(eulaTextEdit);
    layout->addWidget(agreeCheckBox);
    setLayout(layout);
}

EULAPage::~EULAPage()
{
}

void EULAPage::initializePage()
{
    // The wizard calls this on every forward entry: wire up only once, or a
    // click on Print would open one dialog per earlier visit.
    if (!isInitialized) {
        isInitialized = true;
        wizard()->setButtonText(QWizard::CustomButton1, tr("&Print"));
        wizard()->setOption(QWizard::HaveCustomButton1, true);
        connect(agreeCheckBox, SIGNAL(clicked()), wizard(), SLOT(eulaAgreed()));
        // Print's own button: the wizard's other custom buttons are not Print.
        connect(wizard()->button(QWizard::CustomButton1), SIGNAL(clicked()), this, SLOT(printButtonClicked()));
    }

    // Acceptance is never carried over from an earlier visit.
    agreeCheckBox->setChecked(false);
}

int EULAPage::nextId() const
{
    // Our own id, not -1, while the box is clear: the page keeps its Next
    // button (rather than Finish) and a request to go on stays here.
    return agreeCheckBox->isChecked() ? qorwiz::Page_Install : qorwiz::Page_EULA;
}

bool EULAPage::getChecked() const
{
    return agreeCheckBox ? agreeCheckBox->isChecked() : false;
}

void EULAPage::printButtonClicked()
{
    QPrinter printer(QPrinter::ScreenResolution);
    QPrintDialog dialog(&printer, this);
    if (dialog.exec() == QDialog::Accepted)
        eulaTextEdit->print(&printer);
}
