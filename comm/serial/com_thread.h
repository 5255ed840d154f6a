// Event thread of an open serial port.
//
// It only waits: poll() on the port and on its stop event. When bytes are
// queued it asks the owning thread for a hand-over (a write on the request
// eventfd, which the port object watches) and blocks until that thread reports
// the hand-over done, or until it is told to stop. A hang-up or error on the
// port is reported the same way and ends the thread. Stopping never depends on
// the owning thread serving anything, so closing a port from that thread
// cannot deadlock, whatever the thread is waiting for.
#pragma once

#include <atomic>
#include <thread>

namespace qora {

class TComThread {
  public:
    // fd: the open port (polled only, never read here). requestFd: eventfd the
    // owning thread watches; the thread adds 1 to it for each hand-over it asks for.
    TComThread(int fd, int requestFd);
    ~TComThread();  // stops and joins
    TComThread(const TComThread&) = delete;
    TComThread& operator=(const TComThread&) = delete;

    void Start();
    // Signals the stop event and joins; callable repeatedly.
    void Stop();

    // Owning thread: the requested hand-over has been handled. bytesWereQueued is
    // false when the port reported readable with nothing queued; the thread then
    // pauses briefly before watching again instead of spinning.
    void HandOverDone(bool bytesWereQueued);
    // Owning thread: the last request was a hang-up (or port error) report.
    bool HangUpReported() const { return hangUp_.load(std::memory_order_acquire); }

  private:
    void Run();
    void Signal(int efd, unsigned long long value);
    // Waits for the done event; returns its value, or 0 when stopped.
    unsigned long long WaitDone();

    int fd_;
    int requestFd_;
    int stopFd_ = -1;
    int doneFd_ = -1;
    std::atomic<bool> hangUp_{false};
    std::thread thread_;
};

}  // namespace qora
