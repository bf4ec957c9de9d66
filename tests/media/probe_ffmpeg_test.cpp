// The probes against real files made by ffmpeg, compared with what ffprobe says of them.

#include "media/probe.h"
#include "media/ts_timing.h"

#include "support/media_suite.h"
#include "support/temp_dir.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <string>

namespace {

std::string RunCommand(const std::string& command)
{
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
    pclose(pipe);
    return output;
}

// format bit_rate, duration and start_time as ffprobe reports them.
std::map<std::string, double> Ffprobe(const std::string& path)
{
    std::map<std::string, double> values;
    const std::string text = RunCommand("ffprobe -v error -show_entries format=bit_rate,duration,start_time -of default=nw=1 '" +
                                 path + "'");
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = std::atof(line.c_str() + equals + 1);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return values;
}

class RealFiles : public MediaSuite<RealFiles> {
protected:
    friend class MediaSuite<RealFiles>;
    static void MakeFiles()
    {
        const std::string sources = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 "
                                    "-f lavfi -i sine=frequency=1000:sample_rate=48000 -t 6 ";
        // PCR and PTS start together (no mux delay, no B-frames) at 10 s.
        RunCommand(sources + "-c:v libx264 -preset veryfast -bf 0 -b:v 800k -c:a aac -b:a 64k -muxdelay 0 "
                             "-muxpreload 0 -output_ts_offset 10 -f mpegts '" + dir_->PathOf("clip.ts") + "'");
        RunCommand(sources + "-c:v libx264 -preset veryfast -b:v 800k -c:a aac -b:a 64k '" + dir_->PathOf("clip.mp4") + "'");
        // The ASF header carries the nominal rate: hold the encoder to it.
        RunCommand(sources + "-c:v wmv2 -b:v 800k -minrate 800k -maxrate 800k -bufsize 400k -c:a wmav2 -b:a 64k '" + dir_->PathOf("clip.wmv") + "'");
    }
};

void ExpectWithin(double ours, double theirs, double share, const char* what)
{
    EXPECT_GT(theirs, 0) << what;
    EXPECT_LE(std::fabs(ours - theirs), share * theirs) << what << ": ours " << ours << ", ffprobe " << theirs;
}

TEST_F(RealFiles, TransportStreamBitrateAndFirstPcrAgreeWithFfprobe)
{
    const auto probe = Ffprobe(Path("clip.ts"));
    ExpectWithin(probe_bitrate_kbps(Path("clip.ts").c_str()) * 1000.0, probe.at("bit_rate"), 0.10, "bitrate");
    EXPECT_NEAR(first_pcr_seconds(Path("clip.ts").c_str()), probe.at("start_time"), 0.1);
    ExpectWithin(static_cast<double>(vod_duration_seconds(Path("clip.ts").c_str())), probe.at("duration"), 0.20,
                 "duration");
}

TEST_F(RealFiles, Mp4DurationAndBitrateAgreeWithFfprobe)
{
    const auto probe = Ffprobe(Path("clip.mp4"));
    ExpectWithin(mp4_duration_seconds(Path("clip.mp4").c_str()), probe.at("duration"), 0.10, "duration");
    ExpectWithin(probe_bitrate_kbps(Path("clip.mp4").c_str()) * 1000.0, probe.at("bit_rate"), 0.10, "bitrate");
}

TEST_F(RealFiles, WindowsMediaBitrateAgreesWithFfprobe)
{
    const auto probe = Ffprobe(Path("clip.wmv"));
    ExpectWithin(probe_bitrate_kbps(Path("clip.wmv").c_str()) * 1000.0, probe.at("bit_rate"), 0.10, "bitrate");
}

}  // namespace
