// PLACEHOLDER: being written (wizard entry).
#include "qorwiz_u.h"
#include <QApplication>
int main(int argc, char **argv) { QApplication app(argc, argv); qorwiz w; w.show(); return app.exec(); }
