#pragma once
// The channel reader process of a test process, over the channels of a temporary working
// folder: the data threads fill the rings of the loaded table, which the test reads directly.

#include "channels/channel_table.h"
#include "core/config.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "ingest/channel_reader.h"
#include "support/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <string>

// Loads channels, starts and stops the reader process, and waits for slots.
class ReaderFixture : public ::testing::Test {
protected:
    void SetUp() override { ResetConfiguration(); }
    void TearDown() override
    {
        StopReader();
        FreeChannelTable();
    }
    void LoadChannels(const std::string& file, const std::string& text)
    {
        dir.WriteFile(file, text);
        ASSERT_EQ(LoadChannelTable(false), 1);
    }
    void StartReader()
    {
        g_channel_reader_stop.store(0);
        g_channel_reader_start_failed.store(0);
        g_reader_stop_gate.Close();
        reader = StartThread(IPTV_Channel_ReaderProcess, nullptr, "reader");
        ASSERT_NE(reader, nullptr);
        g_startup_sema.Wait();
    }
    void StopReader()
    {
        if (reader == nullptr) return;
        g_channel_reader_stop.store(1);
        g_reader_stop_gate.Open();
        StopThread(reader);
        reader = nullptr;
    }
    ChannelRecord& Channel(int index) { return *CurrentChannels()->channels[static_cast<std::size_t>(index)]; }
    // Waits until the channel's ring holds `slots` writes.
    bool WaitForSlots(int index, int slots, int timeout_ms = 20000)
    {
        const uint64_t deadline = GetTickMs() + static_cast<uint64_t>(timeout_ms);
        while (GetTickMs() < deadline) {
            ChannelRecord& channel = Channel(index);
            if (channel.time_index.load() > 0 || channel.input_index.load() >= slots) return true;
            SleepMs(20);
        }
        return false;
    }
    // ffmpeg sending a few seconds of a generated clip to url.
    void Send(const std::string& output_options, const std::string& url, int seconds = 6)
    {
        ASSERT_TRUE(sender.Start({"/bin/sh", "-c",
                                  "exec ffmpeg -nostdin -v error -re -f lavfi -i testsrc2=size=160x120:rate=25 -t " +
                                      std::to_string(seconds) + " -c:v libx264 -preset ultrafast -b:v 400k " +
                                      output_options + " '" + url + "'"},
                                 dir.Path()));
    }
    TempWorkDir   dir;
    ThreadRecord* reader = nullptr;
    ChildProgram  sender;
};
