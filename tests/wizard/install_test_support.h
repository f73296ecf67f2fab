// Shared by the install worker and install page tests: what they install,
// and a folder of tool stand-ins put in front of PATH with a private HOME.
#ifndef INSTALL_TEST_SUPPORT_H
#define INSTALL_TEST_SUPPORT_H

#include "../test_waits.h"
#include "install_road_u.h"
#include "package_service_u.h"
#include "qor_build_config.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <unistd.h>

// A file the build made, or its copy in the folder QOR_TEST_KIT names: a
// test run as another user gets copies in a folder that user may read,
// whatever the modes of the folders above the checkout.
inline QString testInput(const char *builtPath)
{
    const QString path = QString::fromLocal8Bit(builtPath);
    const QByteArray kit = qgetenv("QOR_TEST_KIT");
    return kit.isEmpty() ? path : QFile::decodeName(kit) + QLatin1Char('/') + QFileInfo(path).fileName();
}

// A temporary folder with bin/ (the stand-ins, first on PATH) and home/
// (HOME). Restores PATH and HOME when it goes.
class ToolSandbox
{
public:
    ToolSandbox()
        : savedPath(qgetenv("PATH")), savedHome(qgetenv("HOME")),
          hadHome(qEnvironmentVariableIsSet("HOME"))
    {
        QDir(dir.path()).mkpath(QStringLiteral("bin"));
        QDir(dir.path()).mkpath(QStringLiteral("home"));
        for (const char *tool : {"rpm", "dpkg", "pkexec", "gpk-install-local-file"})
            QFile::link(testInput(QOR_TOOL_STANDIN), bin() + QLatin1Char('/') + QLatin1String(tool));
        // Only the system folders behind the stand-ins: no installed product
        // client (qor-cli) or real package tool is found by accident.
        qputenv("PATH", QFile::encodeName(bin()) + ":/usr/bin:/bin");
        qputenv("HOME", QFile::encodeName(home()));
        qputenv("QOR_TOOL_DIR", QFile::encodeName(dir.path()));
    }
    ~ToolSandbox()
    {
        qputenv("PATH", savedPath);
        if (hadHome)
            qputenv("HOME", savedHome);
        else
            qunsetenv("HOME");
        qunsetenv("QOR_TOOL_DIR");
        qunsetenv("QOR_TOOL_MODE");
    }

    QString path() const { return dir.path(); }
    QString bin() const { return dir.path() + QStringLiteral("/bin"); }
    QString home() const { return dir.path() + QStringLiteral("/home"); }
    QString logPath() const { return home() + QStringLiteral("/.qor/install.log"); }

    // Lets the stand-in write its next piece of output.
    void openGate(int n) const
    {
        QFile gate(dir.path() + QStringLiteral("/go") + QString::number(n));
        gate.open(QIODevice::WriteOnly);
    }

    // What the stand-in was called as, then its arguments, one per line.
    QByteArray argv() const
    {
        QFile f(dir.path() + QStringLiteral("/argv"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<not run>");
    }

    static QByteArray readFile(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

private:
    QTemporaryDir dir;
    QByteArray savedPath;
    QByteArray savedHome;
    bool hadHome;
};

inline bool runningAsRoot() { return getuid() == 0; }

// What a test installs: PATH, of the kind given, through the real wizard
// program where PackageKit installs it.
inline InstallTarget testTarget(const QString &path = QString::fromLatin1(QOR_PACKAGE_PATH),
                                bool deb = QOR_PACKAGE_IS_DEB)
{
    return {path, deb, testInput(QOR_WIZARD_BIN)};
}

// The program the worker runs for this user and kind of package.
inline QByteArray expectedTool(bool ubuntu)
{
    if (ubuntu)
        return runningAsRoot() ? "dpkg" : "pkexec";
    return runningAsRoot() ? "rpm" : "gpk-install-local-file";
}

// The trailer a failed run leaves for the tool that this user gets.
inline QByteArray failureTrailer(int code, bool ubuntu, const QByteArray &path)
{
    QByteArray args;
    if (ubuntu)
        args = runningAsRoot() ? "-i;" : "gdebi;-n;-q;";
    else if (runningAsRoot())
        args = "-U;";
    return "\nError Code:" + QByteArray::number(code) + "\nApplication:" + expectedTool(ubuntu)
           + "\nArguments:" + args + path;
}

#endif
