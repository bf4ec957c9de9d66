// Reading and writing a programme guide of 50 000 programmes (about 20 MB of XMLTV).

#include "channels/xmltv.h"

#include <chrono>
#include <cstdio>
#include <string>

static double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int main()
{
    constexpr int kChannels = 100;
    constexpr int kProgrammes = 50000;
    XmltvGuide guide;
    for (int i = 0; i < kChannels; ++i)
        guide.channels.push_back({"channel" + std::to_string(i) + ".example", {"Channel " + std::to_string(i), std::to_string(i)},
                                  "http://127.0.0.1/logos/" + std::to_string(i) + ".png"});
    const std::string description(100, 'd');
    for (int i = 0; i < kProgrammes; ++i)
        guide.programmes.push_back({"channel" + std::to_string(i % kChannels) + ".example", 1796923800 + int64_t{i / kChannels} * 1800,
                                    1796925600 + int64_t{i / kChannels} * 1800, "Programme & title " + std::to_string(i),
                                    description + " <" + std::to_string(i) + ">"});

    auto start = std::chrono::steady_clock::now();
    std::string document = WriteXmltv(guide, "bench");
    const double write = SecondsSince(start);
    // Real guides carry more per programme than is read: languages, categories, credits.
    std::string padded;
    padded.reserve(document.size() * 2);
    for (std::size_t at = 0; at < document.size();) {
        const std::size_t end = document.find("</title>\n", at);
        if (end == std::string::npos) {
            padded.append(document, at, std::string::npos);
            break;
        }
        padded.append(document, at, end + 9 - at);
        padded += "    <sub-title lang=\"en\">An episode</sub-title>\n    <credits><actor>Someone</actor></credits>\n"
                  "    <category lang=\"en\">News</category>\n    <episode-num system=\"xmltv_ns\">1.2.0/1</episode-num>\n";
        at = end + 9;
    }

    XmltvGuide read;
    std::string error;
    start = std::chrono::steady_clock::now();
    if (!ReadXmltv(padded, read, error) || read.programmes.size() != kProgrammes) {
        std::printf("read failed: %s\n", error.c_str());
        return 1;
    }
    const double seconds = SecondsSince(start);
    std::printf("read of %d programmes (%.1f MB): %.1f ms (%.0f MB/s); write of the guide (%.1f MB): %.1f ms\n", kProgrammes,
                padded.size() / 1e6, seconds * 1000, padded.size() / 1e6 / seconds, document.size() / 1e6, write * 1000);
    return 0;
}
