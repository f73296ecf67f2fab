// The encoding of the texts that reach the install page: the package tools'
// output, read in the locale's encoding, and what the wizard itself writes
// there (the PackageKit mode's lines among them), encoded with it.
#ifndef TEXT_CODEC_U_H
#define TEXT_CODEC_U_H

class QTextCodec;

// The codec of the encoding that nl_langinfo(CODESET) names for the
// current locale, whichever Qt the wizard is built with; UTF-8 for the C
// and POSIX locales. Never null.
QTextCodec *installTextCodec();

#endif
