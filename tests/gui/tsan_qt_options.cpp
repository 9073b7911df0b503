// ThreadSanitizer's options for the programs that run the window under it.
#if defined(__SANITIZE_THREAD__)
// Qt's libraries are not built with ThreadSanitizer: their own threads (the
// platform's thread pool, font loading) allocate and free through the
// detector's interceptors while their synchronisation stays invisible to it.
// Interceptors then check only calls made from instrumented code, so ours,
// the window's hand-over queues included, is still checked in full. The
// lock of Qt's event queue is just as invisible: no data of ours may cross
// threads in a queued call, only wake-ups; it goes under our own locks.
extern "C" const char* __tsan_default_options() {
  return "ignore_noninstrumented_modules=1";
}
#endif
