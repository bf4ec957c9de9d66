#pragma once
// The programme guide of the channels: what each channel shows when, from the DVB event tables
// its stream carries and from the operator's XMLTV files. Keyed by channel number (1-based).
// For a channel that has programmes from an XMLTV file, those are its guide (the operator's file
// wins); the others have what their streams' event tables said. Bounded: programmes that ended
// more than kGuideKeepDays ago or start more than kGuideKeepDays ahead are dropped, and each
// channel keeps at most kGuideMaxPerChannel programmes from each origin (the earliest go first).

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

constexpr int64_t     kGuideKeepDays = 8;
constexpr std::size_t kGuideMaxPerChannel = 4000;
constexpr std::size_t kGuideMaxTextBytes = 1024;

struct GuideProgramme {
    int64_t     start = 0;     // UTC seconds
    int64_t     stop = 0;      // UTC seconds, after start
    std::string title;         // UTF-8
    std::string description;   // UTF-8
};

class ProgrammeGuide {
public:
    // A programme a channel's stream announced: it replaces those of the channel it overlaps
    // (a schedule that changed). `now` bounds what is kept. False when it was not kept.
    bool AddAnnounced(int channel, GuideProgramme programme, int64_t now);
    // The programmes of the operator's files, by channel: they replace all those read before.
    void SetFromFiles(std::map<int, std::vector<GuideProgramme>> by_channel, int64_t now);
    // The channel's programmes that end after `from` and start before `to`, in time order.
    std::vector<GuideProgramme> Programmes(int channel, int64_t from, int64_t to) const;
    // The programme on at `now` and the one after it (found: bits 1 and 2 of the result).
    int NowAndNext(int channel, int64_t now, GuideProgramme& current, GuideProgramme& next) const;
    // How many programmes the guide holds.
    std::size_t Size() const;
    void Clear();

private:
    using Schedule = std::map<int64_t, GuideProgramme>;   // by start
    const Schedule* ScheduleOf(int channel) const;
    static void Trim(Schedule& schedule, int64_t now);
    mutable std::mutex        lock_;
    std::map<int, Schedule>   announced_;
    std::map<int, Schedule>   from_files_;
};

// The server's guide.
extern ProgrammeGuide g_guide;
