// What the PackageKit client's parts share: PackageKit's names on the system
// bus, the calls made there, and the lines the client prints.
#ifndef PACKAGEKIT_BUS_U_H
#define PACKAGEKIT_BUS_U_H

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QString>
#include <QVariantList>

struct ServiceLine;

extern const char kPackageKitService[];
extern const char kPackageKitPath[];
extern const char kPackageKitInterface[];
extern const char kTransactionInterface[];
extern const char kPropertiesInterface[];

// The bus answers at once; PackageKit may first have to be started by it,
// which the bus itself bounds (25 s by default), on a busy machine too.
const int kBusAnswerMs = 10000;
// What PackageKit has to answer any call within, once running.
const int kDaemonAnswerMs = 60000;
// How long the system bus may take to accept a connection and answer.
const int kBusSetupMs = 30000;

// A call of METHOD on PackageKit's object PATH.
QDBusMessage packageKitCall(const QString &path, const char *interface, const char *method,
                            const QVariantList &arguments = QVariantList());

// A call of METHOD on the bus itself.
QDBusMessage busCall(const char *method, const QVariantList &arguments = QVariantList());

// Makes CALL and waits up to timeoutMs for its answer in an event loop of
// its own, which goes on repainting windows but takes no user input: a bus
// that does not answer freezes no window.
QDBusMessage callAndWait(QDBusConnection &bus, const QDBusMessage &call, int timeoutMs);

// Connects receiver's slots onErrorCode(uint,QString), onFinished(uint,uint),
// onPackage(uint,QString,QString), onDestroy() and
// onPropertiesChanged(QString,QVariantMap,QStringList) to the signals of
// PackageKit's transaction at path transaction, or disconnects them.
void listenToTransaction(QDBusConnection &bus, const QString &transaction, QObject *receiver, bool on);

// An error in words, with its D-Bus name.
QString inWords(const QDBusError &error);

// The locale the user reads in, for PackageKit's own messages; empty when
// the environment names none.
QString userLocale();

// Prints one record's line at once, in the encoding the install page reads;
// words of the client's own as a note.
void say(const ServiceLine &line);
void say(const QString &words);

// The last words of a run that was cancelled in time.
QString nothingInstalledAfterCancel();

#endif
