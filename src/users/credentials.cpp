#include "users/credentials.h"

#include "core/base64.h"
#include "core/text.h"

#include <cstring>
#include <string>
#include <string_view>

// The value of key in query[0, length): up to the first separator, else the second, else
// "%26", else the end.
template <std::size_t N>
static void QueryValue(const char* query, std::size_t length, const char* key, char separator, char second_separator,
                       char (&out)[N])
{
    const std::string_view text(query, length);
    const std::size_t at = text.find(key);
    if (at == std::string_view::npos) return;
    const std::string_view rest = text.substr(at + std::strlen(key));
    std::size_t end = rest.find(separator);
    if (end == std::string_view::npos) end = rest.find(second_separator);
    if (end == std::string_view::npos) end = rest.find("%26");
    if (end == std::string_view::npos) end = rest.size();
    CopyText(out, rest.substr(0, end));
}

void ParseQueryCredentials(const char* query, char separator, char second_separator, char (&mac_id)[kMacIdSize],
                           char (&user)[kCredentialSize], char (&password)[kCredentialSize])
{
    mac_id[0] = user[0] = password[0] = '\0';
    const char* space = std::strchr(query, ' ');
    const std::size_t length = space != nullptr ? static_cast<std::size_t>(space - query) : std::strlen(query);
    QueryValue(query, length, "u=", separator, second_separator, user);
    QueryValue(query, length, "p=", separator, second_separator, password);
    QueryValue(query, length, "m=", separator, second_separator, mac_id);
}

void ParseBasicCredentials(const char* text, char (&mac_id)[kMacIdSize], char (&user)[kCredentialSize],
                           char (&password)[kCredentialSize])
{
    mac_id[0] = user[0] = password[0] = '\0';
    const char* end = std::strstr(text, "\r\n");
    const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - text) : std::strlen(text);
    const auto decoded = base64_decode(text, length);
    if (!decoded) return;
    const std::string plain(decoded->begin(), decoded->end());
    const std::size_t colon = plain.find(':');
    if (colon == std::string::npos) return;
    CopyText(user, std::string_view(plain).substr(0, colon));
    CopyText(password, std::string_view(plain).substr(colon + 1));
}
