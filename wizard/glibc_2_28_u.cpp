// Linked in only when the wizard is built against a static Qt (linked with
// -Wl,--wrap for each function below). glibc 2.29 gave these maths functions
// new symbol versions (without the old SVID error handling); a program that
// is to start on glibc 2.28 (RHEL 8) must ask for the old ones, which every
// later glibc still provides with the same results for the wizard's uses.
// The wrap reaches the calls inside Qt's static libraries too, which a
// .symver in our own sources alone would not.

#define QOR_OLD_GLIBC_FUNCTION(name, signature, args)                                              \
    extern "C" double qor_##name##_2_2_5 signature;                                                \
    __asm__(".symver qor_" #name "_2_2_5," #name "@GLIBC_2.2.5");                                  \
    extern "C" double __wrap_##name signature { return qor_##name##_2_2_5 args; }

QOR_OLD_GLIBC_FUNCTION(exp, (double x), (x))
QOR_OLD_GLIBC_FUNCTION(exp2, (double x), (x))
QOR_OLD_GLIBC_FUNCTION(log, (double x), (x))
QOR_OLD_GLIBC_FUNCTION(log2, (double x), (x))
QOR_OLD_GLIBC_FUNCTION(pow, (double x, double y), (x, y))
