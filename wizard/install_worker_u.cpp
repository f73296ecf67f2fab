// PLACEHOLDER: being written (install worker).
#include "qorwiz_u.h"
InstallWorker::InstallWorker(QObject *parent) : QThread(parent) {}
InstallWorker::~InstallWorker() {}
void InstallWorker::run() {}
