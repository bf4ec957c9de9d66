#include "users/user_db.h"

#include "core/config.h"
#include "core/file_replace.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/text.h"
#include "users/channel_packages.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string_view>
#include <unistd.h>

static constexpr const char* kUserFile       = "user_profile.csv";
static constexpr const char* kUserTempFile   = "user_profile_temp.csv";
static constexpr const char* kUserBackupFile = "user_profile_backup.csv";

// The published table. Readers copy the pointer under the lock and read without it, so a
// reload never frees a table that a check is still reading.
static std::mutex                        g_user_table_lock;
static std::shared_ptr<const UserTable>  g_user_table = std::make_shared<UserTable>();
// Serialises every read-modify-write of the user file (and the reload that follows it), so
// that two changes at once never lose one.
static std::recursive_mutex              g_user_file_lock;

int32_t UserTable::Find(const char* user_name) const
{
    const auto found = first_of_name.find(user_name);
    return found == first_of_name.end() ? -1 : found->second;
}

int32_t UserTable::Points(int32_t index) const
{
    if (index < 0 || static_cast<std::size_t>(index) >= records.size() || !live_points) return 0;
    return live_points[static_cast<std::size_t>(index)].load();
}

void UserTable::SetPoints(int32_t index, int32_t points) const
{
    if (index < 0 || static_cast<std::size_t>(index) >= records.size() || !live_points) return;
    live_points[static_cast<std::size_t>(index)].store(points);
}

std::shared_ptr<const UserTable> CurrentUsers()
{
    std::lock_guard<std::mutex> held(g_user_table_lock);
    return g_user_table;
}

static void Publish(std::shared_ptr<const UserTable> table)
{
    std::lock_guard<std::mutex> held(g_user_table_lock);
    g_user_table.swap(table);
}                                                // the old table goes when its last reader does

// Reads the user file whole with its end normalised to "\r\n". 1, 0 cannot be opened,
// -1 empty.
static int ReadUserFile(std::string& text)
{
    const int read = ReadWholeFile(kUserFile, text);
    if (read == 1) NormaliseLineEnd(text);
    return read;
}

// Offset where the user lines start: after the line holding "refresh time,", if any.
static std::size_t UserLinesStart(std::string_view text)
{
    const std::size_t header = text.find("refresh time,");
    if (header == std::string_view::npos) return 0;
    const std::size_t end = text.find('\n', header);
    return end == std::string_view::npos ? text.size() : end + 1;
}

static int32_t PayModelOf(std::string_view text)
{
    if (text == "post") return kPayPost;
    if (text == "free") return kPayFree;
    return kPayPre;                               // "pre" and anything else
}

static int32_t NumberOf(std::string_view text)
{
    char digits[32];
    CopyText(digits, text);
    return static_cast<int32_t>(std::atoi(digits));
}

// One line without its line break. A line without a name and password followed by a date
// with two "/" leaves the record empty: it never matches and the next line is unaffected.
// Returns where the points field starts in line, npos when the line has none.
static std::size_t ParseUserLine(std::string_view line, UserRecord& record)
{
    constexpr std::size_t kNone = std::string_view::npos;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t name_end = line.find(',');
    if (name_end == kNone) return kNone;
    const std::size_t password_end = line.find(',', name_end + 1);
    if (password_end == kNone) return kNone;
    const std::size_t month_end = line.find('/', password_end + 1);
    if (month_end == kNone) return kNone;
    const std::size_t day_end = line.find('/', month_end + 1);
    if (day_end == kNone) return kNone;

    CopyText(record.user_name, line.substr(0, name_end));
    CopyText(record.password, line.substr(name_end + 1, password_end - name_end - 1));
    record.expiry_month = NumberOf(line.substr(password_end + 1, month_end - password_end - 1));
    record.expiry_day   = NumberOf(line.substr(month_end + 1, day_end - month_end - 1));
    const std::size_t year_end = line.find(',', day_end + 1);
    if (year_end == kNone) {
        record.expiry_year = NumberOf(line.substr(day_end + 1));
        record.pay_model   = kPayNone;
        record.points      = 0;
        return kNone;
    }
    record.expiry_year = NumberOf(line.substr(day_end + 1, year_end - day_end - 1));
    const std::size_t model_end = line.find(',', year_end + 1);
    if (model_end == kNone) {
        record.pay_model = PayModelOf(line.substr(year_end + 1));
        record.points    = 0;
        return kNone;
    }
    record.pay_model = PayModelOf(line.substr(year_end + 1, model_end - year_end - 1));
    record.points    = NumberOf(line.substr(model_end + 1));
    return model_end + 1;
}

std::shared_ptr<UserTable> ParseUserText(const std::string& text)
{
    auto table = std::make_shared<UserTable>();
    const std::string_view all(text);
    std::size_t at = UserLinesStart(all);
    while (at < all.size()) {
        std::size_t end = all.find('\n', at);
        if (end == std::string_view::npos) end = all.size();
        const std::string_view line = all.substr(at, end - at);
        if (line.find(',') != std::string_view::npos) {
            UserRecord record{};
            ParseUserLine(line, record);
            const auto position = static_cast<int32_t>(table->records.size());
            if (record.user_name[0] != '\0') table->first_of_name.emplace(record.user_name, position);
            table->records.push_back(record);
        }
        at = end + 1;
    }
    table->live_points = std::make_unique<std::atomic<int32_t>[]>(table->records.size());
    for (std::size_t i = 0; i < table->records.size(); ++i) table->live_points[i].store(table->records[i].points);
    return table;
}

int LoadUsers()
{
    std::lock_guard<std::recursive_mutex> held(g_user_file_lock);
    std::string text;
    const int read = ReadUserFile(text);
    if (read == 0) {
        std::printf("Failed");
        std::fflush(stdout);
        return 0;
    }
    if (read < 0) return 0;
    std::shared_ptr<UserTable> table = ParseUserText(text);
    const auto count = static_cast<int>(table->records.size());
    Publish(std::move(table));
    LogSystemMessage("System Message: There are [%d] users in the Database\n", count);
    return 1;
}

// A text written into the user file must not hold a field separator or a line break, or it
// would split its line or inject another one.
static bool FitsInUserFile(const char* text)
{
    return text != nullptr && std::strpbrk(text, ",\r\n") == nullptr;
}

// The first of the five texts of a user line that does not fit in the file, nullptr when all do.
static const char* UnfitUserText(const char* user_name, const char* password, const char* expired_time,
                                 const char* pay_model, const char* points)
{
    if (!FitsInUserFile(user_name)) return "user name";
    if (!FitsInUserFile(password)) return "password";
    if (!FitsInUserFile(expired_time)) return "expiry date";
    if (!FitsInUserFile(pay_model)) return "pay model";
    if (!FitsInUserFile(points)) return "points";
    return nullptr;
}

static std::string UserLine(const char* user_name, const char* password, const char* expired_time,
                            const char* pay_model, const char* points)
{
    std::string line;
    line.append(user_name).append(",").append(password).append(",").append(expired_time).append(",");
    line.append(pay_model).append(",").append(points).append("\r\n");
    return line;
}

int AddUser(const char* user_name, const char* password, const char* expired_time, const char* pay_model,
            const char* points)
{
    // The texts are not logged: a line break in them would forge log lines as well.
    if (const char* unfit = UnfitUserText(user_name, password, expired_time, pay_model, points)) {
        LogSystemMessage(" Add User Refused: the %s text is missing or holds a comma or line break\n", unfit);
        return 0;
    }
    std::lock_guard<std::recursive_mutex> held(g_user_file_lock);
    const int fd = open(kUserFile, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::printf("Failed");
        std::fflush(stdout);
        return 0;
    }
    // A last line without its line break would swallow the new line: end it first.
    std::string line = UserLine(user_name, password, expired_time, pay_model, points);
    char last = '\n';
    const off_t size = lseek(fd, 0, SEEK_END);
    if (size > 0 && pread(fd, &last, 1, size - 1) == 1 && last != '\n') line.insert(0, "\r\n");
    const bool written = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) && fsync(fd) == 0;
    close(fd);
    if (!written) return 0;
    LoadUsers();
    return 1;
}

// Where the line the user check would use for user_name lies in text: the first line that
// loads as a record of that name, [begin, end) with its line break, and where its points
// field starts (npos without one). A line of the same name that does not load (no date,
// say) is skipped, as the loader skips it.
static bool FindUserLine(std::string_view text, const char* user_name, std::size_t& begin, std::size_t& end,
                         std::size_t& points_at)
{
    if (user_name[0] == '\0') return false;
    std::size_t at = UserLinesStart(text);
    while (at < text.size()) {
        std::size_t line_break = text.find('\n', at);
        if (line_break == std::string_view::npos) line_break = text.size();
        UserRecord record{};
        const std::size_t points = ParseUserLine(text.substr(at, line_break - at), record);
        if (std::strcmp(record.user_name, user_name) == 0) {
            begin = at;
            end   = line_break == text.size() ? line_break : line_break + 1;
            points_at = points;
            return true;
        }
        at = line_break + 1;
    }
    return false;
}

// Reads the file, finds the user's line and rebuilds the text with the line replaced by
// what `replacement(line, points_at, out)` appends to out (false: leave the file as it is).
// Returns 1, 0 not found or refused, -1 file error.
template <typename Replace>
static int RewriteUserLine(const char* user_name, Replace replacement)
{
    std::string text;
    if (ReadUserFile(text) == 0) return -1;
    std::size_t begin = 0;
    std::size_t end   = 0;
    std::size_t points_at = std::string::npos;
    if (!FindUserLine(text, user_name, begin, end, points_at)) return 0;
    std::string rewritten = text.substr(0, begin);
    if (!replacement(std::string_view(text).substr(begin, end - begin), points_at, rewritten)) return 0;
    rewritten.append(text, end, std::string::npos);
    return ReplaceFileSafely(kUserFile, kUserTempFile, kUserBackupFile, rewritten) == 1 ? 1 : -1;
}

int UpdateUser(const char* user_name, const char* password, const char* expired_time, const char* pay_model,
               const char* points)
{
    if (const char* unfit = UnfitUserText(user_name, password, expired_time, pay_model, points)) {
        LogSystemMessage(" Update User Refused: the %s text is missing or holds a comma or line break\n", unfit);
        return 0;
    }
    std::lock_guard<std::recursive_mutex> held(g_user_file_lock);
    const int result = RewriteUserLine(user_name, [&](std::string_view, std::size_t, std::string& out) {
        out += UserLine(user_name, password, expired_time, pay_model, points);
        return true;
    });
    if (result < 0) {
        std::printf(" User Profile Failed");
        std::fflush(stdout);
        return 0;
    }
    if (result == 0) {
        LogSystemMessage(" Update User [%s] Not Found\n", user_name);
        return 0;
    }
    LoadUsers();
    return 1;
}

int DeleteUser(const char* user_name)
{
    std::lock_guard<std::recursive_mutex> held(g_user_file_lock);
    const int result = RewriteUserLine(user_name, [](std::string_view, std::size_t, std::string&) { return true; });
    if (result < 0) {
        LogSystemMessage(" User Profile Failed");
        return 0;
    }
    if (result == 0) {
        LogSystemMessage(" Del User [%s] Not Found\n", user_name);
        return 0;
    }
    LoadUsers();
    // A later user of the same name must not inherit the packages (unless another line of
    // the name still stands).
    std::string text;
    std::size_t begin = 0, end = 0, points_at = 0;
    if (ReadUserFile(text) != 0 && !FindUserLine(text, user_name, begin, end, points_at) &&
        RemoveUserPackages(user_name) == 0)
        LogSystemMessage("System Warning: the packages of deleted user [%s] could not be dropped\n", user_name);
    return 1;
}

int SetUserPoints(const char* user_name, int32_t points)
{
    if (!FitsInUserFile(user_name)) {
        LogSystemMessage(" Set User Points Refused: the user name is missing or holds a comma or line break\n");
        return 0;
    }
    std::lock_guard<std::recursive_mutex> held(g_user_file_lock);
    const int result = RewriteUserLine(user_name, [&](std::string_view line, std::size_t points_at,
                                                      std::string& out) {
        // Only a full line (name, password, date, pay model, points) has a points field. The
        // field is the one the loader reads; any fields after it are kept.
        if (points_at == std::string_view::npos) return false;
        std::size_t content_end = line.size();
        while (content_end > points_at && (line[content_end - 1] == '\n' || line[content_end - 1] == '\r'))
            --content_end;
        std::size_t field_end = line.find(',', points_at);
        if (field_end == std::string_view::npos || field_end > content_end) field_end = content_end;
        char number[16];
        FormatText(number, "%d", points);
        out.append(line.substr(0, points_at)).append(number);
        out.append(line.substr(field_end, content_end - field_end)).append("\r\n");
        return true;
    });
    if (result < 0) {
        std::printf(" User Profile Failed");
        std::fflush(stdout);
        return 0;
    }
    return result;
}

int ChangeUserPoints(const char* user_name,
                     const std::function<int(const UserRecord&, int32_t points_now, int32_t& new_points)>& decide,
                     const std::function<void(int32_t before, int32_t after)>& stored)
{
    if (user_name == nullptr) return -1;
    // Every reload takes this lock too, so the table taken here stays the published one.
    std::lock_guard<std::recursive_mutex> held(g_user_file_lock);
    const std::shared_ptr<const UserTable> table = CurrentUsers();
    const int32_t index = table->Find(user_name);
    if (index < 0) return -1;
    const int32_t before = table->Points(index);
    int32_t after = before;
    const int result = decide(table->records[static_cast<std::size_t>(index)], before, after);
    if (result != 1 || after == before) return result;
    if (SetUserPoints(user_name, after) != 1) return -1;
    table->SetPoints(index, after);
    if (stored) stored(before, after);
    return 1;
}

int CheckUser(const char* user_name, const char* password)
{
    LogSystemMessage("Username= [%s] Password= [%s] : Starting User Checking\n", user_name, password);
    const bool no_name     = user_name == nullptr || user_name[0] == '\0';
    const bool no_password = password == nullptr || password[0] == '\0';
    if (no_name && no_password) {
        LogSystemMessage("User Name and Password are NULL\n");
        return 0;
    }
    if (no_name) {
        LogSystemMessage("User Name is NULL\n");
        return 0;
    }
    if (no_password) {
        LogSystemMessage("Passowrd is NULL\n");
        return 0;
    }
    const std::shared_ptr<const UserTable> table = CurrentUsers();
    LogSystemMessage("Username= [%s] Password= [%s] : Checking the user in Database\n", user_name, password);
    const int32_t found = table->Find(user_name);
    if (found >= 0) {
        if (std::strcmp(table->records[static_cast<std::size_t>(found)].password, password) != 0) {
            LogSystemMessage("User [%s], Password[%s] Password Error\n", user_name, password);
            return 0;
        }
        LogSystemMessage("Username= [%s] Password= [%s] is acceptable\n", user_name, password);
    }
    const int32_t stopped = found >= 0 ? found : static_cast<int32_t>(table->records.size());
    LogSystemMessage("Username= [%s] Password= [%s] Checked [%d] user in Database\n", user_name, password, stopped);
    if (found < 0) {
        LogSystemMessage("User [%s], Password[%s] User Not Found\n", user_name, password);
        return 0;
    }
    LogSystemMessage("Username= [%s] Password= [%s] in the Database [%d] entry\n", user_name, password, found);
    const UserRecord& user = table->records[static_cast<std::size_t>(found)];
    const std::tm now = LocalTime();
    const int year = now.tm_year + 1900;
    const int month = now.tm_mon + 1;
    const int day = now.tm_mday;
    LogSystemMessage("Current time %d/%d/%d\n", month, day, year);
    LogSystemMessage("User time %d/%d/%d\n", user.expiry_month, user.expiry_day, user.expiry_year);
    bool valid;
    if (year != user.expiry_year) valid = year < user.expiry_year;
    else if (month != user.expiry_month) valid = month < user.expiry_month;
    else valid = day <= user.expiry_day;
    if (!valid) return 2;
    LogSystemMessage("The Subscription is available\n");
    return 1;
}

void FreeUsers()
{
    Publish(std::make_shared<UserTable>());
}
