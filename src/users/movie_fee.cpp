#include "users/movie_fee.h"

#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/text.h"
#include "core/threads.h"
#include "users/usage_log.h"
#include "users/user_db.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <poll.h>

static constexpr const char* kMovieFeeFile = "media/tml/movie_fee.csv";

// The published table. Readers copy the pointer under the lock and read without it, so a
// refresh never frees a table that a lookup is still reading.
static std::mutex                           g_movie_fee_lock;
static std::shared_ptr<const MovieFeeTable> g_movie_fees = std::make_shared<MovieFeeTable>();

// The refresh thread. g_refresh_control_lock is held while it is started or stopped; the
// thread itself never takes it, so FreeMovieFees may wait for it while holding the lock.
static std::mutex           g_refresh_control_lock;
static ThreadRecord*        g_refresh_thread = nullptr;   // guarded by g_refresh_control_lock
static int                  g_refresh_wake   = -1;        // set before the thread starts, closed after it ended
static std::atomic<int32_t> g_movie_fee_shutdown{0};      // 1 from FreeMovieFees until the next start

int32_t MovieFeeTable::Find(const char* movie_name, int32_t& fee) const
{
    fee = -1;
    if (movie_name == nullptr) return -1;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (std::strcmp(entries[i].name, movie_name) == 0) {
            fee = entries[i].fee;
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

std::shared_ptr<const MovieFeeTable> CurrentMovieFees()
{
    std::lock_guard<std::mutex> held(g_movie_fee_lock);
    return g_movie_fees;
}

static void Publish(std::shared_ptr<const MovieFeeTable> table)
{
    std::lock_guard<std::mutex> held(g_movie_fee_lock);
    g_movie_fees.swap(table);
}                                                // the old table goes when its last reader does

static int32_t Clamped(int64_t value)
{
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

// The leading decimal number of text by atoi's rules (leading white space, a sign, digits),
// held to the 32-bit range instead of overflowing.
static int32_t LeadingNumber(std::string_view text)
{
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    constexpr int64_t kBeyond = int64_t{std::numeric_limits<int32_t>::max()} + 2;
    int64_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
        value = std::min(value * 10 + (text[at] - '0'), kBeyond);
    return Clamped(negative ? -value : value);
}

std::shared_ptr<MovieFeeTable> ParseMovieFeeText(std::string_view text)
{
    auto table = std::make_shared<MovieFeeTable>();
    std::size_t at = 0;
    constexpr std::string_view kHeader = "refresh time,";
    const std::size_t header = text.find(kHeader);
    if (header != std::string_view::npos) {
        const std::size_t header_end = text.find('\n', header);
        const std::size_t line_end = header_end == std::string_view::npos ? text.size() : header_end;
        const std::string_view period = text.substr(header + kHeader.size(), line_end - header - kHeader.size());
        table->refresh_minutes = period.find(",min") == std::string_view::npos ? 60 : LeadingNumber(period);
        at = header_end == std::string_view::npos ? text.size() : header_end + 1;
    }
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(at, end - at);
        at = end + 1;
        const std::size_t comma = line.find(',');
        if (comma == std::string_view::npos) continue;
        MovieFeeEntry entry{};
        CopyText(entry.name, line.substr(0, comma));
        entry.fee = LeadingNumber(line.substr(comma + 1));       // stops at "\r", or at a second ","
        table->entries.push_back(entry);
    }
    return table;
}

// Reads and publishes the file. 1, or 0 (missing, empty: the previous table stays).
static int ReadMovieFeeFile()
{
    std::string text;
    const int read = ReadWholeFile(kMovieFeeFile, text);
    if (read == 0) {
        std::printf("Failed");
        std::fflush(stdout);
        return 0;
    }
    if (read < 0) return 0;
    Publish(ParseMovieFeeText(text));
    return 1;
}

int LoadMovieFees()
{
    if (ReadMovieFeeFile() != 1) return 0;
    std::lock_guard<std::mutex> held(g_refresh_control_lock);
    if (g_refresh_thread == nullptr) {
        g_movie_fee_shutdown.store(0);
        g_refresh_wake = OpenWakeEvent();
        g_refresh_thread = StartThread(Movie_Fee_Refresh_Process, nullptr, "MovieFeeRefresh");
        if (g_refresh_thread == nullptr) {           // the next load tries again
            CloseWakeEvent(g_refresh_wake);
            g_refresh_wake = -1;
        }
    }
    return 1;
}

static bool Refreshing()
{
    return g_http_stop_state.load() == 0 && g_movie_fee_shutdown.load() == 0;
}

// Beats of 3 s in a refresh period; at least one, so a period of 0 reloads every beat.
static int32_t BeatsOf(int32_t refresh_minutes)
{
    const int64_t beats = int64_t{refresh_minutes} * 60 / 3;
    if (beats < 1) return 1;
    return beats > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                      : static_cast<int32_t>(beats);
}

// One 3-second beat. It ends at once when the process stops or FreeMovieFees wakes it.
static void RefreshBeat()
{
    if (g_refresh_wake < 0 || PollOne(g_refresh_wake, POLLIN, 3000) < 0) SleepUnlessStopping(3000);
}

int32_t Movie_Fee_Refresh_Process(void* /*unused*/)
{
    {
        LogSystemMessage("Movie_Fee_Refresh_Process wake_up ...\n");
        int32_t countdown = BeatsOf(CurrentMovieFees()->refresh_minutes);
        while (Refreshing()) {
            RefreshBeat();
            if (!Refreshing()) break;
            if (countdown > 1) {
                --countdown;
                continue;
            }
            LogSystemMessage("Refresh Movie Fee Table...\n");
            ReadMovieFeeFile();                       // a failed reload keeps the previous table
            countdown = BeatsOf(CurrentMovieFees()->refresh_minutes);
        }
    }                                                 // every holder is gone here
    EndThread();
}

void FreeMovieFees()
{
    {
        std::lock_guard<std::mutex> held(g_refresh_control_lock);
        g_movie_fee_shutdown.store(1);
        if (g_refresh_thread != nullptr) {
            SignalWakeEvent(g_refresh_wake);
            StopThread(g_refresh_thread);
            g_refresh_thread = nullptr;
        }
        CloseWakeEvent(g_refresh_wake);
        g_refresh_wake = -1;
    }
    Publish(std::make_shared<MovieFeeTable>());
}

int32_t FindMovieFee(const char* movie_name, int32_t& fee)
{
    return CurrentMovieFees()->Find(movie_name, fee);
}

int32_t FindBillingUser(const char* user_name, int32_t& pay_model, int32_t& points)
{
    pay_model = -1;
    points    = 0;
    if (user_name == nullptr) return -1;
    const std::shared_ptr<const UserTable> users = CurrentUsers();
    const int32_t index = users->Find(user_name);
    if (index < 0) return -1;
    pay_model = users->records[static_cast<std::size_t>(index)].pay_model;
    points    = pay_model == kPayFree ? 0 : users->Points(index);
    return index;
}

int CheckUserPoint(const char* user_name, const char* movie_name, int32_t& user_points, int32_t& movie_fee)
{
    int32_t pay_model = -1;
    const int32_t user = FindBillingUser(user_name, pay_model, user_points);
    if (user >= 0 && pay_model == kPayFree) {
        movie_fee = 0;                                // what this user pays for any film
        return kPointFreeUser;
    }
    const int32_t movie = FindMovieFee(movie_name, movie_fee);
    if (user < 0) return kPointUnknownUser;
    if (movie < 0) return kPointUnknownMovie;
    if (pay_model != kPayPre) return kPointUnknownUser;
    return user_points < movie_fee ? kPointTooFew : kPointMayWatch;
}


static std::string PointPart(int32_t fee, int32_t before, int32_t after)
{
    return FormatString(" Movie Point : [%d] Before Tran. Point: [%d] After Tran. Point: [%d]\n", fee, before, after);
}

std::string PointLogLine(const std::tm& when, const char* identity, const char* user_name, const char* movie_name,
                         int32_t fee, int32_t before, int32_t after)
{
    return FormatString("%02d/%02d %02d:%02d:%02d %04d -->ID : [%s] UserName = [%s] Movie Name: [%s]", when.tm_mon + 1,
                      when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec, when.tm_year + 1900, identity, user_name,
                      movie_name) +
           PointPart(fee, before, after);
}

int ChargeUserPoint(const char* identity, const char* user_name, const char* movie_name)
{
    if (identity == nullptr) identity = "";
    if (movie_name == nullptr) movie_name = "";
    int32_t fee = -1;
    const bool known_movie = FindMovieFee(movie_name, fee) >= 0;
    bool decided = false;
    // The balance is read, decided on and stored under the user file lock, and the point
    // log line is written there too, so the log lists one user's charges in balance order.
    const int result = ChangeUserPoints(
        user_name,
        [&](const UserRecord& user, int32_t points, int32_t& new_points) {
            decided = true;
            if (user.pay_model == kPayFree) return 0;
            if (!known_movie || fee <= 0) {
                LogSystemMessage(" Movie Point : =<0 Before Tran. Point: [%d] After Tran. Point: [%d]\n", points,
                                 points);
                // A listed film without a fee owes nothing: the balance stays as it is.
                return known_movie && (user.pay_model == kPayPre || user.pay_model == kPayPost) ? 1 : -2;
            }
            if (user.pay_model == kPayPre) {
                if (points < fee) return -3;          // a prepaid balance never goes below 0
                new_points = points - fee;
                return 1;
            }
            if (user.pay_model == kPayPost) {
                new_points = Clamped(int64_t{points} + fee);
                return 1;
            }
            return -2;                                // pay model "none"
        },
        [&](int32_t before, int32_t after) {
            const std::string line = PointLogLine(LocalTime(), identity, user_name, movie_name, fee, before, after);
            WritePointLog(line.c_str());
            LogSystemMessage("%s", PointPart(fee, before, after).c_str());
        });
    if (result == -1 && decided)
        LogSystemMessage(" Charge of User [%s] for Movie [%s] failed: the balance could not be stored\n", user_name,
                         movie_name);
    return result;
}
