// The users file: user names and salted, slowly hashed passwords, one user a line:
//
//   # comment           (lines starting with '#' or ';', blank lines and [sections] are kept as they are)
//   operator=pbkdf2-sha256$100000$<salt, base64>$<hash, base64>
//
// Passwords are never stored: only PBKDF2-HMAC-SHA256 of the password with a 16-byte random salt.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ua/security/policy.h"

namespace qora::ua {

// Iterations of new hashes: about 50 ms on one core of the plant PCs this runs on, which makes
// guessing from a stolen file slow while a login stays quick. Hashes read from the file may use
// another count within kMinPbkdf2Iterations..kMaxPbkdf2Iterations (the upper bound keeps a
// mistyped file from stalling the endpoint at each login).
inline constexpr int kPbkdf2Iterations = 100000;
inline constexpr int kMinPbkdf2Iterations = 1000;
inline constexpr int kMaxPbkdf2Iterations = 10000000;
inline constexpr int kPbkdf2SaltBytes = 16;
inline constexpr int kPbkdf2HashBytes = 32;
inline constexpr char kPbkdf2Scheme[] = "pbkdf2-sha256";

// Empty when name may be a user name; else why not (Russian): empty, '=', control characters,
// not UTF-8, spaces at either end, or a first character that would make a comment or section.
std::string UserNameProblem(std::string_view name);

// "pbkdf2-sha256$<iterations>$<salt>$<hash>" of password with a new random salt.
std::string HashPassword(std::string_view password, int iterations = kPbkdf2Iterations);
// Whether password matches record (constant-time comparison of the hashes). False for a record
// that cannot be read.
bool VerifyPassword(std::string_view record, std::string_view password);

// The file's lines, so a change keeps what it does not touch.
class UsersText {
  public:
    // Parses text; a user line that is not "name=record" with a valid name and a readable record
    // is noted in Problems (line number and reason) and kept as it is, but never matches.
    static UsersText Parse(std::string_view text);
    std::string Serialize() const;

    std::vector<std::string> Names() const;
    std::optional<std::string> Record(std::string_view name) const;
    // Sets the user's record (appended when new); returns true when the user existed.
    bool Set(std::string_view name, std::string_view record);
    bool Remove(std::string_view name);
    const std::vector<std::string>& Problems() const { return problems_; }

  private:
    struct Line {
        std::string text;  // as read, for lines that are not users
        std::string name;  // non-empty for a user line
        std::string record;
    };
    std::vector<Line> lines_;
    std::vector<std::string> problems_;
};

// Reads path into *text. A missing file is an empty one (true). False with *error otherwise.
bool ReadUsersFile(const std::string& path, UsersText& text, std::string* error);
// Replaces path atomically (temporary file, mode 0600, renamed over it).
bool WriteUsersFile(const std::string& path, const UsersText& text, std::string* error);

// The directory the endpoint asks: reads the file again whenever its modification time, size or
// inode changed since the last read (checked at each login).
class UsersFile final : public UserDirectory {
  public:
    explicit UsersFile(std::string path);
    bool Check(std::string_view user, std::string_view password) override;
    // Reads the file now if it changed; problems of the last read (empty when none).
    std::vector<std::string> Refresh();
    size_t UserCount();
    const std::string& Path() const { return path_; }

  private:
    void RefreshLocked();

    std::string path_;
    std::mutex mutex_;
    UsersText text_;
    std::vector<std::string> problems_;
    bool loaded_ = false;
    struct Stamp {
        int64_t sec = -1, nsec = 0, size = -1;
        uint64_t inode = 0;
        bool operator==(const Stamp&) const = default;
    } stamp_;
};

}  // namespace qora::ua
