// The install worker hands its texts to receivers on the GUI thread by
// pointer, through queued signals. Qt's event queue orders each emission
// before its delivery, but ThreadSanitizer cannot see the locks inside the
// uninstrumented Qt library, and would take the receiver's read of a text
// for a race with the worker's writing of it. These two calls state that
// ordering for one text: the worker publishes the text right before it
// emits, and every receiving slot receives it before reading. They compile
// to nothing outside ThreadSanitizer builds; whether a text stays intact
// until its receivers are done (the permits) is still checked.
#ifndef TEXT_HANDOVER_U_H
#define TEXT_HANDOVER_U_H

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
inline void publish_text(const char *text) { __tsan_release(const_cast<char *>(text)); }
inline void receive_text(const char *text) { __tsan_acquire(const_cast<char *>(text)); }
#else
inline void publish_text(const char *) {}
inline void receive_text(const char *) {}
#endif

#endif
