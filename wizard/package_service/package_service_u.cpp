// The contract's names, flags and lines: each line's form is written here,
// printed here and read back here, nowhere else, in the one encoding that
// every text reaching the install page is in.
#include "package_service_u.h"

#include <cstdio>

#include <QByteArray>
#include <QRegularExpression>
#include <QTextCodec>

#include <langinfo.h>

const char kPackageKitInstallArgument[] = "--install-with-packagekit";
const char kDnf5DaemonInstallArgument[] = "--install-with-dnf5daemon";
const char kDebArgument[] = "--deb";
const char kRpmArgument[] = "--rpm";
const char kClientParentVariable[] = "QOR_CLIENT_PARENT";

namespace {

const PackageService kServices[] = {PackageService::PackageKit, PackageService::Dnf5Daemon};

const QLatin1String kAskingStart("asking to install ");
const QLatin1String kBackendStart(" (backend: ");
const QLatin1String kPackageWord(" package ");
const QLatin1String kProgressEnd("% done");

} // namespace

QString packageServiceName(PackageService service)
{
    switch (service) {
    case PackageService::PackageKit:
        break;
    case PackageService::Dnf5Daemon:
        return QStringLiteral("dnf5 daemon");
    }
    return QStringLiteral("PackageKit");
}

QString packageServiceIntroduction(PackageService service)
{
    return QStringLiteral("The package is installed by %1, this system's software service. "
                          "The system will ask for your password.")
        .arg(service == PackageService::Dnf5Daemon ? QStringLiteral("the dnf5 daemon") : packageServiceName(service));
}

QStringList packageServiceArguments(PackageService service, bool deb, const QString &path)
{
    const char *flag = service == PackageService::Dnf5Daemon ? kDnf5DaemonInstallArgument : kPackageKitInstallArgument;
    return {QLatin1String(flag), QLatin1String(deb ? kDebArgument : kRpmArgument), path};
}

ServiceLine ServiceLine::note(const QString &text)
{
    return {Note, PackageService::PackageKit, text, QString(), QString(), 0};
}

ServiceLine ServiceLine::asking(PackageService service, const QString &path, const QString &backend)
{
    return {Asking, service, path, backend, QString(), 0};
}

ServiceLine ServiceLine::state(PackageService service, const QString &words)
{
    return {State, service, words, QString(), QString(), 0};
}

ServiceLine ServiceLine::package(PackageService service, const QString &action, const QString &package)
{
    return {Package, service, package, QString(), action, 0};
}

ServiceLine ServiceLine::progress(PackageService service, int percent)
{
    return {Progress, service, QString(), QString(), QString(), percent};
}

bool ServiceLine::operator==(const ServiceLine &other) const
{
    return kind == other.kind && (kind == Note || service == other.service) && text == other.text
           && backend == other.backend && action == other.action && percent == other.percent;
}

QString writeServiceLine(const ServiceLine &line)
{
    if (line.kind == ServiceLine::Note)
        return line.text;
    const QString start = packageServiceName(line.service) + QStringLiteral(": ");
    switch (line.kind) {
    case ServiceLine::Asking:
        return start + kAskingStart + line.text + kBackendStart + line.backend + QLatin1Char(')');
    case ServiceLine::Package:
        return start + line.action + kPackageWord + line.text;
    case ServiceLine::Progress:
        return start + QString::number(line.percent) + kProgressEnd;
    case ServiceLine::Note:
    case ServiceLine::State:
        break;
    }
    return start + line.text;
}

ServiceLine readServiceLine(const QString &line)
{
    for (const PackageService service : kServices) {
        const QString start = packageServiceName(service) + QStringLiteral(": ");
        if (!line.startsWith(start))
            continue;
        const QString rest = line.mid(start.size());
        static const QRegularExpression percentage(QStringLiteral("^(\\d{1,3})% done$"));
        const QRegularExpressionMatch done = percentage.match(rest);
        if (done.hasMatch() && done.captured(1).toInt() <= 100)
            return ServiceLine::progress(service, done.captured(1).toInt());
        const int backendAt = rest.lastIndexOf(kBackendStart);
        if (rest.startsWith(kAskingStart) && backendAt >= kAskingStart.size() && rest.endsWith(QLatin1Char(')'))) {
            const int backendFrom = backendAt + kBackendStart.size();
            return ServiceLine::asking(service, rest.mid(kAskingStart.size(), backendAt - kAskingStart.size()),
                                       rest.mid(backendFrom, rest.size() - 1 - backendFrom));
        }
        const int wordEnd = rest.indexOf(QLatin1Char(' '));
        if (wordEnd > 0 && rest.midRef(wordEnd).startsWith(kPackageWord) && rest.size() > wordEnd + kPackageWord.size())
            return ServiceLine::package(service, rest.left(wordEnd), rest.mid(wordEnd + kPackageWord.size()));
        return ServiceLine::state(service, rest);
    }
    return ServiceLine::note(line);
}

// Qt's own idea of the locale's encoding is not the C library's: a Qt
// built with ICU answers UTF-8 in an ISO-8859-1 locale, and reads Latin-1
// output as broken UTF-8. The tools write in the encoding that
// nl_langinfo(CODESET) names, so that name decides. The C and POSIX
// locales name plain ASCII ("ANSI_X3.4-1968" to glibc), which leaves every
// other byte unreadable: those are read as UTF-8, the encoding of every
// current system, of which ASCII is a part.
QTextCodec *installTextCodec()
{
    const QByteArray charset(nl_langinfo(CODESET));
    if (charset.isEmpty() || charset == "ANSI_X3.4-1968" || charset == "ASCII" || charset == "US-ASCII")
        return QTextCodec::codecForName("UTF-8");
    if (QTextCodec *codec = QTextCodec::codecForName(charset))
        return codec;
    return QTextCodec::codecForLocale();
}

void say(const ServiceLine &line)
{
    const QByteArray bytes = installTextCodec()->fromUnicode(writeServiceLine(line)) + '\n';
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    fflush(stdout);
}

void say(const QString &words)
{
    say(ServiceLine::note(words));
}
