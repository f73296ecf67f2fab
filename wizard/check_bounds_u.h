// How long the wizard's checks wait for the programs they ask (the
// product's client for its version, dpkg-query for the prerequisites). The
// GUI thread waits there, so every wait is bounded: a program that hangs
// must not keep the wizard from appearing, nor freeze it. The bounds are
// generous because a first start after boot may be slow.
#ifndef CHECK_BOUNDS_U_H
#define CHECK_BOUNDS_U_H

// To start, and to answer.
const int kCheckStartMs = 30000;
const int kCheckAnswerMs = 30000;
// After a kill it is gone within moments; a program stuck in the kernel is
// not waited for for ever either.
const int kCheckReapMs = 5000;

#endif
