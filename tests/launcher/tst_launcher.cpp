// The launcher as a real process: exact standard output, exit status and the
// files it leaves. The launcher under test comes from the environment, so the
// same program checks a plain and a sanitizer build. Each launcher has its own
// package file name, so runs in parallel never share /tmp files.
#include "payload/seal_layout_t.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray env(const char *name)
{
    QByteArray value = qgetenv(name);
    if (value.isEmpty())
        qFatal("%s is not set", name);
    return value;
}

QByteArray bytes(const QByteArray &path)
{
    QFile f(QString::fromLocal8Bit(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void put(const QByteArray &path, const QByteArray &data, int mode = 0644)
{
    QFile f(QString::fromLocal8Bit(path));
    QVERIFY2(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size(), path.constData());
    f.close();
    QCOMPARE(::chmod(path.constData(), mode), 0);
}

// QCOMPARE shows only the start of long outputs; this shows where they part.
QString difference(const QByteArray &actual, const QByteArray &expected)
{
    int at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
        ++at;
    return QStringLiteral("output differs at byte %1:\n  actual:   %2\n  expected: %3")
        .arg(QString::number(at), QString::fromLatin1(actual.mid(qMax(0, at - 40), 120)),
             QString::fromLatin1(expected.mid(qMax(0, at - 40), 120)));
}
#define COMPARE_OUTPUT(actual, expected) QVERIFY2((actual) == (expected), qPrintable(difference(actual, expected)))

bool exists(const QByteArray &path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0;
}

const QByteArray kAccepted = "\n\nLicense Agreement Terms: Accepted\n";
const QByteArray kNotAccepted = "\n\nLicense Agreement Terms: Not Accepted\n";
const QByteArray kAcceptedOnCommandLine = "\n Product License Agreement Terms Accepted.\n";

QByteArray extracting(const QByteArray &path) { return "\n Extracting native installer to '" + path + "'\n"; }
QByteArray noFileName(const QByteArray &path)
{
    return "\n WARNING: no filename specified to be extracted, usign " + path + "\n";
}

} // namespace

class LauncherTest : public QObject
{
    Q_OBJECT

    QByteArray launcher = env("QOR_LAUNCHER");
    QByteArray emptyLicenceLauncher = env("QOR_LAUNCHER_EMPTY_LICENCE");
    QByteArray licence = bytes(env("QOR_TEST_LICENCE"));
    QByteArray package = bytes(env("QOR_TEST_PACKAGE"));
    QByteArray packagePath = "/tmp/" + env("QOR_PACKAGE_FILE_NAME");
    QByteArray licencePath = packagePath + ".license.txt";
    QByteArray wizardPath = packagePath + "_ui_bin";
    QByteArray emptyPackagePath = "/tmp/" + env("QOR_EMPTY_PACKAGE_FILE_NAME");
    QScopedPointer<QTemporaryDir> tmp;
    QByteArray t; // the temporary folder of the current test
    QByteArray err;

    QByteArray prompt() const
    {
        return "\n\n\n" + licence + "\n\nDo you accept the above License Agreement Terms?[Yes/No]:";
    }
    QByteArray rpmRan(const QByteArray &status) const
    {
        QByteArray said = "stand-in rpm -ivh " + packagePath + "\n";
        if (status == "0")
            return said + "\nInstallation Finished\n\n\n";
        said += "\nError Code:" + status + "\nApplication:rpm -ivh " + packagePath;
        if (geteuid() != 0)
            said += "\nInstalling needs root rights: run the installer as root, for example: sudo " + launcher;
        return said + "\n\n\n";
    }
    QByteArray help() const
    {
        return "\n Installs " + launcher + " "
               "\n Application starts Window based Install wizard if X11 is available(DISPLAY variable is set) \n"
               "\n For text based installation following command line options are applicable:"
               "\n 1. extract <filename> : does not install, only extracts native installer to filename."
               "\n 2. accepteula : user agrees to the eula and does not want any prompts while installing."
               "\n 3. accepteula extract <filename>: user agrees to the eula and does not want any prompts "
               "while extracting to filename.\n";
    }
    QByteArray extracted() const
    {
        return "\nextracted Native installer to : " + packagePath + "\nextracted license file to : " + licencePath
               + "\nextracted ui installer file to : " + wizardPath;
    }

    // %T is the test's folder, %D the default package path, %NNNN a path of
    // exactly NNNN characters that names %T/out.rpm.
    QByteArray expand(QByteArray s) const
    {
        for (int length : {1023, 1024}) {
            QByteArray longPath = t + "/";
            while (longPath.size() + 9 <= length)
                longPath += "./";
            while (longPath.size() + 7 < length)
                longPath += "/";
            s.replace("%" + QByteArray::number(length), longPath + "out.rpm");
        }
        return s.replace("%T", t).replace("%D", packagePath);
    }

    // Runs PROGRAM with DISPLAY unset unless EXTRA sets it, and a stand-in
    // rpm first on PATH; returns standard output, and the exit status in *status.
    QByteArray run(const QByteArray &program, const QStringList &args, const QByteArray &input,
                   const QStringList &extra, int *status, const QStringList &prefix = {})
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.remove("DISPLAY");
        e.insert("PATH", QString::fromLatin1(t) + ":" + e.value("PATH"));
        e.insert("QOR_TEST_WIZARD_DIR", QString::fromLatin1(t + "/wizard-saw"));
        for (const QString &kv : extra)
            e.insert(kv.section('=', 0, 0), kv.section('=', 1));
        QProcess p;
        p.setProcessEnvironment(e);
        p.start(prefix.isEmpty() ? QString::fromLatin1(program) : prefix.first(),
                prefix.mid(1) + (prefix.isEmpty() ? QStringList() : QStringList(QString::fromLatin1(program)))
                    + args);
        p.write(input);
        p.closeWriteChannel();
        if (!p.waitForFinished(120000))
            qWarning("launcher did not finish");
        // The shell reports a child that a signal ended; the rest must be quiet.
        err = p.readAllStandardError().replace("Terminated\n", "");
        *status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        return p.readAllStandardOutput();
    }

    void removeFixedFiles()
    {
        for (const QByteArray &p : {packagePath, licencePath, wizardPath, emptyPackagePath})
            ::unlink(p.constData());
    }

private slots:
    // Descriptors inherited from the test runner would count against the
    // limit that wizardCannotStart sets for the launcher.
    void initTestCase()
    {
        const QStringList fds = QDir("/proc/self/fd").entryList(QDir::Files | QDir::System);
        for (const QString &fd : fds)
            if (fd.toInt() > 2)
                ::fcntl(fd.toInt(), F_SETFD, FD_CLOEXEC);
    }

    void init()
    {
        tmp.reset(new QTemporaryDir);
        QVERIFY(tmp->isValid());
        t = QFile::encodeName(tmp->path());
        QCOMPARE(::mkdir(t + "/wizard-saw", 0777), 0);
        removeFixedFiles();
        put(t + "/rpm",
                  "#!/bin/sh\n"
                  "printf '%s\\n' \"$@\" >\"" + t + "/rpm-args\"\n"
                  "cp \"$2\" \"" + t + "/rpm-package\"\n"
                  "IFS= read -r line && printf '%s\\n' \"$line\" >\"" + t + "/rpm-stdin\"\n"
                  "echo \"stand-in rpm $*\"\n"
                  "[ \"$QOR_TEST_RPM_EXIT\" = TERM ] && kill -TERM $$\n"
                  "exit \"${QOR_TEST_RPM_EXIT:-0}\"\n",
                  0755);
    }
    void cleanup()
    {
        removeFixedFiles();
        tmp.reset();
    }

    void textMode_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("env");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("atDefault"); // what the default path holds afterwards
        QTest::addColumn<bool>("atOut");           // whether %T/out.rpm holds the package
        QTest::addColumn<bool>("installed");

        const QByteArray D = packagePath, A = kAccepted, N = kNotAccepted, C = kAcceptedOnCommandLine;
        const QByteArray P = prompt(), H = help(), X = extracting(D), out = "%T/out.rpm";
        const QByteArray gone, stale = "stale", pkg = "package";
        const QByteArray keptForRetry = geteuid() == 0 ? pkg : gone; // after a failed tool
        const QStringList none, disp("DISPLAY=:99");
        auto row = [](const char *name, const QStringList &args, const QStringList &env, const QByteArray &input,
                      const QByteArray &output, int status, const QByteArray &atDefault, bool atOut,
                      bool installed) {
            QTest::newRow(name) << args << env << input << output << status << atDefault << atOut << installed;
        };
        row("yes", {}, none, "yes\n", X + P + A + rpmRan("0"), 0, gone, false, true);
        row("y without line end", {}, none, "y", X + P + A + rpmRan("0"), 0, gone, false, true);
        row("Yes", {}, none, "Yes\n", X + P + A + rpmRan("0"), 0, gone, false, true);
        row("No", {}, none, "No\n", X + P + N, 1, gone, false, false);
        row("blank line", {}, none, "\ny\n", X + P + N, 1, gone, false, false);
        row("line starting with a blank", {}, none, " yes\n", X + P + N, 1, gone, false, false);
        row("end of input", {}, none, "", X + P + N, 1, gone, false, false);
        row("accepteula with a display", {"accepteula"}, disp, "", C + X + A + rpmRan("0"), 0, gone, false, true);
        row("accepteula twice", {"accepteula", "accepteula"}, none, "", C + C + X + A + rpmRan("0"), 0, gone,
            false, true);
        row("not keywords", {"Help", "-help", "ACCEPTEULA"}, none, "y\n", X + P + A + rpmRan("0"), 0, gone, false,
            true);
        row("rpm exits 1", {}, {"QOR_TEST_RPM_EXIT=1"}, "y\n", X + P + A + rpmRan("256"), 1, keptForRetry, false, true);
        row("rpm exits 2", {"accepteula"}, {"QOR_TEST_RPM_EXIT=2"}, "", C + X + A + rpmRan("512"), 2, keptForRetry,
            false, true);
        row("rpm killed", {"accepteula"}, {"QOR_TEST_RPM_EXIT=TERM"}, "", C + X + A + rpmRan("36608"), 143,
            keptForRetry, false, true);
        row("extract file", {"extract", out}, none, "", extracting(out) + A, 0, stale, true, false);
        row("accepteula extract file", {"accepteula", "extract", out}, disp, "", C + extracting(out) + A, 0, stale,
            true, false);
        row("extract alone, yes", {"extract"}, none, "y\n", noFileName(D) + P + A, 0, pkg, false, false);
        row("extract alone, no", {"extract"}, none, "n\n", noFileName(D) + P + N, 1, gone, false, false);
        row("extract a extract", {"extract", "%T/a", "extract"}, none, "", extracting("%T/a") + noFileName(D) + A,
            0, pkg, false, false);
        row("extract name of 1023 characters", {"extract", "%1023"}, none, "", extracting("%1023") + A, 0, stale,
            true, false);
        const QByteArray tooLong = "\n ERROR : the file name after extract has 1024 characters; at most 1023 are"
                                   " allowed. Nothing was extracted.\n";
        row("extract name of 1024 characters", {"extract", "%1024"}, none, "", extracting("%1024") + tooLong, 36,
            stale, false, false);
        row("extract name of 1024 characters, then help", {"extract", "%1024", "help"}, none, "",
            extracting("%1024") + H, 0, stale, false, false);
        row("extract name of 1024 characters replaced", {"extract", "%1024", "extract"}, none, "",
            extracting("%1024") + noFileName(D) + A, 0, pkg, false, false);
        row("extract into a missing folder", {"extract", "%T/no/out.rpm"}, none, "",
            extracting("%T/no/out.rpm") + A + "\n Failed in extracting Native installer to : %T/no/out.rpm,2", 2,
            stale, false, false);
        row("extract onto a folder", {"extract", "%T"}, none, "", extracting("%T") + "\n ERROR : file extraction to %T :21\n",
            21, stale, false, false);
        row("help", {"help"}, none, "", X + H, 0, stale, false, false);
        row("help with a display", {"help"}, disp, "", X + H, 0, stale, false, false);
        row("help last", {"accepteula", "extract", out, "help"}, none, "", C + extracting(out) + H, 0, stale, false,
            false);
        row("help first", {"help", "extract"}, none, "", noFileName(D) + H, 0, stale, false, false);
        row("-h", {"-h"}, none, "", X + H, 0, stale, false, false);
        row("--help with a display", {"accepteula", "--help"}, disp, "", C + X + H, 0, stale, false, false);
    }

    void textMode()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, env);
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, output);
        QFETCH(int, status);
        QFETCH(QByteArray, atDefault);
        QFETCH(bool, atOut);
        QFETCH(bool, installed);
        for (QString &a : args)
            a = QString::fromLatin1(expand(a.toLatin1()));
        // What the default path holds beforehand: a link that must never be
        // written through, to a file that reads "stale" while it is left alone.
        put(t + "/victim", "stale");
        QCOMPARE(::symlink(t + "/victim", packagePath), 0);

        int exitStatus;
        QByteArray got = run(launcher, args, input, env, &exitStatus);
        COMPARE_OUTPUT(got, expand(output));
        QCOMPARE(exitStatus, status);
        QVERIFY2(err.isEmpty(), err.constData());

        QCOMPARE(bytes(packagePath),
                 atDefault.isEmpty() ? QByteArray("<missing>") : atDefault == "package" ? package : atDefault);
        QCOMPARE(bytes(t + "/out.rpm"), atOut ? package : QByteArray("<missing>"));
        QVERIFY(!exists(t + "/a"));
        QCOMPARE(bytes(t + "/victim"), QByteArray("stale"));
        QCOMPARE(exists(t + "/rpm-args"), installed);
        if (installed) {
            QCOMPARE(bytes(t + "/rpm-args"), "-ivh\n" + packagePath + "\n");
            QCOMPARE(bytes(t + "/rpm-package"), package);
        }
    }

    // Only the answer line is the launcher's; the package tool gets the rest.
    void answerLeavesTheNextLineToTheTool()
    {
        int status;
        run(launcher, {}, "yes please\nfor the tool\n", {}, &status);
        QCOMPARE(status, 0);
        QCOMPARE(bytes(t + "/rpm-stdin"), QByteArray("for the tool\n"));
    }

    void emptyLicence()
    {
        int status;
        QByteArray out = run(emptyLicenceLauncher, {}, "y\n", {}, &status);
        COMPARE_OUTPUT(out, extracting(emptyPackagePath));
        QCOMPARE(status, 1);
        QVERIFY(!exists(emptyPackagePath));
        QVERIFY(!exists(t + "/rpm-args"));
        // The wizard still gets an empty licence file.
        out = run(emptyLicenceLauncher, {}, {}, {"DISPLAY=:99", "QOR_TEST_WIZARD_EXIT=1"}, &status);
        QCOMPARE(status, 1);
        QCOMPARE(bytes(t + "/wizard-saw/licence"), QByteArray(""));
        QCOMPARE(bytes(t + "/wizard-saw/package"), package);
        for (const char *suffix : {"", ".license.txt", "_ui_bin"})
            ::unlink(emptyPackagePath + suffix);
    }

    void graphical_data()
    {
        QTest::addColumn<QByteArray>("display");
        QTest::addColumn<QByteArray>("wizardExit");
        QTest::addColumn<QByteArray>("tail");
        QTest::addColumn<int>("status");
        QByteArray died = "\nApplication:" + wizardPath + "\n\n\n";
        QByteArray inTerminal = "\nTo install without it, run \"" + launcher + " accepteula\" (or " + launcher
                                + " without arguments) in a terminal.\n";
        QByteArray cannotStart = "\nThe graphical setup cannot start on this system: ";
        QTest::newRow("wizard exits 0") << QByteArray(":99") << QByteArray("0")
                                        << QByteArray("\nInstallation Finished\n\n\n") << 0;
        QTest::newRow("empty DISPLAY") << QByteArray("") << QByteArray("0")
                                       << QByteArray("\nInstallation Finished\n\n\n") << 0;
        QTest::newRow("no display") << QByteArray(":99") << QByteArray("1")
            << cannotStart + "there is no usable X display (see the message above)." + inTerminal << 1;
        QTest::newRow("install failed") << QByteArray(":99") << QByteArray("2")
            << QByteArray("\nInstallation failed: the product was not installed; the setup window showed why.\n\n\n")
            << 2;
        QTest::newRow("cancelled") << QByteArray(":99") << QByteArray("3")
                                   << QByteArray("\nInstallation cancelled: nothing was installed.\n\n\n") << 3;
        QTest::newRow("cannot be run") << QByteArray(":99") << QByteArray("126")
            << cannotStart + "its program cannot be run here." + inTerminal << 126;
        // With dpkg on this machine, only Debian's package names.
        QTest::newRow("libraries missing") << QByteArray(":99") << QByteArray("127") << cannotStart + (
            qgetenv("QOR_TEST_SELF_CONTAINED") == "1" ? "the X11, font and D-Bus libraries it needs are missing (see the "
            "message above); install libxcb1, libx11-xcb1, libxkbcommon-x11-0, libfontconfig1, libfreetype6 and libdbus-1-3."
            : "the Qt 5 libraries it needs are missing (see the message above); install libqt5widgets5t64 and "
            "libqt5printsupport5t64 (before Debian 13 and Ubuntu 24.04: libqt5widgets5 and libqt5printsupport5).")
            + inTerminal << 127;
        QTest::newRow("wizard exits 5") << QByteArray(":99") << QByteArray("5") << "\nError Code:1280" + died << 5;
        QTest::newRow("wizard killed") << QByteArray(":99") << QByteArray("TERM") << "\nError Code:36608" + died << 143;
    }

    void graphical()
    {
        QFETCH(QByteArray, display);
        QFETCH(QByteArray, wizardExit);
        QFETCH(QByteArray, tail);
        QFETCH(int, status);
        // Our own files from an earlier run, longer than the payloads and
        // writable for everybody: overwritten exactly, and no longer open to others.
        for (const QByteArray &p : {packagePath, licencePath, wizardPath})
            put(p, QByteArray(20000, 'x'), 0666);

        int exitStatus;
        QStringList e{"DISPLAY=" + QString::fromLatin1(display), "QOR_TEST_WIZARD_EXIT=" + wizardExit};
        QByteArray out = run(launcher, {}, {}, e, &exitStatus);
        COMPARE_OUTPUT(out, extracted() + tail);
        QCOMPARE(exitStatus, status);
        QVERIFY2(err.isEmpty(), err.constData());
        QCOMPARE(bytes(t + "/wizard-saw/package"), package);
        QCOMPARE(bytes(t + "/wizard-saw/licence"), licence);
        QCOMPARE(bytes(t + "/wizard-saw/wizard"), bytes(env("QOR_TEST_WIZARD")));
        // The wizard's own mode, then the package's and licence's: none writable by others.
        const QList<QByteArray> modes = bytes(t + "/wizard-saw/mode").split('\n');
        QCOMPARE(modes.value(0), QByteArray("701"));
        for (const QByteArray &mode : modes.mid(1, 2))
            QVERIFY2((mode.toInt(nullptr, 8) & 022) == 0, mode.constData());
        // No arguments; the launcher's own folder and display.
        QCOMPARE(bytes(t + "/wizard-saw/started"),
                 "args=0 cwd=" + QDir::currentPath().toLocal8Bit() + " display=" + display + "\n");
        // Whatever the end, nothing is left to block the next run.
        for (const QByteArray &p : {packagePath, licencePath, wizardPath})
            QVERIFY2(!exists(p), p.constData());
    }

    void refusesPlantedFile_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<QByteArray>("kind");
        QTest::addColumn<int>("error");
        for (int step = 0; step < 3; ++step) {
            const char *name[] = {"package", "licence", "wizard"};
            QTest::addRow("symlink at %s", name[step]) << step << QByteArray("symlink") << 13;
            // No run holds the lock, so another user's file is stale: root removes it and goes on.
            QTest::addRow("other user's file at %s", name[step]) << step << QByteArray("nobody") << 0;
            QTest::addRow("hard link at %s", name[step]) << step << QByteArray("hardlink") << 13;
            QTest::addRow("fifo at %s", name[step]) << step << QByteArray("fifo") << 6;
            QTest::addRow("folder at %s", name[step]) << step << QByteArray("folder") << 21;
        }
    }

    void refusesPlantedFile()
    {
        QFETCH(int, step);
        QFETCH(QByteArray, kind);
        QFETCH(int, error);
        if (kind == "nobody" && geteuid() != 0)
            QSKIP("needs root to plant another user's file");
        const QByteArray paths[] = {packagePath, licencePath, wizardPath};
        const QByteArray path = paths[step];
        const QByteArray victim = t + "/victim";
        put(victim, "victim", 0666);
        if (kind == "symlink")
            QCOMPARE(::symlink(victim.constData(), path.constData()), 0);
        else if (kind == "hardlink")
            QCOMPARE(::link(victim.constData(), path.constData()), 0);
        else if (kind == "fifo")
            QCOMPARE(::mkfifo(path.constData(), 0666), 0);
        else if (kind == "folder")
            QCOMPARE(::mkdir(path.constData(), 0755), 0);
        else {
            put(path, "planted", 0666);
            QCOMPARE(::chown(path.constData(), 65534, 65534), 0);
        }

        int status;
        QByteArray out = run(launcher, {}, {}, {"DISPLAY=:99"}, &status);
        const char *failed[] = {"\n Failed in extracting Native installer to : ", "\n Failed in extracting license file to : ",
                                "\n Failed in ui installer file to : "};
        QByteArray expected = error == 0 ? extracted() + "\nInstallation Finished\n\n\n"
                                         : extracted().split('\n').mid(0, step + 1).join('\n') + failed[step] + path
                                               + "," + QByteArray::number(error);
        COMPARE_OUTPUT(out, expected);
        QCOMPARE(status, error);
        QCOMPARE(bytes(victim), QByteArray("victim"));
        QCOMPARE(exists(t + "/wizard-saw/package"), error == 0);
        // Nothing of the run stays behind; what was planted stays unless it was another user's.
        for (int i = 0; i < 3; ++i)
            QCOMPARE(exists(paths[i]), i == step && error != 0);
        if (kind == "folder")
            QCOMPARE(::rmdir(path.constData()), 0);
    }

    // A copy of the launcher cut short at, or with one byte flipped at, a place
    // named by WHERE: the launcher's own code or data, a payload, a size word
    // or the file's last byte; with a compressed wizard also its second frame
    // (the one a child process unpacks), its last byte, and the unpacked
    // length and checksum recorded behind the seal. A
    // copy "resealed" has its checksums recorded afresh, as a build that went
    // wrong would have them: only the checks of what unpacks can catch it.
    // %N is the damaged file's size and %M the intact one's.
    void damagedFile_data()
    {
        QTest::addColumn<QByteArray>("how");
        QTest::addColumn<QByteArray>("where");
        QTest::addColumn<bool>("graphical");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("status");
        const QByteArray cut = "\n ERROR : the installer file is incomplete: %N bytes of %M ; download it again\n";
        auto damaged = [](const char *what) {
            return "\n ERROR : the installer file is damaged: its " + QByteArray(what)
                   + " does not match its checksum ; download it again\n";
        };
        const QByteArray lines = extracted();
        const QByteArray twoLines = lines.left(lines.lastIndexOf('\n'));
        const QByteArray textStart = extracting("%T/out.rpm") + kAccepted;
        auto row = [](const char *name, const char *how, const char *where, bool graphical, const QByteArray &output,
                      int status) { QTest::newRow(name) << QByteArray(how) << QByteArray(where) << graphical << output << status; };
        row("intact", "none", "code", true, lines + "\nInstallation Finished\n\n\n", 0);
        // The kernel cannot map the launcher's own code and data from a file
        // this short and ends it before any of its code runs.
        row("cut inside the code", "cut", "code", true, "", -1);
        row("cut inside the licence", "cut", "licence", true, cut, 74);
        row("cut inside the package", "cut", "package", false, cut, 74);
        row("cut inside the wizard", "cut", "wizard", true, cut, 74);
        row("one byte short", "cut", "last", false, cut, 74);
        // A flip in code that runs before the check may end the launcher
        // before it can say anything; one in its data never gets that far.
        row("flip in the launcher's data", "flip", "help text", false, damaged("launcher code"), 74);
        row("flip in a size word", "flip", "size word", true, damaged("launcher code"), 74);
        row("flip in the last byte", "flip", "last", true, damaged("launcher code"), 74);
        row("flip in the licence", "flip", "licence", false, damaged("license text"), 74);
        row("flip in the package, text mode", "flip", "package", false, textStart + damaged("native installer"), 74);
        row("flip in the package", "flip", "package", true, damaged("native installer"), 74);
        row("flip in the wizard", "flip", "wizard", true, twoLines + damaged("ui installer"), 74);
        if (qgetenv("QOR_TEST_COMPRESSED") != "1")
            return;
        row("cut near the wizard's end", "cut", "wizard end", true, cut, 74);
        row("flip in the wizard, resealed", "flip, resealed", "wizard", true, twoLines + damaged("ui installer"), 74);
        row("flip in the wizard's second frame, resealed", "flip, resealed", "second frame", true,
            twoLines + damaged("ui installer"), 74);
        row("flip in the wizard's end, resealed", "flip, resealed", "wizard end", true,
            twoLines + damaged("ui installer"), 74);
        row("wrong unpacked size", "flip", "unpacked size", true, damaged("launcher code"), 74);
        row("wrong unpacked size, resealed", "flip, resealed", "unpacked size", true,
            twoLines + damaged("ui installer"), 74);
        row("wrong unpacked checksum, resealed", "flip, resealed", "unpacked checksum", true,
            twoLines + damaged("ui installer"), 74);
    }

    void damagedFile()
    {
        QFETCH(QByteArray, how);
        QFETCH(QByteArray, where);
        QFETCH(bool, graphical);
        QFETCH(QByteArray, output);
        QFETCH(int, status);
        QByteArray file = bytes(launcher);
        const int licenceAt = file.lastIndexOf(licence);
        const int packageAt = file.indexOf(package, licenceAt);
        const QByteArray stored = bytes(env("QOR_TEST_WIZARD_STORED"));
        const int wizardAt = file.indexOf(stored, packageAt);
        const int sealAt = file.indexOf(QOR_SEAL_MAGIC);
        QVERIFY(licenceAt > 0 && packageAt > licenceAt && wizardAt > packageAt && sealAt > 0);
        quint32 firstFrame; // stored bytes; only what a compressed wizard records is read
        memcpy(&firstFrame, file.constData() + sealAt + QOR_SEAL_UNPACKED + QOR_UNPACKED_STORED_SIZES, 4);
        const QMap<QByteArray, int> at{{"code", licenceAt / 2}, {"help text", file.indexOf("user agrees to the eula")}, {"licence", licenceAt + licence.size() / 2},
                                      {"size word", wizardAt - 2}, {"package", packageAt + package.size() / 2},
                                      {"wizard", wizardAt + 20}, {"wizard end", wizardAt + stored.size() - 1},
                                      {"second frame", wizardAt + int(firstFrame) + 20},
                                      {"unpacked size", sealAt + QOR_SEAL_UNPACKED + QOR_UNPACKED_SIZE},
                                      {"unpacked checksum", sealAt + QOR_SEAL_UNPACKED + QOR_UNPACKED_CRC},
                                      {"last", file.size() - 1}};
        const QByteArray full = QByteArray::number(file.size());
        if (how == "cut")
            file.truncate(at[where]);
        else if (how.startsWith("flip"))
            file[at[where]] = static_cast<char>(file[at[where]] ^ 0x10);
        const QByteArray copy = t + "/damaged";
        put(copy, file, 0755);
        if (how.endsWith("resealed"))
            QCOMPARE(QProcess::execute(QString::fromLocal8Bit(env("QOR_SEAL")), {QString::fromLocal8Bit(copy)}), 0);

        int exitStatus;
        QByteArray out = run(copy, graphical ? QStringList() : QStringList{"extract", QString::fromLatin1(t + "/out.rpm")},
                             {}, {graphical ? "DISPLAY=:99" : "QOR_TEST_UNUSED="}, &exitStatus);
        output.replace("%N", QByteArray::number(file.size())).replace("%M", full);
        COMPARE_OUTPUT(out, expand(output));
        QCOMPARE(exitStatus, status);
        QCOMPARE(exists(t + "/wizard-saw/started"), status == 0);
        QCOMPARE(exists(t + "/out.rpm"), status == 0 && !graphical);
        for (const QByteArray &p : {packagePath, licencePath, wizardPath})
            QVERIFY2(!exists(p), p.constData());
    }

    // A /tmp with room for the package and the licence, a page each, but not
    // the wizard: its write fails as the disk fills (while it is unpacked,
    // where it is stored compressed), and none of the run's files stays.
    void fullDiskAtTheWizard()
    {
        if (geteuid() != 0)
            QSKIP("needs root for a /tmp of its own");
        const QString size = QString::number(((package.size() + 4095) / 4096 + 1) * 4) + "k";
        int status;
        QByteArray out = run(launcher, {}, {}, {"DISPLAY=:99"}, &status,
                             {"unshare", "--mount", "--propagation", "private", "sh", "-c",
                              // Started through a descriptor: a build folder under /tmp is hidden.
                              "exec 3<\"$0\" && mount -t tmpfs -o size=" + size + ",mode=1777 full /tmp &&"
                              " /proc/self/fd/3; s=$?; ls -A /tmp >&2; exit $s"});
        COMPARE_OUTPUT(out, extracted().left(extracted().lastIndexOf('\n')) + "\n ERROR : file extraction to "
                                + wizardPath + " :28\n");
        QCOMPARE(status, 28);
        QVERIFY2(err.isEmpty(), err.constData());
    }

    // pipe() fails with EMFILE when no descriptor is left for it (the
    // launcher holds its own file and its run lock open besides the standard three).
    void wizardCannotStart()
    {
        int status;
        QByteArray out = run(launcher, {}, {}, {"DISPLAY=:99"}, &status, {"prlimit", "--nofile=6:6"});
        QVERIFY2(err.isEmpty(), err.constData());
        // The reason in brackets is the C library's text: glibc and musl word it differently.
        const int reason = out.lastIndexOf(" (");
        QVERIFY2(reason > 0 && out.endsWith(")\n"), out.constData());
        COMPARE_OUTPUT(out.left(reason), extracted() + "\n ERROR : cannot start the ui installer " + wizardPath + " :24");
        QCOMPARE(status, 24);
        QVERIFY(!exists(t + "/wizard-saw/package"));
    }

    // A user who is not root meets root's files in /tmp.
    void otherUser_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("status");
        const QByteArray rootsFile = "\n %D belongs to user root, and this user may not replace it: have that user or"
                                     " root remove it (rm %D), then run the installer again.\n";
        QTest::newRow("graphical") << QStringList() << "\n Failed in extracting Native installer to : %D,13" + rootsFile
                                   << 13;
        QTest::newRow("text mode") << QStringList{"accepteula"}
                                   << kAcceptedOnCommandLine + extracting("%D") + "\n ERROR : file extraction to %D :1\n"
                                          + rootsFile
                                   << 1;
        QTest::newRow("extract elsewhere") << QStringList{"extract", "%T/out.rpm"}
                                           << extracting("%T/out.rpm") + kAccepted << 0;
    }

    void otherUser()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, output);
        QFETCH(int, status);
        if (geteuid() != 0)
            QSKIP("needs root to switch users");
        for (QString &a : args)
            a = QString::fromLatin1(expand(a.toLatin1()));
        QCOMPARE(::chmod(t.constData(), 0777), 0);
        const QByteArray copy = t + "/launcher";
        QVERIFY(QFile::copy(QString::fromLatin1(launcher), QString::fromLatin1(copy)));
        put(packagePath, "root's", 0666);
        int exitStatus;
        QByteArray out = run(copy, args, {}, {"DISPLAY=:99"}, &exitStatus,
                             {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        COMPARE_OUTPUT(out, expand(output));
        QCOMPARE(exitStatus, status);
        QCOMPARE(bytes(packagePath), QByteArray("root's"));
        if (status == 0)
            QCOMPARE(bytes(t + "/out.rpm"), package);
    }
};

QTEST_GUILESS_MAIN(LauncherTest)
#include "tst_launcher.moc"
