// PLACEHOLDER: being written (Ubuntu prerequisite check).
#include "qorwiz_u.h"
bool qorwiz::prereqCheckUbuntu(QStringList, QString &errorString) { errorString.clear(); return true; }
