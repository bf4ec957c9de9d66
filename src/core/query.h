#pragma once
// The query texts of requests and of the admin program: "name=value" pairs split at "&",
// a name matched only as a pair's whole name.

#include <string_view>

// The value of the first pair whose whole name is name and that has an "=" (the first one:
// the value may hold more), up to the next "&" or the end of the query; not decoded. It views
// query. False when no such pair exists.
bool FindQueryValue(std::string_view query, std::string_view name, std::string_view& value);
// Whether a pair's name is word, with or without a value.
bool QueryHasName(std::string_view query, std::string_view word);
