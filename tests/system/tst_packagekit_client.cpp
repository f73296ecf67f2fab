// The wizard's PackageKit mode as a process of its own, against the real
// packagekitd (apt backend), as a user who is not root. Run as root by
// install_system.sh (group packagekit), whose steps it calls back: as-user
// runs a command as that user, restart-bus starts both daemons anew.
#include "../table_steps.h"
#include "../test_waits.h"

// What is done to the daemon once the transaction runs (pkill's signal),
// the system bus, the package path, the exit status and a line of the mode's own.
struct Row { QString signal, bus, path; int status; QByteArray line; };
Q_DECLARE_METATYPE(Row)

class PackageKitClient : public QObject
{
    Q_OBJECT

public:
    static QString skipReason() { return QString(); }

private:
    const QString steps = qEnvironmentVariable("QOR_STEPS"), wizard = qEnvironmentVariable("QOR_WIZARD");

private slots:
    void refusesOrReportsTheDaemonsEnd_data()
    {
        QTest::addColumn<Row>("row");
        const QString deb = "/tmp/qor-ubuntu-pk.deb", noBus = "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/bus";
        QTest::newRow("relative") << Row{"", "", "qor-ubuntu-pk.deb", 1, "(org.freedesktop.PackageKit.Transaction.NoSuchFile)"};
        QTest::newRow("missing") << Row{"", "", "/tmp/no-such-ubuntu.deb", 1, "PackageKit refused: installing /tmp/no-such-ubuntu.deb:"};
        QTest::newRow("rpm") << Row{"", "", "/tmp/qor-pk.rpm", 4, "PackageKit on this system cannot install this kind of package (application/x-rpm)"};
        QTest::newRow("killed") << Row{"-KILL", "", deb, 3, "PackageKit stopped before the installation ended: the package may not be installed."};
        QTest::newRow("hung") << Row{"-STOP", "", deb, 3, "(org.freedesktop.DBus.Error.NoReply)"};
        QTest::newRow("no bus") << Row{"", noBus, deb, 3, "nor PackageKit is available on this system: the system bus cannot be reached:"};
    }
    void refusesOrReportsTheDaemonsEnd()
    {
        QFETCH(Row, row);
        const auto restart = run_step(steps, {"restart-bus"}, 300000);
        QVERIFY2(restart.first == 0, restart.second);
        Step client(steps, QStringList{"as-user", row.bus, wizard, "--install-with-packagekit", row.path}.filter(QRegularExpression(".")));
        if (!row.signal.isEmpty()) {
            // Frozen or gone while it works, so the row does not depend on how fast it is.
            client.awaitLine("PackageKit: loading the cache", kPatienceMs);
            run_step("pkill", {row.signal, "-x", "packagekitd"}, kPatienceMs);
        }
        // A hung daemon costs the mode's whole minute of patience.
        const int seen = client.finish(300000);
        QVERIFY2(seen == row.status && client.output.contains(row.line),
                 qPrintable(QString("status %1, expected %2 and '%3':\n%4").arg(seen).arg(row.status).arg(QString(row.line), QString(client.output))));
        QVERIFY2(run_step("dpkg-query", {"-W", "qor"}, kPatienceMs).first != 0, "qor got installed");
    }
    // A stopped daemon ends here, whatever the row saw.
    void cleanup() { run_step("pkill", {"-KILL", "-x", "packagekitd"}, kPatienceMs); }
};

QOR_TABLE_MAIN(PackageKitClient)
#include "tst_packagekit_client.moc"
