// Process-wide pieces of the widget tests.
#include "ui_test_support.h"

// fontconfig keeps a cache Qt's font database never frees; it is not ours to fix.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

// Qt is not built with ThreadSanitizer, so the synchronisation of its own worker threads (the
// global thread pool, file dialogs) is invisible to it. Our code that crosses threads (the event
// log) is checked in test_ui_unit with only the narrow suppressions of the program.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so\nrace:libQt6Gui.so\nrace:libQt6Widgets.so\n";
}

namespace {

// Destroys the application after the last test, so that its objects are not reported.
class TAppEnvironment : public ::testing::Environment {
  public:
    void TearDown() override { delete QCoreApplication::instance(); }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new TAppEnvironment);

}  // namespace
