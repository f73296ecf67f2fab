// The release wizard asks the user's system only for what every X11 desktop
// since RHEL 8 has: no Qt, no C++ runtime, each NEEDED entry on the list
// below, and no glibc symbol version newer than 2.28. It opens its window on
// today's desktops, and its release build outlives today's qtbase source.
#include "../table_steps.h"
#include "../test_waits.h"

#include <unistd.h>

namespace {
const QString kWizard = QOR_RELEASE_WIZARD, kSrc = QOR_SOURCE_DIR;
const QString kHowToBuild = "cmake --preset release && cmake --build --preset release";
constexpr int kBuildMs = 1200000;

// The wizard under an Xvfb of its own at dpi, with vars (NAME=VALUE): its
// window's size (WxH, empty where none showed), exit status and output.
QList<QByteArray> show(const QStringList &vars, int dpi, const QString &shot = QString())
{
    QTemporaryDir r;
    const QStringList step{kSrc + "/tests/release/self_contained.sh", kWizard, shot, r.path()};
    const auto ran = run_step(QOR_XVFB_RUN, QStringList{"env"} + vars + step, 300000,
                              {"QOR_XVFB_DPI=" + (dpi == 96 ? "" : QString::number(dpi))});
    return {fact(r.path() + "/size").trimmed(), fact(r.path() + "/status").trimmed(), fact(r.path() + "/out") + ran.second};
}
}

class SelfContained : public QObject
{
    Q_OBJECT

public:
    static QString skipReason() { return QFile::exists(kWizard) || !geteuid() ? "" : kWizard + " is built as root only (" + kHowToBuild + ")"; }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(kWizard), qPrintable(kWizard + " does not exist: build it with " + kHowToBuild));
        QDir().mkpath(QOR_SCREENSHOTS);
    }

    // Row: what objdump shows with an option, a line that must be there
    // (it was read), and lines that must not: NEEDED libraries that are not
    // on every desktop, versions of glibc newer than 2.28, and those of a C++
    // runtime, which would fail where the system's is older.
    void asksOnlyForWhatEveryDesktopHas_data()
    {
        for (const char *column : {"option", "read", "forbidden"})
            QTest::addColumn<QString>(column);
        const QString everywhere = "libc.so.6 libm.so.6 libpthread.so.0 libdl.so.2 librt.so.1 ld-linux-x86-64.so.2 "
            "libX11.so.6 libX11-xcb.so.1 libxcb.so.1 libxcb-randr.so.0 libxcb-render.so.0 libxcb-shape.so.0 libxcb-shm.so.0 "
            "libxcb-sync.so.1 libxcb-xfixes.so.0 libxcb-xkb.so.1 libxkbcommon.so.0 libxkbcommon-x11.so.0 libfontconfig.so.1 "
            "libfreetype.so.6 libdbus-1.so.3";
        QTest::newRow("NEEDED") << "-p" << R"(^\s*NEEDED\s)"
                                << R"(^\s*NEEDED\s+(?!()" + QRegularExpression::escape(everywhere).replace("\\ ", "|") + R"()\s*$)\S)";
        QTest::newRow("glibc newer than 2.28") << "-T" << "GLIBC_2[.]" << R"(GLIBC_(2\.(29|[3-9][0-9])|[3-9]))";
        QTest::newRow("the system's C++ runtime") << "-T" << "GLIBC_2[.]" << "GLIBCXX_|CXXABI_|GCC_[0-9]";
    }
    void asksOnlyForWhatEveryDesktopHas()
    {
        QFETCH(QString, option);
        QFETCH(QString, read);
        QFETCH(QString, forbidden);
        const QString dump = run_step("objdump", {option, kWizard}, kPatienceMs).second;
        QVERIFY2(dump.contains(QRegularExpression(read, QRegularExpression::MultilineOption)), qPrintable("nothing read:\n" + dump));
        const QStringList seen = dump.split('\n').filter(QRegularExpression(forbidden)).replaceInStrings(QRegularExpression(" {2,}"), " ");
        QVERIFY2(seen.isEmpty(), qPrintable("asks for " + seen.join(", ")));
    }

    // Row: the variables under an Xvfb, its dpi, the exit status (3: the
    // window was closed), and the window: a Wayland desktop whose Xwayland
    // serves DISPLAY, one with no X display, and a scale of 2, where the
    // window is twice its size at 96 dpi.
    void opensOnTodaysDesktops_data()
    {
        QTest::addColumn<QStringList>("vars");
        QTest::addColumn<int>("dpi");
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QString>("window");
        QTest::newRow("Xwayland") << QStringList{"QT_QPA_PLATFORM=wayland"} << 96 << QByteArray("3") << "opens";
        QTest::newRow("Wayland alone") << QStringList{"DISPLAY=", "QT_QPA_PLATFORM=wayland", "WAYLAND_DISPLAY=wayland-0"} << 96 << QByteArray("1") << "none";
        QTest::newRow("X11") << QStringList() << 96 << QByteArray("3") << "opens";
        QTest::newRow("X11 at a scale of 2") << QStringList() << 192 << QByteArray("3") << "twice";
    }
    void opensOnTodaysDesktops()
    {
        QFETCH(QStringList, vars);
        QFETCH(int, dpi);
        QFETCH(QByteArray, status);
        QFETCH(QString, window);
        const QList<QByteArray> seen = show(vars, dpi, window == "twice" ? QOR_SCREENSHOTS "/release-welcome@2x.png" : "");
        const QByteArray size = seen[0], report = "window " + size + ", status " + seen[1] + ", output:\n" + seen[2];
        QVERIFY2(seen[1] == status, report);
        QVERIFY2(window == "none" ? size.isEmpty() && seen[2].contains("cannot open the X display") : !size.isEmpty(), report);
        const QList<QByteArray> twice = size.split('x'), once = window == "twice" ? show(vars, 96)[0].split('x') : twice;
        for (int i = 0; window == "twice" && i < 2; ++i)
            QVERIFY2(once.size() == 2 && twice.size() == 2 && twice[i].toDouble() > 1.8 * once[i].toDouble() && twice[i].toDouble() < 2.2 * once[i].toDouble(),
                     "at 192 dpi " + size + ", at 96 dpi " + once.join('x'));
    }

    // A release built where the pinned qtbase source is gone from Debian's
    // archive takes the one it serves, and says so.
    void buildsWhenItsQtSourceIsGone()
    {
        QTemporaryDir b;
        const QString gone = "5.15.8+dfsg-11+deb12u1";
        const QStringList env{"QOR_QT_SOURCE_VERSION=" + gone};
        const auto configured = run_step(QOR_CMAKE, {"-S", kSrc, "-B", b.path(), "-DQOR_SELF_CONTAINED_WIZARD=ON", "-DBUILD_TESTING=OFF"}, kBuildMs, env);
        const auto built = run_step(QOR_CMAKE, {"--build", b.path()}, kBuildMs, env);
        const QByteArray log = configured.second + built.second;
        QVERIFY2(configured.first == 0 && built.first == 0 && QFileInfo(b.path() + "/qor-setup").isExecutable(), log.right(3000));
        QVERIFY2(log.contains(("names qtbase-opensource-src " + gone + ", which Debian's archive no longer serves").toUtf8()), log.right(3000));
    }
    // Offline, the static Qt built for the source Debian serves.
    void buildsOffline()
    {
        const auto built = run_step("unshare", {"--net", kSrc + "/tools/build-static-qt.sh"}, kBuildMs);
        QVERIFY2(built.first == 0, built.second);
        qInfo("%s", built.second.constData());
    }
};

QOR_TABLE_MAIN(SelfContained)
#include "tst_self_contained.moc"
