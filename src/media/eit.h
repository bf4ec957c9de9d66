#pragma once
// The programme guide a DVB multiplex carries: events of the EIT (PID 0x12) gathered from
// transport-stream packets, their DVB texts turned into UTF-8 and their times into UTC seconds.
// Nothing here locks: one reader belongs to one thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

constexpr uint16_t kEitPid = 0x12;
constexpr uint8_t  kEitPresentFollowing = 0x4E;           // of this multiplex
constexpr uint8_t  kEitScheduleFirst = 0x50;              // schedule of this multiplex: 0x50..0x5F
constexpr uint8_t  kEitScheduleLast = 0x5F;
constexpr int      kEitSectionMax = 4096;                 // whole section, header and CRC included
// Sections remembered as handed on (a few bytes each). A multiplex of 30 services with a week
// of schedule uses about 4,000; past the cap the memory starts afresh, and each section is
// handed on once more.
constexpr std::size_t kEitSeenCap = 8192;

struct EitEvent {
    uint16_t    service_id = 0;        // the program number the event belongs to
    uint16_t    event_id = 0;
    uint8_t     table_id = 0;          // 0x4E present/following, 0x50..0x5F schedule
    uint8_t     section_number = 0;    // in p/f: 0 = present, 1 = following
    int64_t     start = 0;             // UTC seconds since 1970
    int32_t     duration = 0;          // seconds; -1 when the broadcaster left it undefined
    std::string language;              // ISO 639-2 code of the short event descriptor ("eng")
    std::string title;                 // UTF-8, from the short event descriptor
    // UTF-8: the short event text, then (after a "\n" when both are there) the text of the
    // extended event descriptors of the same language. Their item lists are not kept.
    std::string description;
};

// Gathers EIT sections from transport-stream packets of PID 0x12 (other PIDs are ignored) and
// hands each event of each good section to output. Only tables of this multiplex are read
// (present/following and schedule); other tables are skipped without counting as bad, and so
// are sections marked "not yet applicable" (current_next 0). A section already handed on
// (same table, service, section number and version) is not handed on again; events with an
// undefined start are never handed on.
class EitReader {
public:
    using Output = std::function<void(const EitEvent&)>;
    explicit EitReader(Output output);
    void Packet(const uint8_t* packet);            // one 188-byte packet
    uint64_t sections() const { return sections_; }          // good sections read, repeats included
    uint64_t bad_sections() const { return bad_sections_; }  // dropped (CRC, length, truncated)

private:
    enum class Take { kNeedMore, kDone, kDropped };
    Take TakeBytes(const uint8_t* data, std::size_t length, std::size_t& used);
    void DropPartial();
    void StartSections(const uint8_t* data, std::size_t length);
    void Finish();
    void HandOnEvents(const uint8_t* section, std::size_t length);

    Output               output_;
    std::vector<uint8_t> partial_;                 // the section being gathered
    std::size_t          partial_total_ = 0;      // its length once the header is in, else 0
    bool                 gathering_ = false;
    int                  last_continuity_ = -1;   // -1 until the first packet with payload
    uint64_t             sections_ = 0;
    uint64_t             bad_sections_ = 0;
    // (table, service, section number) -> version last handed on
    std::unordered_map<uint32_t, uint8_t> seen_;
};

// DVB text (first byte may choose the character table) to UTF-8. Tables: the default Latin
// table with its non-spacing accents, ISO 8859-1, -2, -5, -7, -9 and -15 (the other parts of
// 8859 are read as Latin-1), UCS-2 and UTF-8. The DVB line break becomes "\n"; other control
// codes are dropped; bytes that are no character become U+FFFD. The result is always UTF-8.
std::string DvbTextToUtf8(const uint8_t* data, std::size_t length);
// MJD (16 bits) + BCD hhmmss (24 bits) to UTC seconds; -1 when the BCD digits are not digits.
int64_t DvbTime(uint16_t mjd, uint32_t bcd_hms);
// BCD hhmmss (24 bits) to seconds; -1 when the digits are not digits.
int32_t DvbBcdSeconds(uint32_t bcd_hms);
