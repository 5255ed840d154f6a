#include "app/restart_path.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace qora {

RestartPath ChooseRestartPath(const char* invocationId, const char* managerPid, long parentPid) {
    if (invocationId == nullptr || *invocationId == '\0' || managerPid == nullptr || *managerPid == '\0')
        return RestartPath::Detached;
    errno = 0;
    char* end = nullptr;
    const long manager = std::strtol(managerPid, &end, 10);
    if (errno != 0 || *end != '\0' || manager <= 0) return RestartPath::Detached;
    return manager == parentPid ? RestartPath::ServiceManager : RestartPath::Detached;
}

RestartPath CurrentRestartPath() {
    return ChooseRestartPath(std::getenv("INVOCATION_ID"), std::getenv("MANAGERPID"),
                             static_cast<long>(::getppid()));
}

}  // namespace qora
