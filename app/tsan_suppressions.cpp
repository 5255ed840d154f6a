// Built into the program only with ThreadSanitizer. Qt is not built with it, so the locks of
// Qt's own event queue, which hand queued calls (the event-log line from a toolkit thread) over
// to the window thread, are invisible to it and every such hand-over would be reported.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so\nrace:libQt6Gui.so\nrace:libQt6Widgets.so\n";
}
