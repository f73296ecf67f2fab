#include "package_service_u.h"

#include <QByteArray>
#include <QTextCodec>

#include <langinfo.h>

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
