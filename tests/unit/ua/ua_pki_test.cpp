#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "tests/unit/ua/pki_test_certs.h"
#include "ua/engine/server_config.h"
#include "ua/security/crypto.h"
#include "ua/security/pki.h"

using namespace qora::ua;
using namespace qora::ua::certstatus;
using namespace qora::test;
namespace fs = std::filesystem;

namespace {

class TempDir {
  public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "qora-pki-XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& Path() const { return path_; }

  private:
    fs::path path_;
};

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& p, const std::string& data) {
    std::ofstream(p, std::ios::binary) << data;
}

std::vector<fs::path> Files(const fs::path& dir) {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path());
    return out;
}

class PkiTest : public ::testing::Test {
  protected:
    PkiOptions Options() {
        PkiOptions o;
        o.root = (dir_.Path() / "pki").string();
        o.applicationUri = "urn:plant-pc:qora";
        o.applicationName = "QORA OPC Server";
        o.organization = "Test";
        o.dnsNames = {"plant-pc"};
        o.fileCheckIntervalMs = 0;  // files replaced in place are seen at once
        o.ipAddresses = {"10.1.2.3"};
        o.log = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(logMutex_);
            log_.push_back(line);
        };
        return o;
    }
    std::unique_ptr<PkiStore> Open(bool autoAccept = false) {
        PkiOptions o = Options();
        o.autoAcceptClients = autoAccept;
        std::string error;
        auto store = PkiStore::Open(o, &error);
        EXPECT_TRUE(store) << error;
        return store;
    }
    fs::path Pki(const char* sub) const { return dir_.Path() / "pki" / sub; }
    void Trust(const TestCert& c, const char* name = "client.der") {
        WriteFile(Pki("trusted/certs") / name, c.der);
    }

    TempDir dir_;
    std::mutex logMutex_;
    std::vector<std::string> log_;
};

TEST_F(PkiTest, FirstStartCreatesTheCertificateWithTheRecipeAndAPrivateKeyOfMode0600) {
    // A permissive umask must not open the key file even briefly: the mode comes with creation.
    const mode_t old = ::umask(0);
    auto store = Open();
    ::umask(old);
    ASSERT_TRUE(store);
    EXPECT_TRUE(store->Created());
    for (const char* sub : {"own/certs", "own/private", "trusted/certs", "trusted/crl", "issuers/certs",
                            "issuers/crl", "rejected/certs"})
        EXPECT_TRUE(fs::is_directory(Pki(sub))) << sub;
    EXPECT_EQ(store->OwnCertificatePath(), (Pki("own/certs") / "qora-opc-server.der").string());
    struct stat st {};
    ASSERT_EQ(::stat(store->OwnPrivateKeyPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(Pki("own/private").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u);

    const std::string der = ReadFile(store->OwnCertificatePath());
    EXPECT_EQ(der, store->OwnCertificateDer());
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    TestX509 x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    ASSERT_TRUE(x);
    EXPECT_EQ(X509_get_version(x.get()), X509_VERSION_3);
    EXPECT_EQ(EVP_PKEY_get_bits(X509_get0_pubkey(x.get())), 2048);
    int mdnid = 0;
    ASSERT_EQ(X509_get_signature_info(x.get(), &mdnid, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(mdnid, NID_sha256);
    EXPECT_EQ(X509_verify(x.get(), X509_get0_pubkey(x.get())), 1);

    // subjectAltName: the application URI, the DNS names and the addresses with the loopback ones.
    auto* names =
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(x.get(), NID_subject_alt_name, nullptr, nullptr));
    ASSERT_NE(names, nullptr);
    std::vector<std::string> seen;
    for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* g = sk_GENERAL_NAME_value(names, i);
        if (g->type == GEN_URI || g->type == GEN_DNS) {
            const ASN1_IA5STRING* s = g->d.ia5;
            seen.push_back((g->type == GEN_URI ? "URI:" : "DNS:") +
                           std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                                       static_cast<size_t>(ASN1_STRING_length(s))));
        } else if (g->type == GEN_IPADD) {
            const ASN1_OCTET_STRING* ip = g->d.iPAddress;
            ASSERT_EQ(ASN1_STRING_length(ip), 4);
            const unsigned char* b = ASN1_STRING_get0_data(ip);
            seen.push_back("IP:" + std::to_string(b[0]) + "." + std::to_string(b[1]) + "." +
                           std::to_string(b[2]) + "." + std::to_string(b[3]));
        }
    }
    GENERAL_NAMES_free(names);
    EXPECT_EQ(seen, (std::vector<std::string>{"URI:urn:plant-pc:qora", "DNS:plant-pc", "DNS:localhost",
                                              "IP:10.1.2.3", "IP:127.0.0.1"}));

    const uint32_t flags = X509_get_extension_flags(x.get());
    EXPECT_EQ(flags & EXFLAG_CA, 0u);
    EXPECT_NE(flags & EXFLAG_BCONS, 0u);
    EXPECT_EQ(X509_get_key_usage(x.get()), static_cast<uint32_t>(KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION |
                                                                 KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT));
    EXPECT_EQ(X509_get_extended_key_usage(x.get()) & (XKU_SSL_SERVER | XKU_SSL_CLIENT),
              XKU_SSL_SERVER | XKU_SSL_CLIENT);
    int days = 0, secs = 0;
    ASSERT_EQ(ASN1_TIME_diff(&days, &secs, X509_get0_notBefore(x.get()), X509_get0_notAfter(x.get())), 1);
    EXPECT_NEAR(days, kOwnCertificateValidityDays, 1);
    const std::string cn = "QORA OPC Server";
    char buf[64] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(x.get()), NID_commonName, buf, sizeof buf);
    EXPECT_EQ(buf, cn);

    // The private key in memory is PKCS#8 DER of the certificate's key.
    const auto* k = reinterpret_cast<const unsigned char*>(store->OwnPrivateKeyDer().data());
    PKCS8_PRIV_KEY_INFO* p8 =
        d2i_PKCS8_PRIV_KEY_INFO(nullptr, &k, static_cast<long>(store->OwnPrivateKeyDer().size()));
    ASSERT_NE(p8, nullptr);
    EVP_PKEY* key = EVP_PKCS82PKEY(p8);
    PKCS8_PRIV_KEY_INFO_free(p8);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(X509_check_private_key(x.get(), key), 1);
    EVP_PKEY_free(key);

    // The certificate passes the checks clients are held to, once trusted.
    EXPECT_EQ(store->ValidateClient(der, "urn:plant-pc:qora"), BadCertificateUntrusted);
    fs::rename(Files(Pki("rejected/certs")).at(0), Pki("trusted/certs") / "own.der");
    EXPECT_EQ(store->ValidateClient(der, "urn:plant-pc:qora"), status::Good);
}

TEST_F(PkiTest, SecondStartReusesTheCertificateAndKey) {
    std::string der, key;
    {
        auto first = Open();
        ASSERT_TRUE(first);
        der = first->OwnCertificateDer();
        key = first->OwnPrivateKeyDer();
    }
    auto second = Open();
    ASSERT_TRUE(second);
    EXPECT_FALSE(second->Created());
    EXPECT_EQ(second->OwnCertificateDer(), der);
    EXPECT_EQ(second->OwnPrivateKeyDer(), key);
}

TEST_F(PkiTest, ADamagedOrIncompleteOwnPairIsReportedAndLeftAsItIs) {
    std::string certPath, keyPath;
    {
        auto store = Open();
        ASSERT_TRUE(store);
        certPath = store->OwnCertificatePath();
        keyPath = store->OwnPrivateKeyPath();
    }
    const std::string goodKey = ReadFile(keyPath);
    struct Case {
        const char* what;
        std::function<void()> damage;
    } cases[] = {
        {"key cut", [&] { WriteFile(keyPath, goodKey.substr(0, goodKey.size() / 2)); }},
        {"certificate garbage", [&] { WriteFile(certPath, "not a certificate"); }},
        {"key missing", [&] { fs::remove(keyPath); }},
        {"key of another certificate",
         [&] {
             EVP_PKEY* other = KeyFor("other").get();
             BIO* bio = BIO_new_file(keyPath.c_str(), "w");
             PEM_write_bio_PrivateKey(bio, other, nullptr, nullptr, 0, nullptr, nullptr);
             BIO_free(bio);
         }},
    };
    const std::string goodCert = ReadFile(certPath);
    for (const Case& c : cases) {
        WriteFile(certPath, goodCert);
        WriteFile(keyPath, goodKey);
        c.damage();
        const bool keyExisted = fs::exists(keyPath);
        const std::string certBefore = ReadFile(certPath);
        const std::string keyBefore = keyExisted ? ReadFile(keyPath) : std::string();
        std::string error;
        EXPECT_FALSE(PkiStore::Open(Options(), &error)) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
        EXPECT_EQ(ReadFile(certPath), certBefore) << c.what;
        EXPECT_EQ(fs::exists(keyPath), keyExisted) << c.what;
        if (keyExisted) {
            EXPECT_EQ(ReadFile(keyPath), keyBefore) << c.what;
        }
    }
}

TEST_F(PkiTest, AFolderThatCannotBeCreatedIsReported) {
    PkiOptions o = Options();
    WriteFile(dir_.Path() / "file", "x");
    o.root = (dir_.Path() / "file" / "pki").string();  // below a regular file
    std::string error;
    EXPECT_FALSE(PkiStore::Open(o, &error));
    EXPECT_NE(error.find("pki"), std::string::npos) << error;
}

// Self-signed client certificates placed in trusted/certs: each defect gives its status.
TEST_F(PkiTest, SelfSignedClientCertificatesAreJudgedByEachCheck) {
    auto store = Open();
    ASSERT_TRUE(store);
    struct Case {
        const char* what;
        std::function<void(CertRecipe&)> edit;
        std::string applicationUri;
        StatusCode expected;
    } cases[] = {
        {"valid", [](CertRecipe&) {}, "urn:test:client", status::Good},
        {"valid, no URI asked", [](CertRecipe&) {}, "", status::Good},
        {"expired",
         [](CertRecipe& s) {
             s.notBeforeDays = -30;
             s.notAfterDays = -1;
         },
         "", BadCertificateTimeInvalid},
        {"not yet valid",
         [](CertRecipe& s) {
             s.notBeforeDays = 2;
             s.notAfterDays = 30;
         },
         "", BadCertificateTimeInvalid},
        {"1024-bit key",
         [](CertRecipe& s) {
             s.bits = 1024;
             s.role = "short";
         },
         "", BadCertificatePolicyCheckFailed},
        {"SHA-1 signature", [](CertRecipe& s) { s.md = EVP_sha1(); }, "", BadCertificatePolicyCheckFailed},
        {"CA as leaf", [](CertRecipe& s) { s.basicConstraints = "critical,CA:TRUE"; }, "",
         BadCertificateUseNotAllowed},
        {"no clientAuth", [](CertRecipe& s) { s.extKeyUsage = "serverAuth"; }, "",
         BadCertificateUseNotAllowed},
        {"no keyUsage", [](CertRecipe& s) { s.keyUsage.clear(); }, "", BadCertificateUseNotAllowed},
        {"keyUsage without digitalSignature",
         [](CertRecipe& s) { s.keyUsage = "keyEncipherment,dataEncipherment"; }, "",
         BadCertificateUseNotAllowed},
        {"keyUsage without encipherment", [](CertRecipe& s) { s.keyUsage = "digitalSignature"; }, "",
         BadCertificateUseNotAllowed},
        {"no extendedKeyUsage at all", [](CertRecipe& s) { s.extKeyUsage.clear(); }, "", status::Good},
        {"URI mismatch", [](CertRecipe&) {}, "urn:test:other", BadCertificateUriInvalid},
        {"no URI in the certificate", [](CertRecipe& s) { s.subjectAltName = "DNS:localhost"; },
         "urn:test:client", BadCertificateUriInvalid},
        {"no URI in the certificate, none asked", [](CertRecipe& s) { s.subjectAltName = "DNS:localhost"; },
         "", BadCertificateUriInvalid},
        {"unknown critical extension",
         [](CertRecipe& s) { s.extra = "1.3.6.1.4.1.99999.1=critical,DER:0500"; }, "", BadCertificateInvalid},
        {"unknown non-critical extension", [](CertRecipe& s) { s.extra = "1.3.6.1.4.1.99999.1=DER:0500"; },
         "", status::Good},
    };
    int n = 0;
    for (const Case& c : cases) {
        CertRecipe recipe;
        c.edit(recipe);
        const TestCert cert = MakeCert(recipe);
        Trust(cert, ("c" + std::to_string(n++) + ".der").c_str());
        EXPECT_EQ(CertificateStatusName(store->ValidateClient(cert.der, c.applicationUri)),
                  CertificateStatusName(c.expected))
            << c.what;
    }
    EXPECT_TRUE(Files(Pki("rejected/certs")).empty());
}

TEST_F(PkiTest, MalformedChainsAreInvalid) {
    auto store = Open();
    ASSERT_TRUE(store);
    const TestCert cert = MakeCert(CertRecipe{});
    Trust(cert);
    for (const std::string& bytes :
         {std::string(), std::string("garbage"), cert.der.substr(0, cert.der.size() - 1), cert.der + "x",
          cert.der + cert.der.substr(0, 10)})
        EXPECT_EQ(store->ValidateClient(bytes), BadCertificateInvalid) << bytes.size();
    EXPECT_EQ(store->ValidateClient(cert.der), status::Good);
}

TEST_F(PkiTest, AnUntrustedCertificateIsCopiedToRejectedAndTrustedAfterTheOperatorMovesIt) {
    auto store = Open();
    ASSERT_TRUE(store);
    CertRecipe recipe;
    recipe.cn = "SCADA/Client [1]";
    const TestCert cert = MakeCert(recipe);
    EXPECT_EQ(store->ValidateClient(cert.der, "urn:test:client"), BadCertificateUntrusted);
    const auto rejected = Files(Pki("rejected/certs"));
    ASSERT_EQ(rejected.size(), 1u);
    EXPECT_EQ(rejected[0].filename().string(), "SCADA_Client _1_[" + ThumbprintHex(cert.der) + "].der");
    EXPECT_EQ(ReadFile(rejected[0]), cert.der);
    // A second attempt keeps the one copy.
    EXPECT_EQ(store->ValidateClient(cert.der), BadCertificateUntrusted);
    EXPECT_EQ(Files(Pki("rejected/certs")).size(), 1u);

    // The operator moves the file; the same store (no restart) now trusts the client.
    fs::rename(rejected[0], Pki("trusted/certs") / rejected[0].filename());
    EXPECT_EQ(store->ValidateClient(cert.der, "urn:test:client"), status::Good);
    // And removing it takes the trust away again.
    fs::remove(Pki("trusted/certs") / rejected[0].filename());
    EXPECT_EQ(store->ValidateClient(cert.der), BadCertificateUntrusted);
}

TEST_F(PkiTest, AutoAcceptTrustsValidCertificatesOnlyAndLogsEach) {
    auto store = Open(true);
    ASSERT_TRUE(store);
    const TestCert good = MakeCert(CertRecipe{});
    EXPECT_EQ(store->ValidateClient(good.der), status::Good);
    CertRecipe expired;
    expired.notBeforeDays = -10;
    expired.notAfterDays = -1;
    EXPECT_EQ(store->ValidateClient(MakeCert(expired).der), BadCertificateTimeInvalid);
    EXPECT_TRUE(Files(Pki("rejected/certs")).empty());
    std::lock_guard<std::mutex> lock(logMutex_);
    EXPECT_EQ(
        std::count_if(log_.begin(), log_.end(),
                      [](const std::string& l) { return l.find("AutoAcceptClients") != std::string::npos; }),
        1);
}

// Chains through a CA: trust by the CA, CRLs, revocation, missing links, forged signatures.
TEST_F(PkiTest, CertificatesIssuedByACaAreCheckedAgainstItsCrl) {
    auto store = Open();
    ASSERT_TRUE(store);
    const TestCert ca = MakeCert(CaRecipe("Plant CA", "ca"));
    CertRecipe leafRecipe;
    const TestCert leaf = MakeCert(leafRecipe, &ca);
    leafRecipe.cn = "Revoked Client";
    const TestCert revoked = MakeCert(leafRecipe, &ca);
    const TestCert stranger = MakeCert(CertRecipe{});  // self-signed, never trusted

    // The CA unknown: the chain cannot be built.
    EXPECT_EQ(store->ValidateClient(leaf.der), BadCertificateChainIncomplete);
    // The CA sent along but trusted nowhere: untrusted.
    EXPECT_EQ(store->ValidateClient(leaf.der + ca.der), BadCertificateUntrusted);
    // The CA trusted, no CRL: the revocation state is unknown and the client refused.
    WriteFile(Pki("trusted/certs") / "ca.der", ca.der);
    EXPECT_EQ(store->ValidateClient(leaf.der), BadCertificateRevocationUnknown);
    // With the CA's CRL.
    WriteFile(Pki("trusted/crl") / "ca.crl", MakeCrl(ca, {&revoked}));
    EXPECT_EQ(store->ValidateClient(leaf.der), status::Good);
    EXPECT_EQ(store->ValidateClient(leaf.der + ca.der), status::Good);
    EXPECT_EQ(store->ValidateClient(revoked.der), BadCertificateRevoked);
    // A CRL signed by another key does not count.
    WriteFile(Pki("trusted/crl") / "ca.crl", MakeCrl(stranger));
    EXPECT_EQ(store->ValidateClient(leaf.der), BadCertificateRevocationUnknown);

    // A certificate naming the CA as issuer but signed by another key.
    CertRecipe forged;
    forged.role = "forger";
    TestCert fake = MakeCert(forged);
    X509_set_issuer_name(fake.cert.get(), X509_get_subject_name(ca.cert.get()));
    X509_sign(fake.cert.get(), KeyFor("forger").get(), EVP_sha256());
    fake.der = DerOf(fake.cert.get());
    EXPECT_EQ(store->ValidateClient(fake.der), BadCertificateInvalid);

    // The CA only in issuers: the leaf must be trusted itself; the CRL may lie in issuers/crl.
    fs::remove(Pki("trusted/certs") / "ca.der");
    fs::remove(Pki("trusted/crl") / "ca.crl");
    WriteFile(Pki("issuers/certs") / "ca.der", ca.der);
    WriteFile(Pki("issuers/crl") / "ca.crl", MakeCrl(ca));
    EXPECT_EQ(store->ValidateClient(leaf.der), BadCertificateUntrusted);
    WriteFile(Pki("trusted/certs") / "leaf.der", leaf.der);
    EXPECT_EQ(store->ValidateClient(leaf.der), status::Good);
}

TEST_F(PkiTest, ACrlReplacedInPlaceIsSeenWithinTheFileCheckInterval) {
    PkiOptions o = Options();
    o.fileCheckIntervalMs = 200;
    std::string error;
    auto store = PkiStore::Open(o, &error);
    ASSERT_TRUE(store) << error;
    const TestCert ca = MakeCert(CaRecipe("Plant CA", "ca"));
    const TestCert leaf = MakeCert(CertRecipe{}, &ca);
    WriteFile(Pki("trusted/certs") / "ca.der", ca.der);
    WriteFile(Pki("trusted/crl") / "ca.crl", MakeCrl(ca));
    ASSERT_EQ(store->ValidateClient(leaf.der), status::Good);
    // Copied over the old file: the folder's time does not change, the file's does.
    {
        std::ofstream out(Pki("trusted/crl") / "ca.crl", std::ios::binary | std::ios::trunc);
        out << MakeCrl(ca, {&leaf});
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    StatusCode s = status::Good;
    while ((s = store->ValidateClient(leaf.der)) == status::Good &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(s, BadCertificateRevoked);
}

TEST_F(PkiTest, IntermediateCaProblemsGiveTheIssuerCodes) {
    auto store = Open();
    ASSERT_TRUE(store);
    const TestCert root = MakeCert(CaRecipe("Root CA", "root"));
    const TestCert sub = MakeCert(CaRecipe("Line CA", "sub"), &root);
    CertRecipe expiredRecipe = CaRecipe("Old Line CA", "sub");
    expiredRecipe.notBeforeDays = -20;
    expiredRecipe.notAfterDays = -1;
    const TestCert expiredSub = MakeCert(expiredRecipe, &root);
    CertRecipe notCaRecipe = CaRecipe("Not a CA", "sub");
    notCaRecipe.basicConstraints = "critical,CA:FALSE";
    notCaRecipe.keyUsage = "digitalSignature";
    const TestCert notCa = MakeCert(notCaRecipe, &root);
    const TestCert leaf = MakeCert(CertRecipe{}, &sub);
    const TestCert leafOfExpired = MakeCert(CertRecipe{}, &expiredSub);
    const TestCert leafOfNotCa = MakeCert(CertRecipe{}, &notCa);

    WriteFile(Pki("trusted/certs") / "root.der", root.der);
    WriteFile(Pki("trusted/crl") / "sub.crl", MakeCrl(sub));
    WriteFile(Pki("trusted/crl") / "expired.crl", MakeCrl(expiredSub));
    WriteFile(Pki("trusted/crl") / "notca.crl", MakeCrl(notCa));
    // The root's CRL missing: the intermediate's revocation is unknown.
    EXPECT_EQ(store->ValidateClient(leaf.der + sub.der), BadCertificateIssuerRevocationUnknown);
    WriteFile(Pki("trusted/crl") / "root.crl", MakeCrl(root));
    EXPECT_EQ(store->ValidateClient(leaf.der + sub.der), status::Good);
    EXPECT_EQ(store->ValidateClient(leafOfExpired.der + expiredSub.der), BadCertificateIssuerTimeInvalid);
    EXPECT_EQ(store->ValidateClient(leafOfNotCa.der + notCa.der), BadCertificateIssuerUseNotAllowed);
    WriteFile(Pki("trusted/crl") / "root.crl", MakeCrl(root, {&sub}));
    EXPECT_EQ(store->ValidateClient(leaf.der + sub.der), BadCertificateIssuerRevoked);
}

TEST_F(PkiTest, ValidationsFromSeveralThreadsWhileTheTrustListChanges) {
    auto store = Open();
    ASSERT_TRUE(store);
    const TestCert cert = MakeCert(CertRecipe{});
    Trust(cert, "a.der");
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    auto worker = [&] {
        for (int i = 0; i < 200; ++i) {
            const StatusCode s = store->ValidateClient(cert.der);
            if (s != status::Good && s != BadCertificateUntrusted) ++bad;
        }
    };
    std::thread changer([&] {
        for (int i = 0; i < 50 && !stop; ++i) {
            WriteFile(Pki("trusted/certs") / ("x" + std::to_string(i) + ".der"), cert.der);
            fs::remove(Pki("trusted/certs") / ("x" + std::to_string(i) + ".der"));
        }
    });
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    stop = true;
    changer.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(store->ValidateClient(cert.der), status::Good);
}

}  // namespace

TEST_F(PkiTest, IssuersAreCasByBasicConstraintsAndEveryCurrentCrlCounts) {
    auto store = Open();
    ASSERT_TRUE(store);
    const TestCert ca = MakeCert(CaRecipe("Plant CA", "ca"));
    const TestCert leaf = MakeCert(CertRecipe{}, &ca);
    WriteFile(Pki("trusted/certs") / "ca.der", ca.der);
    struct Case {
        const char* what;
        std::vector<std::pair<const char*, std::string>> crls;
        StatusCode expected;
    } cases[] = {
        {"current CRL", {{"a.crl", MakeCrl(ca)}}, status::Good},
        {"CRL past nextUpdate", {{"a.crl", MakeCrl(ca, {}, -1, -30)}}, BadCertificateRevocationUnknown},
        {"old CRL past nextUpdate listing it",
         {{"a.crl", MakeCrl(ca, {&leaf}, -1, -30)}, {"b.crl", MakeCrl(ca)}},
         BadCertificateRevoked},
        {"older CRL first, newer revokes",
         {{"a.crl", MakeCrl(ca, {}, 30, -2)}, {"b.crl", MakeCrl(ca, {&leaf})}},
         BadCertificateRevoked},
        {"newer revokes first, older after",
         {{"a.crl", MakeCrl(ca, {&leaf})}, {"b.crl", MakeCrl(ca, {}, 30, -2)}},
         BadCertificateRevoked},
    };
    for (const Case& c : cases) {
        for (const fs::path& f : Files(Pki("trusted/crl"))) fs::remove(f);
        for (const auto& [name, der] : c.crls) WriteFile(Pki("trusted/crl") / name, der);
        EXPECT_EQ(CertificateStatusName(store->ValidateClient(leaf.der)), CertificateStatusName(c.expected))
            << c.what;
    }

    // Issuers that only sign certificates by key usage, without basicConstraints CA:TRUE.
    for (const char* bc : {"", "critical,CA:FALSE"}) {
        CertRecipe r = CaRecipe("Loose CA", "loose");
        r.basicConstraints = bc;
        const TestCert loose = MakeCert(r);
        const TestCert issued = MakeCert(CertRecipe{}, &loose);
        WriteFile(Pki("trusted/certs") / "loose.der", loose.der);
        WriteFile(Pki("trusted/crl") / "loose.crl", MakeCrl(loose));
        EXPECT_EQ(CertificateStatusName(store->ValidateClient(issued.der)),
                  CertificateStatusName(BadCertificateIssuerUseNotAllowed))
            << "basicConstraints '" << bc << "'";
    }
}

TEST_F(PkiTest, AFullRejectedFolderIsCountedAgainWhenItChangesAndNamesAreLoggedEscaped) {
    fs::create_directories(Pki("rejected/certs"));
    for (int i = 0; i < kMaxRejectedFiles; ++i) WriteFile(Pki("rejected/certs") / std::to_string(i), "");
    auto store = Open();
    ASSERT_TRUE(store);
    CertRecipe r;
    r.cn = "evil\nКлиент\x1b[31m\xc2\x85";
    const TestCert cert = MakeCert(r);
    EXPECT_EQ(store->ValidateClient(cert.der), BadCertificateUntrusted);
    EXPECT_EQ(Files(Pki("rejected/certs")).size(), static_cast<size_t>(kMaxRejectedFiles));
    for (const fs::path& f : Files(Pki("rejected/certs"))) fs::remove(f);
    EXPECT_EQ(store->ValidateClient(cert.der), BadCertificateUntrusted);
    EXPECT_EQ(Files(Pki("rejected/certs")).size(), 1u);
    std::lock_guard<std::mutex> lock(logMutex_);
    ASSERT_FALSE(log_.empty());
    EXPECT_NE(log_.back().find("evil\\x0AКлиент\\x1B[31m\\x85"), std::string::npos) << log_.back();
}

TEST_F(PkiTest, TheOwnCertificateNamesTheHostAndIsRenewedForAnotherApplicationUri) {
    PkiOptions o = Options();
    o.hostName = "plant-pc";
    std::string error;
    auto first = PkiStore::Open(o, &error);
    ASSERT_TRUE(first) << error;
    const std::string before = first->OwnCertificateDer();
    first.reset();
    const auto* p = reinterpret_cast<const unsigned char*>(before.data());
    TestX509 x(d2i_X509(nullptr, &p, static_cast<long>(before.size())));
    ASSERT_TRUE(x);
    X509_NAME* subject = X509_get_subject_name(x.get());
    const int dc = X509_NAME_get_index_by_NID(subject, NID_domainComponent, -1);
    ASSERT_GE(dc, 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(
                  ASN1_STRING_get0_data(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, dc))))),
              "plant-pc");

    o.applicationUri = "urn:renamed-pc:qora";
    auto renewed = PkiStore::Open(o, &error);
    ASSERT_TRUE(renewed) << error;
    EXPECT_TRUE(renewed->Created());
    EXPECT_NE(renewed->OwnCertificateDer(), before);
    EXPECT_EQ(crypto::SubjectAltNameUri(renewed->OwnCertificateDer()), "urn:renamed-pc:qora");
    std::lock_guard<std::mutex> lock(logMutex_);
    EXPECT_TRUE(std::any_of(log_.begin(), log_.end(), [](const std::string& l) {
        return l.find("urn:plant-pc:qora") != std::string::npos;
    }));
}

TEST(InstanceUri, OnePerHostAndTheSameAtEveryStart) {
    EXPECT_EQ(InstanceUri("Plant-PC"), "urn:plant-pc:qora:opc-server");
    EXPECT_EQ(InstanceUri("Plant-PC"), InstanceUri("plant-pc"));
    EXPECT_NE(InstanceUri("plant-pc"), InstanceUri("plant-pc2"));
    EXPECT_EQ(InstanceUri("a b/c"), "urn:a-b-c:qora:opc-server");
    EXPECT_EQ(InstanceUri(""), "urn:localhost:qora:opc-server");
}
