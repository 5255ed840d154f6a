#include "ua/engine/engine.h"

#include <malloc.h>

#include <algorithm>

namespace qora::ua {

namespace {

// Hands the heap freed by ended sessions and subscriptions back to the system: the allocator
// keeps it otherwise, and a budget refilled once would stay resident for the process's life.
void ReturnFreedMemory() {
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

// Request and response of a handler, read off its signature.
template <typename H>
struct HandlerTraits;
template <typename Req, typename Resp>
struct HandlerTraits<Reply<Resp> (Engine::*)(ServiceContext&, const Req&)> {
    using Request = Req;
    using Response = Resp;
};

// Decodes the request, runs the handler and sends its reply.
template <uint32_t RequestTypeId, auto Handler>
void Run(Engine& engine, ServiceContext& ctx, Decoder& d) {
    typename HandlerTraits<decltype(Handler)>::Request request;
    Decode(d, request);
    const auto reply = (engine.*Handler)(ctx, request);
    if (!reply.deferred) engine.CountReply(RequestTypeId, reply.fault);
    engine.Answer(ctx, id::ResponseOf(RequestTypeId), reply);
    if (ctx.afterReply) ctx.afterReply();
}

void RunRead(Engine& engine, ServiceContext& ctx, Decoder& d) {
    engine.ServeRead(ctx, d);
}

template <uint32_t RequestTypeId, auto Handler>
constexpr ServiceEntry Row(bool needsSession, const char* name) {
    return {RequestTypeId, needsSession, &Run<RequestTypeId, Handler>, name};
}

constexpr bool kNoSession = false;
constexpr bool kSession = true;

constexpr ServiceEntry kServiceTable[] = {
    Row<id::GetEndpoints, &Engine::ServiceGetEndpoints>(kNoSession, "GetEndpoints"),
    Row<id::FindServers, &Engine::ServiceFindServers>(kNoSession, "FindServers"),
    Row<id::CreateSession, &Engine::ServiceCreateSession>(kNoSession, "CreateSession"),
    Row<id::ActivateSession, &Engine::ServiceActivateSession>(kNoSession, "ActivateSession"),
    Row<id::CloseSession, &Engine::ServiceCloseSession>(kNoSession, "CloseSession"),
    {id::Read, kSession, &RunRead, "Read"},
    Row<id::Write, &Engine::ServiceWrite>(kSession, "Write"),
    Row<id::Browse, &Engine::ServiceBrowse>(kSession, "Browse"),
    Row<id::BrowseNext, &Engine::ServiceBrowseNext>(kSession, "BrowseNext"),
    Row<id::TranslateBrowsePaths, &Engine::ServiceTranslate>(kSession, "TranslateBrowsePathsToNodeIds"),
    Row<id::RegisterNodes, &Engine::ServiceRegisterNodes>(kSession, "RegisterNodes"),
    Row<id::UnregisterNodes, &Engine::ServiceUnregisterNodes>(kSession, "UnregisterNodes"),
    Row<id::CreateSubscription, &Engine::ServiceCreateSubscription>(kSession, "CreateSubscription"),
    Row<id::ModifySubscription, &Engine::ServiceModifySubscription>(kSession, "ModifySubscription"),
    Row<id::SetPublishingMode, &Engine::ServiceSetPublishingMode>(kSession, "SetPublishingMode"),
    Row<id::DeleteSubscriptions, &Engine::ServiceDeleteSubscriptions>(kSession, "DeleteSubscriptions"),
    Row<id::CreateMonitoredItems, &Engine::ServiceCreateMonitoredItems>(kSession, "CreateMonitoredItems"),
    Row<id::ModifyMonitoredItems, &Engine::ServiceModifyMonitoredItems>(kSession, "ModifyMonitoredItems"),
    Row<id::SetMonitoringMode, &Engine::ServiceSetMonitoringMode>(kSession, "SetMonitoringMode"),
    Row<id::DeleteMonitoredItems, &Engine::ServiceDeleteMonitoredItems>(kSession, "DeleteMonitoredItems"),
    Row<id::Publish, &Engine::ServicePublish>(kSession, "Publish"),
    Row<id::Republish, &Engine::ServiceRepublish>(kSession, "Republish"),
    Row<id::Cancel, &Engine::ServiceCancel>(kSession, "Cancel"),
    Row<id::HistoryRead, &Engine::ServiceHistoryRead>(kSession, "HistoryRead"),
};

const ServiceEntry* FindService(const NodeId& typeId) {
    if (typeId.ns != 0 || typeId.kind != NodeId::Kind::Numeric) return nullptr;
    for (const ServiceEntry& s : kServiceTable)
        if (s.requestTypeId == typeId.numeric) return &s;
    return nullptr;
}

}  // namespace

std::span<const ServiceEntry> Engine::ServiceTable() {
    return kServiceTable;
}

Engine::Engine(Backend& backend, const ServerConfig& config, Transport& transport)
    : backend_(backend),
      config_(config),
      transport_(transport),
      memory_(config.memoryBudgetBytes),
      sessions_(config.randomSeed) {
    lifecycle_.startTime = UaNow();
    LoadServerKey();
}

Engine::~Engine() = default;

void Engine::Build() {
    space_.SetItemSamplingInterval(config_.itemSamplingIntervalMs);
    space_.SetHistorizing(backend_.HistoryEnabled());
    space_.Build(backend_.ListItems(), backend_.Metadata());
    // The item list was a copy of every item ID and name: its heap goes back to the system.
    ReturnFreedMemory();
}

size_t Engine::SubscriptionCount() const {
    size_t n = 0;
    sessions_.ForEach([&](const std::string&, const Session& s) { n += s.subscriptions.size(); });
    return n;
}

size_t Engine::MonitoredItemCount() const {
    size_t n = 0;
    sessions_.ForEach([&](const std::string&, const Session& s) {
        for (const auto& [id, sub] : s.subscriptions) n += sub->items.size();
    });
    return n;
}

Millis Engine::Tick(Millis now) {
    Millis next = now + kIdleTickMs;
    // A connection must open its secure channel in time, and renew its token within its lifetime.
    std::vector<uint64_t> expired;
    // Channels with an activated session, sorted (kept between ticks: no allocation per tick).
    std::vector<uint64_t>& active = activeChannels_;
    active.clear();
    sessions_.ForEach([&](const std::string&, const Session& s) {
        if (s.activated && s.conn != 0) active.push_back(s.conn);
    });
    std::sort(active.begin(), active.end());
    channels_.ForEach([&](Connection& c) {
        if (c.IsOpen()) {
            if (std::binary_search(active.begin(), active.end(), c.id))
                c.idleSince = 0;
            else if (c.idleSince == 0)
                c.idleSince = now;
        }
        const Millis deadline = c.Deadline(config_.handshakeTimeoutMs);
        if (deadline <= now)
            expired.push_back(c.id);
        else
            next = std::min(next, deadline);
    });
    for (uint64_t id : expired) {
        if (Connection* c = FindConnection(id))
            SendError(*c, status::BadTimeout, "handshake or token time-out");
        CloseConnection(id, true);
    }

    // Sessions: time-out, then their subscriptions and Publish requests.
    std::vector<std::string> timedOut;
    sessions_.ForEach([&](const std::string& key, Session& s) {
        const Millis deadline = s.Deadline();
        if (deadline <= now) {
            timedOut.push_back(key);
            return;
        }
        next = std::min(next, deadline);
        TickSubscriptions(s, now, next);
    });
    for (const auto& key : timedOut) EndSession(key, status::BadSessionClosed);
    counters_.sessionTimeouts += static_cast<uint32_t>(timedOut.size());
    if (memory_.TakeTrimDue(now)) ReturnFreedMemory();
    SendDelayedFaults(now, next);

    if (lifecycle_.shuttingDown && !lifecycle_.shutdownDone) {
        bool pending = false;
        sessions_.ForEach([&](const std::string&, const Session& s) {
            for (const auto& [id, sub] : s.subscriptions)
                if (sub->pendingNotifications > 0 && sub->publishingEnabled) pending = true;
        });
        if (!pending || now >= lifecycle_.shutdownDeadline) {
            counters_.sessionAborts += static_cast<uint32_t>(sessions_.Count());
            for (const auto& key : sessions_.Keys()) EndSession(key, status::BadShutdown);
            lifecycle_.shutdownDone = true;
        } else {
            next = std::min(next, now + kShutdownPollMs);
        }
    }
    return std::max(next, now + 1);
}

std::unordered_set<uint64_t> Engine::ChannelsWithActivatedSession() const {
    std::unordered_set<uint64_t> out;
    sessions_.ForEach([&](const std::string&, const Session& s) {
        if (s.activated && s.conn != 0) out.insert(s.conn);
    });
    return out;
}

void Engine::CountReply(uint32_t requestTypeId, StatusCode fault) {
    const bool sessionService = requestTypeId == id::CreateSession || requestTypeId == id::ActivateSession;
    if (fault == status::Good) {
        if (requestTypeId == id::CreateSession) ++counters_.cumulatedSessions;
        if (requestTypeId == id::CreateSubscription) ++counters_.cumulatedSubscriptions;
        return;
    }
    ++counters_.rejectedRequests;
    if (IsSecurityRejection(fault)) ++counters_.securityRejectedRequests;
    if (sessionService) {
        ++counters_.rejectedSessions;
        if (IsSecurityRejection(fault)) ++counters_.securityRejectedSessions;
    }
}

void Engine::DisconnectAll() {
    for (uint64_t id : channels_.Ids()) CloseConnection(id, true);
}

void Engine::BeginShutdown(const std::string& reason, Millis now) {
    lifecycle_.BeginShutdown(reason, now);
    // Sample at once so the state change reaches every subscriber with its next Publish.
    sessions_.ForEach([&](const std::string&, Session& s) {
        for (auto& [id, sub] : s.subscriptions) {
            SampleSubscription(*sub, now, true);
            sub->nextPublish = now;
        }
        Millis next = now + kIdleTickMs;
        TickSubscriptions(s, now, next);
    });
}

void Engine::CloseEverything() {
    for (const auto& key : sessions_.Keys()) EndSession(key, status::BadShutdown);
    DisconnectAll();
}

void Engine::ProcessRequest(Connection& c, uint32_t requestId, std::string_view body, Millis now) {
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
        const ServiceEntry* service = FindService(typeId);
        ServiceContext ctx{c, nullptr, requestId, h, now, {}};
        if (service && !service->needsSession) {
            service->run(*this, ctx, d);
            return;
        }
        // Every other request, known or not, must come from an activated session of this channel.
        Session* s = sessions_.Find(h.authenticationToken);
        StatusCode fault = status::Good;
        if (!s)
            fault = status::BadSessionIdInvalid;
        else if (s->conn != c.id)
            fault = status::BadSecureChannelIdInvalid;
        else if (!s->activated)
            fault = status::BadSessionNotActivated;
        if (fault == status::Good) {
            s->lastActivity = now;
            if (!service) fault = status::BadServiceUnsupported;
        }
        if (fault != status::Good) {
            CountReply(typeId.numeric, fault);
            SendServiceFault(c.id, requestId, h.requestHandle, fault);
            return;
        }
        ctx.session = s;
        service->run(*this, ctx, d);
    } catch (const DecodeError& e) {
        SendServiceFault(c.id, requestId, h.requestHandle, e.status());
    }
}

}  // namespace qora::ua
