#include "cli/Shard.h"

#include <stdexcept>

namespace {

// A whole decimal number of at most 9 digits, nothing else.
bool ParseCount(const std::string& text, std::size_t& value) {
    if (text.empty() || text.size() > 9) return false;
    value = 0;
    for (const char digit : text) {
        if (digit < '0' || digit > '9') return false;
        value = value * 10 + static_cast<std::size_t>(digit - '0');
    }
    return true;
}

}  // namespace

Shard Shard::Parse(const std::string& text) {
    const std::size_t slash = text.find('/');
    Shard shard;
    if (slash == std::string::npos || !ParseCount(text.substr(0, slash), shard.index_) ||
        !ParseCount(text.substr(slash + 1), shard.count_) || shard.count_ == 0 ||
        shard.index_ >= shard.count_) {
        throw std::invalid_argument("--shard must be i/n with 0 <= i < n, not \"" + text + "\"");
    }
    return shard;
}
