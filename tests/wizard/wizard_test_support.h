// Shared by the wizard page, version-check and program tests: stand-in
// programs on PATH, the licence file at its fixed path, screenshots of the
// real window, and the messages a child left behind.
#ifndef WIZARD_TEST_SUPPORT_H
#define WIZARD_TEST_SUPPORT_H

#include "../test_waits.h"
#include "qor_build_config.h"

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QTemporaryDir>
#include <QWidget>

#include <unistd.h>

// Writes an executable shell script.
inline bool writeScript(const QString &path, const QByteArray &body)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write("#!/bin/sh\n" + body);
    file.close();
    return file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                               | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                               | QFile::ExeOther);
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A private folder whose bin/ comes first on PATH, before only the system
// folders (so that no installed product client is found by accident), and
// whose home/ is HOME. Restores both when it goes.
class StandinPath
{
public:
    StandinPath()
        : savedPath(qgetenv("PATH")), savedHome(qgetenv("HOME"))
    {
        QDir(dir.path()).mkpath(QStringLiteral("bin"));
        QDir(dir.path()).mkpath(QStringLiteral("home"));
        qputenv("PATH", QFile::encodeName(bin()) + ":/usr/bin:/bin");
        qputenv("HOME", QFile::encodeName(home()));
    }
    ~StandinPath()
    {
        qputenv("PATH", savedPath);
        qputenv("HOME", savedHome);
    }

    QString path() const { return dir.path(); }
    QString bin() const { return dir.path() + QStringLiteral("/bin"); }
    QString home() const { return dir.path() + QStringLiteral("/home"); }
    QString file(const QString &name) const { return dir.path() + QLatin1Char('/') + name; }

    bool addProgram(const QString &name, const QByteArray &body) const
    {
        return writeScript(bin() + QLatin1Char('/') + name, body);
    }
    // A program that records, in the file record/NAME, that it ran: its
    // LIBOVERLAY_SCROLLBAR (or "unset"), what its standard output is, and
    // its mask of ignored signals; then it prints a line on its standard
    // output and records that it survived doing so; last, after "qt=", the
    // environment variables of Qt it has.
    bool addRecorder(const QString &name, const QByteArray &thenRun = QByteArray()) const
    {
        QDir(dir.path()).mkpath(QStringLiteral("record"));
        const QByteArray record = QFile::encodeName(file(QStringLiteral("record/") + name));
        return addProgram(name,
                          "rec='" + record + ".part'\n"
                          "if [ \"${LIBOVERLAY_SCROLLBAR+set}\" = set ]; then\n"
                          "  echo \"overlay=[$LIBOVERLAY_SCROLLBAR]\" > \"$rec\"\n"
                          "else\n"
                          "  echo overlay=unset > \"$rec\"\n"
                          "fi\n"
                          "echo \"stdout=$(readlink /proc/$$/fd/1)\" >> \"$rec\"\n"
                          "grep '^SigIgn:' /proc/$$/status >> \"$rec\"\n"
                          "echo 'a line on standard output'\n"
                          "echo survived >> \"$rec\"\n"
                          "echo qt= >> \"$rec\"\n"
                          "env | grep '^QT_' | sort >> \"$rec\"\n"
                          "mv \"$rec\" '" + record + "'\n"
                          + thenRun);
    }
    QString recordPath(const QString &name) const { return file(QStringLiteral("record/") + name); }

private:
    QTemporaryDir dir;
    QByteArray savedPath;
    QByteArray savedHome;
};

// Bit of SIGPIPE (13) in a "SigIgn:" mask from /proc/PID/status.
// While it lives, this process's standard output is a pipe whose reader is
// gone, as the launcher leaves the wizard's: a write there raises SIGPIPE.
class StdoutWithoutReader
{
public:
    StdoutWithoutReader() : saved(dup(STDOUT_FILENO))
    {
        int ends[2];
        ok = saved >= 0 && pipe(ends) == 0;
        if (!ok)
            return;
        dup2(ends[1], STDOUT_FILENO);
        ::close(ends[0]);
        ::close(ends[1]);
    }
    ~StdoutWithoutReader() { restore(); }
    bool isSet() const { return ok; }
    void restore()
    {
        if (saved < 0)
            return;
        dup2(saved, STDOUT_FILENO);
        ::close(saved);
        saved = -1;
    }

private:
    int saved;
    bool ok;
};

inline bool sigpipeIgnored(const QByteArray &record)
{
    for (const QByteArray &line : record.split('\n')) {
        if (line.startsWith("SigIgn:"))
            return line.mid(7).trimmed().toULongLong(nullptr, 16) & (1ULL << (13 - 1));
    }
    return true;
}

// The licence file at the fixed path the wizard reads, written for a test
// and put back as it was afterwards. Tests using it hold the CTest lock
// qor-licence-file.
class LicenceFile
{
public:
    LicenceFile()
        : path(QString::fromLatin1(QOR_LICENSE_PATH)), existed(QFile::exists(path))
    {
        if (existed)
            saved = readFile(path);
    }
    ~LicenceFile()
    {
        QFile::remove(path);
        if (existed) {
            QFile file(path);
            if (file.open(QIODevice::WriteOnly))
                file.write(saved);
        }
    }
    bool write(const QByteArray &bytes) const
    {
        QFile::remove(path);
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }
    bool remove() const { return !QFile::exists(path) || QFile::remove(path); }

private:
    QString path;
    bool existed;
    QByteArray saved;
};

// Saves what the X server shows of a top-level window, for a reviewer; on
// a screen that Qt scales by 2, "name.png" becomes "name@2x.png".
inline bool saveScreenshot(QWidget *window, const QString &name)
{
    QDir().mkpath(QStringLiteral(QOR_SCREENSHOT_DIR));
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return false;
    const QPixmap shot = screen->grabWindow(window->winId());
    QString file = name;
    if (window->devicePixelRatioF() > 1)
        file.insert(file.lastIndexOf(QLatin1Char('.')), QStringLiteral("@%1x").arg(window->devicePixelRatioF()));
    return !shot.isNull() && shot.save(QStringLiteral(QOR_SCREENSHOT_DIR) + QLatin1Char('/') + file);
}

#endif
