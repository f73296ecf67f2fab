// Shared by the launcher's tests: the launcher as a real process, run with
// a stand-in rpm first on PATH in a temporary folder of the test's own, and
// the launcher's own texts that the tests expect. The launcher under test
// comes from the environment, so the same programs check a plain and a
// sanitizer build. Each launcher has its own package file name, so runs in
// parallel never share /tmp files; the tests of one launcher hold its /tmp
// paths in turn (RESOURCE_LOCK in CMakeLists.txt).
#ifndef LAUNCHER_TEST_SUPPORT_H
#define LAUNCHER_TEST_SUPPORT_H

#include "payload/seal_layout_t.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

inline QByteArray env(const char *name)
{
    QByteArray value = qgetenv(name);
    if (value.isEmpty())
        qFatal("%s is not set", name);
    return value;
}

inline QByteArray bytes(const QByteArray &path)
{
    QFile f(QString::fromLocal8Bit(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

inline void put(const QByteArray &path, const QByteArray &data, int mode = 0644)
{
    QFile f(QString::fromLocal8Bit(path));
    QVERIFY2(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size(), path.constData());
    f.close();
    QCOMPARE(::chmod(path.constData(), mode), 0);
}

// QCOMPARE shows only the start of long outputs; this shows where they part.
inline QString difference(const QByteArray &actual, const QByteArray &expected)
{
    int at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
        ++at;
    return QStringLiteral("output differs at byte %1:\n  actual:   %2\n  expected: %3")
        .arg(QString::number(at), QString::fromLatin1(actual.mid(qMax(0, at - 40), 120)),
             QString::fromLatin1(expected.mid(qMax(0, at - 40), 120)));
}
#define COMPARE_OUTPUT(actual, expected) QVERIFY2((actual) == (expected), qPrintable(difference(actual, expected)))

inline bool exists(const QByteArray &path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0;
}

const QByteArray kAccepted = "\n\nLicense Agreement Terms: Accepted\n";
const QByteArray kNotAccepted = "\n\nLicense Agreement Terms: Not Accepted\n";
const QByteArray kAcceptedOnCommandLine = "\n Product License Agreement Terms Accepted.\n";

inline QByteArray extracting(const QByteArray &path) { return "\n Extracting native installer to '" + path + "'\n"; }
inline QByteArray noFileName(const QByteArray &path)
{
    return "\n WARNING: no filename specified to be extracted, usign " + path + "\n";
}

inline QByteArray damaged(const char *what)
{
    return "\n ERROR : the installer file is damaged: its " + QByteArray(what)
           + " does not match its checksum ; download it again\n";
}

// The state of one test: its folder, with a stand-in rpm, and the launcher's
// fixed /tmp paths, cleared before and after. setUp and tearDown are the
// test classes' init and cleanup.
class LauncherFixture
{
protected:
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
            ::unlink(p.constData()) == 0 || ::rmdir(p.constData());
    }

    void setUp()
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
    void tearDown()
    {
        removeFixedFiles();
        tmp.reset();
    }
};

#endif
