// A trust store and a user directory for tests and the test host: the server's key and
// certificate in memory (made at test time or loaded from files), client certificates trusted
// by DER or by a folder read again at each validation (refused ones copied beside it into
// ../rejected), users with clear passwords.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "ua/security/crypto.h"
#include "ua/security/policy.h"

namespace qora::ua::testing {

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class TestTrustStore : public TrustStore {
  public:
    TestTrustStore(std::string certificateDer, crypto::RsaKey key)
        : cert_(std::move(certificateDer)), key_(std::move(key)), keyDer_(key_.PrivateDer()) {}
    // A new key of `bits` and a self-signed certificate naming applicationUri.
    static std::shared_ptr<TestTrustStore> Generate(int bits, const std::string& applicationUri) {
        crypto::RsaKey key = crypto::RsaKey::Generate(bits);
        std::string cert = crypto::MakeSelfSigned(key, "QORA test server", applicationUri);
        return std::make_shared<TestTrustStore>(std::move(cert), std::move(key));
    }
    // Certificate and key files (DER or PEM); null when either does not load.
    static std::shared_ptr<TestTrustStore> Load(const std::string& certFile, const std::string& keyFile) {
        std::string cert = crypto::CertificateToDer(ReadWholeFile(certFile));
        crypto::RsaKey key = crypto::RsaKey::FromPrivate(ReadWholeFile(keyFile));
        if (cert.empty() || !key.Valid()) return nullptr;
        return std::make_shared<TestTrustStore>(std::move(cert), std::move(key));
    }

    void Trust(std::string der) {
        std::lock_guard<std::mutex> lock(mu_);
        trusted_.push_back(crypto::CertificateToDer(der));
    }
    void SetTrustDirectory(std::string dir) {
        std::lock_guard<std::mutex> lock(mu_);
        dir_ = std::move(dir);
    }
    void SetVerdict(StatusCode forced) { forced_ = forced; }  // every validation answers this
    void TrustEveryone() { everyone_ = true; }                // benchmarks
    int Validations() const { return validations_; }

    const std::string& OwnCertificateDer() const override { return cert_; }
    const std::string& OwnPrivateKeyDer() const override { return keyDer_; }

    StatusCode ValidateClient(std::string_view derChain, std::string_view applicationUri) override {
        ++validations_;
        if (forced_ != status::Good) return forced_;
        if (everyone_) return status::Good;
        const std::string leaf(crypto::Leaf(derChain));
        if (leaf.empty() || !crypto::RsaKey::FromCertificate(leaf).Valid())
            return status::BadCertificateInvalid;
        if (!IsTrusted(leaf)) {
            Reject(leaf);
            return status::BadCertificateUntrusted;
        }
        if (!crypto::WithinValidity(leaf)) return status::BadCertificateTimeInvalid;
        if (!applicationUri.empty() && crypto::SubjectAltNameUri(leaf) != applicationUri)
            return status::BadCertificateUriInvalid;
        return status::Good;
    }

  private:
    bool IsTrusted(const std::string& leaf) {
        std::lock_guard<std::mutex> lock(mu_);
        for (const auto& t : trusted_)
            if (t == leaf) return true;
        if (dir_.empty()) return false;
        DIR* d = ::opendir(dir_.c_str());
        if (!d) return false;
        bool found = false;
        while (dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            if (crypto::CertificateToDer(ReadWholeFile(dir_ + "/" + name)) == leaf) found = true;
        }
        ::closedir(d);
        return found;
    }
    void Reject(const std::string& leaf) {
        std::lock_guard<std::mutex> lock(mu_);
        if (dir_.empty()) return;
        const std::string rejected = dir_ + "/../rejected";
        ::mkdir(rejected.c_str(), 0755);
        std::string name;
        for (unsigned char c : crypto::Thumbprint(leaf)) {
            name.push_back("0123456789abcdef"[c >> 4]);
            name.push_back("0123456789abcdef"[c & 15]);
        }
        std::ofstream(rejected + "/" + name + ".der", std::ios::binary) << leaf;
    }

    std::string cert_;
    crypto::RsaKey key_;
    std::string keyDer_;
    std::mutex mu_;
    std::vector<std::string> trusted_;
    std::string dir_;
    std::atomic<StatusCode> forced_{status::Good};
    std::atomic<int> validations_{0};
    std::atomic<bool> everyone_{false};
};

class TestUserDirectory : public UserDirectory {
  public:
    void Add(std::string user, std::string password) {
        std::lock_guard<std::mutex> lock(mu_);
        users_[std::move(user)] = std::move(password);
    }
    bool Check(std::string_view user, std::string_view password) override {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = users_.find(std::string(user));
        return it != users_.end() && it->second == password;
    }

  private:
    std::mutex mu_;
    std::map<std::string, std::string> users_;
};

}  // namespace qora::ua::testing
