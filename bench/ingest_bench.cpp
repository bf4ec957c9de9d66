// Ingest load: 50 UDP channels at 4 Mbit/s each on 127.0.0.1. This process runs the channel
// reader; a child process (this program in "send" mode) sends the datagrams. Reports the CPU
// the ingest took and the datagrams that never reached a ring.

#include "channels/channel_table.h"
#include "core/config.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "ingest/channel_reader.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

static int Send(int base_port, int channels, int seconds, double bits_per_second)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    uint8_t datagram[1316];
    std::memset(datagram, 0xFF, sizeof datagram);
    for (int i = 0; i < 7; ++i) datagram[i * 188] = 0x47;
    const double per_second = bits_per_second / (1316.0 * 8.0) * channels;
    const auto start = std::chrono::steady_clock::now();
    long long sent = 0;
    for (;;) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed >= seconds) break;
        const long long due = static_cast<long long>(elapsed * per_second);
        while (sent < due) {
            sockaddr_in to{};
            to.sin_family      = AF_INET;
            to.sin_port        = htons(static_cast<uint16_t>(base_port + sent % channels));
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (sendto(fd, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == sizeof datagram) ++sent;
        }
        usleep(1000);
    }
    std::printf("%lld\n", sent);
    return 0;
}

static constexpr int    kSeconds = 20;
static constexpr double kRate    = 4e6;
static constexpr int    kBasePort = 31000;

static int64_t FileBytes(const std::string& folder)
{
    int64_t total = 0;
    std::error_code ignored;
    if (!std::filesystem::exists(folder)) return 0;
    for (const auto& item : std::filesystem::recursive_directory_iterator(folder, ignored))
        if (item.is_regular_file()) total += static_cast<int64_t>(item.file_size());
    return total;
}

// Runs `channels` UDP channels for kSeconds, recording or not; prints one line.
static int Run(const char* self, int channels, bool record)
{
    char folder[] = "/tmp/quorvane-ingest-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr || chdir(folder) != 0) return 1;
    ResetConfiguration();
    if (record) {
        g_config.iptv_time_shift_record_duration = 600;     // no rewind within the run: every byte stays
        g_config.tv_on_demand_record_duration    = 60;
    }
    std::string xml = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";
    for (int i = 0; i < channels; ++i)
        xml += "<ch src=\"udp://" + std::to_string(kBasePort + i) + "\" rec_folder=\"c" + std::to_string(i) + "\">c</ch>\r\n";
    FILE* file = std::fopen("channel_definition.xml", "wb");
    std::fwrite(xml.data(), 1, xml.size(), file);
    std::fclose(file);
    if (LoadChannelTable(false) != 1) return 1;
    g_reader_stop_gate.Close();
    ThreadRecord* reader = StartThread(IPTV_Channel_ReaderProcess, nullptr, "reader");
    g_startup_sema.Wait();
    SleepMs(500);                                           // every input has opened its port

    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return 1;
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipe_fds[1], STDOUT_FILENO);
        execl("/proc/self/exe", self, "send", std::to_string(channels).c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipe_fds[1]);

    // Count every write by following each channel's input index often enough never to miss a lap.
    const auto table = CurrentChannels();
    std::vector<int32_t> last(static_cast<std::size_t>(channels), 0);
    long long received = 0;
    long long ring_bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(kSeconds + 2)) {
        for (int i = 0; i < channels; ++i) {
            ChannelRecord& channel = *table->channels[static_cast<std::size_t>(i)];
            const int32_t now = channel.input_index.load();
            const std::shared_ptr<RealBuffer> buffer = channel.Buffer();
            for (int32_t at = last[static_cast<std::size_t>(i)]; at != now; at = (at + 1) % kRingSlots) {
                ++received;
                if (buffer != nullptr) ring_bytes += buffer->slots[at].length.load();
            }
            last[static_cast<std::size_t>(i)] = now;
        }
        SleepMs(20);
    }
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    char text[64] = "";
    const ssize_t got = read(pipe_fds[0], text, sizeof text - 1);
    text[got > 0 ? got : 0] = '\0';
    int status = 0;
    waitpid(child, &status, 0);
    const long long sent = std::atoll(text);
    close(pipe_fds[0]);

    const double cpu = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) + (after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
                       ((after.ru_utime.tv_usec - before.ru_utime.tv_usec) + (after.ru_stime.tv_usec - before.ru_stime.tv_usec)) / 1e6;
    g_channel_reader_stop.store(1);
    g_reader_stop_gate.Open();
    StopThread(reader);
    std::printf("%d UDP channels at %.0f Mbit/s for %d s%s: %lld datagrams sent, %lld stored, %lld lost; CPU %.1f %% of one core\n",
                channels, kRate / 1e6, kSeconds, record ? ", recording" : "", sent, received, sent - received,
                cpu / (kSeconds + 2) * 100.0);
    if (record) {
        const int64_t shifted = FileBytes(std::string(folder) + "/timeshift");
        const int64_t archived = FileBytes(std::string(folder) + "/tv_program_archive");
        std::printf("  ring %lld bytes; time-shift files %lld bytes (%lld lost); archive files %lld bytes (%lld lost)\n",
                    ring_bytes, static_cast<long long>(shifted), ring_bytes - static_cast<long long>(shifted),
                    static_cast<long long>(archived), ring_bytes - static_cast<long long>(archived));
    }
    FreeChannelTable();
    if (chdir("/") != 0) return 1;
    std::filesystem::remove_all(folder);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc > 2 && std::strcmp(argv[1], "send") == 0) return Send(kBasePort, std::atoi(argv[2]), kSeconds, kRate);
    if (argc > 1 && std::strcmp(argv[1], "record") == 0) {
        // The same 20 channels without and with their recorders: the difference is the recorders' share.
        return Run(argv[0], 20, false) + Run(argv[0], 20, true);
    }
    return Run(argv[0], 50, false);
}
