// Which way the restart starts the new process.
#include "app/restart_path.h"

#include <gtest/gtest.h>

namespace {

using qora::ChooseRestartPath;
using qora::RestartPath;

TEST(RestartPath, OnlyTheUnitsMainProcessLeavesTheRestartToTheServiceManager) {
    struct Case {
        const char* invocationId;
        const char* managerPid;
        long parent;
        RestartPath expected;
        const char* why;
    };
    const Case cases[] = {
        {"0f3c2a", "812", 812, RestartPath::ServiceManager,
         "started by the user manager as the unit's process"},
        {nullptr, nullptr, 812, RestartPath::Detached, "no service manager at all"},
        {"0f3c2a", "812", 4711, RestartPath::Detached, "started by a shell that runs inside a unit"},
        {"0f3c2a", nullptr, 1, RestartPath::Detached, "no manager pid to compare with"},
        {"", "812", 812, RestartPath::Detached, "empty invocation id"},
        {"0f3c2a", "", 812, RestartPath::Detached, "empty manager pid"},
        {"0f3c2a", "812x", 812, RestartPath::Detached, "malformed manager pid"},
        {"0f3c2a", "-812", -812, RestartPath::Detached, "negative manager pid"},
        {nullptr, "812", 812, RestartPath::Detached, "manager pid inherited without an invocation"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ChooseRestartPath(c.invocationId, c.managerPid, c.parent), c.expected) << c.why;
}

}  // namespace
