// Subscription services: CreateSubscription, ModifySubscription, SetPublishingMode,
// DeleteSubscriptions, Publish, Republish; a subscription's share of the session's memory.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "ua/engine/engine.h"

namespace qora::ua {

namespace {

double ReviseInterval(double requested) {
    if (!(requested >= kMinPublishingIntervalMs)) return kMinPublishingIntervalMs;  // NaN too
    return std::min(requested, kMaxPublishingIntervalMs);
}

// Revised keep-alive count (0 asks for the default) and the lifetime, at least three keep-alives.
constexpr uint32_t kDefaultKeepAliveCount = 10;
constexpr uint32_t kLifetimeKeepAlives = 3;

void ReviseCounts(Subscription& sub, const SubscriptionParameters& p) {
    sub.publishingInterval = ReviseInterval(p.publishingInterval);
    sub.maxKeepAliveCount = std::clamp<uint32_t>(
        p.maxKeepAliveCount == 0 ? kDefaultKeepAliveCount : p.maxKeepAliveCount, 1, kMaxKeepAliveCount);
    sub.lifetimeCount = std::max(p.lifetimeCount, sub.maxKeepAliveCount * kLifetimeKeepAlives);
    sub.maxNotificationsPerPublish = p.maxNotificationsPerPublish;
    sub.priority = p.priority;
}

}  // namespace

Reply<CreateSubscriptionResponse> Engine::ServiceCreateSubscription(ServiceContext& ctx,
                                                                    const CreateSubscriptionRequest& r) {
    Session& s = *ctx.session;
    if (s.subscriptions.size() >= static_cast<size_t>(std::max(0, config_.maxSubscriptionsPerSession)))
        return ServiceFault{status::BadTooManySubscriptions};
    if (s.Memory() + sizeof(Subscription) > SessionMemoryShare() || !memory_.TryCharge(sizeof(Subscription)))
        return ServiceFault{status::BadOutOfMemory};
    auto sub = std::make_unique<Subscription>();
    sub->charged = sizeof(Subscription);
    sub->id = sessions_.NewSubscriptionId();
    while (sub->id == 0 || s.subscriptions.count(sub->id)) sub->id = sessions_.NewSubscriptionId();
    ReviseCounts(*sub, r.params);
    sub->publishingEnabled = r.publishingEnabled;
    sub->nextPublish = ctx.now + static_cast<Millis>(sub->publishingInterval);
    sub->nextSample = ctx.now;
    sub->RecomputeSamplePeriod();
    // The first cycle sends a keep-alive when there is nothing to report.
    sub->keepAliveCounter = sub->maxKeepAliveCount - 1;
    const CreateSubscriptionResponse out{sub->id, sub->publishingInterval, sub->lifetimeCount,
                                         sub->maxKeepAliveCount};
    s.subscriptions.emplace(sub->id, std::move(sub));
    return out;
}

Reply<ModifySubscriptionResponse> Engine::ServiceModifySubscription(ServiceContext& ctx,
                                                                    const ModifySubscriptionRequest& r) {
    Subscription* sub = ctx.session->FindSubscription(r.subscriptionId);
    if (!sub) return ServiceFault{status::BadSubscriptionIdInvalid};
    ReviseCounts(*sub, r.params);
    sub->RecomputeSamplePeriod();
    return ModifySubscriptionResponse{sub->publishingInterval, sub->lifetimeCount, sub->maxKeepAliveCount};
}

Reply<StatusListResponse> Engine::ServiceSetPublishingMode(ServiceContext& ctx,
                                                           const SetPublishingModeRequest& r) {
    return ForEachId(r.subscriptionIds, [&](uint32_t subId) {
        Subscription* sub = ctx.session->FindSubscription(subId);
        if (!sub) return status::BadSubscriptionIdInvalid;
        sub->publishingEnabled = r.publishingEnabled;
        return status::Good;
    });
}

void Engine::FailPublishRequests(Session& s, StatusCode code) {
    for (const PendingPublish& p : s.publishQueue)
        SendServiceFault(p.conn, p.requestId, p.requestHandle, code);
    s.publishQueue.clear();
}

Reply<StatusListResponse> Engine::ServiceDeleteSubscriptions(ServiceContext& ctx,
                                                             const DeleteSubscriptionsRequest& r) {
    Session& s = *ctx.session;
    auto reply = ForEachId(r.subscriptionIds, [&](uint32_t subId) {
        if (!s.subscriptions.count(subId)) return status::BadSubscriptionIdInvalid;
        DeleteSubscription(s, subId);
        return status::Good;
    });
    // Queued Publish requests hear that nothing is left to serve them, after this response.
    if (!reply.IsFault() && s.subscriptions.empty())
        ctx.afterReply = [this, &s] { FailPublishRequests(s, status::BadNoSubscription); };
    return reply;
}

bool Engine::ChargeSession(const Session& s, Subscription& sub, uint64_t n) {
    if (s.Memory() + n > SessionMemoryShare() || !memory_.TryCharge(n)) return false;
    sub.charged += n;
    return true;
}

void Engine::ReleaseSubscription(Subscription& sub, uint64_t n) {
    sub.charged -= std::min(sub.charged, n);
    memory_.Release(n);
}

void Engine::DeleteSubscription(Session& s, uint32_t subscriptionId) {
    auto it = s.subscriptions.find(subscriptionId);
    if (it == s.subscriptions.end()) return;
    Subscription& sub = *it->second;
    std::vector<uint32_t> ids;
    ids.reserve(sub.items.size());
    for (const auto& [itemId, m] : sub.items) ids.push_back(itemId);
    DeleteItems(sub, ids);
    memory_.Release(sub.charged);  // itself and the messages kept for Republish
    s.subscriptions.erase(it);
}

void Engine::SendPublishResponse(const PendingPublish& req, const PublishResponse& response) {
    std::string out;
    Encoder e(out);
    EncodeResponseHeader(e, req.requestHandle, status::Good);
    Encode(e, response);
    SendResponse(req.conn, req.requestId, id::ResponseOf(id::Publish), out, req.requestHandle);
}

Reply<PublishResponse> Engine::ServicePublish(ServiceContext& ctx, const PublishRequest& r) {
    Session& s = *ctx.session;
    PendingPublish p;
    p.conn = ctx.channel.id;
    p.requestId = ctx.requestId;
    p.requestHandle = ctx.header.requestHandle;
    p.received = ctx.now;
    p.timeoutHint = ctx.header.timeoutHint;
    for (const SubscriptionAcknowledgement& ack : r.acknowledgements) {
        Subscription* sub = s.FindSubscription(ack.subscriptionId);
        if (!sub) {
            p.ackResults.push_back(status::BadSubscriptionIdInvalid);
            continue;
        }
        auto& q = sub->retransmit;
        auto m = std::find_if(q.begin(), q.end(),
                              [&](const SentMessage& x) { return x.sequenceNumber == ack.sequenceNumber; });
        if (m == q.end()) {
            p.ackResults.push_back(status::BadSequenceNumberUnknown);
        } else {
            ReleaseSubscription(*sub, m->encoded.size());
            q.erase(m);
            p.ackResults.push_back(status::Good);
        }
    }
    if (s.subscriptions.empty()) return ServiceFault{status::BadNoSubscription};
    if (s.publishQueue.size() >= static_cast<size_t>(std::max(1, config_.maxPublishRequestsPerSession)))
        return ServiceFault{status::BadTooManyPublishRequests};
    s.publishQueue.push_back(std::move(p));
    for (auto& [subId, sub] : s.subscriptions) sub->lifetimeCounter = 0;
    AnswerLatePublish(s, ctx.now);
    return Reply<PublishResponse>::Deferred();  // answered by a notification or a keep-alive
}

Reply<RepublishResponse> Engine::ServiceRepublish(ServiceContext& ctx, const RepublishRequest& r) {
    Subscription* sub = ctx.session->FindSubscription(r.subscriptionId);
    if (!sub) return ServiceFault{status::BadSubscriptionIdInvalid};
    const auto& q = sub->retransmit;
    auto m = std::find_if(q.begin(), q.end(), [&](const SentMessage& x) {
        return x.sequenceNumber == r.retransmitSequenceNumber;
    });
    if (m == q.end()) return ServiceFault{status::BadMessageNotAvailable};
    return RepublishResponse{m->encoded};
}

}  // namespace qora::ua
