// Benchmark of the real program (not a test): a copy of qora-opc-server started headless in a
// temporary directory with its own qora.ini and a generated configuration.
//
//   app_bench startup BUILD_DIR [POINTS DEVICES PARAMS]
//       empty configuration, then POINTS x DEVICES x PARAMS items (default 50 x 128 x 32):
//       start to the first Read that finds an item, resident memory after start, bytes per item
//       beyond the empty program.
//   app_bench rates BUILD_DIR [CPU]
//       ua_bench's endpoint host and the real program, each pinned to CPU (default 0) in turn,
//       read by the same native client (pinned elsewhere): Read of 1 and 1000 items with MaxAge 0
//       and with a large MaxAge; requests/s of both and their ratio.
//   app_bench compare BUILD_A BUILD_B [CPU [ROUNDS]]
//       two builds side by side, every server pinned to CPU (default 1), the client elsewhere:
//       the real programs (10 240 items) and ua_bench's endpoint hosts of both, read alternately
//       in ROUNDS rounds (default 5) of 1 s each; per Read of 1 and 1000 items, MaxAge 0 and
//       cached, the median requests/s and server CPU microseconds per Read of each, and B's gain;
//       then a 10 000-item subscription at 100 ms on each host: server CPU per notification.
//   app_bench callgrind BUILD_DIR
//       the program (10 240 items) under callgrind: instructions per Read of 1 and 1000 items,
//       MaxAge 0 and cached (see bench/callgrind_count.h).
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QString>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../callgrind_count.h"
#include "config/config_file.h"
#include "config/records.h"
#include "tests/integration/ua/ua_mini_client.h"

using namespace qora;
using namespace qora::ua;
using namespace qora::ua::testing;
using Clock = std::chrono::steady_clock;

namespace {

std::string g_tmp;

// CPU seconds the process has used (user + system; only user with userOnly).
double CpuSeconds(pid_t pid, bool userOnly = false) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream in(line.substr(close + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) utime = std::stoul(field);
        if (i == 15) stime = std::stoul(field);
    }
    return double(userOnly ? utime : utime + stime) / double(sysconf(_SC_CLK_TCK));
}

long RssKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

uint16_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

std::string PointName(int p) {
    return "P" + std::to_string(p + 1);
}
std::string PortName(int p) {
    return "ttyB" + std::to_string(p + 1);
}
std::string DeviceName(int d) {
    return "D" + std::to_string(d + 1);
}
std::string ParamName(int k) {
    return "A" + std::to_string(k);
}
// The item ID the program builds for a slot: point(port).device(type №address).parameter.
std::string ItemId(int p, int d, int k) {
    return PointName(p) + "(" + PortName(p) + ")." + DeviceName(d) + "(T \u2116" + std::to_string(d + 1) +
           ")." + ParamName(k);
}

// An installation: the executable's copy, qora.ini and the configuration in a directory of its own.
struct Install {
    std::string dir, exe, cfg;
    uint16_t port = 0;
};

Install MakeInstall(const std::string& buildDir, const std::string& name, int points, int devices,
                    int params) {
    Install in;
    in.dir = g_tmp + "/" + name;
    ::mkdir(in.dir.c_str(), 0700);
    in.exe = in.dir + "/qora-opc-server";
    QFile::remove(QString::fromStdString(in.exe));
    if (!QFile::copy(QString::fromStdString(buildDir + "/bin/qora-opc-server"),
                     QString::fromStdString(in.exe))) {
        std::fprintf(stderr, "cannot copy %s/bin/qora-opc-server\n", buildDir.c_str());
        std::exit(1);
    }
    ::chmod(in.exe.c_str(), 0755);
    in.port = FreePort();
    std::ofstream ini(in.dir + "/qora.ini");
    ini << "[DEVICES]\nD0=T\n[D_P]\nP0=-1\n[PARAMETERS]\n";
    for (int k = 0; k < kParamsPerDevice; ++k) ini << "P" << k << "=" << ParamName(k) << "\n";
    ini << "[OPCUA]\nHost=127.0.0.1\nPort=" << in.port << "\n";
    ini.close();

    std::unique_ptr<TConfigModel, ModelDeleter> model(CreateModel());
    for (int p = 0; p < points; ++p) {
        const QString pn = QString::fromStdString(PointName(p));
        AppendPoint(*model, pn.toStdU16String(), PortName(p), 1.0f, false);
        for (int d = 0; d < devices; ++d) {
            const QString dn = QString::fromStdString(DeviceName(d));
            const uint32_t mask = params >= 32 ? 0xFFFFFFFFu : (1u << params) - 1;
            AppendDevice(*model, p, dn.toStdU16String(), 0, static_cast<uint8_t>(d + 1), mask);
        }
    }
    in.cfg = in.dir + "/items.cfg";
    if (!WriteConfigFile(QString::fromStdString(in.cfg), *model).ok) {
        std::fprintf(stderr, "cannot write %s\n", in.cfg.c_str());
        std::exit(1);
    }
    return in;
}

// Starts the program headless; cpu >= 0 pins it to that CPU; callgrindOut: under callgrind.
pid_t Start(const Install& in, int cpu, const std::string& callgrindOut = {}) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (cpu >= 0) {
            cpu_set_t set;
            CPU_ZERO(&set);
            CPU_SET(cpu, &set);
            sched_setaffinity(0, sizeof set, &set);
        }
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("XDG_RUNTIME_DIR", in.dir.c_str(), 1);
        setenv("HOME", in.dir.c_str(), 1);
        const int devnull = ::open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        const std::string arg = "-f:" + in.cfg;
        if (!callgrindOut.empty()) {
            const std::string out = "--callgrind-out-file=" + callgrindOut;
            execlp("valgrind", "valgrind", "--tool=callgrind", out.c_str(), in.exe.c_str(), arg.c_str(),
                   static_cast<char*>(nullptr));
        } else {
            execl(in.exe.c_str(), in.exe.c_str(), arg.c_str(), static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    return pid;
}

void Stop(pid_t pid) {
    kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

bool OpenSession(MiniClient& c, uint16_t port) {
    return c.Connect(port) && c.CreateSession() == status::Good && c.Activate() == status::Good;
}

// Seconds from start until a Read of node answers with the node known (any quality); -1 after 30 s.
double FirstRead(pid_t pid, uint16_t port, const NodeId& node, Clock::time_point t0, uint32_t* statusOut) {
    for (;;) {
        if (Clock::now() - t0 > std::chrono::seconds(30) || waitpid(pid, nullptr, WNOHANG) == pid) return -1;
        MiniClient c;
        if (!OpenSession(c, port)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        for (;;) {
            std::vector<DataValue> values;
            if (!c.Read({node}, 0, values) || values.size() != 1) break;
            const uint32_t s = values[0].hasStatus ? values[0].status : status::Good;
            if (s != status::BadNodeIdUnknown) {
                *statusOut = s;
                return std::chrono::duration<double>(Clock::now() - t0).count();
            }
            if (Clock::now() - t0 > std::chrono::seconds(30)) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

struct StartFigures {
    double firstRead = -1;
    double cpuAtFirstRead = -1;
    uint32_t status = 0;
    long rssKiB = -1;
};

StartFigures MeasureStart(const Install& in, const NodeId& node) {
    StartFigures f;
    const auto t0 = Clock::now();
    const pid_t pid = Start(in, -1);
    f.firstRead = FirstRead(pid, in.port, node, t0, &f.status);
    f.cpuAtFirstRead = CpuSeconds(pid);
    // Resident memory once the start has settled.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    f.rssKiB = RssKiB(pid);
    Stop(pid);
    return f;
}

int Startup(const std::string& buildDir, int points, int devices, int params) {
    const long items = long(points) * devices * params;
    const Install empty = MakeInstall(buildDir, "empty", 0, 0, 0);
    const Install full = MakeInstall(buildDir, "full", points, devices, params);
    // The empty program answers BadNodeIdUnknown for every item: time its first session with a
    // standard node (Server_ServerStatus_State, i=2259) instead.
    // The first start of an installation makes its certificate (an RSA key): measured apart, the
    // figures below are of the second start, as every start after the first.
    const NodeId lastItem = NodeId::String(1, ItemId(points - 1, devices - 1, params - 1));
    const StartFigures first = MeasureStart(empty, NodeId::Numeric(0, 2259));
    std::printf("first start of an installation (certificate made): start to first read %.3f s\n",
                first.firstRead);
    const StartFigures e = MeasureStart(empty, NodeId::Numeric(0, 2259));
    MeasureStart(full, lastItem);
    const StartFigures f = MeasureStart(full, lastItem);
    // The CPU time the program used until then tells the start's cost apart from a busy machine.
    std::printf("empty configuration: start to first read %.3f s (program CPU %.2f s), resident %ld KiB\n",
                e.firstRead, e.cpuAtFirstRead, e.rssKiB);
    std::printf(
        "%ld items (%d x %d x %d): start to first read of the last item %.3f s (program CPU %.2f s, "
        "status 0x%08X), resident %ld KiB (%.1f MB)\n",
        items, points, devices, params, f.firstRead, f.cpuAtFirstRead, f.status, f.rssKiB, f.rssKiB / 1024.0);
    if (items > 0)
        std::printf("bytes per item beyond the empty program: %.0f\n",
                    double(f.rssKiB - e.rssKiB) * 1024.0 / double(items));
    return f.firstRead < 0 || e.firstRead < 0 ? 1 : 0;
}

double ReadRate(uint16_t port, const std::vector<NodeId>& nodes, double maxAge) {
    MiniClient c;
    if (!OpenSession(c, port)) return 0;
    std::vector<DataValue> values;
    for (int i = 0; i < 50; ++i) c.Read(nodes, maxAge, values);
    size_t n = 0;
    const auto start = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(1)) {
        if (!c.Read(nodes, maxAge, values) || values.size() != nodes.size()) return 0;
        ++n;
    }
    return double(n) / std::chrono::duration<double>(Clock::now() - start).count();
}

// ua_bench --serve ITEMS --ids FILE pinned to cpu; returns its pid and port.
pid_t StartUaBench(const std::string& buildDir, int cpu, const std::string& idsFile, uint16_t* port) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        sched_setaffinity(0, sizeof set, &set);
        dup2(fds[1], 1);
        close(fds[0]);
        const std::string exe = buildDir + "/bench/ua/ua_bench";
        execl(exe.c_str(), exe.c_str(), "--serve", "0", "--ids", idsFile.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    FILE* in = fdopen(fds[0], "r");
    char line[128] = {};
    if (!fgets(line, sizeof line, in) || std::sscanf(line, "PORT %hu", port) != 1) return -1;
    fclose(in);
    return pid;
}

// The client runs on another CPU than the servers (pinned to cpu), where there is one.
void PinElsewhere(int cpu) {
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    if (cpus <= 1) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int i = 0; i < cpus; ++i)
        if (i != cpu) CPU_SET(i, &set);
    sched_setaffinity(0, sizeof set, &set);
}

int Rates(const std::string& buildDir, int cpu) {
    PinElsewhere(cpu);
    // 10 points x 32 devices x 32 parameters = 10 240 items; ua_bench's host serves the same IDs,
    // so both decode and look up the same names.
    const Install real = MakeInstall(buildDir, "rates", 10, 32, 32);
    const std::string idsFile = g_tmp + "/rates-ids.txt";
    {
        std::ofstream ids(idsFile);
        for (int n = 0; n < 10 * 32 * 32; ++n) ids << ItemId(n / (32 * 32), (n / 32) % 32, n % 32) << '\n';
    }
    uint16_t benchPort = 0;
    const pid_t bench = StartUaBench(buildDir, cpu, idsFile, &benchPort);
    if (bench < 0) {
        std::fprintf(stderr, "ua_bench did not start (build it: --target ua_bench)\n");
        return 1;
    }
    const pid_t app = Start(real, cpu);
    uint32_t st = 0;
    if (FirstRead(app, real.port, NodeId::String(1, ItemId(0, 0, 0)), Clock::now(), &st) < 0) {
        std::fprintf(stderr, "the program did not answer\n");
        Stop(bench);
        Stop(app);
        return 1;
    }
    std::printf("servers pinned to CPU %d, client elsewhere; best of 4 alternating rounds of 1 s\n", cpu);
    int result = 0;
    for (const double maxAge : {0.0, 1e9}) {
        for (const size_t count : {size_t(1), size_t(1000)}) {
            std::vector<NodeId> benchNodes, appNodes;
            for (size_t i = 0; i < count; ++i) {
                const int n = int(i);
                appNodes.push_back(NodeId::String(1, ItemId(n / (32 * 32), (n / 32) % 32, n % 32)));
                benchNodes.push_back(appNodes.back());
            }
            // Alternating rounds, the best of each: other load on the machine hits both alike.
            double b = 0, a = 0;
            for (int round = 0; round < 4; ++round) {
                b = std::max(b, ReadRate(benchPort, benchNodes, maxAge));
                a = std::max(a, ReadRate(real.port, appNodes, maxAge));
            }
            std::printf("read %4zu items, MaxAge %-5g: ua_bench host %8.0f/s  program %8.0f/s  ratio %.2f\n",
                        count, maxAge, b, a, b > 0 ? a / b : 0.0);
            if (a <= 0 || b <= 0) result = 1;
        }
    }
    Stop(bench);
    Stop(app);
    return result;
}

struct ReadFigure {
    double rate = 0;         // requests/s
    double cpuPerRead = 0;   // server CPU microseconds per Read
    double userPerRead = 0;  // of which in user space
};

// One second of Reads of nodes by one client; the server's CPU over the same second.
ReadFigure MeasureReads(uint16_t port, pid_t server, const std::vector<NodeId>& nodes, double maxAge) {
    MiniClient c;
    if (!OpenSession(c, port)) return {};
    std::vector<DataValue> values;
    for (int i = 0; i < 50; ++i) c.Read(nodes, maxAge, values);
    size_t n = 0;
    const double cpu0 = CpuSeconds(server), user0 = CpuSeconds(server, true);
    const auto start = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(1)) {
        if (!c.Read(nodes, maxAge, values) || values.size() != nodes.size()) return {};
        ++n;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds(server) - cpu0, user = CpuSeconds(server, true) - user0;
    c.CloseSession();
    if (n == 0) return {};
    return {double(n) / seconds, 1e6 * cpu / double(n), 1e6 * user / double(n)};
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Server CPU microseconds per notification of a 10 000-item subscription at 100 ms (values change
// every 25 ms on ua_bench's host, so every sample is a change), over 4 s.
double NotificationCost(uint16_t port, pid_t server, const std::vector<NodeId>& nodes, double* perSecond) {
    MiniClient c;
    if (!OpenSession(c, port)) return 0;
    const uint32_t sub = c.CreateSubscription(100, 10);
    if (sub == 0 || c.Monitor(sub, nodes, 100) != nodes.size()) return 0;
    for (int i = 0; i < 5; ++i) c.SendPublish();
    auto drain = [&](std::chrono::milliseconds span) {
        uint64_t notifications = 0;
        const auto end = Clock::now() + span;
        while (Clock::now() < end) {
            ServerMessage m;
            if (c.Next(m, 200) && m.type == "MSG") qora::bench::AnswerPublish(c, m, notifications);
        }
        return notifications;
    };
    drain(std::chrono::milliseconds(1500));
    const double cpu0 = CpuSeconds(server);
    const auto start = Clock::now();
    const uint64_t n = drain(std::chrono::milliseconds(4000));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds(server) - cpu0;
    c.CloseSession();
    *perSecond = double(n) / seconds;
    return n > 0 ? 1e6 * cpu / double(n) : 0;
}

int Compare(const std::string& buildA, const std::string& buildB, int cpu, int rounds) {
    PinElsewhere(cpu);
    const std::string idsFile = g_tmp + "/compare-ids.txt";
    {
        std::ofstream ids(idsFile);
        for (int n = 0; n < 10 * 32 * 32; ++n) ids << ItemId(n / (32 * 32), (n / 32) % 32, n % 32) << '\n';
    }
    struct Server {
        std::string label;
        pid_t pid = -1;
        uint16_t port = 0;
    };
    std::vector<Server> servers;
    const std::string builds[2] = {buildA, buildB};
    for (int b = 0; b < 2; ++b) {
        const Install in = MakeInstall(builds[b], b == 0 ? "compare-a" : "compare-b", 10, 32, 32);
        Server program{std::string(b == 0 ? "A" : "B") + " program", Start(in, cpu), in.port};
        uint32_t st = 0;
        if (FirstRead(program.pid, program.port, NodeId::String(1, ItemId(0, 0, 0)), Clock::now(), &st) < 0) {
            std::fprintf(stderr, "the program of %s did not answer\n", builds[b].c_str());
            return 1;
        }
        Server host{std::string(b == 0 ? "A" : "B") + " host", -1, 0};
        host.pid = StartUaBench(builds[b], cpu, idsFile, &host.port);
        if (host.pid < 0) {
            std::fprintf(stderr, "ua_bench of %s did not start\n", builds[b].c_str());
            return 1;
        }
        servers.push_back(program);
        servers.push_back(host);
    }
    std::printf(
        "A %s\nB %s\nservers pinned to CPU %d, client elsewhere; median of %d alternating rounds of 1 s\n",
        buildA.c_str(), buildB.c_str(), cpu, rounds);
    std::printf("%-22s %-8s %9s %9s %9s %9s %7s %9s %9s %7s\n", "Read", "server", "A req/s", "B req/s",
                "A us", "B us", "gain", "A user", "B user", "gain");
    for (const char* kind : {"program", "host"}) {
        const Server& a = servers[std::string(kind) == "program" ? 0 : 1];
        const Server& b = servers[std::string(kind) == "program" ? 2 : 3];
        for (const double maxAge : {0.0, 1e9}) {
            for (const size_t count : {size_t(1), size_t(1000)}) {
                std::vector<NodeId> nodes;
                for (size_t i = 0; i < count; ++i) {
                    const int n = int(i);
                    nodes.push_back(NodeId::String(1, ItemId(n / (32 * 32), (n / 32) % 32, n % 32)));
                }
                std::vector<double> ra, rb, ca, cb, ua, ub;
                for (int round = 0; round < rounds; ++round) {
                    const ReadFigure fa = MeasureReads(a.port, a.pid, nodes, maxAge);
                    const ReadFigure fb = MeasureReads(b.port, b.pid, nodes, maxAge);
                    ra.push_back(fa.rate);
                    rb.push_back(fb.rate);
                    ca.push_back(fa.cpuPerRead);
                    cb.push_back(fb.cpuPerRead);
                    ua.push_back(fa.userPerRead);
                    ub.push_back(fb.userPerRead);
                }
                char what[64];
                std::snprintf(what, sizeof what, "%zu items, %s", count, maxAge == 0 ? "MaxAge 0" : "cached");
                const double mcb = Median(cb);
                const double mub = Median(ub);
                std::printf("%-22s %-8s %9.0f %9.0f %9.2f %9.2f %6.2fx %9.2f %9.2f %6.2fx\n", what, kind,
                            Median(ra), Median(rb), Median(ca), mcb, mcb > 0 ? Median(ca) / mcb : 0.0,
                            Median(ua), mub, mub > 0 ? Median(ua) / mub : 0.0);
            }
        }
    }
    std::vector<NodeId> all;
    for (int n = 0; n < 10000; ++n)
        all.push_back(NodeId::String(1, ItemId(n / (32 * 32), (n / 32) % 32, n % 32)));
    std::vector<double> na, nb;
    double rateA = 0, rateB = 0;
    for (int round = 0; round < 2; ++round) {
        na.push_back(NotificationCost(servers[1].port, servers[1].pid, all, &rateA));
        nb.push_back(NotificationCost(servers[3].port, servers[3].pid, all, &rateB));
    }
    const double a = Median(na), b = Median(nb);
    std::printf(
        "notification, 10 000-item subscription at 100 ms (host): A %.3f us (%.0f/s), B %.3f us (%.0f/s), "
        "B gain %.2fx\n",
        a, rateA, b, rateB, b > 0 ? a / b : 0.0);
    for (const Server& s : servers) Stop(s.pid);
    return 0;
}

int Callgrind(const std::string& buildDir) {
    const Install real = MakeInstall(buildDir, "callgrind", 10, 32, 32);
    const std::string out = real.dir + "/cg.out";
    const pid_t app = Start(real, -1, out);
    uint32_t st = 0;
    // Under callgrind the start takes a while; FirstRead gives up after 30 s, so try again.
    double first = -1;
    for (int i = 0; i < 6 && first < 0 && waitpid(app, nullptr, WNOHANG) != app; ++i)
        first = FirstRead(app, real.port, NodeId::String(1, ItemId(0, 0, 0)), Clock::now(), &st);
    if (first < 0) {
        std::fprintf(stderr, "the program did not answer under callgrind\n");
        Stop(app);
        return 1;
    }
    std::vector<NodeId> nodes;
    for (int n = 0; n < 1000; ++n)
        nodes.push_back(NodeId::String(1, ItemId(n / (32 * 32), (n / 32) % 32, n % 32)));
    qora::bench::CallgrindCounter cg(app, out);
    qora::bench::CountScenarios(real.port, cg, nodes, 0);
    Stop(app);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: app_bench startup BUILD_DIR [POINTS DEVICES PARAMS]\n"
                     "       app_bench rates BUILD_DIR [CPU]\n"
                     "       app_bench compare BUILD_A BUILD_B [CPU [ROUNDS]]\n"
                     "       app_bench callgrind BUILD_DIR\n");
        return 2;
    }
    char tmpl[] = "/tmp/qora-app-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    g_tmp = tmpl;
    const std::string mode = argv[1], buildDir = argv[2];
    int result = 2;
    if (mode == "startup") {
        const int points = argc > 3 ? std::atoi(argv[3]) : kMaxPoints;
        const int devices = argc > 4 ? std::atoi(argv[4]) : kMaxDevicesPerPoint;
        const int params = argc > 5 ? std::atoi(argv[5]) : kParamsPerDevice;
        result = Startup(buildDir, points, devices, params);
    } else if (mode == "rates") {
        result = Rates(buildDir, argc > 3 ? std::atoi(argv[3]) : 0);
    } else if (mode == "compare" && argc >= 4) {
        result =
            Compare(buildDir, argv[3], argc > 4 ? std::atoi(argv[4]) : 1, argc > 5 ? std::atoi(argv[5]) : 5);
    } else if (mode == "callgrind") {
        result = Callgrind(buildDir);
    }
    // QORA_BENCH_KEEP=1 keeps the installations (to run the program under a profiler).
    if (std::getenv("QORA_BENCH_KEEP"))
        std::printf("installations kept in %s\n", g_tmp.c_str());
    else
        QDir(QString::fromStdString(g_tmp)).removeRecursively();
    return result;
}
