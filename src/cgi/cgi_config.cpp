#include "cgi/cgi_config.h"

#include "core/config.h"
#include "core/file_replace.h"

#include <cstdlib>

CgiConfiguration::CgiConfiguration()
    : values{{"path", 256, ""},
             {"startmenu", 256, ""},
             {"iptv_base_port", 12, ""},
             {"vod_base_port", 12, ""},
             {"time_zone_diff", 4, ""},
             {"httpport", 12, ""},
             {"rtmpport", 12, ""},
             {"igmpip", 16, ""},
             {"igmpport", 12, ""},
             {"network_interface", 8, "eth0"},
             {"iptv_time_shift_record_duration", 12, ""},
             {"tv_on_demand_record_duration", 12, ""},
             {"bitrate_constant", 8, ""},
             {"system_log", 4, ""},
             {"user_authorization", 4, ""},
             {"videopath", 256, ""},
             {"picturepath", 256, ""},
             {"runningtextpath", 256, ""}}
{
}

const std::string& CgiConfiguration::Get(std::string_view key) const
{
    static const std::string kNone;
    for (const CgiConfigValue& value : values)
        if (key == value.key) return value.text;
    return kNone;
}

void CgiConfiguration::Set(std::string_view key, std::string_view text)
{
    for (CgiConfigValue& value : values)
        if (key == value.key) value.text.assign(text.substr(0, std::min(text.size(), value.size - 1)));
}

namespace {

// Calls visit(key, value, line_begin, line_end) for each "key=value" line of text.
template <typename Visit>
void ForEachLine(std::string_view text, Visit visit)
{
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::size_t equals = line.find('=');
        if (equals != std::string_view::npos) visit(line.substr(0, equals), line.substr(equals + 1), at, at + line.size());
        at = end + 1;
    }
}

}  // namespace

int ReadConfiguration(CgiConfiguration& config, const char* path)
{
    std::string text;
    if (ReadConfigurationText(path, text) == 0) return 0;
    for (CgiConfigValue& entry : config.values) {
        std::string_view value;
        if (FindKeyValue(text, entry.key, value)) config.Set(entry.key, value);
    }
    return 1;
}

std::string UpdatedConfigurationText(std::string_view file_text,
                                     const std::vector<std::pair<std::string, std::string>>& changes)
{
    std::string out(file_text);
    for (const auto& change : changes) {
        const std::string& key = change.first;
        std::size_t begin = std::string::npos;
        std::size_t end = 0;
        ForEachLine(out, [&](std::string_view line_key, std::string_view, std::size_t line_begin, std::size_t line_end) {
            if (begin == std::string::npos && line_key == key) {
                begin = line_begin;
                end = line_end;
            }
        });
        const std::string line = key + "=" + change.second;
        if (begin != std::string::npos) {
            out.replace(begin, end - begin, line);
        } else {
            if (!out.empty() && out.back() != '\n') out += "\r\n";
            out += line + "\r\n";
        }
    }
    return out;
}

int SaveConfigurationChanges(const std::vector<std::pair<std::string, std::string>>& changes, const char* path,
                             const char* backup_path)
{
    const FileRewriteLock lock(path, kConfigLockWaitMs);
    std::string text;
    if (!lock.Held() || ReadWholeFile(path, text) == 0) return 0;
    return ReplaceFileSafely(path, nullptr, backup_path, UpdatedConfigurationText(text, changes));
}

bool IsPortText(std::string_view text)
{
    if (text.empty() || text.size() > 5) return false;
    for (const char c : text)
        if (c < '0' || c > '9') return false;
    const long port = std::strtol(std::string(text).c_str(), nullptr, 10);
    return port >= 1 && port <= 65535;
}

bool IsIpv4Text(std::string_view text)
{
    int parts = 0;
    std::size_t at = 0;
    while (true) {
        std::size_t end = text.find('.', at);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view part = text.substr(at, end - at);
        if (part.empty() || part.size() > 3) return false;
        int number = 0;
        for (const char c : part) {
            if (c < '0' || c > '9') return false;
            number = number * 10 + (c - '0');
        }
        if (number > 255) return false;
        ++parts;
        if (end == text.size()) break;
        at = end + 1;
    }
    return parts == 4;
}
