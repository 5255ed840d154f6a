// Environment variables a test changes, restored (or unset again) when the test ends.
#pragma once

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace qora::test {

class TSavedEnvironment {
  public:
    TSavedEnvironment() = default;
    TSavedEnvironment(const TSavedEnvironment&) = delete;
    TSavedEnvironment& operator=(const TSavedEnvironment&) = delete;
    ~TSavedEnvironment() { RestoreAll(); }

    // Remembers name's current value (or its absence) the first time it is named.
    void Save(const char* name) {
        for (const Entry& e : saved_)
            if (e.name == name) return;
        const char* v = std::getenv(name);
        saved_.push_back({name, v != nullptr, v != nullptr ? v : ""});
    }
    // Puts every remembered variable back as it was, latest first.
    void RestoreAll() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->present)
                setenv(it->name.c_str(), it->value.c_str(), 1);
            else
                unsetenv(it->name.c_str());
        }
        saved_.clear();
    }

  private:
    struct Entry {
        std::string name;
        bool present;
        std::string value;
    };
    std::vector<Entry> saved_;
};

}  // namespace qora::test
