// What every table of whole runs needs: a row's steps run as real programs
// with a bound, and the facts they leave (status, output, files) read back
// for the row's verdict. The shell steps only run; the rows judge.
#ifndef TABLE_STEPS_H
#define TABLE_STEPS_H

#include <QtTest>

#include <cstdio>

// One program run as a step; env adds NAME=VALUE to this process's own.
struct Step {
    explicit Step(const QString &program, const QStringList &args, const QStringList &env = {})
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        for (const QString &v : env)
            e.insert(v.section('=', 0, 0), v.section('=', 1));
        p.setProcessEnvironment(e);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, args);
    }
    // Until a line of its output starts with prefix, it ends, or boundMs pass.
    void awaitLine(const QByteArray &prefix, int boundMs)
    {
        const QDeadlineTimer bound(boundMs);
        while (!('\n' + output).contains('\n' + prefix) && p.state() != QProcess::NotRunning && !bound.hasExpired()) {
            p.waitForReadyRead(100);
            output += p.readAll();
        }
    }
    // Its exit status, or -1 when it could not start, was killed by a
    // signal, or still ran after boundMs (then it is killed).
    int finish(int boundMs)
    {
        const bool inTime = p.state() == QProcess::NotRunning || p.waitForFinished(boundMs);
        if (!inTime)
            p.kill(), p.waitForFinished();
        output += p.readAll();
        return inTime && p.error() != QProcess::FailedToStart && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    QProcess p;
    QByteArray output; // standard output and error, merged
};

// Runs a step to its end: its status (as Step::finish) and its output.
inline QPair<int, QByteArray> run_step(const QString &program, const QStringList &args, int boundMs, const QStringList &env = {})
{
    Step s(program, args, env);
    const int status = s.finish(boundMs);
    return {status, s.output};
}

// The file that a step left at path; a null array where there is none.
inline QByteArray fact(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A Qt Test main for a table without a GUI. Where T::skipReason() names a
// reason, nothing runs and the status is 77, which ctest counts as skipped.
#define QOR_TABLE_MAIN(T) \
    int main(int argc, char **argv) \
    { \
        QCoreApplication app(argc, argv); \
        T t; \
        return T::skipReason().isEmpty() ? QTest::qExec(&t, argc, argv) \
                                         : (std::printf("SKIP: %s\n", qPrintable(T::skipReason())), 77); \
    }

#endif
