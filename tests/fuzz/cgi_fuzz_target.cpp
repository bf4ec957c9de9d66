// Fuzz entry for the admin program's texts: the query reader, the value forwarding, the
// configuration rewrite and the answer styles. The first byte picks the parser.

#include "cgi/cgi_config.h"
#include "cgi/cgi_query.h"
#include "cgi/cgi_rest.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string value;
    switch (data[0] % 4) {
    case 0:
        for (const char* name : {"token", "reboot_player", "setup_setting", "ch_name", "vod_base_port"}) {
            if (GetQueryParameter(text, name, value)) (void)ForwardValue(value);
            (void)ContainsKeyword(text, name);
        }
        break;
    case 1: {
        const std::size_t half = text.size() / 2;
        (void)UpdatedConfigurationText(text.substr(0, half), {{"httpport", text.substr(half)}, {"igmpip", "1.2.3.4"}});
        (void)IsPortText(text);
        (void)IsIpv4Text(text);
        break;
    }
    case 2:
        (void)ResultStyle(text);
        (void)LengthStyle(text);
        break;
    case 3: (void)ChannelLogStyle(text, "12", "9", "2026"); break;
    }
    return 0;
}
