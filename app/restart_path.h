// How the restart starts the new process: detached by this process, or, when the registered
// service unit started this process, by the service manager after this process has ended.
#pragma once

namespace qora {

enum class RestartPath {
    Detached,        // start the own executable detached, then end
    ServiceManager,  // end with gb::kServiceRestartExitStatus; the unit starts the new process
};

// invocationId and managerPid: the environment variables INVOCATION_ID and MANAGERPID (null
// when unset); parentPid: this process's parent. The service manager starts the new process
// only when it started this one itself as the unit's main process: both variables are set
// and the manager is the parent. A process merely started from within a unit (a shell in a
// terminal that runs as a unit) inherits the variables but has another parent.
RestartPath ChooseRestartPath(const char* invocationId, const char* managerPid, long parentPid);
// The same from this process's environment.
RestartPath CurrentRestartPath();

}  // namespace qora
