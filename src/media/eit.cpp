#include "media/eit.h"

#include "core/byte_order.h"
#include "core/text.h"
#include "media/ts_packet.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

// ---------------------------------------------------------------------------------------------
// Character tables: the upper half (0xA0..0xFF) of each single-byte table as code points.

// The default table: Latin letters and signs; 0xC1..0xCF are non-spacing accents written
// before their letter (kept here as the combining marks); unassigned places give U+FFFD.
constexpr uint16_t kLatinDefault[96] = {
    0x00A0, 0x00A1, 0x00A2, 0x00A3, 0x20AC, 0x00A5, 0xFFFD, 0x00A7, 0x00A4, 0x2018, 0x201C, 0x00AB,
    0x2190, 0x2191, 0x2192, 0x2193, 0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00D7, 0x00B5, 0x00B6, 0x00B7,
    0x00F7, 0x2019, 0x201D, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00BF, 0xFFFD, 0x0300, 0x0301, 0x0302,
    0x0303, 0x0304, 0x0306, 0x0307, 0x0308, 0x0308, 0x030A, 0x0327, 0x0332, 0x030B, 0x0328, 0x030C,
    0x2015, 0x00B9, 0x00AE, 0x00A9, 0x2122, 0x266A, 0x00AC, 0x00A6, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD,
    0x215B, 0x215C, 0x215D, 0x215E, 0x2126, 0x00C6, 0x0110, 0x00AA, 0x0126, 0xFFFD, 0x0132, 0x013F,
    0x0141, 0x00D8, 0x0152, 0x00BA, 0x00DE, 0x0166, 0x014A, 0x0149, 0x0138, 0x00E6, 0x0111, 0x00F0,
    0x0127, 0x0131, 0x0133, 0x0140, 0x0142, 0x00F8, 0x0153, 0x00DF, 0x00FE, 0x0167, 0x014B, 0x00AD,
};

// An accent followed by a letter that has one precomposed character.
struct Composed {
    uint8_t  accent;
    char     letter;
    uint16_t code;
};
constexpr Composed kComposed[] = {
    {0xC1, 'A', 0x00C0}, {0xC1, 'E', 0x00C8}, {0xC1, 'I', 0x00CC}, {0xC1, 'O', 0x00D2}, {0xC1, 'U', 0x00D9},
    {0xC1, 'a', 0x00E0}, {0xC1, 'e', 0x00E8}, {0xC1, 'i', 0x00EC}, {0xC1, 'o', 0x00F2}, {0xC1, 'u', 0x00F9},
    {0xC2, 'A', 0x00C1}, {0xC2, 'C', 0x0106}, {0xC2, 'E', 0x00C9}, {0xC2, 'I', 0x00CD}, {0xC2, 'L', 0x0139},
    {0xC2, 'N', 0x0143}, {0xC2, 'O', 0x00D3}, {0xC2, 'R', 0x0154}, {0xC2, 'S', 0x015A}, {0xC2, 'U', 0x00DA},
    {0xC2, 'Y', 0x00DD}, {0xC2, 'Z', 0x0179}, {0xC2, 'a', 0x00E1}, {0xC2, 'c', 0x0107}, {0xC2, 'e', 0x00E9},
    {0xC2, 'i', 0x00ED}, {0xC2, 'l', 0x013A}, {0xC2, 'n', 0x0144}, {0xC2, 'o', 0x00F3}, {0xC2, 'r', 0x0155},
    {0xC2, 's', 0x015B}, {0xC2, 'u', 0x00FA}, {0xC2, 'y', 0x00FD}, {0xC2, 'z', 0x017A}, {0xC3, 'A', 0x00C2},
    {0xC3, 'C', 0x0108}, {0xC3, 'E', 0x00CA}, {0xC3, 'G', 0x011C}, {0xC3, 'H', 0x0124}, {0xC3, 'I', 0x00CE},
    {0xC3, 'J', 0x0134}, {0xC3, 'O', 0x00D4}, {0xC3, 'S', 0x015C}, {0xC3, 'U', 0x00DB}, {0xC3, 'W', 0x0174},
    {0xC3, 'Y', 0x0176}, {0xC3, 'a', 0x00E2}, {0xC3, 'c', 0x0109}, {0xC3, 'e', 0x00EA}, {0xC3, 'g', 0x011D},
    {0xC3, 'h', 0x0125}, {0xC3, 'i', 0x00EE}, {0xC3, 'j', 0x0135}, {0xC3, 'o', 0x00F4}, {0xC3, 's', 0x015D},
    {0xC3, 'u', 0x00FB}, {0xC3, 'w', 0x0175}, {0xC3, 'y', 0x0177}, {0xC4, 'A', 0x00C3}, {0xC4, 'I', 0x0128},
    {0xC4, 'N', 0x00D1}, {0xC4, 'O', 0x00D5}, {0xC4, 'U', 0x0168}, {0xC4, 'a', 0x00E3}, {0xC4, 'i', 0x0129},
    {0xC4, 'n', 0x00F1}, {0xC4, 'o', 0x00F5}, {0xC4, 'u', 0x0169}, {0xC5, 'A', 0x0100}, {0xC5, 'E', 0x0112},
    {0xC5, 'I', 0x012A}, {0xC5, 'O', 0x014C}, {0xC5, 'U', 0x016A}, {0xC5, 'a', 0x0101}, {0xC5, 'e', 0x0113},
    {0xC5, 'i', 0x012B}, {0xC5, 'o', 0x014D}, {0xC5, 'u', 0x016B}, {0xC6, 'A', 0x0102}, {0xC6, 'E', 0x0114},
    {0xC6, 'G', 0x011E}, {0xC6, 'I', 0x012C}, {0xC6, 'O', 0x014E}, {0xC6, 'U', 0x016C}, {0xC6, 'a', 0x0103},
    {0xC6, 'e', 0x0115}, {0xC6, 'g', 0x011F}, {0xC6, 'i', 0x012D}, {0xC6, 'o', 0x014F}, {0xC6, 'u', 0x016D},
    {0xC7, 'C', 0x010A}, {0xC7, 'E', 0x0116}, {0xC7, 'G', 0x0120}, {0xC7, 'I', 0x0130}, {0xC7, 'Z', 0x017B},
    {0xC7, 'c', 0x010B}, {0xC7, 'e', 0x0117}, {0xC7, 'g', 0x0121}, {0xC7, 'z', 0x017C}, {0xC8, 'A', 0x00C4},
    {0xC8, 'E', 0x00CB}, {0xC8, 'I', 0x00CF}, {0xC8, 'O', 0x00D6}, {0xC8, 'U', 0x00DC}, {0xC8, 'Y', 0x0178},
    {0xC8, 'a', 0x00E4}, {0xC8, 'e', 0x00EB}, {0xC8, 'i', 0x00EF}, {0xC8, 'o', 0x00F6}, {0xC8, 'u', 0x00FC},
    {0xC8, 'y', 0x00FF}, {0xCA, 'A', 0x00C5}, {0xCA, 'U', 0x016E}, {0xCA, 'a', 0x00E5}, {0xCA, 'u', 0x016F},
    {0xCB, 'C', 0x00C7}, {0xCB, 'G', 0x0122}, {0xCB, 'K', 0x0136}, {0xCB, 'L', 0x013B}, {0xCB, 'N', 0x0145},
    {0xCB, 'R', 0x0156}, {0xCB, 'S', 0x015E}, {0xCB, 'T', 0x0162}, {0xCB, 'c', 0x00E7}, {0xCB, 'g', 0x0123},
    {0xCB, 'k', 0x0137}, {0xCB, 'l', 0x013C}, {0xCB, 'n', 0x0146}, {0xCB, 'r', 0x0157}, {0xCB, 's', 0x015F},
    {0xCB, 't', 0x0163}, {0xCD, 'O', 0x0150}, {0xCD, 'U', 0x0170}, {0xCD, 'o', 0x0151}, {0xCD, 'u', 0x0171},
    {0xCE, 'A', 0x0104}, {0xCE, 'E', 0x0118}, {0xCE, 'I', 0x012E}, {0xCE, 'U', 0x0172}, {0xCE, 'a', 0x0105},
    {0xCE, 'e', 0x0119}, {0xCE, 'i', 0x012F}, {0xCE, 'u', 0x0173}, {0xCF, 'C', 0x010C}, {0xCF, 'D', 0x010E},
    {0xCF, 'E', 0x011A}, {0xCF, 'L', 0x013D}, {0xCF, 'N', 0x0147}, {0xCF, 'R', 0x0158}, {0xCF, 'S', 0x0160},
    {0xCF, 'T', 0x0164}, {0xCF, 'Z', 0x017D}, {0xCF, 'c', 0x010D}, {0xCF, 'd', 0x010F}, {0xCF, 'e', 0x011B},
    {0xCF, 'l', 0x013E}, {0xCF, 'n', 0x0148}, {0xCF, 'r', 0x0159}, {0xCF, 's', 0x0161}, {0xCF, 't', 0x0165},
    {0xCF, 'z', 0x017E},
};

constexpr uint16_t kIso8859_2[96] = {
    0x00A0, 0x0104, 0x02D8, 0x0141, 0x00A4, 0x013D, 0x015A, 0x00A7, 0x00A8, 0x0160, 0x015E, 0x0164,
    0x0179, 0x00AD, 0x017D, 0x017B, 0x00B0, 0x0105, 0x02DB, 0x0142, 0x00B4, 0x013E, 0x015B, 0x02C7,
    0x00B8, 0x0161, 0x015F, 0x0165, 0x017A, 0x02DD, 0x017E, 0x017C, 0x0154, 0x00C1, 0x00C2, 0x0102,
    0x00C4, 0x0139, 0x0106, 0x00C7, 0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7, 0x0158, 0x016E, 0x00DA, 0x0170,
    0x00DC, 0x00DD, 0x0162, 0x00DF, 0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F, 0x0111, 0x0144, 0x0148, 0x00F3,
    0x00F4, 0x0151, 0x00F6, 0x00F7, 0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};
constexpr uint16_t kIso8859_5[96] = {
    0x00A0, 0x0401, 0x0402, 0x0403, 0x0404, 0x0405, 0x0406, 0x0407, 0x0408, 0x0409, 0x040A, 0x040B,
    0x040C, 0x00AD, 0x040E, 0x040F, 0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423,
    0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B,
    0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F, 0x2116, 0x0451, 0x0452, 0x0453,
    0x0454, 0x0455, 0x0456, 0x0457, 0x0458, 0x0459, 0x045A, 0x045B, 0x045C, 0x00A7, 0x045E, 0x045F,
};
constexpr uint16_t kIso8859_7[96] = {
    0x00A0, 0x2018, 0x2019, 0x00A3, 0x20AC, 0x20AF, 0x00A6, 0x00A7, 0x00A8, 0x00A9, 0x037A, 0x00AB,
    0x00AC, 0x00AD, 0xFFFD, 0x2015, 0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x0384, 0x0385, 0x0386, 0x00B7,
    0x0388, 0x0389, 0x038A, 0x00BB, 0x038C, 0x00BD, 0x038E, 0x038F, 0x0390, 0x0391, 0x0392, 0x0393,
    0x0394, 0x0395, 0x0396, 0x0397, 0x0398, 0x0399, 0x039A, 0x039B, 0x039C, 0x039D, 0x039E, 0x039F,
    0x03A0, 0x03A1, 0xFFFD, 0x03A3, 0x03A4, 0x03A5, 0x03A6, 0x03A7, 0x03A8, 0x03A9, 0x03AA, 0x03AB,
    0x03AC, 0x03AD, 0x03AE, 0x03AF, 0x03B0, 0x03B1, 0x03B2, 0x03B3, 0x03B4, 0x03B5, 0x03B6, 0x03B7,
    0x03B8, 0x03B9, 0x03BA, 0x03BB, 0x03BC, 0x03BD, 0x03BE, 0x03BF, 0x03C0, 0x03C1, 0x03C2, 0x03C3,
    0x03C4, 0x03C5, 0x03C6, 0x03C7, 0x03C8, 0x03C9, 0x03CA, 0x03CB, 0x03CC, 0x03CD, 0x03CE, 0xFFFD,
};
// 8859-9 and -15 are Latin-1 with a few places changed.
struct Change {
    uint8_t  byte;
    uint16_t code;
};
constexpr Change kIso8859_9[] = {{0xD0, 0x011E}, {0xDD, 0x0130}, {0xDE, 0x015E},
                                 {0xF0, 0x011F}, {0xFD, 0x0131}, {0xFE, 0x015F}};
constexpr Change kIso8859_15[] = {{0xA4, 0x20AC}, {0xA6, 0x0160}, {0xA8, 0x0161}, {0xB4, 0x017D},
                                  {0xB8, 0x017E}, {0xBC, 0x0152}, {0xBD, 0x0153}, {0xBE, 0x0178}};

// ---------------------------------------------------------------------------------------------
// UTF-8 out

// One character of any table. The DVB control codes sit at 0x80..0x9F of the byte tables and
// at U+E080..U+E09F of the two-byte ones: the line break becomes "\n", the rest (emphasis on
// and off among them) is dropped, as are the C0 controls a guide text has no use for.
void PutChar(std::string& out, uint32_t code)
{
    if (code == 0x8A || code == 0xE08A) {
        out += '\n';
        return;
    }
    if (code < 0x20 || code == 0x7F || (code >= 0x80 && code <= 0x9F) || (code >= 0xE080 && code <= 0xE09F)) return;
    if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) code = kReplacement;
    AppendCodePoint(out, code);
}

bool IsAccent(uint8_t byte) { return byte >= 0xC1 && byte <= 0xCF; }

uint32_t DefaultCode(uint8_t byte) { return byte < 0xA0 ? byte : kLatinDefault[byte - 0xA0]; }

uint32_t ComposedCode(uint8_t accent, uint8_t letter)
{
    for (const Composed& c : kComposed)
        if (c.accent == accent && static_cast<uint8_t>(c.letter) == letter) return c.code;
    return 0;
}

// The default table. An accent goes with the character after it: one precomposed character
// when there is one, else that character followed by the combining mark.
void AppendDefault(std::string& out, const uint8_t* data, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        const uint8_t byte = data[i];
        if (!IsAccent(byte)) {
            PutChar(out, DefaultCode(byte));
            continue;
        }
        if (i + 1 >= length || IsAccent(data[i + 1])) {
            PutChar(out, DefaultCode(byte));              // an accent on nothing stands alone
            continue;
        }
        const uint8_t base = data[++i];
        const uint32_t composed = ComposedCode(byte, base);
        if (composed != 0) {
            PutChar(out, composed);
            continue;
        }
        const std::size_t before = out.size();
        PutChar(out, DefaultCode(base));
        if (out.size() > before && out.back() != '\n') PutChar(out, DefaultCode(byte));
    }
}

void AppendIso8859(std::string& out, const uint8_t* data, std::size_t length, int part)
{
    const uint16_t* table = part == 2 ? kIso8859_2 : part == 5 ? kIso8859_5 : part == 7 ? kIso8859_7 : nullptr;
    const Change* changes = nullptr;
    std::size_t change_count = 0;
    if (part == 9) {
        changes = kIso8859_9;
        change_count = std::size(kIso8859_9);
    } else if (part == 15) {
        changes = kIso8859_15;
        change_count = std::size(kIso8859_15);
    }
    for (std::size_t i = 0; i < length; ++i) {
        uint32_t code = data[i];
        if (code >= 0xA0 && table != nullptr) code = table[code - 0xA0];
        for (std::size_t c = 0; c < change_count; ++c)
            if (changes[c].byte == data[i]) code = changes[c].code;
        PutChar(out, code);
    }
}

void AppendUcs2(std::string& out, const uint8_t* data, std::size_t length)
{
    for (std::size_t i = 0; i + 1 < length; i += 2) PutChar(out, ReadBe16(data + i));
}

// UTF-8 as sent, checked: a byte that does not begin a well-formed character (overlong forms
// and surrogates included) becomes U+FFFD and the walk goes on with the next byte.
void AppendUtf8(std::string& out, const uint8_t* data, std::size_t length)
{
    for (std::size_t i = 0; i < length;) {
        const uint8_t lead = data[i];
        std::size_t extra = 0;
        uint32_t lowest = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            lowest = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            lowest = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            lowest = 0x10000;
        } else {
            PutChar(out, lead < 0x80 ? lead : kReplacement);
            ++i;
            continue;
        }
        uint32_t code = lead & (0x3Fu >> extra);
        std::size_t k = 1;
        for (; k <= extra && i + k < length && (data[i + k] & 0xC0) == 0x80; ++k) code = (code << 6) | (data[i + k] & 0x3F);
        if (k <= extra || code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            PutChar(out, kReplacement);
            ++i;
            continue;
        }
        PutChar(out, code);
        i += extra + 1;
    }
}

// Bytes of the table selector at the start of a DVB text.
std::size_t SelectorLength(const uint8_t* data, std::size_t length)
{
    if (length == 0 || data[0] >= 0x20) return 0;
    const std::size_t wanted = data[0] == 0x10 ? 3 : data[0] == 0x1F ? 2 : 1;
    return std::min(wanted, length);
}

// ---------------------------------------------------------------------------------------------
// Event descriptors

constexpr uint8_t kShortEventTag = 0x4D;
constexpr uint8_t kExtendedEventTag = 0x4E;

bool IsEitTable(uint8_t table_id)
{
    return table_id == kEitPresentFollowing || (table_id >= kEitScheduleFirst && table_id <= kEitScheduleLast);
}

std::string LanguageOf(const uint8_t* code)
{
    for (int i = 0; i < 3; ++i)
        if (code[i] <= 0x20 || code[i] >= 0x7F) return {};
    return std::string(reinterpret_cast<const char*>(code), 3);
}

// The text of one extended event descriptor, not yet decoded: long texts run on from one
// descriptor to the next, a character sometimes cut between them.
struct ExtendedText {
    std::string    language;
    const uint8_t* text;
    std::size_t    length;
};

// Short event: language (3), name length, name, text length, text.
bool ReadShortEvent(const uint8_t* body, std::size_t length, EitEvent& event, std::string& text)
{
    if (length < 5) return false;
    const std::size_t name_length = body[3];
    if (4 + name_length + 1 > length) return false;
    const std::size_t text_length = body[4 + name_length];
    if (5 + name_length + text_length > length) return false;
    event.language = LanguageOf(body);
    event.title = DvbTextToUtf8(body + 4, name_length);
    text = DvbTextToUtf8(body + 5 + name_length, text_length);
    return true;
}

// Extended event: numbers, language (3), item list length, items, text length, text.
void ReadExtendedEvent(const uint8_t* body, std::size_t length, std::vector<ExtendedText>& texts)
{
    if (length < 6) return;
    const std::size_t items_length = body[4];
    if (5 + items_length + 1 > length) return;
    const std::size_t text_length = body[5 + items_length];
    if (6 + items_length + text_length > length) return;
    texts.push_back({LanguageOf(body + 1), body + 6 + items_length, text_length});
}

// The extended texts of one language as one text: the first one's table selector holds for
// all, the later ones' selectors are left out.
std::string JoinExtended(const std::vector<ExtendedText>& texts, const std::string& language)
{
    std::vector<uint8_t> joined;
    for (const ExtendedText& t : texts) {
        if (t.language != language) continue;
        const std::size_t skip = joined.empty() ? 0 : SelectorLength(t.text, t.length);
        joined.insert(joined.end(), t.text + skip, t.text + t.length);
    }
    return DvbTextToUtf8(joined.data(), joined.size());
}

// The descriptor loop of one event; lengths that run past the loop end the walk.
void ReadDescriptors(const uint8_t* data, std::size_t length, EitEvent& event)
{
    bool have_short = false;
    std::string short_text;
    std::vector<ExtendedText> extended;
    for (std::size_t at = 0; at + 2 <= length;) {
        const uint8_t tag = data[at];
        const std::size_t body_length = data[at + 1];
        if (at + 2 + body_length > length) break;
        const uint8_t* body = data + at + 2;
        if (tag == kShortEventTag && !have_short) have_short = ReadShortEvent(body, body_length, event, short_text);
        if (tag == kExtendedEventTag) ReadExtendedEvent(body, body_length, extended);
        at += 2 + body_length;
    }
    event.description = short_text;
    if (extended.empty()) return;
    const std::string long_text = JoinExtended(extended, have_short ? event.language : extended.front().language);
    if (long_text.empty()) return;
    if (!event.description.empty()) event.description += '\n';
    event.description += long_text;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

std::string DvbTextToUtf8(const uint8_t* data, std::size_t length)
{
    std::string out;
    if (length == 0) return out;
    out.reserve(length);
    const uint8_t first = data[0];
    const std::size_t skip = SelectorLength(data, length);
    if (first >= 0x01 && first <= 0x0B) {
        AppendIso8859(out, data + skip, length - skip, first + 4);
    } else if (first == 0x10) {
        // 0x10 0x00 0xNN: ISO 8859-NN
        const int part = length >= 3 && data[1] == 0 ? data[2] : 1;
        AppendIso8859(out, data + skip, length - skip, part);
    } else if (first == 0x11) {
        AppendUcs2(out, data + skip, length - skip);
    } else if (first == 0x15) {
        AppendUtf8(out, data + skip, length - skip);
    } else {
        AppendDefault(out, data + skip, length - skip);       // the default table, or one we do not read
    }
    return out;
}

int32_t DvbBcdSeconds(uint32_t bcd_hms)
{
    int digits[6];
    for (int i = 0; i < 6; ++i) {
        digits[i] = static_cast<int>((bcd_hms >> (20 - 4 * i)) & 0x0F);
        if (digits[i] > 9) return -1;
    }
    return (digits[0] * 10 + digits[1]) * 3600 + (digits[2] * 10 + digits[3]) * 60 + digits[4] * 10 + digits[5];
}

int64_t DvbTime(uint16_t mjd, uint32_t bcd_hms)
{
    constexpr int64_t kMjdOf1970 = 40587;                 // days from 1858-11-17 to 1970-01-01
    const int32_t seconds = DvbBcdSeconds(bcd_hms);
    if (seconds < 0) return -1;
    return (static_cast<int64_t>(mjd) - kMjdOf1970) * 86400 + seconds;
}

// ---------------------------------------------------------------------------------------------
// EitReader

EitReader::EitReader(Output output) : output_(std::move(output))
{
    partial_.reserve(kEitSectionMax);
}

void EitReader::Packet(const uint8_t* packet)
{
    TsPacketHeader header;
    if (packet[0] != kTsSyncByte || parse_ts_header(packet, header) != kEitPid) return;
    if (header.transport_error_indicator != 0 || header.transport_scrambling_control != 0) {
        DropPartial();
        last_continuity_ = -1;                             // the damaged counter says nothing
        return;
    }
    if (header.payload_flag == 0) {
        DropPartial();
        return;
    }
    if (last_continuity_ >= 0) {
        if (header.continuity_counter == last_continuity_) return;    // the same packet sent twice
        if (header.continuity_counter != ((last_continuity_ + 1) & 0x0F)) DropPartial();
    }
    last_continuity_ = header.continuity_counter;
    const int offset = payload_offset(packet);
    if (offset >= kTsPacketSize) {
        DropPartial();
        return;
    }
    const uint8_t* payload = packet + offset;
    std::size_t length = static_cast<std::size_t>(kTsPacketSize - offset);
    std::size_t used = 0;
    if (header.payload_unit_start_indicator == 0) {
        if (gathering_) (void)TakeBytes(payload, length, used);
        return;
    }
    // The pointer field: bytes that end the section under way, then the first new section.
    const std::size_t pointer = payload[0];
    ++payload;
    --length;
    if (pointer > length) {
        DropPartial();
        return;
    }
    if (gathering_ && TakeBytes(payload, pointer, used) == Take::kNeedMore) DropPartial();
    StartSections(payload + pointer, length - pointer);
}

EitReader::Take EitReader::TakeBytes(const uint8_t* data, std::size_t length, std::size_t& used)
{
    used = 0;
    while (used < length) {
        const std::size_t wanted = (partial_total_ == 0 ? 3 : partial_total_) - partial_.size();
        const std::size_t take = std::min(wanted, length - used);
        partial_.insert(partial_.end(), data + used, data + used + take);
        used += take;
        if (partial_total_ == 0 && partial_.size() == 3) {
            partial_total_ = 3 + (ReadBe16(partial_.data() + 1) & 0x0FFF);
            if (partial_total_ > static_cast<std::size_t>(kEitSectionMax)) {
                DropPartial();
                return Take::kDropped;
            }
        }
        if (partial_total_ != 0 && partial_.size() == partial_total_) {
            Finish();
            return Take::kDone;
        }
    }
    return Take::kNeedMore;
}

void EitReader::StartSections(const uint8_t* data, std::size_t length)
{
    // 0xFF where a table id would be: stuffing up to the end of the packet.
    for (std::size_t at = 0; at < length && data[at] != 0xFF;) {
        gathering_ = true;
        partial_.clear();
        partial_total_ = 0;
        std::size_t used = 0;
        if (TakeBytes(data + at, length - at, used) != Take::kDone) return;
        at += used;
    }
}

void EitReader::DropPartial()
{
    if (gathering_ && !partial_.empty() && IsEitTable(partial_[0])) ++bad_sections_;
    gathering_ = false;
    partial_.clear();
    partial_total_ = 0;
}

void EitReader::Finish()
{
    gathering_ = false;
    const uint8_t* section = partial_.data();
    const std::size_t length = partial_.size();
    // Header to the last table id (14 bytes) and the CRC (4).
    const bool wanted = IsEitTable(section[0]);
    if (wanted && ((section[1] & 0x80) == 0 || length < 18 || crc32_mpeg(section, length) != 0)) {
        ++bad_sections_;
    } else if (wanted && (section[5] & 0x01) != 0) {
        ++sections_;
        const uint32_t key = (static_cast<uint32_t>(section[0]) << 24) | (ReadBe16(section + 3) << 8) | section[6];
        const uint8_t version = (section[5] >> 1) & 0x1F;
        const auto found = seen_.find(key);
        if (found == seen_.end() || found->second != version) {
            if (found == seen_.end() && seen_.size() >= kEitSeenCap) seen_.clear();
            seen_[key] = version;
            HandOnEvents(section, length);
        }
    }
    partial_.clear();
    partial_total_ = 0;
}

void EitReader::HandOnEvents(const uint8_t* section, std::size_t length)
{
    EitEvent common;
    common.table_id = section[0];
    common.service_id = ReadBe16(section + 3);
    common.section_number = section[6];
    const std::size_t end = length - 4;
    for (std::size_t at = 14; at + 12 <= end;) {
        const uint8_t* head = section + at;
        EitEvent event = common;
        event.event_id = ReadBe16(head);
        event.start = DvbTime(ReadBe16(head + 2), ReadBe24(head + 4));
        event.duration = DvbBcdSeconds(ReadBe24(head + 7));
        const std::size_t loop_length = ReadBe16(head + 10) & 0x0FFF;
        const std::size_t from = at + 12;
        ReadDescriptors(section + from, std::min(from + loop_length, end) - from, event);
        if (event.start != -1) output_(event);
        at = from + loop_length;
    }
}
