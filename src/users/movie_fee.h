#pragma once
// The film fee table "media/tml/movie_fee.csv", reloaded every refresh period, and the point
// check and charge that the set-top VOD service and the REST point commands ask.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

constexpr std::size_t kMovieNameSize = 256;

struct MovieFeeEntry {
    char    name[kMovieNameSize];
    int32_t fee;
};

// One loaded file, in file order. Immutable once published; a reload publishes a new one.
struct MovieFeeTable {
    std::vector<MovieFeeEntry> entries;
    int32_t refresh_minutes = 10;
    // First entry of the name (exact comparison) with its fee, or -1 (fee -1).
    int32_t Find(const char* movie_name, int32_t& fee) const;
};

// Point check results.
enum PointCheck : int {
    kPointMayWatch     = 1,
    kPointFreeUser     = 0,
    kPointUnknownUser  = -1,    // also a pay model other than prepaid or free
    kPointUnknownMovie = -2,
    kPointTooFew       = -3,
};

// Parses the text of a fee file (line by line; a line without "," is skipped). Exposed for
// tests and the fuzz target.
std::shared_ptr<MovieFeeTable> ParseMovieFeeText(std::string_view text);
// Loads the file and publishes it; the first success starts Movie_Fee_Refresh_Process.
// 1, or 0 (missing, empty: the previous table stays).
int LoadMovieFees();
// Reloads the table every refresh period until the HTTP stop state is raised or the table
// is freed.
int32_t Movie_Fee_Refresh_Process(void* unused);
// The published table (empty, never null).
std::shared_ptr<const MovieFeeTable> CurrentMovieFees();
// Index of the film's first entry and its fee, or -1 (fee -1).
int32_t FindMovieFee(const char* movie_name, int32_t& fee);
// Index of the user's record, pay model and points (0 for a free user); -1 when unknown.
int32_t FindBillingUser(const char* user_name, int32_t& pay_model, int32_t& points);
// May the user watch the film? A PointCheck value; user_points and movie_fee as found.
int CheckUserPoint(const char* user_name, const char* movie_name, int32_t& user_points, int32_t& movie_fee);
// Charges the user for the film: 1 charged, 0 free user (nothing charged or logged), -1
// unknown user (or the balance could not be stored), -2 unknown film or pay model "none", -3
// prepaid with fewer points than the fee (nothing charged). The balance is re-checked and
// stored under the user file lock, so charges at once never lose one.
int ChargeUserPoint(const char* identity, const char* user_name, const char* movie_name);
// Stops the refresh thread and drops the table (shutdown).
void FreeMovieFees();

// The point log line of a charge, for a given time (tests compare it byte for byte).
std::string PointLogLine(const std::tm& when, const char* identity, const char* user_name, const char* movie_name,
                         int32_t fee, int32_t before, int32_t after);
