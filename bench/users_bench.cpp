// User check throughput and load time with 100 000 users, next to a plain linear scan of the
// same table (what a check would cost without the name index).

#include "users/user_db.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

static double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int main()
{
    constexpr int kUsers = 100000;
    char folder[] = "/tmp/quorvane-users-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr || chdir(folder) != 0) return 1;
    std::string text = "refresh time,5,min\r\n";
    for (int i = 0; i < kUsers; ++i)
        text += "user" + std::to_string(i) + ",pw" + std::to_string(i) + ",12/31/2999,pre," + std::to_string(i) + "\r\n";
    FILE* file = std::fopen("user_profile.csv", "wb");
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);

    auto start = std::chrono::steady_clock::now();
    if (LoadUsers() != 1) return 1;
    const double load = SecondsSince(start);

    const std::string last = "user" + std::to_string(kUsers - 1);
    const std::string last_password = "pw" + std::to_string(kUsers - 1);
    constexpr int kChecks = 20000;
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < kChecks; ++i)
        if (CheckUser(last.c_str(), last_password.c_str()) != 1) return 1;
    const double checks = SecondsSince(start);

    const auto table = CurrentUsers();
    constexpr int kScans = 200;
    int found = 0;
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < kScans; ++i) {
        for (const UserRecord& record : table->records) {
            if (std::strcmp(record.user_name, last.c_str()) == 0) {
                ++found;
                break;
            }
        }
    }
    const double scans = SecondsSince(start);

    std::printf("load of %d users: %.1f ms\n", kUsers, load * 1000);
    std::printf("check of the last user: %.0f checks/s (%.2f us each, with its log lines); linear scan alone: %.3f ms (found %d)\n",
                kChecks / checks, checks / kChecks * 1e6, scans / kScans * 1000, found);
    FreeUsers();
    std::filesystem::remove_all(folder);
    return 0;
}
