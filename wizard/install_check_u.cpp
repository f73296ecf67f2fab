// Asks an installed product for its version before the wizard is built.
#include "check_bounds_u.h"
#include "qorwiz_u.h"

#include <QByteArray>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>

// The package puts the client into /usr/bin, on an image-based system too:
// rpm-ostree layers it into /usr like any package, and applied live it is
// there at once. What differs there is time: a package staged for the next
// start (where rpm-ostree could not apply it live, and always on a
// transactional system) is not in the running system's /usr until then, so
// the product counts as not installed, and installing it once more changes
// nothing (rpm-ostree's --idempotent). The search path comes first, as it
// always did; a path that lacks the system's folders (a wizard started
// with a reduced environment) still finds the client where packages put it.
static QString qorCliProgram()
{
    const QString name = QString::fromLatin1("qor-cli");
    QString program = QStandardPaths::findExecutable(name);
    if (program.isEmpty())
        program = QStandardPaths::findExecutable(name, {QStringLiteral("/usr/bin"), QStringLiteral("/usr/local/bin")});
    return program.isEmpty() ? name : program;
}

bool qorwiz::installCheck()
{
    QProcess process(this);
    process.start(qorCliProgram(), QStringList() << QString::fromLatin1("-v"), QIODevice::ReadOnly);
    if (!process.waitForStarted(kCheckStartMs))
        return false;

    if (!process.waitForFinished(kCheckAnswerMs)) {
        process.kill();
        process.waitForFinished(kCheckReapMs);
        return false;
    }

    const QByteArray output = process.readAllStandardOutput();
    QString version = QString::fromUtf8(output.constData(), qstrnlen(output.constData(), output.size()));

    // A client killed by a signal has not answered, whatever its code reads.
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return false;

    QMessageBox question;
    question.setText(QString::fromLatin1("Already Installed. Do you want to upgrade from"));
    version.remove(QString::fromLatin1("EC_generateKey_FIPS_consistancy_test: GOOD Signature Verify!"),
                   Qt::CaseSensitive);
    version.remove(QLatin1Char('\r'));
    version.remove(QLatin1Char('\n'));
    question.setInformativeText(version);
    question.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
    question.setDefaultButton(QMessageBox::Ok);
    question.setIcon(QMessageBox::Warning);

    if (question.exec() == QMessageBox::Ok) {
        process.close();
        return false;
    }
    return true;
}
