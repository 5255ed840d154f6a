// Timed tool (not a test): the cost of the certificate folder and the users file on the
// endpoint's thread. Prints the time of creating the server certificate, of one client
// validation (self-signed and CA-issued with a CRL) with 10 and 500 files in the trusted folder,
// and of one login check.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/unit/ua/pki_test_certs.h"
#include "ua/security/pki.h"
#include "ua/security/users.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

template <class F>
double MicrosPer(int n, F&& f) {
    const auto t0 = Clock::now();
    for (int i = 0; i < n; ++i) f();
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / n;
}

void Write(const fs::path& p, const std::string& data) {
    std::ofstream(p, std::ios::binary) << data;
}

}  // namespace

int main() {
    using namespace qora;
    std::string tmpl = (fs::temp_directory_path() / "qora-pki-bench-XXXXXX").string();
    const fs::path dir = ::mkdtemp(tmpl.data());
    ua::PkiOptions o;
    o.root = (dir / "pki").string();
    o.applicationUri = "urn:bench:qora";
    o.applicationName = "QORA OPC Server";
    std::string error;
    const auto t0 = Clock::now();
    auto store = ua::PkiStore::Open(o, &error);
    const double createMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    if (!store) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("own certificate and key created: %.1f ms\n", createMs);

    const test::TestCert self = test::MakeCert(test::CertRecipe{});
    const test::TestCert ca = test::MakeCert(test::CaRecipe("Bench CA", "ca"));
    const test::TestCert leaf = test::MakeCert(test::CertRecipe{}, &ca);
    Write(dir / "pki/trusted/certs/self.der", self.der);
    Write(dir / "pki/trusted/certs/ca.der", ca.der);
    Write(dir / "pki/trusted/crl/ca.crl", test::MakeCrl(ca));
    for (int files : {10, 500}) {
        for (int i = 0; i < files - 2; ++i) {
            test::CertRecipe s;
            s.cn = "filler " + std::to_string(i);
            Write(dir / "pki/trusted/certs" / ("f" + std::to_string(i) + ".der"), test::MakeCert(s).der);
        }
        store->ValidateClient(self.der);  // reads the lists
        const double selfUs = MicrosPer(200, [&] { store->ValidateClient(self.der, "urn:test:client"); });
        const double chainUs = MicrosPer(200, [&] { store->ValidateClient(leaf.der); });
        std::printf("%d trusted files: validation self-signed %.0f us, CA-issued with CRL %.0f us\n", files,
                    selfUs, chainUs);
    }

    const std::string users = (dir / "users.ini").string();
    ua::UsersText text;
    text.Set("operator", ua::HashPassword("pw"));
    ua::WriteUsersFile(users, text, &error);
    ua::UsersFile directory(users);
    directory.Check("operator", "pw");
    const double checkMs = MicrosPer(10, [&] { directory.Check("operator", "pw"); }) / 1000;
    const double unknownMs = MicrosPer(10, [&] { directory.Check("nobody", "pw"); }) / 1000;
    std::printf("login check (%d iterations): known user %.1f ms, unknown user %.1f ms\n",
                ua::kPbkdf2Iterations, checkMs, unknownMs);
    fs::remove_all(dir);
    return 0;
}
