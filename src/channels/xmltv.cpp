#include "channels/xmltv.h"

#include "core/calendar.h"
#include "core/text.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// The last second a four-digit year can write: 9999-12-31 23:59:59 UTC.
constexpr int64_t kLastXmltvSecond = DaysFromCivil(10000, 1, 1) * 86400 - 1;

bool IsLeapYear(int64_t year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int64_t DaysInMonth(int64_t year, int64_t month)
{
    static constexpr int8_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// The value of count decimal digits at text[at], or -1 when one is not a digit.
int64_t Digits(std::string_view text, std::size_t at, std::size_t count)
{
    int64_t value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view Trimmed(std::string_view text)
{
    while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
    return text;
}

// ---- UTF-8 ----

// The length of the valid UTF-8 sequence at p (left bytes available), 0 when it is not one
// (overlong forms, surrogates and values past U+10FFFF included). code receives its value.
std::size_t Utf8Sequence(const unsigned char* p, std::size_t left, uint32_t& code)
{
    const unsigned char lead = p[0];
    std::size_t length = 0;
    uint32_t minimum = 0;
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (left < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        code = (code << 6) | (p[i] & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

// Characters an XML document may hold.
bool IsXmlChar(uint32_t code)
{
    return code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
           (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
}

// What we write: XML characters without the control characters (C0 but tab and newline, DEL, C1).
bool IsWrittenChar(uint32_t code)
{
    if (code == '\t' || code == '\n') return true;
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) return false;
    return IsXmlChar(code);
}

// Cuts text to kXmltvMaxText bytes without splitting a character.
void CutText(std::string& text)
{
    if (text.size() <= kXmltvMaxText) return;
    std::size_t end = kXmltvMaxText;
    for (int back = 0; back < 3 && end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80; ++back) --end;
    text.resize(end);
}

constexpr char kReplacement[] = "\xEF\xBF\xBD";   // U+FFFD

void AppendEscaped(std::string& out, std::string_view text, bool attribute)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t plain = 0;   // start of the run copied as it is
    std::size_t at = 0;
    while (at < text.size()) {
        const unsigned char c = bytes[at];
        if (c >= 0x20 && c < 0x7F && c != '&' && c != '<' && c != '>' && c != '"' && c != '\'') {
            ++at;
            continue;
        }
        uint32_t code = 0;
        const std::size_t length = Utf8Sequence(bytes + at, text.size() - at, code);
        if (length > 1 && IsWrittenChar(code)) {
            at += length;
            continue;
        }
        out.append(text.data() + plain, at - plain);
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        // A reader normalises white space inside attribute values; references survive it.
        case '\t': out += attribute ? "&#9;" : "\t"; break;
        case '\n': out += attribute ? "&#10;" : "\n"; break;
        default: out += kReplacement; break;
        }
        at += length > 1 ? length : 1;
        plain = at;
    }
    out.append(text.data() + plain, at - plain);
}

// ---- Reading ----

// The declaration's encoding is ISO-8859-1.
bool DeclaresLatin1(std::string_view text)
{
    if (text.substr(0, 5) != "<?xml" || text.size() < 6 || !IsSpace(text[5])) return false;
    const std::size_t end = text.find("?>");
    if (end == std::string_view::npos) return false;
    std::string_view declaration = text.substr(0, end);
    const std::size_t at = declaration.find("encoding");
    if (at == std::string_view::npos) return false;
    declaration.remove_prefix(at + 8);
    declaration = Trimmed(declaration);
    if (declaration.empty() || declaration.front() != '=') return false;
    declaration = Trimmed(declaration.substr(1));
    if (declaration.size() < 2 || (declaration.front() != '"' && declaration.front() != '\'')) return false;
    const std::size_t close = declaration.find(declaration.front(), 1);
    if (close == std::string_view::npos) return false;
    std::string name(declaration.substr(1, close - 1));
    for (char& c : name)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return name == "iso-8859-1" || name == "iso8859-1" || name == "iso_8859-1" || name == "latin1" ||
           name == "latin-1" || name == "l1";
}

std::string Latin1ToUtf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (const char c : text) AppendCodePoint(out, static_cast<unsigned char>(c));
    return out;
}

// The character a reference names ("amp", "#233", "#xE9"), or 0 when it names none we take.
uint32_t ReferencedChar(std::string_view name)
{
    if (name == "amp") return '&';
    if (name == "lt") return '<';
    if (name == "gt") return '>';
    if (name == "quot") return '"';
    if (name == "apos") return '\'';
    if (name.size() < 2 || name[0] != '#') return 0;
    const bool hex = name[1] == 'x';
    const std::string_view digits = name.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 8) return 0;
    uint32_t code = 0;
    for (const char c : digits) {
        uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return 0;
        }
        code = code * (hex ? 16 : 10) + digit;
    }
    return IsXmlChar(code) ? code : 0;
}

// Appends raw document text as the characters it stands for: line ends normalised, references
// resolved (an unknown or invalid one stays as it is written) when references is set, white
// space as spaces in an attribute value. Stops a little past kXmltvMaxText, where CutText cuts.
void AppendDecoded(std::string& out, std::string_view raw, bool references, bool attribute)
{
    constexpr std::size_t kEnough = kXmltvMaxText + 4;
    std::size_t at = 0;
    while (at < raw.size() && out.size() < kEnough) {
        std::size_t run = at;
        while (run < raw.size() && !(references && raw[run] == '&') && raw[run] != '\r' &&
               !(attribute && (raw[run] == '\t' || raw[run] == '\n')))
            ++run;
        out.append(raw.data() + at, std::min(run - at, kEnough - std::min(kEnough, out.size())));
        at = run;
        if (at >= raw.size()) break;
        const char c = raw[at];
        if (c == '\r') {
            out += attribute ? ' ' : '\n';
            at += at + 1 < raw.size() && raw[at + 1] == '\n' ? 2 : 1;
        } else if (c != '&') {
            out += ' ';
            ++at;
        } else {
            const std::size_t semicolon = raw.substr(at, 12).find(';');
            const uint32_t code = semicolon == std::string_view::npos ? 0 : ReferencedChar(raw.substr(at + 1, semicolon - 1));
            if (code == 0) {
                out += '&';
                ++at;
            } else {
                AppendCodePoint(out, code);
                at += semicolon + 1;
            }
        }
    }
}

enum class Role : uint8_t { kOther, kTv, kChannel, kDisplayName, kIcon, kProgramme, kTitle, kDesc };

bool IsGuideName(std::string_view name)
{
    return name == "tv" || name == "channel" || name == "display-name" || name == "icon" || name == "programme" ||
           name == "title" || name == "desc";
}

// The role of an element named name whose parent has the role parent.
Role RoleOf(Role parent, std::string_view name)
{
    switch (parent) {
    case Role::kTv:
        if (name == "channel") return Role::kChannel;
        if (name == "programme") return Role::kProgramme;
        break;
    case Role::kChannel:
        if (name == "display-name") return Role::kDisplayName;
        if (name == "icon") return Role::kIcon;
        break;
    case Role::kProgramme:
        if (name == "title") return Role::kTitle;
        if (name == "desc") return Role::kDesc;
        break;
    default: break;
    }
    return Role::kOther;
}

// A name fit for a one-line reason: short, control bytes shown as "?".
std::string Shown(std::string_view name)
{
    std::string shown(name.substr(0, 40));
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return shown;
}

bool IsNameStart(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || static_cast<unsigned char>(c) >= 0x80;
}

struct Attribute {
    std::string_view name;
    std::string_view value;   // as written, references unresolved
};

// One pass over the document, without recursion: a stack of the open elements and the record
// being filled. Elements outside the guide's own are skipped with everything inside them.
class XmltvScanner {
public:
    XmltvScanner(std::string_view text, XmltvGuide& guide, std::string& error) : text_(text), guide_(guide), error_(error) {}
    bool Run();

private:
    static constexpr int kMaxAttributes = 16;

    bool Fail(std::string reason)
    {
        error_ = std::move(reason);
        return false;
    }
    bool Markup();
    bool SkipPast(std::string_view end, const char* what);
    bool SkipDeclaration();
    bool StartTag();
    bool EndTag();
    bool ReadAttributes(std::size_t& at, bool& self_closing);
    bool Open(std::string_view name);
    void Close();
    void Text(std::string_view raw, bool references);
    std::string AttributeValue(std::string_view name) const;

    std::string_view text_;
    XmltvGuide&      guide_;
    std::string&     error_;
    std::size_t      at_ = 0;
    bool             seen_tv_ = false;
    bool             tv_closed_ = false;

    std::string_view names_[kXmltvMaxDepth];
    Role             roles_[kXmltvMaxDepth] = {};
    int              depth_ = 0;

    Attribute attributes_[kMaxAttributes];
    int       attribute_count_ = 0;

    XmltvChannel   channel_;
    XmltvProgramme programme_;
    bool           programme_valid_ = false;
    bool           have_title_ = false;
    bool           have_desc_ = false;
    std::string    collected_;   // text of the display-name, title or desc being read
};

bool XmltvScanner::Run()
{
    while (at_ < text_.size() && !tv_closed_) {
        const void* found = std::memchr(text_.data() + at_, '<', text_.size() - at_);
        const std::size_t next = found == nullptr ? text_.size() : static_cast<std::size_t>(static_cast<const char*>(found) - text_.data());
        if (next > at_) Text(text_.substr(at_, next - at_), true);
        at_ = next;
        if (at_ < text_.size() && !Markup()) return false;
    }
    if (!seen_tv_) return Fail("not an XMLTV document: no <tv> root element");
    if (!tv_closed_) return Fail("the <tv> element is never closed (the document ends early)");
    return true;
}

// The markup starting at at_ ("<"): a comment, CDATA, a declaration, a processing
// instruction, an end or start tag; a "<" that starts none of them is text.
bool XmltvScanner::Markup()
{
    const std::string_view rest = text_.substr(at_);
    if (rest.substr(0, 4) == "<!--") return SkipPast("-->", "comment");
    if (rest.substr(0, 9) == "<![CDATA[") {
        const std::size_t end = rest.find("]]>", 9);
        if (end == std::string_view::npos) return Fail(FormatString("a CDATA section at byte %zu never ends", at_));
        Text(rest.substr(9, end - 9), false);
        at_ += end + 3;
        return true;
    }
    if (rest.substr(0, 2) == "<!") return SkipDeclaration();
    if (rest.substr(0, 2) == "<?") return SkipPast("?>", "processing instruction");
    if (rest.substr(0, 2) == "</") return EndTag();
    if (rest.size() > 1 && IsNameStart(rest[1])) return StartTag();
    Text("<", false);
    ++at_;
    return true;
}

bool XmltvScanner::SkipPast(std::string_view end, const char* what)
{
    const std::size_t found = text_.find(end, at_ + 2);
    if (found == std::string_view::npos) return Fail(FormatString("a %s at byte %zu never ends", what, at_));
    at_ = found + end.size();
    return true;
}

// <!DOCTYPE ...> and the like: quoted strings, an internal subset in brackets and comments
// inside it may hold ">".
bool XmltvScanner::SkipDeclaration()
{
    const std::size_t start = at_;
    int brackets = 0;
    for (std::size_t at = at_ + 2; at < text_.size(); ++at) {
        const char c = text_[at];
        if (c == '"' || c == '\'') {
            const std::size_t close = text_.find(c, at + 1);
            if (close == std::string_view::npos) break;
            at = close;
        } else if (c == '<' && text_.substr(at, 4) == "<!--") {
            const std::size_t close = text_.find("-->", at + 4);
            if (close == std::string_view::npos) break;
            at = close + 2;
        } else if (c == '[') {
            ++brackets;
        } else if (c == ']') {
            if (brackets > 0) --brackets;
        } else if (c == '>' && brackets == 0) {
            at_ = at + 1;
            return true;
        }
    }
    return Fail(FormatString("a declaration at byte %zu never ends", start));
}

// The attributes of the start tag whose name ends before at, up to its ">" or "/>".
bool XmltvScanner::ReadAttributes(std::size_t& at, bool& self_closing)
{
    attribute_count_ = 0;
    self_closing = false;
    const std::size_t size = text_.size();
    while (at < size) {
        const char c = text_[at];
        if (IsSpace(c)) {
            ++at;
        } else if (c == '>') {
            ++at;
            return true;
        } else if (c == '/') {
            ++at;
            if (at < size && text_[at] == '>') {
                self_closing = true;
                ++at;
                return true;
            }
        } else {
            const std::size_t name_start = at;
            while (at < size && !IsSpace(text_[at]) && text_[at] != '=' && text_[at] != '>' && text_[at] != '/') ++at;
            const std::string_view name = text_.substr(name_start, at - name_start);
            if (name.empty()) {   // a stray "="
                ++at;
                continue;
            }
            while (at < size && IsSpace(text_[at])) ++at;
            std::string_view value;
            if (at < size && text_[at] == '=') {
                ++at;
                while (at < size && IsSpace(text_[at])) ++at;
                if (at >= size) break;
                if (text_[at] == '"' || text_[at] == '\'') {
                    const std::size_t close = text_.find(text_[at], at + 1);
                    if (close == std::string_view::npos) break;
                    value = text_.substr(at + 1, close - at - 1);
                    at = close + 1;
                } else {   // unquoted, as careless writers do
                    const std::size_t value_start = at;
                    while (at < size && !IsSpace(text_[at]) && text_[at] != '>') ++at;
                    value = text_.substr(value_start, at - value_start);
                }
            }
            if (attribute_count_ < kMaxAttributes) attributes_[attribute_count_++] = {name, value};
        }
    }
    return false;
}

bool XmltvScanner::StartTag()
{
    const std::size_t start = at_;
    std::size_t at = at_ + 1;
    while (at < text_.size() && !IsSpace(text_[at]) && text_[at] != '>' && text_[at] != '/') ++at;
    const std::string_view name = text_.substr(start + 1, at - start - 1);
    bool self_closing = false;
    if (!ReadAttributes(at, self_closing)) return Fail(FormatString("the tag <%s> at byte %zu never ends", Shown(name).c_str(), start));
    at_ = at;
    if (!Open(name)) return false;
    if (self_closing) Close();
    return true;
}

bool XmltvScanner::EndTag()
{
    const std::size_t start = at_;
    std::size_t at = at_ + 2;
    while (at < text_.size() && !IsSpace(text_[at]) && text_[at] != '>') ++at;
    const std::string_view name = text_.substr(start + 2, at - start - 2);
    const std::size_t close = text_.find('>', at);
    if (close == std::string_view::npos) return Fail(FormatString("the tag </%s> at byte %zu never ends", Shown(name).c_str(), start));
    at_ = close + 1;
    int match = depth_ - 1;
    while (match >= 0 && names_[match] != name) --match;
    if (match < 0) {
        if (!IsGuideName(name)) return true;   // a stray end tag of something we skip
        return Fail(FormatString("</%s> at byte %zu has no start tag", Shown(name).c_str(), start));
    }
    // Elements left open inside the one closed here are closed with it, unless the guide reads them.
    for (int open = depth_ - 1; open > match; --open)
        if (roles_[open] != Role::kOther)
            return Fail(FormatString("</%s> at byte %zu closes <%s> first", Shown(name).c_str(), start, Shown(names_[open]).c_str()));
    depth_ = match + 1;
    Close();
    return true;
}

std::string XmltvScanner::AttributeValue(std::string_view name) const
{
    std::string value;
    for (int i = 0; i < attribute_count_; ++i) {
        if (attributes_[i].name != name) continue;
        AppendDecoded(value, attributes_[i].value, true, true);
        CutText(value);
        break;
    }
    return value;
}

bool XmltvScanner::Open(std::string_view name)
{
    if (depth_ == kXmltvMaxDepth) return Fail(FormatString("elements nest deeper than %d at byte %zu", kXmltvMaxDepth, at_));
    Role role = Role::kTv;
    if (depth_ == 0) {
        if (name != "tv") return Fail(FormatString("not an XMLTV document: the root element is <%s>, not <tv>", Shown(name).c_str()));
        seen_tv_ = true;
    } else {
        role = RoleOf(roles_[depth_ - 1], name);
    }
    names_[depth_] = name;
    roles_[depth_] = role;
    ++depth_;
    switch (role) {
    case Role::kChannel:
        channel_ = XmltvChannel{};
        channel_.id = AttributeValue("id");
        break;
    case Role::kIcon:
        if (channel_.icon.empty()) channel_.icon = AttributeValue("src");
        break;
    case Role::kProgramme: {
        programme_ = XmltvProgramme{};
        have_title_ = have_desc_ = false;
        programme_.channel = AttributeValue("channel");
        programme_.start = ParseXmltvTime(AttributeValue("start"));
        const int64_t stop = ParseXmltvTime(AttributeValue("stop"));
        programme_.stop = stop < 0 ? 0 : stop;
        programme_valid_ = !programme_.channel.empty() && programme_.start >= 0;
        break;
    }
    case Role::kDisplayName:
    case Role::kTitle:
    case Role::kDesc: collected_.clear(); break;
    default: break;
    }
    return true;
}

// Closes the innermost open element.
void XmltvScanner::Close()
{
    --depth_;
    switch (roles_[depth_]) {
    case Role::kTv: tv_closed_ = true; break;
    case Role::kChannel:
        if (!channel_.id.empty()) guide_.channels.push_back(std::move(channel_));
        break;
    case Role::kDisplayName:
        CutText(collected_);
        if (!collected_.empty()) channel_.names.push_back(collected_);
        break;
    case Role::kProgramme:
        if (programme_valid_ && guide_.programmes.size() < kXmltvMaxProgrammes) guide_.programmes.push_back(std::move(programme_));
        break;
    case Role::kTitle:
        if (!have_title_) {
            CutText(collected_);
            programme_.title = collected_;
            have_title_ = true;
        }
        break;
    case Role::kDesc:
        if (!have_desc_) {
            CutText(collected_);
            programme_.description = collected_;
            have_desc_ = true;
        }
        break;
    default: break;
    }
}

// Text directly inside the display-name, title or desc being read is kept.
void XmltvScanner::Text(std::string_view raw, bool references)
{
    if (depth_ == 0) return;
    const Role role = roles_[depth_ - 1];
    if (role == Role::kDisplayName || (role == Role::kTitle && !have_title_) || (role == Role::kDesc && !have_desc_))
        AppendDecoded(collected_, raw, references, false);
}

}  // namespace

bool ReadXmltv(std::string_view text, XmltvGuide& guide, std::string& error)
{
    guide = XmltvGuide{};
    error.clear();
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    std::string converted;
    if (DeclaresLatin1(text)) {
        converted = Latin1ToUtf8(text);
        text = converted;
    }
    XmltvScanner scanner(text, guide, error);
    if (scanner.Run()) return true;
    guide = XmltvGuide{};
    return false;
}

int64_t ParseXmltvTime(std::string_view text)
{
    text = Trimmed(text);
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits != 12 && digits != 14) return -1;
    const int64_t year = Digits(text, 0, 4), month = Digits(text, 4, 2), day = Digits(text, 6, 2);
    const int64_t hour = Digits(text, 8, 2), minute = Digits(text, 10, 2);
    const int64_t second = digits == 14 ? Digits(text, 12, 2) : 0;
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 || minute > 59 || second > 59)
        return -1;
    const std::string_view zone = Trimmed(text.substr(digits));
    int64_t offset = 0;
    if (!zone.empty() && zone != "Z" && zone != "UTC" && zone != "GMT") {
        if (zone.size() != 5 || (zone[0] != '+' && zone[0] != '-')) return -1;
        const int64_t zone_hours = Digits(zone, 1, 2), zone_minutes = Digits(zone, 3, 2);
        if (zone_hours < 0 || zone_hours > 23 || zone_minutes < 0 || zone_minutes > 59) return -1;
        offset = (zone_hours * 3600 + zone_minutes * 60) * (zone[0] == '-' ? -1 : 1);
    }
    const int64_t utc = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset;
    return utc < 0 || utc > kLastXmltvSecond ? -1 : utc;
}

std::string XmltvTime(int64_t utc)
{
    if (utc < 0) utc = 0;
    if (utc > kLastXmltvSecond) utc = kLastXmltvSecond;
    int64_t year = 0, month = 0, day = 0;
    CivilFromDays(utc / 86400, year, month, day);
    const int64_t seconds = utc % 86400;
    return FormatString("%04lld%02lld%02lld%02lld%02lld%02lld +0000", static_cast<long long>(year), static_cast<long long>(month),
                        static_cast<long long>(day), static_cast<long long>(seconds / 3600),
                        static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
}

std::string XmlEscape(std::string_view text)
{
    std::string escaped;
    escaped.reserve(text.size() + 16);
    AppendEscaped(escaped, text, false);
    return escaped;
}

std::string WriteXmltv(const XmltvGuide& guide, std::string_view generator)
{
    std::string out;
    out.reserve(256 + guide.channels.size() * 128 + guide.programmes.size() * 256);
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE tv SYSTEM \"xmltv.dtd\">\n<tv";
    if (!generator.empty()) {
        out += " generator-info-name=\"";
        AppendEscaped(out, generator, true);
        out += '"';
    }
    out += ">\n";
    for (const XmltvChannel& channel : guide.channels) {
        out += "  <channel id=\"";
        AppendEscaped(out, channel.id, true);
        out += "\">\n";
        bool named = false;
        for (const std::string& name : channel.names) {
            if (name.empty()) continue;
            out += "    <display-name>";
            AppendEscaped(out, name, false);
            out += "</display-name>\n";
            named = true;
        }
        if (!named) out += "    <display-name></display-name>\n";
        if (!channel.icon.empty()) {
            out += "    <icon src=\"";
            AppendEscaped(out, channel.icon, true);
            out += "\"/>\n";
        }
        out += "  </channel>\n";
    }
    for (const XmltvProgramme& programme : guide.programmes) {
        out += "  <programme start=\"";
        out += XmltvTime(programme.start);
        if (programme.stop != 0) {
            out += "\" stop=\"";
            out += XmltvTime(programme.stop);
        }
        out += "\" channel=\"";
        AppendEscaped(out, programme.channel, true);
        out += "\">\n    <title>";
        AppendEscaped(out, programme.title, false);
        out += "</title>\n";
        if (!programme.description.empty()) {
            out += "    <desc>";
            AppendEscaped(out, programme.description, false);
            out += "</desc>\n";
        }
        out += "  </programme>\n";
    }
    out += "</tv>\n";
    return out;
}
