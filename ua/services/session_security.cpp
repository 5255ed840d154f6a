// Security of sessions: the endpoints offered per (policy, mode) with their user token policies,
// the server's signature in CreateSession, the client's in ActivateSession, and the identity
// tokens (anonymous, user name with the password encrypted to the server's certificate). Wrong
// passwords are answered late through the engine's timer.
#include <algorithm>

#include "ua/engine/channel_security.h"
#include "ua/engine/engine.h"

namespace qora::ua {

namespace {

// AnonymousIdentityToken and UserNameIdentityToken: binary encoding ids, and the data type ids
// some clients send instead.
constexpr uint32_t kAnonymousTokenDataType = id::AnonymousIdentityToken - 2;
constexpr uint32_t kUserNameTokenDataType = id::UserNameIdentityToken - 2;
// The policy that encrypts passwords sent over a None channel.
constexpr SecurityPolicy kPasswordPolicyOnNone = SecurityPolicy::Basic256Sha256;

uint8_t SecurityLevel(SecurityPolicy p, SecurityMode m) {
    const uint8_t mode = m == SecurityMode::SignAndEncrypt ? 10 : m == SecurityMode::Sign ? 5 : 0;
    switch (p) {
        case SecurityPolicy::Basic256Sha256:
            return mode + 1;
        case SecurityPolicy::Aes128_Sha256_RsaOaep:
            return mode + 2;
        case SecurityPolicy::Aes256_Sha256_RsaPss:
            return mode + 3;
        default:
            return 0;
    }
}

std::string LowerName(SecurityPolicy p) {
    std::string s(PolicyName(p));
    for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return s;
}

// The user token policies of the endpoints of endpointPolicy (secured: the server has a usable
// certificate).
std::vector<UserTokenPolicy> TokenPolicies(const ServerConfig& config, bool secured,
                                           SecurityPolicy endpointPolicy) {
    std::vector<UserTokenPolicy> t;
    if (config.allowAnonymous) t.push_back({"anonymous", UserTokenAnonymous, {}});
    if (!config.users) return t;
    if (endpointPolicy != SecurityPolicy::None)
        t.push_back({"username", UserTokenUserName, {}});
    else if (secured)
        t.push_back({"username_" + LowerName(kPasswordPolicyOnNone), UserTokenUserName,
                     std::string(PolicyUri(kPasswordPolicyOnNone))});
    else if (config.allowClearPasswords)
        t.push_back({"username_clear", UserTokenUserName, std::string(PolicyUri(SecurityPolicy::None))});
    return t;
}

}  // namespace

std::vector<EndpointDescription> Engine::Endpoints(const std::string& url) const {
    const bool secured = config_.trust && ownKey_.Valid();
    const std::string certificate = secured ? config_.trust->OwnCertificateDer() : std::string();
    auto tokens = [&](SecurityPolicy endpointPolicy) {
        return TokenPolicies(config_, secured, endpointPolicy);
    };
    std::vector<EndpointDescription> out;
    auto add = [&](SecurityPolicy p, SecurityMode m) {
        EndpointDescription ep;
        ep.endpointUrl = url;
        ep.server = Application(url);
        ep.serverCertificate = certificate;
        ep.securityMode = static_cast<uint32_t>(m);
        ep.securityPolicyUri = std::string(PolicyUri(p));
        ep.userTokens = tokens(p);
        ep.securityLevel = SecurityLevel(p, m);
        out.push_back(std::move(ep));
    };
    if (PolicyOffered(SecurityPolicy::None)) add(SecurityPolicy::None, SecurityMode::None);
    for (SecurityPolicy p : config_.securityPolicies) {
        if (p == SecurityPolicy::None || !PolicyOffered(p)) continue;
        for (SecurityMode m : config_.securityModes)
            if (m == SecurityMode::Sign || m == SecurityMode::SignAndEncrypt) add(p, m);
    }
    return out;
}

StatusCode Engine::SecureCreateSession(const Connection& c, const CreateSessionRequest& r, Session& s,
                                       CreateSessionResponse& out) {
    if (!c.security) {
        if (!PolicyOffered(SecurityPolicy::None)) return status::BadSecurityPolicyRejected;
        // Clients encrypt passwords to this certificate even over None.
        if (config_.trust && ownKey_.Valid()) out.serverCertificate = config_.trust->OwnCertificateDer();
        return status::Good;
    }
    const ChannelSecurity& sec = *c.security;
    if (r.clientNonce.size() < kMinClientNonce || r.clientNonce.size() > kMaxClientNonce)
        return status::BadNonceInvalid;
    const std::string_view leaf = crypto::Leaf(r.clientCertificate);
    if (leaf.empty() || leaf != sec.clientCertificate) return status::BadCertificateInvalid;
    if (crypto::SubjectAltNameUri(leaf) != r.applicationUri) return status::BadCertificateUriInvalid;
    std::string signedBytes(leaf);
    signedBytes += r.clientNonce;
    const std::optional<std::string> signature = crypto::Sign(*sec.params, ownKey_, signedBytes);
    if (!signature) return status::BadInternalError;
    out.serverCertificate = config_.trust->OwnCertificateDer();
    out.serverSignature = {std::string(sec.params->signatureUri), *signature};
    s.clientCertificate.assign(leaf);
    return status::Good;
}

StatusCode Engine::CheckActivation(const Connection& c, Session& s, const ActivateSessionRequest& r,
                                   Millis now, bool* deny, PasswordCheck* check) {
    // The first activation comes over the channel that created the session; later a client may
    // move it to a new channel after a reconnect.
    const bool moving = s.conn != c.id;
    if (moving && !s.activated) return status::BadSessionIdInvalid;
    if (c.security) {
        // The session belongs to the certificate that created it, and the client proves it holds
        // the key by signing our certificate and the last nonce. The algorithm URI is not compared:
        // some clients name the PSS signature differently.
        if (s.clientCertificate != c.security->clientCertificate) return status::BadSecurityChecksFailed;
        const std::string signedBytes = config_.trust->OwnCertificateDer() + s.serverNonce;
        if (!crypto::Verify(*c.security->params, c.security->clientKey, signedBytes,
                            r.clientSignature.signature))
            return status::BadApplicationSignatureInvalid;
    } else if (!s.clientCertificate.empty()) {
        return status::BadSecurityChecksFailed;  // a secured session cannot move to a None channel
    }
    const NodeId& type = r.userIdentityToken.typeId;
    // A token names one of the token policies of the endpoint the channel uses, of its own kind.
    const bool anonymous =
        type.IsNull() || type.IsNs0(id::AnonymousIdentityToken) || type.IsNs0(kAnonymousTokenDataType);
    if (!type.IsNull()) {
        Decoder policyIdOf(r.userIdentityToken.body);
        const std::string policyId = policyIdOf.StringValue();
        const auto offered = TokenPolicies(config_, config_.trust && ownKey_.Valid(),
                                           c.security ? c.security->policy : SecurityPolicy::None);
        const auto sameKind = [&](const UserTokenPolicy& t) {
            return (t.tokenType == UserTokenAnonymous) == anonymous;
        };
        // A kind not offered at all is refused below as before (BadIdentityTokenRejected).
        if (std::any_of(offered.begin(), offered.end(), sameKind) &&
            std::none_of(offered.begin(), offered.end(),
                         [&](const UserTokenPolicy& t) { return sameKind(t) && t.policyId == policyId; }))
            return status::BadIdentityTokenInvalid;
    }
    if (anonymous) {
        if (!config_.allowAnonymous) return status::BadIdentityTokenRejected;
        // A user's session moves only with that user's password again.
        if (moving && !s.userName.empty()) return status::BadIdentityTokenRejected;
        s.userName.clear();
        return status::Good;
    }
    if (type.IsNs0(id::UserNameIdentityToken) || type.IsNs0(kUserNameTokenDataType))
        return CheckUserName(c, s, r.userIdentityToken, now, deny, check);
    return status::BadIdentityTokenInvalid;
}

StatusCode Engine::CheckUserName(const Connection& c, Session& s, const ExtensionObject& token, Millis now,
                                 bool* deny, PasswordCheck* check) {
    if (!config_.users) return status::BadIdentityTokenRejected;
    Decoder d(token.body);
    UserNameToken u;
    Decode(d, u);
    std::string password;
    const auto refuse = [&] {
        *deny = true;
        return status::BadUserAccessDenied;
    };
    if (u.encryptionAlgorithm.empty()) {
        // In clear: only inside an encrypted channel, or where explicitly allowed.
        const bool encryptedChannel = c.security && c.security->mode == SecurityMode::SignAndEncrypt;
        if (!encryptedChannel && !config_.allowClearPasswords) return status::BadIdentityTokenRejected;
        if (!AdmitPasswordCheck(c, now)) return refuse();
        password = u.password;
    } else {
        const crypto::PolicyParams* p =
            crypto::Params(c.security ? c.security->policy : kPasswordPolicyOnNone);
        if (!p || !ownKey_.Valid() || u.encryptionAlgorithm != p->encryptionUri)
            return status::BadIdentityTokenInvalid;
        // A password and a nonce fit a block or two of the key: a longer secret is not decrypted.
        const size_t block = ownKey_.Bytes();
        if (u.password.empty() || u.password.size() % block != 0 ||
            u.password.size() > kMaxPasswordCipherBlocks * block)
            return status::BadIdentityTokenInvalid;
        // Decrypting costs the thread too: it counts against the allowance like the check.
        if (!AdmitPasswordCheck(c, now)) return refuse();
        const std::optional<std::string> plain = crypto::Decrypt(*p, ownKey_, u.password);
        if (!plain || plain->size() < 4) return status::BadIdentityTokenInvalid;
        // Length L (password and nonce), the password, the last server nonce, zeros.
        const size_t length = static_cast<uint8_t>((*plain)[0]) |
                              static_cast<size_t>(static_cast<uint8_t>((*plain)[1])) << 8 |
                              static_cast<size_t>(static_cast<uint8_t>((*plain)[2])) << 16 |
                              static_cast<size_t>(static_cast<uint8_t>((*plain)[3])) << 24;
        const size_t nonceSize = s.serverNonce.size();
        if (length < nonceSize || length > plain->size() - 4) return status::BadIdentityTokenInvalid;
        for (size_t i = 4 + length; i < plain->size(); ++i)
            if ((*plain)[i] != 0) return status::BadIdentityTokenInvalid;
        if (!crypto::ConstantTimeEqual(std::string_view(*plain).substr(4 + length - nonceSize, nonceSize),
                                       s.serverNonce))
            return status::BadIdentityTokenInvalid;
        password = plain->substr(4, length - nonceSize);
    }
    // The hash itself is left to the caller (inline, or on the password worker).
    check->needed = true;
    check->user = std::move(u.userName);
    check->password = std::move(password);
    return status::Good;
}

bool Engine::Allowance::Take(Millis now, double rate, double burst) {
    if (now > refilled) {
        left = std::min(burst, left + static_cast<double>(now - refilled) * rate / 1000.0);
        refilled = now;
    }
    if (left < 1.0) return false;
    left -= 1.0;
    return true;
}

bool Engine::AdmitPasswordCheck(const Connection& c, Millis now) {
    if (passwordExecutor_ && pendingActivations_.size() >= kMaxPendingPasswordChecks) {
        ++passwordChecksRefused_;  // the worker is behind: nothing more is queued
        return false;
    }
    // Without an address (engine tests, fuzzing) the channel is the peer.
    const std::string key = c.peer.empty() ? "#" + std::to_string(c.id) : c.peer;
    if (peerPasswordAllowance_.size() >= kMaxPasswordPeers && !peerPasswordAllowance_.count(key)) {
        // Forget the peers whose allowance has refilled: they start full again anyway.
        std::erase_if(peerPasswordAllowance_, [&](const auto& entry) {
            const Allowance& a = entry.second;
            return a.left + static_cast<double>(now - a.refilled) * kPasswordChecksPerSecond / 1000.0 >=
                   kPasswordCheckBurst;
        });
    }
    // A table still full gives the newcomers one allowance between them.
    const std::string& slot =
        peerPasswordAllowance_.size() >= kMaxPasswordPeers && !peerPasswordAllowance_.count(key) ? "*" : key;
    Allowance& peer =
        peerPasswordAllowance_.try_emplace(slot, Allowance{kPasswordCheckBurst, now}).first->second;
    if (!peer.Take(now, kPasswordChecksPerSecond, kPasswordCheckBurst)) {
        ++passwordChecksRefused_;
        return false;
    }
    if (!passwordAllowance_.Take(now, kPasswordChecksPerSecond * kPasswordPeersShare,
                                 kPasswordCheckBurst * kPasswordPeersShare)) {
        peer.left += 1.0;  // not checked: not charged to the peer
        ++passwordChecksRefused_;
        return false;
    }
    return true;
}

void Engine::ReportSecurityEvent(const std::string& line, Millis now) {
    if (!config_.securityEvent) return;
    if (now >= securityEventWindow_ + 60000 || securityEventWindow_ == 0) {
        securityEventWindow_ = now == 0 ? 1 : now;
        securityEventsInWindow_ = 0;
    }
    if (securityEventsInWindow_ >= kSecurityEventsPerMinute) {
        ++securityEventsSuppressed_;
        return;
    }
    ++securityEventsInWindow_;
    std::string text = line;
    if (securityEventsSuppressed_ != 0) {
        text += " (" + std::to_string(securityEventsSuppressed_) + " more not shown)";
        securityEventsSuppressed_ = 0;
    }
    config_.securityEvent(text);
}

void Engine::SendDelayedFaults(Millis now, Millis& next) {
    std::vector<DelayedFault> due;
    auto keep = std::partition(delayedFaults_.begin(), delayedFaults_.end(),
                               [&](const DelayedFault& f) { return f.due > now; });
    due.assign(keep, delayedFaults_.end());
    delayedFaults_.erase(keep, delayedFaults_.end());
    for (const DelayedFault& f : delayedFaults_) next = std::min(next, f.due);
    for (const DelayedFault& f : due)
        if (FindConnection(f.conn)) SendServiceFault(f.conn, f.requestId, f.requestHandle, f.code);
}

}  // namespace qora::ua
