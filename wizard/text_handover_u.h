// The install worker hands its texts to receivers on the GUI thread by
// pointer, through queued signals. Qt's event queue orders each emission
// before its delivery, but ThreadSanitizer cannot see the locks inside the
// uninstrumented Qt library, nor the copying it does there. These two calls
// describe one text to it: the worker publishes the text right before it
// emits (it has written those bytes), and every receiving slot receives it
// before reading (it reads them, after the emission). Whether a text stays
// intact until all its receivers are done with it (the permits) is then
// what ThreadSanitizer checks. Outside its builds they are empty.
#ifndef TEXT_HANDOVER_U_H
#define TEXT_HANDOVER_U_H

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
extern "C" void __tsan_read_range(void *addr, unsigned long size);
extern "C" void __tsan_write_range(void *addr, unsigned long size);
// Counted here rather than by strlen, whose interceptor the tests' own
// suppressions leave out.
inline unsigned long text_bytes(const char *text)
{
    unsigned long n = 0;
    while (text[n] != '\0')
        ++n;
    return n + 1;
}
inline void publish_text(const char *text)
{
    __tsan_write_range(const_cast<char *>(text), text_bytes(text));
    __tsan_release(const_cast<char *>(text));
}
inline void receive_text(const char *text)
{
    __tsan_acquire(const_cast<char *>(text));
    __tsan_read_range(const_cast<char *>(text), text_bytes(text));
}
// The same for the end of the worker's thread and the wait for it, which
// QThread::wait may settle by a flag under its own lock.
inline void publish_thread_end(const void *worker) { __tsan_release(const_cast<void *>(worker)); }
inline void receive_thread_end(const void *worker) { __tsan_acquire(const_cast<void *>(worker)); }
#else
inline void publish_text(const char *) {}
inline void receive_text(const char *) {}
inline void publish_thread_end(const void *) {}
inline void receive_thread_end(const void *) {}
#endif

#endif
