#include "ua/security/users.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "base/atomic_file.h"

namespace qora::ua {

namespace {

bool ValidUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        int extra = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + static_cast<size_t>(extra) >= s.size()) return false;
        for (int k = 1; k <= extra; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += static_cast<size_t>(extra) + 1;
    }
    return true;
}

std::string Base64(const unsigned char* data, size_t n) {
    std::string out(4 * ((n + 2) / 3) + 1, '\0');
    const int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(n));
    out.resize(static_cast<size_t>(len));
    return out;
}

std::optional<std::string> Unbase64(std::string_view text) {
    if (text.empty() || text.size() % 4 != 0) return std::nullopt;
    std::string out(text.size() / 4 * 3, '\0');
    const int len =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (len < 0) return std::nullopt;
    size_t pad = 0;
    if (text.back() == '=') ++pad;
    if (text.size() >= 2 && text[text.size() - 2] == '=') ++pad;
    out.resize(static_cast<size_t>(len) - pad);
    return out;
}

struct ParsedRecord {
    int iterations = 0;
    std::string salt;
    std::string hash;
};

std::optional<ParsedRecord> ParseRecord(std::string_view record) {
    std::array<std::string_view, 4> parts;
    for (size_t k = 0; k < parts.size(); ++k) {
        const size_t d = record.find('$');
        if (k + 1 < parts.size()) {
            if (d == std::string_view::npos) return std::nullopt;
            parts[k] = record.substr(0, d);
            record.remove_prefix(d + 1);
        } else {
            if (d != std::string_view::npos) return std::nullopt;
            parts[k] = record;
        }
    }
    if (parts[0] != kPbkdf2Scheme) return std::nullopt;
    ParsedRecord r;
    const auto [end, ec] = std::from_chars(parts[1].data(), parts[1].data() + parts[1].size(), r.iterations);
    if (ec != std::errc() || end != parts[1].data() + parts[1].size()) return std::nullopt;
    if (r.iterations < kMinPbkdf2Iterations || r.iterations > kMaxPbkdf2Iterations) return std::nullopt;
    auto salt = Unbase64(parts[2]);
    auto hash = Unbase64(parts[3]);
    if (!salt || !hash || salt->size() < 8 || hash->size() != static_cast<size_t>(kPbkdf2HashBytes))
        return std::nullopt;
    r.salt = std::move(*salt);
    r.hash = std::move(*hash);
    return r;
}

std::string Derive(std::string_view password, std::string_view salt, int iterations) {
    std::string out(kPbkdf2HashBytes, '\0');
    PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                      reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                      iterations, EVP_sha256(), kPbkdf2HashBytes,
                      reinterpret_cast<unsigned char*>(out.data()));
    return out;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

}  // namespace

std::string UserNameProblem(std::string_view name) {
    if (name.empty()) return "имя пользователя пусто";
    if (name.find('=') != std::string_view::npos) return "имя пользователя содержит «=»";
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) return "имя пользователя содержит управляющие символы";
    }
    if (!ValidUtf8(name)) return "имя пользователя не в кодировке UTF-8";
    if (name.front() == ' ' || name.back() == ' ')
        return "имя пользователя начинается или кончается пробелом";
    if (name.front() == '#' || name.front() == ';' || name.front() == '[')
        return "имя пользователя начинается с «#», «;» или «[»";
    return {};
}

std::string HashPassword(std::string_view password, int iterations) {
    std::array<unsigned char, kPbkdf2SaltBytes> salt{};
    if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) return {};
    const std::string_view saltView(reinterpret_cast<const char*>(salt.data()), salt.size());
    const std::string hash = Derive(password, saltView, iterations);
    return std::string(kPbkdf2Scheme) + "$" + std::to_string(iterations) + "$" +
           Base64(salt.data(), salt.size()) + "$" +
           Base64(reinterpret_cast<const unsigned char*>(hash.data()), hash.size());
}

bool VerifyPassword(std::string_view record, std::string_view password) {
    const auto r = ParseRecord(record);
    if (!r) return false;
    const std::string hash = Derive(password, r->salt, r->iterations);
    return CRYPTO_memcmp(hash.data(), r->hash.data(), hash.size()) == 0;
}

UsersText UsersText::Parse(std::string_view text) {
    UsersText t;
    int number = 0;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        std::string_view raw = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        ++number;
        if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
        const std::string_view line = Trim(raw);
        Line l;
        l.text = std::string(raw);
        if (line.empty() || line.front() == '#' || line.front() == ';' || line.front() == '[') {
            t.lines_.push_back(std::move(l));
            continue;
        }
        const size_t eq = line.find('=');
        const std::string_view name = eq == std::string_view::npos ? line : Trim(line.substr(0, eq));
        const std::string_view record =
            eq == std::string_view::npos ? std::string_view{} : Trim(line.substr(eq + 1));
        std::string why;
        if (eq == std::string_view::npos)
            why = "нет «=»";
        else if (std::string p = UserNameProblem(name); !p.empty())
            why = p;
        else if (!ParseRecord(record))
            why = "запись пароля не читается";
        else if (t.Record(name))
            why = "пользователь «" + std::string(name) + "» указан повторно";
        if (!why.empty()) {
            t.problems_.push_back("строка " + std::to_string(number) + ": " + why);
        } else {
            l.name = std::string(name);
            l.record = std::string(record);
        }
        t.lines_.push_back(std::move(l));
    }
    return t;
}

std::string UsersText::Serialize() const {
    std::string out;
    for (const Line& l : lines_) {
        out += l.name.empty() ? l.text : l.name + "=" + l.record;
        out += '\n';
    }
    return out;
}

std::vector<std::string> UsersText::Names() const {
    std::vector<std::string> names;
    for (const Line& l : lines_)
        if (!l.name.empty()) names.push_back(l.name);
    return names;
}

std::optional<std::string> UsersText::Record(std::string_view name) const {
    for (const Line& l : lines_)
        if (!l.name.empty() && l.name == name) return l.record;
    return std::nullopt;
}

bool UsersText::Set(std::string_view name, std::string_view record) {
    for (Line& l : lines_)
        if (!l.name.empty() && l.name == name) {
            l.record = std::string(record);
            return true;
        }
    Line l;
    l.name = std::string(name);
    l.record = std::string(record);
    lines_.push_back(std::move(l));
    return false;
}

bool UsersText::Remove(std::string_view name) {
    const auto before = lines_.size();
    std::erase_if(lines_, [&](const Line& l) { return !l.name.empty() && l.name == name; });
    return lines_.size() != before;
}

bool ReadUsersFile(const std::string& path, UsersText& text, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            text = UsersText();
            return true;
        }
        if (error) *error = "не удалось открыть файл пользователей " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string data;
    std::array<char, 4096> buf{};
    for (;;) {
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            ::close(fd);
            if (error) *error = "не удалось прочитать файл пользователей " + path + ": " + std::strerror(err);
            return false;
        }
        if (n == 0) break;
        data.append(buf.data(), static_cast<size_t>(n));
    }
    ::close(fd);
    text = UsersText::Parse(data);
    return true;
}

bool WriteUsersFile(const std::string& path, const UsersText& text, std::string* error) {
    const std::string data = text.Serialize();
    // The file holds password hashes: readable by the owner only, from its first byte on.
    const int e = AtomicWriteFile(path, data.data(), data.size(), {.fixedMode = 0600});
    if (e == 0) return true;
    if (error) *error = "не удалось записать файл пользователей " + path + ": " + std::strerror(e);
    return false;
}

UsersFile::UsersFile(std::string path) : path_(std::move(path)) {}

void UsersFile::RefreshLocked() {
    Stamp now;
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0) {
        now.sec = st.st_mtim.tv_sec;
        now.nsec = st.st_mtim.tv_nsec;
        now.size = st.st_size;
        now.inode = st.st_ino;
    }
    if (loaded_ && now == stamp_) return;
    UsersText text;
    std::string error;
    if (ReadUsersFile(path_, text, &error)) {
        text_ = std::move(text);
        problems_ = text_.Problems();
    } else {
        // An unreadable file allows nobody (a file of users that cannot be read is no list).
        text_ = UsersText();
        problems_ = {error};
    }
    stamp_ = now;
    loaded_ = true;
}

std::vector<std::string> UsersFile::Refresh() {
    std::lock_guard<std::mutex> lock(mutex_);
    RefreshLocked();
    return problems_;
}

size_t UsersFile::UserCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    RefreshLocked();
    return text_.Names().size();
}

bool UsersFile::Check(std::string_view user, std::string_view password) {
    // An unknown user costs the same hashing as a known one, so timing does not tell names.
    static const std::string kDummy = HashPassword("", kPbkdf2Iterations);
    std::lock_guard<std::mutex> lock(mutex_);
    RefreshLocked();
    const auto record = text_.Record(user);
    const bool ok = VerifyPassword(record ? *record : kDummy, password);
    return record.has_value() && ok;
}

}  // namespace qora::ua
