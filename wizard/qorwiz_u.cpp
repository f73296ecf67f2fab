// PLACEHOLDER: being written (wizard shell).
#include "qorwiz_u.h"
#include "qor_build_config.h"
QString szVersion = QStringLiteral(QOR_VERSION);
qorwiz::qorwiz(QWidget *parent) : QWizard(parent), install_result(false) {}
qorwiz::~qorwiz() {}
void qorwiz::done(int result) { QWizard::done(result); }
void qorwiz::eulaAgreed() {}
void qorwiz::showHelp() {}
void qorwiz::currentIdChanged(int) {}
