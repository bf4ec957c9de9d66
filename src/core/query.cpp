#include "core/query.h"

#include <algorithm>

namespace {

// Calls visit(name, value, has_value) for each "&"-separated pair; stops when it returns true.
template <typename Visit>
bool ForEachPair(std::string_view query, Visit visit)
{
    std::size_t at = 0;
    while (at <= query.size()) {
        const std::size_t end = std::min(query.find('&', at), query.size());
        const std::string_view pair = query.substr(at, end - at);
        const std::size_t equals = pair.find('=');
        if (equals == std::string_view::npos) {
            if (visit(pair, std::string_view(), false)) return true;
        } else if (visit(pair.substr(0, equals), pair.substr(equals + 1), true)) {
            return true;
        }
        at = end + 1;
    }
    return false;
}

}  // namespace

bool FindQueryValue(std::string_view query, std::string_view name, std::string_view& value)
{
    return ForEachPair(query, [&](std::string_view key, std::string_view text, bool has_value) {
        if (!has_value || key != name) return false;
        value = text;
        return true;
    });
}

bool QueryHasName(std::string_view query, std::string_view word)
{
    return ForEachPair(query, [&](std::string_view key, std::string_view, bool) { return key == word; });
}
