#include "channels/guide.h"

#include <utility>

ProgrammeGuide g_guide;

namespace {

// Cuts a UTF-8 text to at most `bytes` without splitting a character.
void CutText(std::string& text, std::size_t bytes)
{
    if (text.size() <= bytes) return;
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
}

bool Usable(const GuideProgramme& programme, int64_t now)
{
    constexpr int64_t kKeepSeconds = kGuideKeepDays * 86400;
    return programme.stop > programme.start && programme.stop > now - kKeepSeconds && programme.start < now + kKeepSeconds;
}

}  // namespace

void ProgrammeGuide::Trim(Schedule& schedule, int64_t now)
{
    for (auto at = schedule.begin(); at != schedule.end();) at = Usable(at->second, now) ? std::next(at) : schedule.erase(at);
    while (schedule.size() > kGuideMaxPerChannel) schedule.erase(schedule.begin());
}

bool ProgrammeGuide::AddAnnounced(int channel, GuideProgramme programme, int64_t now)
{
    if (!Usable(programme, now)) return false;
    CutText(programme.title, kGuideMaxTextBytes);
    CutText(programme.description, kGuideMaxTextBytes);
    std::lock_guard<std::mutex> held(lock_);
    Schedule& schedule = announced_[channel];
    // Drop what it overlaps: the one starting before it that runs into it, and those inside it.
    auto at = schedule.lower_bound(programme.start);
    if (at != schedule.begin() && std::prev(at)->second.stop > programme.start) at = std::prev(at);
    while (at != schedule.end() && at->first < programme.stop) at = schedule.erase(at);
    const int64_t start = programme.start;
    schedule.emplace(start, std::move(programme));
    if (schedule.size() > kGuideMaxPerChannel) Trim(schedule, now);
    return schedule.count(start) != 0;
}

void ProgrammeGuide::SetFromFiles(std::map<int, std::vector<GuideProgramme>> by_channel, int64_t now)
{
    std::map<int, Schedule> read;
    for (auto& [channel, programmes] : by_channel) {
        Schedule& schedule = read[channel];
        for (GuideProgramme& programme : programmes) {
            if (!Usable(programme, now)) continue;
            CutText(programme.title, kGuideMaxTextBytes);
            CutText(programme.description, kGuideMaxTextBytes);
            const int64_t start = programme.start;
            schedule.insert_or_assign(start, std::move(programme));
        }
        Trim(schedule, now);
        if (schedule.empty()) read.erase(channel);
    }
    std::lock_guard<std::mutex> held(lock_);
    from_files_ = std::move(read);
}

const ProgrammeGuide::Schedule* ProgrammeGuide::ScheduleOf(int channel) const
{
    const auto file = from_files_.find(channel);
    if (file != from_files_.end()) return &file->second;
    const auto announced = announced_.find(channel);
    return announced == announced_.end() ? nullptr : &announced->second;
}

std::vector<GuideProgramme> ProgrammeGuide::Programmes(int channel, int64_t from, int64_t to) const
{
    std::vector<GuideProgramme> found;
    std::lock_guard<std::mutex> held(lock_);
    const Schedule* schedule = ScheduleOf(channel);
    if (schedule == nullptr) return found;
    auto at = schedule->lower_bound(from);
    if (at != schedule->begin() && std::prev(at)->second.stop > from) at = std::prev(at);
    for (; at != schedule->end() && at->first < to; ++at)
        if (at->second.stop > from) found.push_back(at->second);
    return found;
}

int ProgrammeGuide::NowAndNext(int channel, int64_t now, GuideProgramme& current, GuideProgramme& next) const
{
    std::lock_guard<std::mutex> held(lock_);
    const Schedule* schedule = ScheduleOf(channel);
    if (schedule == nullptr) return 0;
    int found = 0;
    auto at = schedule->upper_bound(now);
    if (at != schedule->begin() && std::prev(at)->second.stop > now) {
        current = std::prev(at)->second;
        found |= 1;
    }
    if (at != schedule->end()) {
        next = at->second;
        found |= 2;
    }
    return found;
}

std::size_t ProgrammeGuide::Size() const
{
    std::lock_guard<std::mutex> held(lock_);
    std::size_t size = 0;
    for (const auto& [channel, schedule] : announced_) size += schedule.size();
    for (const auto& [channel, schedule] : from_files_) size += schedule.size();
    return size;
}

void ProgrammeGuide::Clear()
{
    std::lock_guard<std::mutex> held(lock_);
    announced_.clear();
    from_files_.clear();
}
