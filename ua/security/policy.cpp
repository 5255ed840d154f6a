#include "ua/security/policy.h"

#include <array>

namespace qora::ua {

namespace {

struct PolicyNames {
    SecurityPolicy policy;
    std::string_view name;
    std::string_view uri;
};

constexpr std::array<PolicyNames, 4> kPolicies{{
    {SecurityPolicy::None, "None", "http://opcfoundation.org/UA/SecurityPolicy#None"},
    {SecurityPolicy::Basic256Sha256, "Basic256Sha256",
     "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256"},
    {SecurityPolicy::Aes128_Sha256_RsaOaep, "Aes128_Sha256_RsaOaep",
     "http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep"},
    {SecurityPolicy::Aes256_Sha256_RsaPss, "Aes256_Sha256_RsaPss",
     "http://opcfoundation.org/UA/SecurityPolicy#Aes256_Sha256_RsaPss"},
}};

}  // namespace

std::string_view PolicyUri(SecurityPolicy p) {
    for (const auto& e : kPolicies)
        if (e.policy == p) return e.uri;
    return kPolicies[0].uri;
}

std::string_view PolicyName(SecurityPolicy p) {
    for (const auto& e : kPolicies)
        if (e.policy == p) return e.name;
    return kPolicies[0].name;
}

std::optional<SecurityPolicy> PolicyFromUri(std::string_view uri) {
    for (const auto& e : kPolicies)
        if (e.uri == uri) return e.policy;
    return std::nullopt;
}

std::optional<SecurityPolicy> PolicyFromName(std::string_view name) {
    for (const auto& e : kPolicies)
        if (e.name == name) return e.policy;
    return std::nullopt;
}

}  // namespace qora::ua
