#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "ua/security/users.h"

using namespace qora::ua;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> out(1);
    for (char c : s) {
        if (c == sep)
            out.emplace_back();
        else
            out.back() += c;
    }
    return out;
}

std::string DecodeB64(const std::string& s) {
    std::string out(s.size(), '\0');
    const int n =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(s.data()), static_cast<int>(s.size()));
    out.resize(static_cast<size_t>(n) - std::count(s.begin(), s.end(), '='));
    return out;
}

std::string EncodeB64(const std::string& s) {
    std::string out(s.size() * 2 + 4, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(s.data()), static_cast<int>(s.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

// PBKDF2 through the KDF interface: another route than the one the users file takes.
std::string KdfPbkdf2(const std::string& password, const std::string& salt, unsigned iterations) {
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "PBKDF2", nullptr);
    EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, const_cast<char*>(password.data()),
                                          password.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<char*>(salt.data()), salt.size()),
        OSSL_PARAM_construct_uint(OSSL_KDF_PARAM_ITER, &iterations),
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end(),
    };
    std::string out(32, '\0');
    EVP_KDF_derive(ctx, reinterpret_cast<unsigned char*>(out.data()), out.size(), params);
    EVP_KDF_CTX_free(ctx);
    EVP_KDF_free(kdf);
    return out;
}

class TempDir {
  public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "qora-users-XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string File(const char* name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

std::string ReadFile(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(Users, HashRecordHasTheSchemeIterationsSixteenByteSaltAndThePbkdf2Hash) {
    const std::string record = HashPassword("Пароль-1", kPbkdf2Iterations);
    const auto parts = Split(record, '$');
    ASSERT_EQ(parts.size(), 4u) << record;
    EXPECT_EQ(parts[0], "pbkdf2-sha256");
    EXPECT_EQ(parts[1], "100000");
    const std::string salt = DecodeB64(parts[2]);
    EXPECT_EQ(salt.size(), 16u);
    EXPECT_EQ(DecodeB64(parts[3]), KdfPbkdf2("Пароль-1", salt, kPbkdf2Iterations));
    // A new salt every time: equal passwords do not give equal records.
    EXPECT_NE(HashPassword("Пароль-1", kMinPbkdf2Iterations), HashPassword("Пароль-1", kMinPbkdf2Iterations));
    EXPECT_EQ(record.find("Пароль"), std::string::npos);
}

TEST(Users, VerifyAcceptsOnlyTheRightPasswordAndReadableRecords) {
    const std::string salt = "0123456789abcdef";
    const std::string good =
        "pbkdf2-sha256$1000$" + EncodeB64(salt) + "$" + EncodeB64(KdfPbkdf2("secret", salt, 1000));
    EXPECT_TRUE(VerifyPassword(good, "secret"));
    EXPECT_FALSE(VerifyPassword(good, "Secret"));
    EXPECT_FALSE(VerifyPassword(good, "secret "));
    EXPECT_FALSE(VerifyPassword(good, ""));
    const std::string hash = EncodeB64(KdfPbkdf2("secret", salt, 1000));
    const std::string saltB64 = EncodeB64(salt);
    for (const std::string& bad : {
             std::string(),
             "pbkdf2-sha1$1000$" + saltB64 + "$" + hash,
             "pbkdf2-sha256$999$" + saltB64 + "$" + hash,       // too few iterations
             "pbkdf2-sha256$10000001$" + saltB64 + "$" + hash,  // too many: would stall logins
             "pbkdf2-sha256$1e3$" + saltB64 + "$" + hash,
             "pbkdf2-sha256$1000$" + saltB64 + "$" + hash + "$",  // extra field
             "pbkdf2-sha256$1000$" + saltB64,
             "pbkdf2-sha256$1000$***$" + hash,
             "pbkdf2-sha256$1000$" + saltB64 + "$" + EncodeB64("short"),
         })
        EXPECT_FALSE(VerifyPassword(bad, "secret")) << bad;
}

TEST(Users, NameRules) {
    struct {
        std::string name;
        bool ok;
    } cases[] = {
        {"operator", true},
        {"Оператор смены", true},
        {"a.b-c_d@plant", true},
        {"", false},
        {"a=b", false},
        {"tab\tname", false},
        {"new\nline", false},
        {"del\x7f", false},
        {"\xC3\x28", false},
        {"\xE2\x82", false},
        {"\xC0\xAF", false},
        {" lead", false},
        {"trail ", false},
        {"#comment", false},
        {";comment", false},
        {"[section]", false},
        {"\xF0\x9F\x98\x80", true},
    };
    for (const auto& c : cases) EXPECT_EQ(UserNameProblem(c.name).empty(), c.ok) << c.name;
}

TEST(Users, TextKeepsCommentsAndFlagsBadLines) {
    const std::string rec = HashPassword("x", kMinPbkdf2Iterations);
    const std::string text = "# users of the endpoint\r\n[USERS]\n\noperator = " + rec + "\nbroken line\n" +
                             "bad=pbkdf2-sha256$5$AAAA$AAAA\noperator=" + rec + "\n";
    UsersText t = UsersText::Parse(text);
    EXPECT_EQ(t.Names(), std::vector<std::string>{"operator"});
    ASSERT_EQ(t.Problems().size(), 3u);
    EXPECT_EQ(t.Problems()[0].rfind("строка 5:", 0), 0u) << t.Problems()[0];
    EXPECT_EQ(t.Problems()[1].rfind("строка 6:", 0), 0u) << t.Problems()[1];
    EXPECT_EQ(t.Problems()[2].rfind("строка 7:", 0), 0u) << t.Problems()[2];
    EXPECT_FALSE(t.Set("engineer", rec));
    EXPECT_TRUE(t.Remove("operator"));
    EXPECT_FALSE(t.Remove("operator"));
    const std::string out = t.Serialize();
    EXPECT_EQ(out.rfind("# users of the endpoint\n[USERS]\n\n", 0), 0u) << out;
    EXPECT_NE(out.find("broken line\n"), std::string::npos);
    EXPECT_NE(out.find("engineer=" + rec + "\n"), std::string::npos);
    // The line repeating "operator" was never a user; it stays as text, so it is the only one.
    EXPECT_EQ(UsersText::Parse(out).Names(), (std::vector<std::string>{"operator", "engineer"}));
}

TEST(Users, FileIsWrittenWithMode0600AndReadBackByTheDirectory) {
    TempDir dir;
    const std::string path = dir.File("users.ini");
    std::ofstream(path) << "# old\n";
    ::chmod(path.c_str(), 0644);
    UsersText t;
    t.Set("operator", HashPassword("first", kMinPbkdf2Iterations));
    const mode_t old = ::umask(0);
    std::string error;
    const bool written = WriteUsersFile(path, t, &error);
    ::umask(old);
    ASSERT_TRUE(written) << error;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // No temporary file left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(path).parent_path()), fs::directory_iterator()),
              1);

    UsersFile users(path);
    EXPECT_TRUE(users.Check("operator", "first"));
    EXPECT_FALSE(users.Check("operator", "second"));
    EXPECT_FALSE(users.Check("nobody", "first"));
    EXPECT_FALSE(users.Check("", ""));

    // Changed on disk (as the tool does it): the directory reads it again at the next login.
    t.Set("operator", HashPassword("second", kMinPbkdf2Iterations));
    t.Set("engineer", HashPassword("third", kMinPbkdf2Iterations));
    ASSERT_TRUE(WriteUsersFile(path, t, &error)) << error;
    EXPECT_FALSE(users.Check("operator", "first"));
    EXPECT_TRUE(users.Check("operator", "second"));
    EXPECT_TRUE(users.Check("engineer", "third"));
    EXPECT_EQ(users.UserCount(), 2u);

    // Edited in place, same size (an editor that rewrites the file): read again too.
    std::string content = ReadFile(path);
    const size_t at = content.find("engineer");
    content.replace(at, 8, "engineeR");
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    EXPECT_FALSE(users.Check("engineer", "third"));
    EXPECT_TRUE(users.Check("engineeR", "third"));

    // Removed: nobody.
    fs::remove(path);
    EXPECT_FALSE(users.Check("operator", "second"));
    EXPECT_EQ(users.UserCount(), 0u);
    EXPECT_TRUE(users.Refresh().empty());
}
