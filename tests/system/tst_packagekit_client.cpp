// The wizard's PackageKit mode as a process of its own, against the real
// packagekitd (apt backend), as a user who is not root. Run as root by
// install_system.sh (group packagekit), whose steps it calls back: as-user
// runs a command as that user, restart-bus starts both daemons anew.
#include "../table_steps.h"
#include "../test_waits.h"

class PackageKitClient : public QObject
{
    Q_OBJECT

public:
    static QString skipReason() { return QString(); }

private:
    const QString steps = qEnvironmentVariable("QOR_STEPS"), wizard = qEnvironmentVariable("QOR_WIZARD");

private slots:
    // Row: what is done to the daemon once the transaction runs, the system
    // bus, the package path, the exit status and a line of the mode's own.
    void refusesOrReportsTheDaemonsEnd_data()
    {
        for (const char *column : {"action", "bus", "path", "line"})
            QTest::addColumn<QByteArray>(column);
        QTest::addColumn<int>("status");
        const auto row = [](const char *name, const char *action, const char *bus, const char *path, int status,
                            const char *line) { QTest::newRow(name) << QByteArray(action) << QByteArray(bus)
                                                                   << QByteArray(path) << QByteArray(line) << status; };
        const char *deb = "/tmp/qor-ubuntu-pk.deb", *noBus = "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/bus";
        row("relative", "", "", "qor-ubuntu-pk.deb", 1, "(org.freedesktop.PackageKit.Transaction.NoSuchFile)");
        row("missing", "", "", "/tmp/no-such-ubuntu.deb", 1, "PackageKit refused: installing /tmp/no-such-ubuntu.deb:");
        row("rpm", "", "", "/tmp/qor-pk.rpm", 4, "PackageKit on this system cannot install this kind of package (application/x-rpm)");
        row("killed", "kill", "", deb, 3, "PackageKit stopped before the installation ended: the package may not be installed.");
        row("hung", "stop", "", deb, 3, "(org.freedesktop.DBus.Error.NoReply)");
        row("no bus", "", noBus, deb, 3, "nor PackageKit is available on this system: the system bus cannot be reached:");
    }
    void refusesOrReportsTheDaemonsEnd()
    {
        QFETCH(QByteArray, action);
        QFETCH(QByteArray, bus);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, line);
        QFETCH(int, status);
        const auto restart = run_step(steps, {"restart-bus"}, 300000);
        QVERIFY2(restart.first == 0, restart.second);
        QStringList args{"as-user"};
        if (!bus.isEmpty())
            args << bus;
        Step client(steps, args << wizard << "--install-with-packagekit" << path);
        if (!action.isEmpty()) {
            // Frozen while it works, so the row does not depend on how fast it is.
            client.awaitLine("PackageKit: loading the cache", kPatienceMs);
            run_step("pkill", {action == "kill" ? "-KILL" : "-STOP", "-x", "packagekitd"}, kPatienceMs);
        }
        // A hung daemon costs the mode's whole minute of patience.
        const int seen = client.finish(300000);
        QVERIFY2(seen == status && client.output.contains(line),
                 qPrintable(QString("status %1, expected %2 and '%3':\n%4").arg(seen).arg(status)
                                .arg(QString(line), QString(client.output))));
        QVERIFY2(run_step("dpkg-query", {"-W", "qor"}, kPatienceMs).first != 0, "qor got installed");
    }
    // A stopped daemon ends here, whatever the row saw.
    void cleanup() { run_step("pkill", {"-KILL", "-x", "packagekitd"}, kPatienceMs); }
};

QOR_TABLE_MAIN(PackageKitClient)
#include "tst_packagekit_client.moc"
