#include "channels/menu_documents.h"

#include "channels/archive.h"
#include "core/config.h"
#include "core/file_replace.h"
#include "core/locks.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/text.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

constexpr char kMainDocument[] = "tml/stb_tml.xml";
constexpr char kMainTemp[]     = "tml/stb_tml_temp.xml";
constexpr char kMainBackup[]   = "tml/stb_tml_backup.xml";

// A refresh on an HTTP command thread and the refresh thread may both start a run.
CriticalSection g_menu_lock;

void AppendHead(std::string& document)
{
    document += "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";
    document += "<tml version=\"2.0\">\r\n";
    document += "<title>Corvatelix Markup Language</title>\r\n";
    document += "<lastBuildDate>Fri, 27 Aug 2010 04:50:23 GMT</lastBuildDate>\r\n";
}

}  // namespace

std::string EscapeMarkup(std::string_view text)
{
    std::string escaped;
    for (const char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        default: escaped += c; break;
        }
    }
    return escaped;
}

bool MenuFileNameAllowed(std::string_view name)
{
    if (name.empty() || name.find('/') != std::string_view::npos || name.find('\\') != std::string_view::npos) return false;
    return name != "stb_tml" && name != "stb_tml_temp" && name != "stb_tml_backup";
}

std::string MainMenuDocument(const ChannelTable& table, int http_port, const std::function<bool(int)>& listed)
{
    std::string document;
    AppendHead(document);
    document += FormatString("<logo src=\"http://@:%d/tml/pictures/logo.png\" x=\"80\" y=\"140\"> </logo>\r\n", http_port);
    document += "<msgfont>40</msgfont>\r\n";
    document += "<msgposition>150,868,1050,950</msgposition>\r\n";
    for (int32_t i = 0; i < table.Count(); ++i) {
        if (listed && !listed(i + 1)) continue;
        const std::string name = EscapeMarkup(table.channels[static_cast<std::size_t>(i)]->name);
        document += "<item>\r\n";
        document += FormatString("<channel>%d - %s</channel>\r\n", i + 1, name.c_str());
        document += "<iptv>\r\n";
        document += FormatString("<livevideo>http://@:%d/%d.ch</livevideo>\r\n", http_port, i + 1);
        document += "</iptv>\r\n";
        document += "</item>\r\n";
    }
    document += "<item>\r\n";
    document += FormatString("<channel>%d - Recorded Video</channel>\r\n", table.Count() + 1);
    document += FormatString("<vod baseurl=\"http://@:%d/tml/\">\r\n", http_port);
    document += "<frame title=\"Channel Recorded Video\">\r\n";
    for (int32_t i = 0; i < table.Count(); ++i) {
        const char* raw = table.channels[static_cast<std::size_t>(i)]->name;
        if (!MenuFileNameAllowed(raw) || (listed && !listed(i + 1))) continue;
        const std::string name = EscapeMarkup(raw);
        document += FormatString("<icon src=\"pictures/ch%d.png\" href=\"%s.xml\">%s</icon>\r\n", i + 1, name.c_str(), name.c_str());
    }
    document += "</frame>\r\n";
    document += "</vod>\r\n";
    document += "</item>\r\n";
    document += "</tml>\r\n";
    return document;
}

std::string ChannelMenuDocument(const ChannelRecord& channel, int http_port, int vod_port, int duration_minutes)
{
    const std::string name = EscapeMarkup(channel.name);
    std::string document;
    AppendHead(document);
    document += "<logo> </logo>\r\n";
    document += "<item>\r\n";
    document += FormatString("<channel>%d - %s Recorded Video</channel>\r\n", 1, name.c_str());
    document += FormatString("<vod baseurl=\"http://@:%d/tml/pictures/\" hrefbase=\"xancp://@:%d/\">\r\n", http_port, vod_port);
    if (channel.rec_folder[0] != '\0') {
        if (RecordingFolderIsSafe(channel.rec_folder)) {
            document += ArchiveListing(std::string("tv_program_archive/") + channel.rec_folder, name, duration_minutes);
        } else {
            LogSystemMessage("TML: rec_folder [%s] of channel [%s] leaves tv_program_archive: not listed\n", channel.rec_folder,
                             channel.name);
        }
    }
    document += "</vod>\r\n";
    document += "</item>\r\n";
    document += "</tml>\r\n";
    return document;
}

void WriteMenuDocuments()
{
    ScopedLock held(g_menu_lock);
    LogSystemMessage("Start to Create TML...\n");
    const std::shared_ptr<ChannelTable> table = CurrentChannels();
    const int http_port = std::atoi(g_config.httpport);
    const int duration  = g_config.tv_on_demand_record_duration;
    const std::string main_document = MainMenuDocument(*table, http_port);
    // The main document waits in its temporary file until every channel document is written.
    if (!WriteFileDurably(kMainTemp, main_document)) {
        unlink(kMainTemp);
        LogSystemMessage(" TML_Definition_FileName_temp file Failed");
        return;
    }
    for (const auto& channel : table->channels) {
        if (!MenuFileNameAllowed(channel->name)) {
            LogSystemMessage("TML: channel name [%s] cannot name a file in tml: no recorded video document\n", channel->name);
            continue;
        }
        const std::string path = std::string("tml/") + channel->name + ".xml";
        const std::string document = ChannelMenuDocument(*channel, http_port, g_config.vod_base_port, duration);
        if (ReplaceFileSafely(path.c_str(), (path + ".temp").c_str(), (path + ".backup").c_str(), document) == 0) {
            LogSystemMessage(" TML File [%s] Failed\n", path.c_str());
            return;
        }
    }
    if (ReplaceFileSafely(kMainDocument, kMainTemp, kMainBackup, main_document) == 0 && access(kMainTemp, F_OK) != 0)
        LogSystemMessage(" TML_Definition_FileName_temp file Failed");
    LogSystemMessage("End to Create TML...\n");
}

int32_t TML_Refresh_Process(void* /*unused*/)
{
    {
        LogSystemMessage("TML_Refresh_Process wake_up ...\n");
        const int32_t period = g_config.tv_on_demand_record_duration * 60 / 3;
        int32_t counter = period;
        while (g_http_stop_state.load() == 0) {
            if (!SleepUnlessStopping(3000)) break;
            if (counter <= 1) {
                WriteMenuDocuments();
                counter = period;
            } else {
                --counter;
            }
        }
        LogSystemMessage("TML_Refresh_Process leaves ...\n");
    }
    EndThread();
}
