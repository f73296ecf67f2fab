// What the package-service clients and the wizard ask of the system bus:
// the services' names there, the calls made on the bus itself, a wait for
// an answer that freezes no window, and whether a service can be reached.
#ifndef SERVICE_BUS_U_H
#define SERVICE_BUS_U_H

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QString>
#include <QVariantList>

extern const char kPackageKitService[];
extern const char kPackageKitPath[];
extern const char kPackageKitInterface[];
extern const char kTransactionInterface[];
extern const char kPropertiesInterface[];
extern const char kDnf5DaemonService[];

// The bus answers at once; PackageKit may first have to be started by it,
// which the bus itself bounds (25 s by default), on a busy machine too.
const int kBusAnswerMs = 10000;
// What PackageKit has to answer any call within, once running.
const int kDaemonAnswerMs = 60000;
// How long the system bus may take to accept a connection and answer.
const int kBusSetupMs = 30000;

// Makes CALL and waits up to timeoutMs for its answer in an event loop of
// its own, which goes on repainting windows but takes no user input: a bus
// that does not answer freezes no window.
QDBusMessage callAndWait(QDBusConnection &bus, const QDBusMessage &call, int timeoutMs);

// An error in words, with its D-Bus name.
QString inWords(const QDBusError &error);

// The last words of a run that was cancelled in time.
QString nothingInstalledAfterCancel();

#endif
