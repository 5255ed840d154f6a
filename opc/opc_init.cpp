#include "opc/opc_init.h"

#include <exception>

#include "opc/opc_server.h"

namespace qora {

TInitThread::TInitThread(std::function<void()> execute)
    : execute_(std::move(execute)), thread_([this] { Execute(); }) {}

TInitThread::TInitThread(COPCServer& server, TConfigModel& model)
    : TInitThread([&server, &model] { server.InitializeOPC(model); }) {}

TInitThread::~TInitThread() {
    WaitFor();
}

void TInitThread::Execute() {
    try {
        if (execute_) execute_();
    } catch (const std::exception& e) {
        std::lock_guard lock(mutex_);
        error_ = e.what();
    } catch (...) {
        std::lock_guard lock(mutex_);
        error_ = "unknown exception";
    }
    finished_.store(true, std::memory_order_release);
}

void TInitThread::WaitFor() {
    std::lock_guard lock(joinMutex_);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

std::string TInitThread::Error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

}  // namespace qora
