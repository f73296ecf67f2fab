// The wizard's PackageKit mode as a process of its own, against the real
// packagekitd (apt backend), as a user who is not root. Run as root by
// install_system.sh (group packagekit), whose steps it calls back: as-user
// runs a command as that user, restart-bus starts both daemons anew,
// hold-lock holds dpkg's lock as another package manager would, until
// release-lock.
#include "../table_steps.h"
#include "../test_waits.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

// What is done to the daemon once the transaction runs (pkill's signal),
// the client's environment, the package path, the exit status and a line of
// the client's own; the line after which the signal goes, and whether dpkg's
// lock is held from the start until then.
struct Row { QString signal, env, path; int status; QByteArray line; QByteArray signalAfter = "PackageKit: loading the cache"; bool locked = false; };
Q_DECLARE_METATYPE(Row)

class PackageKitClient : public QObject
{
    Q_OBJECT

public:
    static QString skipReason() { return QString(); }

private:
    const QString steps = qEnvironmentVariable("QOR_STEPS"), wizard = qEnvironmentVariable("QOR_WIZARD");
    const QString silentBus = "/tmp/qor-silent-bus";
    int silentSocket = -1;

private slots:
    void refusesOrReportsTheDaemonsEnd_data()
    {
        QTest::addColumn<Row>("row");
        const QString deb = "/tmp/qor-ubuntu-pk.deb", noBus = "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/bus";
        QTest::newRow("relative, installs") << Row{"", "", "qor-ubuntu-pk.deb", 0, "PackageKit: asking to install " + deb.toUtf8() + " (backend: apt)\n"};
        QTest::newRow("missing") << Row{"", "", "/tmp/no-such-ubuntu.deb", 1, "Cannot read the package file /tmp/no-such-ubuntu.deb: No such file or directory\n"};
        QTest::newRow("unreadable") << Row{"", "", "/tmp/qor-unreadable.deb", 1, "Cannot read the package file /tmp/qor-unreadable.deb: Permission denied\n"};
        QTest::newRow("rpm") << Row{"", "", "/tmp/qor-pk.rpm", 4, "PackageKit on this system cannot install this kind of package (application/x-rpm)"};
        QTest::newRow("killed") << Row{"-KILL", "", deb, 3, "PackageKit stopped before the installation ended: the package may not be installed."};
        QTest::newRow("hung") << Row{"-STOP", "", deb, 3, "(org.freedesktop.DBus.Error.NoReply)"};
        QTest::newRow("no bus") << Row{"", noBus, deb, 3, "nor PackageKit is available on this system: the system bus cannot be reached:"};
        // A bus that takes the connection and never answers (silentBus).
        // Restarted by the bus for the attempt that follows.
        QTest::newRow("killed while another program holds the lock") << Row{"-TERM", "", deb, 0, "PackageKit: finished, the package is installed\n", "Another program is installing", true};
        // The wizard gone before the client could arm its death signal.
        QTest::newRow("orphaned at once") << Row{"", "QOR_CLIENT_PARENT=1", "/tmp/no-such-ubuntu.deb", 5, "The installation was cancelled: nothing was installed.\n"};
        QTest::newRow("silent bus") << Row{"", "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + silentBus, deb, 3, "the system bus did not answer within 30 s.\nTo install from a terminal instead, run the installer as root, for example: sudo ./qor-setup\n"};
    }
    void refusesOrReportsTheDaemonsEnd()
    {
        QFETCH(Row, row);
        const auto restart = run_step(steps, {"restart-bus"}, 300000);
        QVERIFY2(restart.first == 0, restart.second);
        if (row.locked)
            QCOMPARE(run_step(steps, {"hold-lock", "600"}, kPatienceMs).first, 0);
        const QString kind = row.path.endsWith(".deb") ? "--deb" : "--rpm";
        Step client(steps, QStringList{"as-user", row.env, wizard, "--install-with-packagekit", kind, row.path}.filter(QRegularExpression(".")));
        if (!row.signal.isEmpty()) {
            // Frozen or gone while it works, so the row does not depend on how fast it is.
            client.awaitLine(row.signalAfter, 5 * kPatienceMs);
            run_step("pkill", {row.signal, "-x", "packagekitd"}, kPatienceMs);
            if (row.locked)
                QCOMPARE(run_step(steps, {"release-lock"}, kPatienceMs).first, 0);
        }
        // A hung daemon costs the mode's whole minute of patience.
        const int seen = client.finish(300000);
        QVERIFY2(seen == row.status && client.output.contains(row.line),
                 qPrintable(QString("status %1, expected %2 and '%3':\n%4").arg(seen).arg(row.status).arg(QString(row.line), QString(client.output).right(800))));
        QCOMPARE(run_step("dpkg-query", {"-W", "qor"}, kPatienceMs).first == 0, row.status == 0);
    }
    // A stopped daemon ends here, whatever the row saw.
    void cleanup()
    {
        run_step("pkill", {"-KILL", "-x", "packagekitd"}, kPatienceMs);
        run_step(steps, {"release-lock"}, kPatienceMs);
        run_step("dpkg", {"--purge", "qor"}, kPatienceMs);
    }
    // Listens, and never accepts or answers.
    void initTestCase()
    {
        silentSocket = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, qPrintable(silentBus), sizeof address.sun_path);
        unlink(address.sun_path);
        QVERIFY(bind(silentSocket, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
                && listen(silentSocket, 16) == 0 && chmod(address.sun_path, 0777) == 0);
    }
};

QOR_TABLE_MAIN(PackageKitClient)
#include "tst_packagekit_client.moc"
