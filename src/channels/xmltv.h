#pragma once
// Programme guides in XMLTV: a tolerant reader of the channels and programmes a guide file
// holds, and a writer of a whole document that validates against the XMLTV DTD. Times are UTC
// seconds since 1970; texts are UTF-8.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct XmltvChannel {
    std::string              id;
    std::vector<std::string> names;     // display-name elements, in order; empty ones are left out
    std::string              icon;      // src of the first icon that has one
};

struct XmltvProgramme {
    std::string channel;                // the channel id
    int64_t     start = 0;              // UTC seconds
    int64_t     stop = 0;               // UTC seconds; 0 when the file gives none
    std::string title;                  // the first title element
    std::string description;            // the first desc element
};

struct XmltvGuide {
    std::vector<XmltvChannel>   channels;
    std::vector<XmltvProgramme> programmes;
};

// Programmes past this count are ignored (the rest of the document is still checked), so a huge
// file cannot take the memory of a huge guide.
constexpr std::size_t kXmltvMaxProgrammes = 500'000;
// Texts and attribute values longer than this are cut at a UTF-8 character boundary.
constexpr std::size_t kXmltvMaxText = 4096;
// Elements may nest this deep; a deeper document is refused.
constexpr int kXmltvMaxDepth = 64;

// Reads an XMLTV document into guide (replacing what it held; left empty on false). False with
// a one-line reason (no newline) when it is not one: no <tv> root element, the tv element never
// closed, a tag, comment, CDATA section or declaration that never ends, an end tag that does not
// match the open guide element, nesting deeper than kXmltvMaxDepth. A stray end tag or an
// unclosed element outside the guide's own (tv, channel, display-name, icon, programme, title,
// desc) is tolerated. Channels without an id and programmes without a channel or a valid start
// are skipped; a stop that is not a time reads as 0. The declaration's encoding ISO-8859-1 (or
// latin1) is converted; anything else is taken as UTF-8. Line ends read as "\n".
[[nodiscard]] bool ReadXmltv(std::string_view text, XmltvGuide& guide, std::string& error);

// "20261210183000 +0100" (the offset optional, meaning UTC, as are "Z", "UTC" and "GMT"; the
// seconds optional) -> UTC seconds; -1 when it is not such a time or falls outside 1970-01-01
// to 9999-12-31 UTC.
int64_t ParseXmltvTime(std::string_view text);
// UTC seconds -> "20261210173000 +0000" (values outside the years 1970 to 9999 are clamped).
std::string XmltvTime(int64_t utc);

// Text for XML content and attribute values: & < > " ' escaped; bytes that are not valid UTF-8,
// control characters other than tab and newline, and U+FFFE/U+FFFF become U+FFFD, so the output
// is always valid XML.
std::string XmlEscape(std::string_view text);

// A whole XMLTV document: the XML declaration, <!DOCTYPE tv SYSTEM "xmltv.dtd">, <tv> with the
// generator's name, the channels (display-name, icon src), then the programmes (start, stop when
// not 0, channel; title; desc when not empty). A channel without names gets one empty
// display-name, which the DTD asks for and the reader leaves out.
std::string WriteXmltv(const XmltvGuide& guide, std::string_view generator);
