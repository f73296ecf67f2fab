// PLACEHOLDER: being written (welcome and licence pages).
#include "qorwiz_u.h"
IntroPage::IntroPage(QWidget *parent) : QWizardPage(parent), topLabel(0), isInitialized(false) {}
IntroPage::~IntroPage() {}
void IntroPage::initializePage() {}
int IntroPage::nextId() const { return qorwiz::Page_EULA; }
EULAPage::EULAPage(QWidget *parent) : QWizardPage(parent), eulaTextEdit(0), agreeCheckBox(0), isInitialized(false) {}
EULAPage::~EULAPage() {}
void EULAPage::initializePage() {}
int EULAPage::nextId() const { return qorwiz::Page_Install; }
bool EULAPage::getChecked() const { return false; }
void EULAPage::printButtonClicked() {}
