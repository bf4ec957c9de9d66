#pragma once
// The admin program's query: parameters matched by their whole name, and the values decoded
// from the browser's form and encoded again for the server's REST reader.

#include <string>
#include <string_view>

// The value of the first "name=value" pair of the query (pairs split at "&"; the name must
// be the whole text before "="). The value is not decoded. False when no such pair exists.
bool GetQueryParameter(std::string_view query, std::string_view name, std::string& value);
// Whether a pair of the query is the word itself, with or without a value.
bool ContainsKeyword(std::string_view query, std::string_view word);

// "%" and two hexadecimal digits (either case) become that byte; everything else stays.
std::string DecodeBrowserValue(std::string_view text);
// The characters the server's reader splits or decodes at (":", "?", "&", "=", ",", "/",
// '"', " ", "%") become "%XX" codes it turns back into them; line breaks and other control
// characters are dropped, since they would end the request line.
std::string EncodeRestValue(std::string_view text);
// Both: what the browser sent, as the server must read it.
std::string ForwardValue(std::string_view browser_text);
