// The install log in the user's home folder: opening it, and appending a
// run's record.
#ifndef INSTALL_LOG_U_H
#define INSTALL_LOG_U_H

#include <QByteArray>
#include <QString>

// Opens home/.qor/install.log for appending, creating the folder (one level)
// and the file when missing. The wizard may run as root with the HOME of
// another user, who could have put a link in place to make root write
// elsewhere: neither the folder nor the file is reached through a symbolic
// link, and both must belong to the user the wizard runs as. Returns the
// descriptor (close-on-exec), or -1 with *problem saying, for the user,
// why no log is written.
int openInstallLog(const QByteArray &home, QString *problem);

// The file that openInstallLog opens for the home folder HOME.
QByteArray installLogPath(const QByteArray &home);

// Appends a run's record to the install log in home, under the log's lock,
// which every run holds while it appends. The record counts as written
// only once the file system has it; one that cannot be written whole is
// taken out again, so the log holds whole records only. False when no
// record was written, with *problem saying, for the user, why.
bool appendInstallRecord(const QByteArray &home, const QByteArray &record, QString *problem);

#endif
