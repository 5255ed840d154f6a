// Shared by the comm tests: a QCoreApplication for the whole test program,
// bounded waiting on the event loop, and frame helpers.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace qora::test {

class QtAppEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "comm_test";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QCoreApplication>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

  private:
    std::unique_ptr<QCoreApplication> app_;
};

// Runs the event loop until pred() holds or timeoutMs passed; returns pred().
inline bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 5000) {
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer tick;
    tick.start(5);
    while (!pred()) {
        if (elapsed.elapsed() > timeoutMs) return pred();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Runs the event loop for ms milliseconds.
inline void Pump(int ms) {
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer tick;
    tick.start(5);
    while (elapsed.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

struct Group {
    uint8_t param;
    uint8_t b0, b1, b2;
};

// A reply frame with a correct checksum (summed here, independently of the code under test).
inline std::vector<uint8_t> Reply(uint8_t address, uint8_t code, const std::vector<Group>& groups,
                                  std::vector<uint8_t> trailing = {}) {
    std::vector<uint8_t> f = {0xB5, address, 0, code};
    for (const Group& g : groups) f.insert(f.end(), {g.param, g.b0, g.b1, g.b2});
    f.insert(f.end(), trailing.begin(), trailing.end());
    f[2] = static_cast<uint8_t>(f.size() - 4);
    unsigned sum = 0;
    for (size_t i = 1; i < f.size(); ++i) sum += f[i];
    f.push_back(static_cast<uint8_t>(sum));
    return f;
}

inline std::vector<uint8_t> Concat(std::vector<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace qora::test
