// Ingest load: 50 UDP channels at 4 Mbit/s each on 127.0.0.1. This process runs the channel
// reader; a child process (this program in "send" mode) sends the datagrams. Reports the CPU
// the ingest took and the datagrams that never reached a ring, with the input health counting
// off and on in turn.

#include "channels/channel_table.h"
#include "core/config.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "channels/guide.h"
#include "ingest/channel_reader.h"
#include "ingest/guide_reader.h"
#include "ingest/input_health.h"
#include "media/ts_packet.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// A datagram carrying one present/following event section (PID 0x12) of service 1 with a
// 40-byte title and a 100-byte text (the section fills most of one packet), the stream's PAT,
// then null packets: what a broadcaster repeats a few times a second.
static void MakeEventDatagram(uint8_t (&datagram)[1316])
{
    std::memset(datagram, 0xFF, sizeof datagram);
    for (int i = 0; i < 7; ++i) {
        uint8_t* packet = datagram + i * 188;
        packet[0] = 0x47;
        packet[1] = 0x1F;
        packet[2] = 0xFF;
        packet[3] = 0x10;
    }
    std::vector<uint8_t> section = {0x4E, 0, 0, 0, 1, 0xC1, 0, 1, 0, 1, 0, 2, 1, 0x4E};
    const std::string title(40, 'T'), text(100, 'x');
    // Starting now (MJD and BCD hh:mm:00), for an hour.
    const long long now = static_cast<long long>(std::time(nullptr));
    const int mjd = static_cast<int>(now / 86400 + 40587);
    const int hour = static_cast<int>(now % 86400 / 3600), minute = static_cast<int>(now % 3600 / 60);
    std::vector<uint8_t> event = {0, 1, static_cast<uint8_t>(mjd >> 8), static_cast<uint8_t>(mjd),
                                  static_cast<uint8_t>(hour / 10 * 16 + hour % 10), static_cast<uint8_t>(minute / 10 * 16 + minute % 10),
                                  0x00, 0x01, 0x00, 0x00, 0x80, 0};
    event.insert(event.end(), {0x4D, static_cast<uint8_t>(5 + title.size() + text.size()), 'e', 'n', 'g'});
    event.push_back(static_cast<uint8_t>(title.size()));
    event.insert(event.end(), title.begin(), title.end());
    event.push_back(static_cast<uint8_t>(text.size()));
    event.insert(event.end(), text.begin(), text.end());
    event[11] = static_cast<uint8_t>(event.size() - 12);
    section.insert(section.end(), event.begin(), event.end());
    section[2] = static_cast<uint8_t>(section.size() + 4 - 3);
    section[1] = 0xF0;
    const uint32_t crc = crc32_mpeg(section.data(), section.size());
    for (int shift = 24; shift >= 0; shift -= 8) section.push_back(static_cast<uint8_t>(crc >> shift));
    if (section.size() > 183) std::abort();     // the section must fit one packet
    uint8_t* packet = datagram;
    packet[1] = 0x40;
    packet[2] = 0x12;
    packet[4] = 0;                              // pointer field
    std::memcpy(packet + 5, section.data(), section.size());
    // The stream's PAT (program 1, PMT on PID 0x100) in the next packet.
    std::vector<uint8_t> pat = {0x00, 0xB0, 13, 0, 1, 0xC1, 0, 0, 0, 1, 0xE1, 0x00};
    const uint32_t pat_crc = crc32_mpeg(pat.data(), pat.size());
    for (int shift = 24; shift >= 0; shift -= 8) pat.push_back(static_cast<uint8_t>(pat_crc >> shift));
    packet = datagram + 188;
    packet[1] = 0x40;
    packet[2] = 0x00;
    packet[4] = 0;
    std::memcpy(packet + 5, pat.data(), pat.size());
}

static int Send(int base_port, int channels, int seconds, double bits_per_second, bool events = false)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    uint8_t event_datagram[1316];
    MakeEventDatagram(event_datagram);
    // One event section per 100 ms per channel: every 38th datagram at 4 Mbit/s.
    const long long event_every = static_cast<long long>(bits_per_second / (1316.0 * 8.0) / 10.0);
    // Seven packets of one PID with running continuity counters per channel, the first with
    // a PCR: every packet is one the health counting has to look at.
    uint8_t datagram[1316];
    std::memset(datagram, 0xFF, sizeof datagram);
    for (int i = 0; i < 7; ++i) {
        uint8_t* packet = datagram + i * 188;
        packet[0] = 0x47;
        packet[1] = 0x01;
        packet[2] = 0x01;
        packet[3] = 0x10;
    }
    datagram[3] = 0x30;
    datagram[4] = 7;
    datagram[5] = 0x10;
    std::vector<long long> per_channel(static_cast<std::size_t>(channels), 0);
    const double per_second = bits_per_second / (1316.0 * 8.0) * channels;
    const auto start = std::chrono::steady_clock::now();
    long long sent = 0;
    long long extra = 0;                        // event datagrams, besides the paced ones
    for (;;) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed >= seconds) break;
        const long long due = static_cast<long long>(elapsed * per_second);
        while (sent < due) {
            sockaddr_in to{};
            to.sin_family      = AF_INET;
            to.sin_port        = htons(static_cast<uint16_t>(base_port + sent % channels));
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const long long n = per_channel[static_cast<std::size_t>(sent % channels)]++;
            for (int i = 0; i < 7; ++i) datagram[i * 188 + 3] = static_cast<uint8_t>((datagram[i * 188 + 3] & 0xF0) | ((7 * n + i) & 0x0F));
            const long long pcr = n * 2632;                   // 90 kHz ticks of 1316 bytes at 4 Mbit/s
            datagram[6] = static_cast<uint8_t>(pcr >> 25);
            datagram[7] = static_cast<uint8_t>(pcr >> 17);
            datagram[8] = static_cast<uint8_t>(pcr >> 9);
            datagram[9] = static_cast<uint8_t>(pcr >> 1);
            datagram[10] = static_cast<uint8_t>(((pcr & 1) << 7) | 0x7E);
            if (events && n % event_every == 0) {
                event_datagram[3] = static_cast<uint8_t>(0x10 | (n / event_every & 0x0F));
                event_datagram[188 + 3] = event_datagram[3];
                if (sendto(fd, event_datagram, sizeof event_datagram, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0) ++extra;
            }
            if (sendto(fd, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == sizeof datagram) ++sent;
        }
        usleep(1000);
    }
    std::printf("%lld\n", sent + extra);
    return 0;
}

// CPU clock ticks (user and system) of this process's thread with that name so far; 0 without one.
static long long ThreadTicks(const std::string& name)
{
    std::error_code ignored;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ignored)) {
        std::FILE* comm = std::fopen((task.path() / "comm").c_str(), "r");
        char text[32] = "";
        if (comm == nullptr) continue;
        const bool named = std::fgets(text, sizeof text, comm) != nullptr && name + "\n" == text;
        std::fclose(comm);
        if (!named) continue;
        std::FILE* stat = std::fopen((task.path() / "stat").c_str(), "r");
        if (stat == nullptr) return 0;
        char line[1024] = "";
        const bool read = std::fgets(line, sizeof line, stat) != nullptr;
        std::fclose(stat);
        const char* fields = read ? std::strrchr(line, ')') : nullptr;
        long long utime = 0, stime = 0;
        if (fields == nullptr || std::sscanf(fields + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lld %lld", &utime, &stime) != 2) return 0;
        return utime + stime;
    }
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

// Runs `channels` UDP channels for kSeconds, recording or not, with the health counting on or
// off; prints one line.
static int Run(const char* self, int channels, bool record, bool health = true, bool guide = false)
{
    g_input_health_on.store(health);
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
    ThreadRecord* guide_reader = guide ? StartThread(GuideReaderThread, nullptr, "GuideReader") : nullptr;
    SleepMs(500);                                           // every input has opened its port

    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const long long guide_before = ThreadTicks("GuideReader");
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return 1;
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipe_fds[1], STDOUT_FILENO);
        execl("/proc/self/exe", self, guide ? "send-events" : "send", std::to_string(channels).c_str(), static_cast<char*>(nullptr));
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
    const std::size_t programmes = g_guide.Size();
    const double guide_cpu = static_cast<double>(ThreadTicks("GuideReader") - guide_before) / static_cast<double>(sysconf(_SC_CLK_TCK));
    if (guide_reader != nullptr) {
        g_guide_reader_stop.store(1);
        StopThread(guide_reader);
        g_guide_reader_stop.store(0);
        g_guide.Clear();
    }
    g_channel_reader_stop.store(1);
    g_reader_stop_gate.Open();
    StopThread(reader);
    uint64_t cc_errors = 0;
    for (int i = 0; i < channels; ++i) cc_errors += HealthOf(i).cc_errors.load();
    char guide_cpu_text[32];
    std::snprintf(guide_cpu_text, sizeof guide_cpu_text, "%.2f", guide_cpu / (kSeconds + 2) * 100.0);
    const std::string guide_text = guide ? ", event tables read (" + std::to_string(programmes) + " programmes in the guide; the guide reader " +
                                               guide_cpu_text + " % of one core)"
                                         : "";
    std::printf("%d UDP channels at %.0f Mbit/s for %d s%s%s, health counting %s: %lld datagrams sent, %lld stored, %lld lost; "
                "CPU %.1f %% of one core; %llu CC errors counted\n",
                channels, kRate / 1e6, kSeconds, record ? ", recording" : "",
                guide_text.c_str(), health ? "on" : "off", sent,
                received, sent - received, cpu / (kSeconds + 2) * 100.0, static_cast<unsigned long long>(cc_errors));
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

// The counting alone: its cost per datagram of seven packets with a PCR, on this thread.
static void CountingCost()
{
    uint8_t datagram[1316];
    std::memset(datagram, 0xFF, sizeof datagram);
    for (int i = 0; i < 7; ++i) {
        datagram[i * 188] = 0x47;
        datagram[i * 188 + 1] = 0x01;
        datagram[i * 188 + 2] = 0x01;
    }
    datagram[4] = 7;
    datagram[5] = 0x10;
    InputHealth& health = HealthOf(kMaxChannels - 1);
    StartHealth(health);
    constexpr int kDatagrams = 5000000;
    const auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < kDatagrams; ++n) {
        for (int i = 0; i < 7; ++i) datagram[i * 188 + 3] = static_cast<uint8_t>((i == 0 ? 0x30 : 0x10) | ((7 * n + i) & 0x0F));
        CountDatagram(health, datagram, sizeof datagram, false, static_cast<uint64_t>(n / 380));
    }
    const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / kDatagrams;
    StopHealth(health);
    std::printf("health counting alone: %.1f ns per datagram (%llu CC errors); at 50 channels of 4 Mbit/s "
                "(19 000 datagrams/s) %.3f %% of one core\n",
                ns, static_cast<unsigned long long>(health.cc_errors.load()), ns * 19000 / 1e9 * 100);
}

int main(int argc, char** argv)
{
    if (argc > 2 && std::strcmp(argv[1], "send") == 0) return Send(kBasePort, std::atoi(argv[2]), kSeconds, kRate);
    if (argc > 2 && std::strcmp(argv[1], "send-events") == 0) return Send(kBasePort, std::atoi(argv[2]), kSeconds, kRate, true);
    if (argc > 1 && std::strcmp(argv[1], "guide") == 0) {
        // The same 50 channels without, with, without and with their event tables read.
        int failed = 0;
        for (const bool guide : {false, true, false, true}) failed += Run(argv[0], 50, false, true, guide);
        return failed;
    }
    if (argc > 1 && std::strcmp(argv[1], "record") == 0) {
        // The same 20 channels without and with their recorders: the difference is the recorders' share.
        return Run(argv[0], 20, false) + Run(argv[0], 20, true);
    }
    // Off, on, off, on: the same load with and without the health counting, twice each.
    CountingCost();
    int failed = 0;
    for (const bool health : {true, false, true, false}) failed += Run(argv[0], 50, false, health);
    return failed;
}
