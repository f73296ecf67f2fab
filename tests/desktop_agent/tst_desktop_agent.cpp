// The Ubuntu release installer as a user who is not root meets it on a stock
// Debian 13 desktop: PackageKit installs, and a real graphical polkit agent
// asks for the password. Each row is one run by agent_row.sh, which leaves
// facts (the launcher's status and output, the install log, what dpkg has
// installed, what is left running); the rows judge our own texts and those
// facts, never what the agent or PackageKit say.
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr int kCleanUpMs = 60000;
const QString kPackagePath = QStringLiteral("/tmp/qor-3.1.1.1912102.ubuntu.amd64.deb");

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// "key: value" lines, the value trimmed (an empty one is a fact too).
QMap<QString, QString> parseFacts(const QString &text)
{
    QMap<QString, QString> facts;
    for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const int colon = line.indexOf(QLatin1String(": "));
        if (colon > 0)
            facts.insert(line.left(colon), line.mid(colon + 2).trimmed());
        else if (line.endsWith(QLatin1Char(':')))
            facts.insert(line.left(line.size() - 1), QString());
    }
    return facts;
}

QString lastLine(const QString &text)
{
    const QStringList lines = text.trimmed().split(QLatin1Char('\n'));
    return lines.last();
}

} // namespace

class TestDesktopAgent : public QObject
{
    Q_OBJECT

private:
    QString rootDir;
    QString launcher;

private slots:
    void initTestCase()
    {
        // The root the first time on a machine, and the release build: many minutes.
        QProcess prepare;
        prepare.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        prepare.start(QStringLiteral(QOR_AGENT_DIR "/prepare.sh"),
                      {QStringLiteral(QOR_SOURCE_DIR), QStringLiteral(QOR_WORK_DIR), QStringLiteral(QOR_CMAKE),
                       QStringLiteral(QOR_DEMO_DEB)});
        QVERIFY(prepare.waitForFinished(50 * 60 * 1000));
        QCOMPARE(prepare.exitCode(), 0);
        const QStringList lines = QString::fromUtf8(prepare.readAllStandardOutput()).split(QLatin1Char('\n'));
        QVERIFY(lines.size() >= 2);
        rootDir = lines.at(0);
        launcher = lines.at(1);
    }

    void row_data()
    {
        QTest::addColumn<QString>("step");
        // Facts that must hold, as agent_row.sh writes them.
        QTest::addColumn<QStringList>("facts");
        QTest::addColumn<QString>("outputEnd");
        // Lines the install log must hold (a trailing "*": a line that starts so).
        QTest::addColumn<QStringList>("logLines");
        QTest::addColumn<QString>("logEnd");

        const QString installed = QStringLiteral("installed: install ok installed");
        const QString nothing = QStringLiteral("installed:");
        const QString noFiles = QStringLiteral("package files left: 0");
        const QString shown = QStringLiteral("dialog: shown");
        const QString finished = QStringLiteral("Installation Finished");
        const QString record = QStringLiteral("\nApplication:PackageKit\nArguments:") + kPackagePath;

        QTest::newRow("password typed") << "password" << QStringList{shown, QStringLiteral("status: 0"), installed, noFiles}
                                        << finished << QStringList{finished} << finished;
        QTest::newRow("dialog dismissed")
            << "dismiss" << QStringList{shown, QStringLiteral("status: 2"), nothing, noFiles}
            << "Installation failed: the product was not installed; the setup window showed why."
            << QStringList{QStringLiteral("Authorisation was refused*")} << QString(QStringLiteral("Error Code:2") + record);
        QTest::newRow("cancelled while the dialog is open")
            << "cancel"
            << QStringList{shown, QStringLiteral("dialog after cancel: gone"), QStringLiteral("status: 3"), nothing, noFiles}
            << "Installation cancelled: nothing was installed."
            << QStringList{QStringLiteral("The installation was cancelled: nothing was installed.")}
            << QString(QStringLiteral("Error Code:5") + record);
        // Neither the client nor its transaction outlives the wizard.
        QTest::newRow("wizard killed while the dialog is open")
            << "kill"
            << QStringList{shown, QStringLiteral("clients left: 0"), QStringLiteral("transactions left: 0"), nothing, noFiles}
            << QString() << QStringList() << QString();
        // PackageKit 1.3.1 gives up on the lock after 10 s; the wizard tries
        // again once the holder has gone, and polkit asks for the unsigned
        // file's password once per attempt (auth_admin is not kept): twice,
        // however long the holder takes.
        for (const char *seconds : {"40", "90"})
            QTest::newRow(qPrintable(QStringLiteral("dpkg's lock held for %1 s").arg(QLatin1String(seconds))))
                << QStringLiteral("lock:%1").arg(QLatin1String(seconds))
                << QStringList{shown, QStringLiteral("dialogs: 2"), QStringLiteral("status: 0"), installed, noFiles}
                << finished
                << QStringList{QStringLiteral("Another program is installing or updating software (python3, process *"),
                               finished}
                << finished;
    }

    void row()
    {
        QFETCH(QString, step);
        QFETCH(QStringList, facts);
        QFETCH(QString, outputEnd);
        QFETCH(QStringList, logLines);
        QFETCH(QString, logEnd);

        QTemporaryDir factsDir;
        QVERIFY(factsDir.isValid());
        QProcess run;
        run.setProcessChannelMode(QProcess::MergedChannels);
        run.start(QStringLiteral(QOR_AGENT_DIR "/agent_row.sh"),
                  {step, rootDir, launcher, QStringLiteral(QOR_XVFB_RUN), factsDir.path()});
        // The lock row may wait out PackageKit's retries; the script bounds every wait.
        if (!run.waitForFinished(30 * 60 * 1000)) {
            // The row's namespace, session and overlay are cleared up on SIGTERM.
            run.terminate();
            run.waitForFinished(kCleanUpMs);
            QFAIL("the row did not end in 30 minutes");
        }
        const QString dir = factsDir.path() + QLatin1Char('/');
        const QString factText = readText(dir + QLatin1String("facts"));
        const QString output = readText(dir + QLatin1String("out"));
        const QString log = readText(dir + QLatin1String("log"));
        const QByteArray story = (QStringLiteral("\nrun:\n") + QString::fromUtf8(run.readAll()) + QLatin1String("\nfacts:\n")
                                  + factText + QLatin1String("\noutput:\n") + output + QLatin1String("\nlog:\n") + log
                                  + QLatin1String("\npackagekitd:\n") + readText(dir + QLatin1String("packagekitd")))
                                     .toUtf8();
        QVERIFY2(run.exitStatus() == QProcess::NormalExit && run.exitCode() == 0, story.constData());

        const QMap<QString, QString> found = parseFacts(factText);
        for (const auto &fact : parseFacts(facts.join(QLatin1Char('\n'))).toStdMap())
            QVERIFY2(found.contains(fact.first) && found.value(fact.first) == fact.second,
                     (fact.first + QLatin1String(" should be '") + fact.second + QLatin1String("'") + story).toUtf8().constData());
        if (!outputEnd.isEmpty())
            QVERIFY2(lastLine(output) == outputEnd, story.constData());
        const QStringList lines = log.split(QLatin1Char('\n'));
        for (const QString &wanted : logLines) {
            const bool prefix = wanted.endsWith(QLatin1Char('*'));
            const QString text = prefix ? wanted.chopped(1) : wanted;
            const bool there = std::any_of(lines.begin(), lines.end(), [&](const QString &line) {
                return prefix ? line.startsWith(text) : line == text;
            });
            QVERIFY2(there, (QLatin1String("the log has no line '") + wanted + QLatin1String("'") + story).toUtf8().constData());
        }
        if (!logEnd.isEmpty())
            QVERIFY2(log.trimmed().endsWith(logEnd), story.constData());
    }
};

int main(int argc, char **argv)
{
    if (geteuid() != 0) {
        std::puts("tst_desktop_agent: needs root for namespaces, cgroups and mmdebstrap; skipped");
        return 77;
    }
    QCoreApplication app(argc, argv);
    TestDesktopAgent test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_desktop_agent.moc"
