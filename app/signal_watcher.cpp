#include "app/signal_watcher.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <csignal>
#include <cstdio>

namespace qora {

namespace {
int g_pipe[2] = {-1, -1};

void OnSignal(int sig) {
    const unsigned char b = static_cast<unsigned char>(sig);
    // Only async-signal-safe calls here; a full pipe just drops the repeat.
    [[maybe_unused]] ssize_t n = ::write(g_pipe[1], &b, 1);
}
}  // namespace

TSignalWatcher::TSignalWatcher(QObject* parent) : QObject(parent) {
    if (g_pipe[0] < 0) {
        if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            std::perror("pipe2");
            return;
        }
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    notifier_ = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { OnReadable(); });
}

TSignalWatcher::~TSignalWatcher() {
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

void TSignalWatcher::OnReadable() {
    unsigned char b = 0;
    int terminate = 0;
    bool reload = false;
    while (::read(g_pipe[0], &b, 1) == 1) {
        if (b == SIGHUP)
            reload = true;
        else
            terminate = b;
    }
    // A termination wins over a reload that arrived with it.
    if (terminate != 0)
        Q_EMIT terminationRequested(terminate);
    else if (reload)
        Q_EMIT reloadRequested();
}

}  // namespace qora
