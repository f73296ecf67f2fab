// Asks an installed product for its version before the wizard is built.
#include "check_bounds_u.h"
#include "qorwiz_u.h"

#include <QByteArray>
#include <QMessageBox>
#include <QProcess>

bool qorwiz::installCheck()
{
    QProcess process(this);
    process.start(QString::fromLatin1("qor-cli"), QStringList() << QString::fromLatin1("-v"),
                  QIODevice::ReadOnly);
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
