#include "platform/Convert.h"

#include <charconv>
#include <climits>

std::optional<long long> TryStrToInt64(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
            return std::nullopt;
        }
    }
    long long value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return value;
}

int StrToInt(std::string_view text) {
    auto value = TryStrToInt64(text);
    if (!value || *value < INT_MIN || *value > INT_MAX) {
        throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
    }
    return static_cast<int>(*value);
}

int StrToIntDef(std::string_view text, int fallback) {
    auto value = TryStrToInt64(text);
    if (!value || *value < INT_MIN || *value > INT_MAX) {
        return fallback;
    }
    return static_cast<int>(*value);
}
