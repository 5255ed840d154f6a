// Process-wide pieces of the widget tests.
#include "ui_test_support.h"

// fontconfig keeps a cache Qt's font database never frees; it is not ours to fix.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

// Destroys the application after the last test, so that its objects are not reported.
class TAppEnvironment : public ::testing::Environment {
public:
    void TearDown() override { delete QCoreApplication::instance(); }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new TAppEnvironment);

}  // namespace
