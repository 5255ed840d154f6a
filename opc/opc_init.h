// TInitThread: runs the OPC start once, beside the window thread.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace qora {

class COPCServer;
struct TConfigModel;

// Starts at construction (not suspended) and runs Execute once. Nothing waits for it while
// the program runs; its owner keeps it until the end of the message loop, and the destructor
// joins the thread, so the thread never outlives the server object and the model it works on.
// Own it so that it is destroyed before them (declare it after them).
class TInitThread {
  public:
    explicit TInitThread(std::function<void()> execute);
    // Execute = server.InitializeOPC(model).
    TInitThread(COPCServer& server, TConfigModel& model);
    ~TInitThread();
    TInitThread(const TInitThread&) = delete;
    TInitThread& operator=(const TInitThread&) = delete;

    // Waits for Execute to end (any thread but its own; repeated calls return at once).
    void WaitFor();
    bool Finished() const { return finished_.load(std::memory_order_acquire); }
    // The message of an exception that left Execute, empty if none.
    std::string Error() const;

  private:
    void Execute();

    std::function<void()> execute_;
    std::atomic<bool> finished_{false};
    mutable std::mutex mutex_;  // error_
    std::string error_;
    std::mutex joinMutex_;
    std::thread thread_;  // last: starts after everything above is built
};

}  // namespace qora
