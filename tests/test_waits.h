// How long a test waits for something that normally takes milliseconds: a
// window shown, a child started, a queued signal delivered. Each wait ends as
// soon as its condition holds, so the bound costs nothing on a fast machine;
// it is set for a slow, loaded two-core machine starting cold (libraries,
// fonts and X keymaps read from disk while other tests run).
#ifndef TEST_WAITS_H
#define TEST_WAITS_H

constexpr int kPatienceMs = 60000;

#endif
