// PLACEHOLDER: being written (install page).
#include "qorwiz_u.h"
InstallPage::InstallPage(QWidget *parent) : QWizardPage(parent), bottomLabel(0), progressEdit(0), thread_process(0), isInitialized(false) {}
InstallPage::~InstallPage() {}
void InstallPage::initializePage() {}
int InstallPage::nextId() const { return -1; }
bool InstallPage::isInstalling() const { return false; }
void InstallPage::process_readData(const char *) {}
void InstallPage::process_finished(int, const char *) {}
