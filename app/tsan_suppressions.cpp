// Built into the program and every test executable only with ThreadSanitizer. Qt is not built with it, so
// the synchronisation inside Qt is invisible to it. Each entry names one Qt mechanism whose
// hand-over between threads it covers; a race in the program's own code is still reported
// unless one of these frames is on the stack of one of its two accesses:
// - invokeMethod: a queued call made on another thread (the endpoint's listen state, event-log
//   lines, the item check of a client's read) copies its functor into a QMetaCallEvent that the
//   window thread runs and deletes; the event queue's mutex orders the two.
// - QThreadPoolPrivate, QRunnable, QWaitCondition: Qt's own thread pool.
// - libQt6Gui.so: Qt Gui's pooled threads, whose stacks start and end inside Qt Gui (it has
//   neither frame pointers nor symbols, so nothing narrower can be named).
// - called_from_lib: memcpy, memmove and malloc called from inside Qt Core and Qt Gui are not
//   counted as accesses. The rest of Qt's own code is not instrumented and so is invisible
//   already; these calls were the only accesses of Qt's that were seen, made under Qt's locks,
//   which are built on futexes and unseen too. The race it covers: the queues of Qt's pool
//   threads (an unexported function of Qt Core, so no name can match it) written by two pooled
//   threads one after the other. The program's own accesses, and those of the C++ library, are
//   still seen.
extern "C" const char* __tsan_default_suppressions() {
    return "race:invokeMethod\n"
           "race:QThreadPoolPrivate\n"
           "race:QRunnable\n"
           "race:QWaitCondition\n"
           "race:libQt6Gui.so\n"
           "called_from_lib:libQt6Core.so\n"
           "called_from_lib:libQt6Gui.so\n";
}
