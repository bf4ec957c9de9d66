// Fuzz entry for programme guides: the input read as an XMLTV document; a guide read from it
// must survive being written and read again with every programme. The input also goes through
// the time reader.

#include "channels/xmltv.h"

#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size);
    const int64_t time = ParseXmltvTime(text);
    if (time >= 0 && ParseXmltvTime(XmltvTime(time)) != time) __builtin_trap();

    XmltvGuide guide;
    std::string error;
    if (!ReadXmltv(text, guide, error)) {
        if (error.empty() || error.find('\n') != std::string::npos) __builtin_trap();
        return 0;
    }
    XmltvGuide again;
    if (!ReadXmltv(WriteXmltv(guide, "fuzz"), again, error)) __builtin_trap();
    if (again.programmes.size() != guide.programmes.size() || again.channels.size() != guide.channels.size())
        __builtin_trap();
    return 0;
}
