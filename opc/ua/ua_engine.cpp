#include "opc/ua/ua_engine.h"

#include <algorithm>
#include <chrono>

namespace qora::ua {

int64_t UaNow() {
    using namespace std::chrono;
    const int64_t unix100ns =
        duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
    return unix100ns + 116444736000000000LL;
}

Engine::Engine(Backend& backend, const ServerConfig& config, Transport& transport)
    : backend_(backend), config_(config), transport_(transport), memory_(config.memoryBudgetBytes),
      rng_(config.randomSeed ? config.randomSeed : (uint64_t{std::random_device{}()} << 32 | std::random_device{}())) {
    serverState_.startTime = UaNow();
}

Engine::~Engine() = default;

void Engine::Build() { space_.Build(backend_.ListItems()); }

size_t Engine::SubscriptionCount() const {
    size_t n = 0;
    for (const auto& [k, s] : sessions_) n += s->subscriptions.size();
    return n;
}

size_t Engine::MonitoredItemCount() const {
    size_t n = 0;
    for (const auto& [k, s] : sessions_)
        for (const auto& [id, sub] : s->subscriptions) n += sub->items.size();
    return n;
}

Millis Engine::Tick(Millis now) {
    Millis next = now + 1000;
    // Handshake time-out: a connection must open its secure channel in time.
    std::vector<uint64_t> expired;
    for (auto& [id, c] : connections_) {
        if (c->state != Connection::State::Open) {
            const Millis deadline = c->accepted + config_.handshakeTimeoutMs;
            if (deadline <= now) expired.push_back(id);
            else next = std::min(next, deadline);
        } else {
            // A token not renewed within its lifetime (plus the 25 % grace) ends the channel.
            const Millis deadline = c->tokenCreated + static_cast<Millis>(c->tokenLifetime) * 5 / 4;
            if (deadline <= now) expired.push_back(id);
            else next = std::min(next, deadline);
        }
    }
    for (uint64_t id : expired) {
        if (Connection* c = FindConnection(id)) SendError(*c, status::BadTimeout, "handshake or token time-out");
        CloseConnection(id, true);
    }

    // Sessions: time-out, then their subscriptions and Publish requests.
    std::vector<std::string> timedOut;
    for (auto& [key, s] : sessions_) {
        const Millis deadline = s->lastActivity + static_cast<Millis>(s->timeoutMs);
        if (deadline <= now) {
            timedOut.push_back(key);
            continue;
        }
        next = std::min(next, deadline);
        TickSubscriptions(*s, now, next);
    }
    for (const auto& key : timedOut) EndSession(key, status::BadSessionClosed);

    if (shuttingDown_ && !shutdownDone_) {
        bool pending = false;
        for (const auto& [key, s] : sessions_)
            for (const auto& [id, sub] : s->subscriptions)
                if (sub->pendingNotifications > 0 && sub->publishingEnabled) pending = true;
        if (!pending || now >= shutdownDeadline_) {
            std::vector<std::string> keys;
            for (const auto& [key, s] : sessions_) keys.push_back(key);
            for (const auto& key : keys) EndSession(key, status::BadShutdown);
            shutdownDone_ = true;
        } else {
            next = std::min(next, now + 10);
        }
    }
    return std::max(next, now + 1);
}

void Engine::DisconnectAll() {
    std::vector<uint64_t> ids;
    for (const auto& [id, c] : connections_) ids.push_back(id);
    for (uint64_t id : ids) CloseConnection(id, true);
}

void Engine::BeginShutdown(const std::string& reason, Millis now) {
    serverState_.state = 4;  // Shutdown
    serverState_.shutdownReason = reason;
    shuttingDown_ = true;
    shutdownDone_ = false;
    shutdownDeadline_ = now + 2000;
    // Sample at once so the state change reaches every subscriber with its next Publish.
    for (auto& [key, s] : sessions_) {
        for (auto& [id, sub] : s->subscriptions) {
            SampleSubscription(*sub, now, true);
            sub->nextPublish = now;
        }
        Millis next = now + 1000;
        TickSubscriptions(*s, now, next);
    }
}

void Engine::CloseEverything() {
    std::vector<std::string> keys;
    for (const auto& [key, s] : sessions_) keys.push_back(key);
    for (const auto& key : keys) EndSession(key, status::BadShutdown);
    DisconnectAll();
}

namespace {

RequestHeader DecodeRequestHeader(Decoder& d) {
    RequestHeader h;
    h.authenticationToken = d.Node();
    h.timestamp = d.DateTime();
    h.requestHandle = d.UInt32();
    h.returnDiagnostics = d.UInt32();
    d.String();  // audit entry id
    h.timeoutHint = d.UInt32();
    d.Extension();  // additional header
    return h;
}

}  // namespace

void Engine::ProcessRequest(Connection& c, uint32_t requestId, const std::string& body, Millis now) {
    // What decoding may allocate: proportional to the message, and never beyond what is left of
    // the server's memory budget.
    const uint64_t left = memory_.Limit() > memory_.Used() ? memory_.Limit() - memory_.Used() : 1;
    const uint64_t proportional = 32ull * body.size() + (1u << 20);
    Decoder d(body, static_cast<size_t>(std::max<uint64_t>(1, std::min(left, proportional))));
    NodeId typeId;
    RequestHeader h;
    try {
        typeId = d.Node();
        h = DecodeRequestHeader(d);
    } catch (const DecodeError& e) {
        SendServiceFault(c.id, requestId, 0, e.status());
        return;
    }
    try {
        if (typeId.ns != 0 || typeId.kind != NodeId::Kind::Numeric) {
            SendServiceFault(c.id, requestId, h.requestHandle, status::BadServiceUnsupported);
            return;
        }
        switch (typeId.numeric) {
            case id::GetEndpoints: ServiceGetEndpoints(c, requestId, h, d); return;
            case id::FindServers: ServiceFindServers(c, requestId, h, d); return;
            case id::CreateSession: ServiceCreateSession(c, requestId, h, d, now); return;
            case id::ActivateSession: ServiceActivateSession(c, requestId, h, d, now); return;
            case id::CloseSession: ServiceCloseSession(c, requestId, h, d); return;
            default: break;
        }
        Session* s = FindSession(h.authenticationToken);
        if (!s) {
            SendServiceFault(c.id, requestId, h.requestHandle, status::BadSessionIdInvalid);
            return;
        }
        if (s->conn != c.id) {
            SendServiceFault(c.id, requestId, h.requestHandle, status::BadSecureChannelIdInvalid);
            return;
        }
        if (!s->activated) {
            SendServiceFault(c.id, requestId, h.requestHandle, status::BadSessionNotActivated);
            return;
        }
        s->lastActivity = now;
        switch (typeId.numeric) {
            case id::Read: ServiceRead(c, requestId, h, d, now); return;
            case id::Write: ServiceWrite(c, requestId, h, d); return;
            case id::Browse: ServiceBrowse(*s, c, requestId, h, d); return;
            case id::BrowseNext: ServiceBrowseNext(*s, c, requestId, h, d); return;
            case id::TranslateBrowsePaths: ServiceTranslate(c, requestId, h, d); return;
            case id::RegisterNodes: ServiceRegisterNodes(c, requestId, h, d); return;
            case id::UnregisterNodes: ServiceUnregisterNodes(c, requestId, h, d); return;
            case id::CreateSubscription: ServiceCreateSubscription(*s, c, requestId, h, d, now); return;
            case id::ModifySubscription: ServiceModifySubscription(*s, c, requestId, h, d); return;
            case id::SetPublishingMode: ServiceSetPublishingMode(*s, c, requestId, h, d); return;
            case id::DeleteSubscriptions: ServiceDeleteSubscriptions(*s, c, requestId, h, d); return;
            case id::CreateMonitoredItems: ServiceCreateMonitoredItems(*s, c, requestId, h, d, now); return;
            case id::ModifyMonitoredItems: ServiceModifyMonitoredItems(*s, c, requestId, h, d); return;
            case id::SetMonitoringMode: ServiceSetMonitoringMode(*s, c, requestId, h, d, now); return;
            case id::DeleteMonitoredItems: ServiceDeleteMonitoredItems(*s, c, requestId, h, d); return;
            case id::Publish: ServicePublish(*s, c, requestId, h, d, now); return;
            case id::Republish: ServiceRepublish(*s, c, requestId, h, d); return;
            case id::Cancel: {
                d.UInt32();
                std::string out;
                Encoder e(out);
                EncodeResponseHeader(e, h.requestHandle, status::Good);
                e.UInt32(0);  // nothing is cancelled: requests are answered in order
                SendResponse(c.id, requestId, id::ResponseOf(id::Cancel), out, h.requestHandle);
                return;
            }
            default:
                SendServiceFault(c.id, requestId, h.requestHandle, status::BadServiceUnsupported);
                return;
        }
    } catch (const DecodeError& e) {
        SendServiceFault(c.id, requestId, h.requestHandle, e.status());
    }
}

}  // namespace qora::ua
