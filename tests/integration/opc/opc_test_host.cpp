// The server object with the real toolkit and endpoint on loopback, for the end-to-end test
// with an independent OPC UA client. Prints "PORT <n>" once listening and "CALL <name>" for
// every event-log line; reads commands from standard input:
//   set <item> <value> <quality>   store into the slot of item number <item>
//   push                           the periodic push
//   stats                          STATS instances=<n> locks=<n> inuse=<0|1> items=<n>
//   shutdown | disconnect | revoke GBShutdown(reason) | GBDisconnectClients | GBRevokeClassObject
//   quit
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

#include "config/records.h"
#include "opc/opc_init.h"
#include "opc/opc_server.h"
#include "opc/toolkit/gb_test_view.h"

using namespace qora;

namespace {

std::mutex g_out;

void Say(const std::string& line) {
    std::lock_guard lock(g_out);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

TDevice* SlotOf(COPCServer& server, TConfigModel& m, int item, int* k) {
    for (int p = 0; p < m.pointCount; ++p)
        for (int d = 0; d < m.points[p].deviceCount; ++d)
            for (int c = 0; c < kParamsPerDevice; ++c)
                if (server.SlotItemNumber(m.points[p].devices[d], c) == item) {
                    *k = c;
                    return &m.points[p].devices[d];
                }
    return nullptr;
}

}  // namespace

int main() {
    std::unique_ptr<TConfigModel, ModelDeleter> model(CreateModel());
    TConfigModel& m = *model;
    m.typeCount = 2;
    CopyName(m.typeNames[0], u"T", kMaxCatalogNameChars);
    CopyName(m.paramNames[0], u"P", kMaxCatalogNameChars);
    CopyName(m.paramNames[1], u"Температура", kMaxCatalogNameChars);
    AppendPoint(m, u"Адаптер_1", "COM1", 1, true);
    AppendDevice(m, 0, u"Устройство", 0, 5, 0b111);  // items 0, 1, 2 (2: empty parameter name)
    AppendDevice(m, 0, u"Д", 1, 254, 0b1);           // item 3 (type without a name)
    AppendPoint(m, u"Без порта", "ttyGONE", 1, true);
    AppendDevice(m, 1, u"Прибор", 0, 1, 0b1);  // item 4
    AppendPoint(m, u"Адаптер_1", "COM1", 1, true);
    AppendDevice(m, 2, u"Устройство", 0, 5, 0b1);  // item 5: the same ID as item 0
    // The poll start's state for every slot.
    for (int p = 0; p < m.pointCount; ++p)
        for (int d = 0; d < m.points[p].deviceCount; ++d)
            for (int k = 0; k < kParamsPerDevice; ++k) {
                StoreValue(m.points[p].devices[d], k, kNoValue);
                StoreQuality(m.points[p].devices[d], k, kQualityNotConnected);
            }

    COPCServer server;
    ua::ServerConfig cfg;
    cfg.host = "127.0.0.1";
    cfg.port = 0;
    cfg.bindRetryMs = 0;
    server.GBSetEndpointConfig(cfg);
    server.SetEventSink([](const QString& line) { Say("CALL " + line.toStdString()); });
    {
        TInitThread init(server, m);
        init.WaitFor();
    }
    ua::Server* endpoint = server.ForTests().Endpoint();
    if (!endpoint || !server.ForTests().Registered()) {
        Say("ERROR endpoint: " + server.ForTests().LastEndpointError());
        return 1;
    }
    Say("PORT " + std::to_string(endpoint->Port()));

    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd == "set") {
            int item = -1, quality = 0;
            float value = 0;
            in >> item >> value >> quality;
            int k = 0;
            TDevice* d = SlotOf(server, m, item, &k);
            if (!d) {
                Say("ERROR no item " + std::to_string(item));
                continue;
            }
            StoreValue(*d, k, value);
            StoreQuality(*d, k, static_cast<uint16_t>(quality));
            Say("OK");
        } else if (cmd == "push") {
            server.PushAll(m);
            Say("PUSHED");
        } else if (cmd == "stats") {
            Say("STATS instances=" + std::to_string(server.InstanceCount()) +
                " locks=" + std::to_string(server.LockCount()) + " inuse=" + (server.InUse() ? "1" : "0") +
                " items=" + std::to_string(server.ItemCount()));
        } else if (cmd == "shutdown") {
            server.GBShutdown(COPCServer::kShutdownReason);
            Say("SHUTDOWN");
        } else if (cmd == "disconnect") {
            server.GBDisconnectClients();
            Say("DISCONNECTED");
        } else if (cmd == "revoke") {
            server.GBRevokeClassObject();
            Say("REVOKED");
        } else if (cmd == "quit") {
            break;
        } else if (!cmd.empty()) {
            Say("ERROR unknown command " + cmd);
        }
    }
    server.GBStopEndpoint();
    return 0;
}
