#include "package_file_facts_u.h"
#include "rpm_header_u.h"

#include <QProcess>

#include <sys/utsname.h>

namespace {

// A query of the package database answers within this long, or not at all.
const int kQueryMs = 20000;
// Asked about one by one; beyond this many they are named without asking.
const int kMaxQueries = 64;

// Runs program with arguments in the C locale: its output, and whether it
// ended by itself with status 0.
bool query(const QString &program, const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (!process.waitForStarted(kQueryMs))
        return false;
    if (!process.waitForFinished(kQueryMs)) {
        process.kill();
        process.waitForFinished(kQueryMs);
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

QString machineArchitecture()
{
    struct utsname name;
    return uname(&name) == 0 ? QString::fromLatin1(name.machine) : QString();
}

bool rpmArchitectureRunsHere(const QString &arch)
{
    const QString machine = machineArchitecture();
    if (arch.isEmpty() || machine.isEmpty() || arch == machine || arch == QLatin1String("noarch"))
        return true;
    static const QStringList x86 = {QStringLiteral("i386"), QStringLiteral("i486"), QStringLiteral("i586"),
                                    QStringLiteral("i686"), QStringLiteral("athlon"), QStringLiteral("pentium3"),
                                    QStringLiteral("pentium4"), QStringLiteral("geode")};
    if (machine == QLatin1String("x86_64"))
        return x86.contains(arch) || arch == QLatin1String("amd64") || arch == QLatin1String("ia32e");
    // A 32-bit x86 machine runs the 32-bit x86 packages up to its own.
    const int own = x86.indexOf(machine), theirs = x86.indexOf(arch);
    return own >= 0 && theirs >= 0 && theirs <= own;
}

QStringList rpmUnmetReasons(const RpmHeader &header)
{
    QStringList lines;
    if (!rpmArchitectureRunsHere(header.arch))
        lines << QStringLiteral("The package is built for the %1 architecture, and this computer's is %2: it "
                                "cannot be installed here. Use the installer built for %2.")
                     .arg(header.arch, machineArchitecture());
    // rpm exits 1 for a capability nothing provides; a query that fails
    // otherwise (no rpm at all) cannot tell, and every one is named.
    QStringList missing;
    const bool rpmAnswers = query(QStringLiteral("rpm"), {QStringLiteral("--version")});
    for (int i = 0; i < header.requiredNames.size(); ++i) {
        if (!rpmAnswers || i >= kMaxQueries
            || !query(QStringLiteral("rpm"), {QStringLiteral("-q"), QStringLiteral("--whatprovides"), header.requiredNames.at(i)}))
            missing << header.requires.at(i);
    }
    if (!missing.isEmpty())
        lines << (rpmAnswers ? QStringLiteral("The package needs what nothing installed on this system provides: %1.")
                             : QStringLiteral("The package needs these, which the system may lack: %1."))
                     .arg(missing.join(QStringLiteral(", ")));
    return lines;
}

bool packageFileInstalled(const QString &path, bool deb)
{
    if (!deb) {
        const RpmHeader header = readRpmHeader(path);
        return header.complete()
               && query(QStringLiteral("rpm"), {QStringLiteral("-q"),
                                                header.name + '-' + header.version + '-' + header.release});
    }
    QByteArray fields;
    if (!query(QStringLiteral("dpkg-deb"), {QStringLiteral("--showformat=${Package}\\n${Version}\\n"),
                                            QStringLiteral("--show"), path}, &fields))
        return false;
    const QList<QByteArray> file = fields.split('\n');
    QByteArray state;
    if (file.size() < 2 || file.at(0).isEmpty()
        || !query(QStringLiteral("dpkg-query"), {QStringLiteral("--showformat=${db:Status-Status}\\n${Version}\\n"),
                                                 QStringLiteral("--show"), QString::fromUtf8(file.at(0))}, &state))
        return false;
    const QList<QByteArray> installed = state.split('\n');
    return installed.size() >= 2 && installed.at(0) == "installed" && installed.at(1) == file.at(1);
}
