// The install worker against real processes: stand-ins for the package tools
// that write chosen output, and the log file they leave in a private HOME.
#include "install_test_support.h"
#include "qorwiz_u.h"

#include <QCoreApplication>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>

// Receives the worker's texts the way the install page does: queued to the
// GUI thread, copied at once. It opens the stand-in's next gate after each
// progress text, so the tool writes its next piece only then.
class Receiver : public QObject
{
    Q_OBJECT

public:
    explicit Receiver(const ToolSandbox *tools = nullptr) : tools(tools) {}

    QList<QByteArray> progress;
    QList<int> codes;
    QList<QByteArray> results;
    int readingMs = 0; // how long each progress text takes to take in

public slots:
    void onDataRead(const char *str)
    {
        QThread::msleep(readingMs);
        progress << QByteArray(str);
        if (tools)
            tools->openGate(progress.size());
    }
    void onFinished(int retcode, const char *str)
    {
        codes << retcode;
        results << QByteArray(str);
    }

private:
    const ToolSandbox *tools;
};

Q_DECLARE_METATYPE(InstallRoad)

#define RUN_WORKER(...) \
    do { \
        runWorker(__VA_ARGS__); \
        if (QTest::currentTestFailed()) \
            return; \
    } while (0)

class TestInstallWorker : public QObject
{
    Q_OBJECT

private:
    // Runs one worker to its end; the caller checks QTest::currentTestFailed().
    void runWorker(Receiver &rx, const InstallCommand &command = defaultInstallCommand(testTarget()))
    {
        InstallWorker worker(nullptr);
        worker.setCommand(command);
        connect(&worker, SIGNAL(dataRead(const char*)), &rx, SLOT(onDataRead(const char*)));
        connect(&worker, SIGNAL(finished(int,const char*)), &rx, SLOT(onFinished(int,const char*)));
        worker.start();
        QTRY_COMPARE_WITH_TIMEOUT(rx.codes.size(), 1, kPatienceMs);
        QVERIFY(worker.wait(kPatienceMs));
        // Anything still queued is delivered now: exactly one result per run.
        QCoreApplication::processEvents();
        QCOMPARE(rx.codes.size(), 1);
    }

private slots:
    void recordsOutputAndOutcome_data();
    void recordsOutputAndOutcome();
    void commandLineFollowsPackagePath_data();
    void commandLineFollowsPackagePath();
    void serviceClientsLearnTheirParent_data();
    void serviceClientsLearnTheirParent();
    void progressTextsStayIntactUnderLoad();
    void appendsRecordsBackToBack();
    void logFolderFollowsHome_data();
    void logFolderFollowsHome();
    void logFailureKeepsExitCode_data();
    void logFailureKeepsExitCode();
    void homeUnsetLogsUnderRoot();
    void missingToolIsReported();
    void destroyingWaitsForRunningTool();
};

void TestInstallWorker::recordsOutputAndOutcome_data()
{
    QTest::addColumn<QByteArray>("mode");
    QTest::addColumn<QList<QByteArray>>("progress");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("output");

    QTest::newRow("three pieces") << QByteArray("pieces")
        << QList<QByteArray>{"one\n", "one\ntwo\n", "one\ntwo\nthree\n"} << 0
        << QByteArray("one\ntwo\nthree\n");
    QTest::newRow("standard error only") << QByteArray("stderr-only")
        << QList<QByteArray>{} << 0 << QByteArray("warning: alien\n");
    QTest::newRow("error text after output") << QByteArray("stderr-first")
        << QList<QByteArray>{"out\n"} << 0 << QByteArray("out\nerr\n");
    QTest::newRow("NUL byte cuts its piece") << QByteArray("nul")
        << QList<QByteArray>{"ab", "abef\n"} << 0 << QByteArray("abef\n");
    QTest::newRow("exit 1") << QByteArray("fail")
        << QList<QByteArray>{"failing\n"} << 1 << QByteArray("failing\n");
    QTest::newRow("Latin-1 bytes kept") << QByteArray("latin1")
        << QList<QByteArray>{"caf\xe9 <b>x</b>\n"} << 3 << QByteArray("caf\xe9 <b>x</b>\n");
    // As shells report it, not as PackageKit's 5 (cancelled) or 7 (ask again).
    for (const int sig : {SIGKILL, SIGBUS, SIGTRAP})
        QTest::newRow(qPrintable(QStringLiteral("killed by signal %1").arg(sig))) << "killed-" + QByteArray::number(sig)
            << QList<QByteArray>{"half\n"} << 128 + sig << "half\n\nThe install program was killed by signal " + QByteArray::number(sig) + '.';
    QTest::newRow("no output") << QByteArray("silent") << QList<QByteArray>{} << 0 << QByteArray();
    QTest::newRow("standard input closed") << QByteArray("stdin")
        << QList<QByteArray>{"stdin closed\n"} << 0 << QByteArray("stdin closed\n");
}

void TestInstallWorker::recordsOutputAndOutcome()
{
    QFETCH(QByteArray, mode);
    QFETCH(QList<QByteArray>, progress);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, output);

    ToolSandbox tools;
    qputenv("QOR_TOOL_MODE", mode);
    Receiver rx(&tools);
    RUN_WORKER(rx);

    const QByteArray record = output + (exitCode == 0
        ? QByteArray("\nInstallation Finished")
        : failureTrailer(exitCode, QOR_PACKAGE_IS_DEB, QOR_PACKAGE_PATH));
    QCOMPARE(rx.progress, progress);
    QCOMPARE(rx.codes.first(), exitCode);
    QCOMPARE(rx.results.first(), record);
    QCOMPARE(ToolSandbox::readFile(tools.logPath()), record);
}

void TestInstallWorker::commandLineFollowsPackagePath_data()
{
    QTest::addColumn<QString>("packagePath");
    QTest::addColumn<bool>("deb");
    QTest::addColumn<QByteArray>("argv");

    const QByteArray rpmTool = runningAsRoot() ? "rpm\n-U\n" : "gpk-install-local-file\n";
    const QByteArray debTool = runningAsRoot() ? "dpkg\n-i\n" : "pkexec\ngdebi\n-n\n-q\n";
    QTest::newRow("built-in path") << QString::fromLatin1(QOR_PACKAGE_PATH) << bool(QOR_PACKAGE_IS_DEB)
                                   << (QOR_PACKAGE_IS_DEB ? debTool : rpmTool) + QOR_PACKAGE_PATH "\n";
    QTest::newRow("deb") << QStringLiteral("/tmp/qor_3.1.1-1ubuntu1_all.deb") << true
                         << debTool + "/tmp/qor_3.1.1-1ubuntu1_all.deb\n";
    QTest::newRow("deb, spaces") << QStringLiteral("/tmp/my UBUNTU files/qor.deb") << true
                                 << debTool + "/tmp/my UBUNTU files/qor.deb\n";
    // The kind is the build's, whatever the file is called.
    QTest::newRow("rpm named ubuntu") << QStringLiteral("/tmp/qor-ubuntu.rpm") << false
                                      << rpmTool + "/tmp/qor-ubuntu.rpm\n";
}

void TestInstallWorker::commandLineFollowsPackagePath()
{
    QFETCH(QString, packagePath);
    QFETCH(bool, deb);
    QFETCH(QByteArray, argv);

    ToolSandbox tools;
    qputenv("QOR_TOOL_MODE", "fail");
    Receiver rx;
    RUN_WORKER(rx, defaultInstallCommand(testTarget(packagePath, deb)));

    QCOMPARE(tools.argv(), argv);
    // The trailer names the same command, arguments joined with ';'.
    QList<QByteArray> words = argv.split('\n');
    words.removeLast();
    const QByteArray program = words.takeFirst();
    const QByteArray trailer = "\nError Code:1\nApplication:" + program + "\nArguments:" + words.join(';');
    QCOMPARE(rx.results.first().right(trailer.size()), trailer);
}

// Either client checks that the wizard that started it is still its parent.
void TestInstallWorker::serviceClientsLearnTheirParent_data()
{
    QTest::addColumn<InstallRoad>("road");
    QTest::newRow("PackageKit") << InstallRoad::PackageKit;
    QTest::newRow("dnf5 daemon") << InstallRoad::Dnf5Daemon;
}

void TestInstallWorker::serviceClientsLearnTheirParent()
{
    QFETCH(InstallRoad, road);
    ToolSandbox tools;
    qputenv("QOR_TOOL_MODE", "parent");
    InstallTarget target = testTarget(QStringLiteral("/tmp/qor.rpm"), false);
    target.packageKitProgram = tools.bin() + QStringLiteral("/rpm");
    Receiver rx;
    RUN_WORKER(rx, installCommand(road, target));
    QVERIFY2(rx.results.first().startsWith("parent " + QByteArray::number(getpid()) + '\n'), rx.results.first());
}

// Hundreds of progress texts: each must arrive whole and unchanged, which
// fails if a buffer is reused before its slot has run.
void TestInstallWorker::progressTextsStayIntactUnderLoad()
{
    ToolSandbox tools;
    qputenv("QOR_TOOL_MODE", "many");
    // A slow reader: the worker must not run ahead into texts still unread.
    Receiver rx;
    rx.readingMs = 20;
    RUN_WORKER(rx);

    QByteArray all;
    for (int i = 0; i < 300; ++i)
        all += "line " + QByteArray::number(i) + '\n';
    QCOMPARE(rx.results.first(), all + "\nInstallation Finished");
    QVERIFY(!rx.progress.isEmpty());
    for (int i = 0; i < rx.progress.size(); ++i) {
        QVERIFY2(all.startsWith(rx.progress[i]), qPrintable(QStringLiteral("text %1").arg(i)));
        if (i > 0)
            QVERIFY2(rx.progress[i].size() > rx.progress[i - 1].size(), qPrintable(QStringLiteral("text %1").arg(i)));
    }
}

void TestInstallWorker::appendsRecordsBackToBack()
{
    ToolSandbox tools;
    QDir().mkpath(tools.home() + QStringLiteral("/.qor"));
    {
        QFile old(tools.logPath());
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("earlier record");
    }
    qputenv("QOR_TOOL_MODE", "fail");
    Receiver first;
    RUN_WORKER(first);
    qputenv("QOR_TOOL_MODE", "stderr-first");
    Receiver second;
    RUN_WORKER(second);

    QCOMPARE(ToolSandbox::readFile(tools.logPath()),
             "earlier record" + first.results.first() + second.results.first());
    QCOMPARE(second.results.first(), QByteArray("out\nerr\n\nInstallation Finished"));
}

void TestInstallWorker::logFolderFollowsHome_data()
{
    QTest::addColumn<QByteArray>("home");
    QTest::newRow("no .qor yet") << QByteArray("%T/home");
    QTest::newRow("percent signs") << QByteArray("%T/home %2 %1");
    QTest::newRow("trailing slash") << QByteArray("%T/home/");
    QTest::newRow("spaces and UTF-8") << QByteArray("%T/h\xc3\xb6me d\xc3\xaer");
    // Not valid UTF-8: the folder must be found by its bytes all the same.
    QTest::newRow("Latin-1 bytes") << QByteArray("%T/h\xf6me");
}

void TestInstallWorker::logFolderFollowsHome()
{
    QFETCH(QByteArray, home);
    ToolSandbox tools;
    home.replace("%T", QFile::encodeName(tools.path()));
    QVERIFY(::mkdir(home.constData(), 0755) == 0 || errno == EEXIST);
    qputenv("HOME", home);
    qputenv("QOR_TOOL_MODE", "fail");
    Receiver rx;
    RUN_WORKER(rx);
    QByteArray logged;
    if (FILE *log = fopen(home + "/.qor/install.log", "rb")) {
        char chunk[4096];
        for (size_t n; (n = fread(chunk, 1, sizeof chunk, log)) > 0;)
            logged.append(chunk, int(n));
        fclose(log);
    }
    QCOMPARE(logged, rx.results.first());
    QVERIFY(rx.results.first().startsWith("failing\n\nError Code:1"));
}

void TestInstallWorker::logFailureKeepsExitCode_data()
{
    QTest::addColumn<QString>("home");
    QTest::addColumn<QByteArray>("mode");
    QTest::addColumn<int>("exitCode");
    // Bytes a file may grow to (RLIMIT_FSIZE), with an earlier record in the log; 0: no limit, no
    // record; -1: no limit, and another program keeps the log locked.
    QTest::addColumn<int>("fileSizeLimit");

    // Placeholders: %T is the test's folder. Root may write anywhere, so the
    // failures come from paths that cannot be folders at all, or from a
    // limit on the size of files that stands for a full disk.
    QTest::newRow("HOME is a file, success") << QStringLiteral("%T/plainfile") << QByteArray("silent") << 0 << 0;
    QTest::newRow("HOME is a file, failure") << QStringLiteral("%T/plainfile") << QByteArray("fail") << 1 << 0;
    QTest::newRow("HOME missing") << QStringLiteral("%T/no/such/home") << QByteArray("silent") << 0 << 0;
    QTest::newRow(".qor is a file") << QStringLiteral("%T/dotqorfile") << QByteArray("silent") << 0 << 0;
    QTest::newRow("log full within the record") << QStringLiteral("%T/home") << QByteArray("fail") << 1 << 100;
    QTest::newRow("log locked for good") << QStringLiteral("%T/home") << QByteArray("fail") << 1 << -1;
    // Only fsync says so, as on NFS over quota (install-system-thin-home).
    QTest::newRow("disk full behind the cache") << QStringLiteral("$QOR_THIN_HOME") << QByteArray("fail") << 1 << (1 << 30);
}

void TestInstallWorker::logFailureKeepsExitCode()
{
    QFETCH(QString, home);
    QFETCH(QByteArray, mode);
    QFETCH(int, exitCode);
    QFETCH(int, fileSizeLimit);

    ToolSandbox tools;
    if (home.startsWith(QLatin1Char('$')) && (home = qEnvironmentVariable(qPrintable(home.mid(1)))).isEmpty())
        QSKIP("the system tests make that home");
    home.replace(QStringLiteral("%T"), tools.path());
    QFile(tools.path() + QStringLiteral("/plainfile")).open(QIODevice::WriteOnly);
    QDir().mkpath(tools.path() + QStringLiteral("/dotqorfile"));
    QFile(tools.path() + QStringLiteral("/dotqorfile/.qor")).open(QIODevice::WriteOnly);
    const QString log = home + QStringLiteral("/.qor/install.log");
    const QByteArray earlier = fileSizeLimit ? QByteArray("earlier record") : QByteArray("<missing>");
    if (fileSizeLimit) {
        QVERIFY(QDir().mkpath(home + QStringLiteral("/.qor")));
        QFile old(log);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write(earlier) == earlier.size());
    }
    QFile holder(log);
    QVERIFY(fileSizeLimit >= 0 || (holder.open(QIODevice::ReadOnly) && ::flock(holder.handle(), LOCK_EX) == 0));
    qputenv("HOME", QFile::encodeName(home));
    qputenv("QOR_TOOL_MODE", mode);
    Receiver rx;
    {
        // A write past the limit fails with EFBIG, as on a full disk with
        // ENOSPC, once SIGXFSZ no longer ends the process.
        struct rlimit unlimited;
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &unlimited) == 0);
        struct rlimit limited = unlimited;
        if (fileSizeLimit > 0) {
            ::signal(SIGXFSZ, SIG_IGN);
            limited.rlim_cur = rlim_t(fileSizeLimit);
        }
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &limited) == 0);
        runWorker(rx);
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &unlimited) == 0);
        if (QTest::currentTestFailed())
            return;
    }

    QCOMPARE(rx.codes.first(), exitCode);
    const QByteArray record = exitCode == 0 ? QByteArray("\nInstallation Finished")
                                            : "failing\n" + failureTrailer(exitCode, QOR_PACKAGE_IS_DEB, QOR_PACKAGE_PATH);
    QCOMPARE(rx.results.first(), record + "\nCannot create log file");
    QCOMPARE(ToolSandbox::readFile(tools.path() + QStringLiteral("/plainfile")), QByteArray());
    QVERIFY(!QFile::exists(tools.path() + QStringLiteral("/no")));
    // Nothing of this run is left in a log that it could not write whole.
    QCOMPARE(ToolSandbox::readFile(log), earlier);
}

// Without HOME the log goes to /.qor. Only a user who cannot write to / can
// check that here without leaving a folder behind on the machine.
void TestInstallWorker::homeUnsetLogsUnderRoot()
{
    if (runningAsRoot())
        QSKIP("as root this would create /.qor; the system tests run it as another user");
    if (QFileInfo(QStringLiteral("/.qor")).exists())
        QSKIP("/.qor exists already");
    ToolSandbox tools;
    qunsetenv("HOME");
    qputenv("QOR_TOOL_MODE", "silent");
    Receiver rx;
    RUN_WORKER(rx);
    QCOMPARE(rx.results.first(), QByteArray("\nInstallation Finished\nCannot create log file"));
    QVERIFY(!QFile::exists(QStringLiteral("/.qor")));
}

void TestInstallWorker::missingToolIsReported()
{
    ToolSandbox tools;
    const QString tool = QString::fromLatin1(expectedTool(QOR_PACKAGE_IS_DEB));
    QVERIFY(QFile::remove(tools.bin() + QLatin1Char('/') + tool));
    // Nothing else on PATH either: only the stand-ins' folder; and no bus.
    qputenv("PATH", QFile::encodeName(tools.bin()));
    const QByteArray bus = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/qor-test-bus");
    // A package that is there: what is missing is the way to install it.
    const QString package = tools.path() + QStringLiteral("/qor package");
    QFile(package).open(QIODevice::WriteOnly);
    Receiver rx;
    runWorker(rx, defaultInstallCommand(testTarget(package)));
    bus.isNull() ? qunsetenv("DBUS_SYSTEM_BUS_ADDRESS") : qputenv("DBUS_SYSTEM_BUS_ADDRESS", bus);
    if (QTest::currentTestFailed())
        return;

    const QByteArray text = rx.results.first();
    if (runningAsRoot()) {
        QCOMPARE(rx.codes.first(), -1);
        QVERIFY(rx.progress.isEmpty());
        QVERIFY2(text.startsWith("Cannot start " + tool.toLatin1() + ": "), text.constData());
        QVERIFY2(text.contains("No such file or directory"), text.constData());
        QVERIFY(!QFile::exists(tools.logPath()));
        return;
    }
    // A user's desktop installer missing: PackageKit would take over, and
    // where it cannot be reached either, the way from a terminal is given.
    QCOMPARE(rx.codes.first(), int(ServiceStatus::Unavailable));
    QVERIFY2(text.startsWith("Neither ") && text.contains(" nor PackageKit is available on this system: the system bus "
                                                          "cannot be reached: "), text.constData());
    QVERIFY2(text.contains("\nTo install from a terminal instead, run the installer as root, for example: "
                           "sudo ./qor-setup\n"), text.constData());
    QVERIFY2(text.endsWith("\nError Code:3\nApplication:PackageKit\nArguments:" + QFile::encodeName(package)),
             text.constData());
    QCOMPARE(ToolSandbox::readFile(tools.logPath()), text);
}

// The owner may go while the tool still runs: the worker's destructor must
// wait for its thread, and keep handing back text buffers meanwhile, or the
// thread would block on a permit for ever.
void TestInstallWorker::destroyingWaitsForRunningTool()
{
    ToolSandbox tools;
    qputenv("QOR_TOOL_MODE", "pieces");
    Receiver rx;
    {
        InstallWorker worker(nullptr);
        connect(&worker, SIGNAL(dataRead(const char*)), &rx, SLOT(onDataRead(const char*)));
        worker.start();
        QTRY_COMPARE_WITH_TIMEOUT(rx.progress.size(), 1, kPatienceMs);
        // The stand-in writes its last pieces only once the gates are open:
        // the worker is destroyed while the tool still runs.
        tools.openGate(1);
        tools.openGate(2);
    }
    QCOMPARE(rx.progress.size(), 1);
    QCOMPARE(ToolSandbox::readFile(tools.logPath()), QByteArray("one\ntwo\nthree\n\nInstallation Finished"));
}

QTEST_GUILESS_MAIN(TestInstallWorker)
#include "tst_install_worker.moc"
