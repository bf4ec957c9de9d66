#pragma once
// The subscriber table loaded from "user_profile.csv", the user check every service asks
// before it admits a player, and the rewrites of the file (add, update, delete, points).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

constexpr std::size_t kUserNameSize = 128;
constexpr std::size_t kPasswordSize = 128;

enum PayModel : int32_t {
    kPayPre  = 0,
    kPayPost = 1,
    kPayFree = 2,
    kPayNone = 4,      // short form line: no pay model, no points
};

struct UserRecord {
    char    user_name[kUserNameSize];         // empty for a line that could not be parsed
    char    password[kPasswordSize];
    int32_t expiry_year;
    int32_t expiry_month;
    int32_t expiry_day;
    int32_t pay_model;
    int32_t points;                           // as loaded; the balance now is UserTable::Points
};

// One loaded file, in file order. Immutable once published, but for the balances: a reload
// publishes a new table, and readers keep the one they took for as long as they hold it.
struct UserTable {
    std::vector<UserRecord> records;
    // Position of the first record of each name; later lines of the same name are shadowed.
    std::unordered_map<std::string, int32_t> first_of_name;
    // One balance per record, filled at load. A charge stores its new balance here as well as
    // in the file, so the table stays in step without a reload.
    std::unique_ptr<std::atomic<int32_t>[]> live_points;
    int32_t Find(const char* user_name) const;  // first record of the name, or -1
    int32_t Points(int32_t index) const;        // the balance of records[index] now (0 out of range)
    // Only under the user file lock, after the file holds the new balance (ChangeUserPoints).
    void SetPoints(int32_t index, int32_t points) const;
};

// Loads "user_profile.csv" and publishes it. 1 success, 0 missing or empty file.
int LoadUsers();
// The published table (empty, never null, before the first load and after FreeUsers).
std::shared_ptr<const UserTable> CurrentUsers();
// The texts of add, update and set-points never hold "," or a line break: such a call is
// refused (0, logged, file untouched). The line a change acts on is the one the user check
// uses: the first that loads as a record of the name.
// Appends a user line with the texts as given and reloads. 1 or 0.
int AddUser(const char* user_name, const char* password, const char* expired_time, const char* pay_model,
            const char* points);
// Replaces the user's line by the new texts and reloads. 1 or 0 (not found, refused).
int UpdateUser(const char* user_name, const char* password, const char* expired_time, const char* pay_model,
               const char* points);
// Removes the user's line and reloads. 1 or 0 (not found).
int DeleteUser(const char* user_name);
// Rewrites only the points field (the fifth) of the user's line, keeping any fields after
// it; no reload. 1 or 0 (not found, short line, refused).
int SetUserPoints(const char* user_name, int32_t points);
// Runs decide(record, balance now, new_points) under the user file lock for the user's record
// (new_points starts at the balance now). When decide returns 1 with another balance, stores it
// in the file and the table, then calls stored(before, after), still under the lock. Returns
// -1 for an unknown user or a balance that could not be stored (nothing changed), else
// decide's result. Charges of one user at once are thus applied one after the other.
int ChangeUserPoints(const char* user_name,
                     const std::function<int(const UserRecord&, int32_t points_now, int32_t& new_points)>& decide,
                     const std::function<void(int32_t before, int32_t after)>& stored = nullptr);
// 1 accepted, 0 rejected (unknown user, wrong password, empty name or password),
// 2 subscription expired.
int CheckUser(const char* user_name, const char* password);
// Drops the table at shutdown.
void FreeUsers();

// Parses the text of a user file (header skipped); exposed for tests and the benchmark.
std::shared_ptr<UserTable> ParseUserText(const std::string& text);
