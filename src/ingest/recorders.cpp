#include "ingest/recorders.h"

#include "core/config.h"

void StartRecorders(ChannelRecord& channel, const std::shared_ptr<RealBuffer>& buffer, bool tv_on_demand_allowed,
                    std::vector<ThreadRecord*>& started)
{
    // The recorder threads themselves are not built yet: the rule is decided here so that the
    // inputs call it at the right moment.
    const bool time_shift = g_config.iptv_time_shift_record_duration > 10;
    const bool on_demand  = tv_on_demand_allowed && channel.rec_folder[0] != '\0' && g_config.tv_on_demand_record_duration > 0;
    (void)buffer;
    (void)time_shift;
    (void)on_demand;
    (void)started;
}

void StopRecorders(std::vector<ThreadRecord*>& started)
{
    for (ThreadRecord* record : started) StopThread(record);
    started.clear();
}
