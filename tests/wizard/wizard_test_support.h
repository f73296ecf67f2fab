// Shared by the wizard page, licence page, version-check and program tests:
// stand-in programs on PATH, the licence file at its fixed path, checked
// screenshots of the real window, clicks, and the messages a child left
// behind.
#ifndef WIZARD_TEST_SUPPORT_H
#define WIZARD_TEST_SUPPORT_H

#include "../test_waits.h"
#include "qor_build_config.h"

#include <QAbstractButton>
#include <QApplication>
#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QSet>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
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

// The scale the test's X server asks of Qt: 2 at 192 dpi (QOR_XVFB_DPI, as
// tst_wizard_pages_2x has it), else 1.
inline int screenScale()
{
    return qMax(1, qEnvironmentVariableIntValue("QOR_XVFB_DPI") / 96);
}

// Whether a picture lacks what any window of ours shows: anti-aliased text
// and pictures give dozens of colours, an unpainted window (the screen's
// background, black or Xvfb's two-colour weave) a few.
inline bool isBlank(const QImage &picture)
{
    QSet<QRgb> colours;
    for (int y = 0; y < picture.height() && colours.size() < 16; y += 3) {
        for (int x = 0; x < picture.width(); x += 3)
            colours.insert(picture.pixel(x, y));
    }
    return colours.size() < 16;
}

// What is wrong with the picture the X server shows of a top-level window,
// or an empty text. It waits until the server shows what the window draws
// (once its last paint has reached the server), then asks that the window
// lies on the screen, that the picture is the window's size at the screen's
// scale and is not blank, and that no widget on show is cut. The picture is
// saved for a reviewer; on a screen that Qt scales by 2, "name.png" becomes
// "name@2x.png".
inline QString screenshotProblem(QWidget *window, const QString &name)
{
    QScreen *screen = window->screen();
    const auto text = [](const QSize &size) { return QStringLiteral("%1x%2").arg(size.width()).arg(size.height()); };
    // The server keeps no picture of what lies off the screen.
    if (!screen->geometry().contains(window->geometry()))
        return QStringLiteral("the window %1 at %2,%3 is not on the screen")
            .arg(text(window->size())).arg(window->x()).arg(window->y());
    QImage shown;
    QImage drawn;
    for (QDeadlineTimer deadline(kPatienceMs); !deadline.hasExpired(); QTest::qWait(50)) {
        shown = screen->grabWindow(window->winId()).toImage().convertToFormat(QImage::Format_RGB32);
        drawn = window->grab().toImage().convertToFormat(QImage::Format_RGB32);
        if (!shown.isNull() && shown == drawn)
            break;
    }
    QDir().mkpath(QStringLiteral(QOR_SCREENSHOT_DIR));
    QString file = QStringLiteral(QOR_SCREENSHOT_DIR "/") + name;
    if (screenScale() > 1)
        file.insert(file.lastIndexOf(QLatin1Char('.')), QStringLiteral("@%1x").arg(screenScale()));
    if (!shown.save(file))
        return QStringLiteral("cannot save ") + file;

    if (shown.size() != window->size() * screenScale())
        return QStringLiteral("%1 has %2 pixels, not the %3 of a window of %4 at scale %5")
            .arg(file, text(shown.size()), text(window->size() * screenScale()), text(window->size()))
            .arg(screenScale());
    if (shown != drawn)
        return file + QStringLiteral(" is not what the window draws");
    if (isBlank(shown))
        return file + QStringLiteral(" is blank");
    // Nothing cut: each widget on show has at least the room it asks for, a
    // word-wrapped label the height its text takes at its width.
    QStringList cut;
    QList<QWidget *> widgets = window->findChildren<QWidget *>();
    widgets << window;
    for (const QWidget *widget : qAsConst(widgets)) {
        QSize least = widget->minimumSizeHint();
        const QLabel *label = qobject_cast<const QLabel *>(widget);
        const QAbstractButton *button = qobject_cast<const QAbstractButton *>(widget);
        if (label && label->wordWrap())
            least.setHeight(label->heightForWidth(label->width()));
        if (widget->isVisible() && (widget->width() < least.width() || widget->height() < least.height()))
            cut << QStringLiteral("%1 \"%2\" has %3 pixels of the %4 it needs")
                       .arg(QLatin1String(widget->metaObject()->className()),
                            label ? label->text() : button ? button->text() : widget->objectName(),
                            text(widget->size()), text(least));
    }
    return cut.join(QStringLiteral("; "));
}

inline bool saveScreenshot(QWidget *window, const QString &name)
{
    return screenshotProblem(window, name).isEmpty();
}

// Clicks near the left edge: inside a check box's indicator, inside any
// button.
inline void click(QAbstractButton *button)
{
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, QPoint(6, button->height() / 2));
}

#endif
