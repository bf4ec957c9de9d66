// The multicast output of the real server binary. Multicast loopback is off, so the server runs
// in a private network namespace of its own and the receivers (ffprobe, a datagram counter) in
// a second one, joined by a veth pair; nothing leaves the test's namespaces.

#include "support/process.h"
#include "support/test_server.h"

#include <atomic>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

// Two namespaces with a veth pair: "tx" 10.77.0.1 (the server), "rx" 10.77.0.2 (the players).
class PrivateNetworks {
public:
    PrivateNetworks()
    {
        static std::atomic<int> counter{0};
        const std::string tag = std::to_string(getpid()) + "-" + std::to_string(counter++);
        tx = "qv-mc-tx-" + tag;
        rx = "qv-mc-rx-" + tag;
        ready = std::system(("ip netns add " + tx + " && ip netns add " + rx + " && ip -n " + tx +
                             " link add qva type veth peer name qvb netns " + rx + " && ip -n " + tx +
                             " addr add 10.77.0.1/24 dev qva && ip -n " + rx + " addr add 10.77.0.2/24 dev qvb && ip -n " +
                             tx + " link set lo up && ip -n " + rx + " link set lo up && ip -n " + tx +
                             " link set qva up && ip -n " + rx + " link set qvb up && ip -n " + tx +
                             " route add 224.0.0.0/4 dev qva && ip -n " + rx + " route add 224.0.0.0/4 dev qvb")
                                .c_str()) == 0;
    }
    ~PrivateNetworks() { std::system(("ip netns del " + tx + " 2>/dev/null; ip netns del " + rx + " 2>/dev/null").c_str()); }
    std::vector<std::string> In(const std::string& netns) const { return {"/usr/sbin/ip", "netns", "exec", netns}; }
    std::string Shell(const std::string& netns, const std::string& command) const
    {
        return RunShell("ip netns exec " + netns + " " + command);
    }
    std::string tx, rx;
    bool        ready = false;
};

// What ffprobe in the receiving namespace decodes from a group on port 5000: the codec names
// (ffprobe lists the streams once more for their program).
std::string Probe(const PrivateNetworks& net, const std::string& group)
{
    return net.Shell(net.rx, "timeout 30 ffprobe -v error -show_entries stream=codec_name -of csv=p=0 'udp://" + group +
                                 ":5000?timeout=5000000' 2>/dev/null");
}

// "<datagrams> <malformed> <ttls>" for 200 datagrams of a group: malformed ones are not 1316
// bytes of seven packets.
std::string Datagrams(const PrivateNetworks& net, const std::string& group)
{
    const std::string script =
        "import socket, struct, sys\n"
        "g = sys.argv[1]\n"
        "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
        "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
        "s.bind((g, 5000))\n"
        "s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, struct.pack('4s4s', socket.inet_aton(g), socket.inet_aton('10.77.0.2')))\n"
        "s.setsockopt(socket.IPPROTO_IP, 12, 1)\n"
        "s.settimeout(5)\n"
        "n = bad = 0\n"
        "ttls = set()\n"
        "try:\n"
        "    while n < 200:\n"
        "        d, anc, _, _ = s.recvmsg(4096, 64)\n"
        "        n += 1\n"
        "        ttls.update(struct.unpack('i', c[2][:4])[0] for c in anc if c[1] == 2)\n"
        "        if len(d) != 1316 or any(d[i] != 0x47 for i in range(0, 1316, 188)): bad += 1\n"
        "except socket.timeout:\n"
        "    pass\n"
        "print(n, bad, ','.join(map(str, sorted(ttls))))\n";
    return net.Shell(net.rx, "/usr/bin/python3 -c \"" + script + "\" " + group + " 2>&1");
}

class Multicast : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!CanUseOwnNetwork()) GTEST_SKIP() << "no network namespaces here";
        for (const char* tool : {"ffmpeg", "ffprobe", "curl"})
            if (std::system((std::string("command -v ") + tool + " >/dev/null").c_str()) != 0) GTEST_SKIP() << tool << " missing";
        ASSERT_TRUE(net.ready);
        server.SetCommandPrefix(net.In(net.tx));
        RunShell("cd '" + server.Dir().Path() + "' && ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=320x240:rate=25 "
                 "-f lavfi -i sine -t 10 -c:v libx264 -preset veryfast -g 25 -c:a aac -f mpegts clip.ts");
        ASSERT_TRUE(server.Dir().Exists("clip.ts"));
    }
    // ffmpeg in the server's namespace, looping the clip to `output`.
    void Feed(ChildProgram& feed, const std::string& output)
    {
        std::vector<std::string> command = net.In(net.tx);
        command.insert(command.end(), {"/bin/sh", "-c", "exec ffmpeg -nostdin -v error -re -stream_loop -1 -i clip.ts -c copy " + output});
        ASSERT_TRUE(feed.Start(command, server.Dir().Path()));
    }
    std::string Log() { return server.Dir().ReadFile("system.log"); }
    PrivateNetworks net;                     // destroyed last: the processes end first
    TestServer      server;
    ChildProgram    udp_feed, rtp_feed, http_feed, dvb_feed;
};

TEST_F(Multicast, LiveRtpPulledFolderAndDvbChannelsReachTheirGroupsAsWholeDatagramsThroughSendErrorsAndARefresh)
{
    Feed(udp_feed, "-f mpegts 'udp://127.0.0.1:7001?pkt_size=1316'");
    Feed(rtp_feed, "-f rtp_mpegts rtp://127.0.0.1:7002");
    Feed(http_feed, "-f mpegts -listen 1 http://127.0.0.1:7003/live.ts");
    // A multiplex of two programs: channels 5 (program 101) and 6 (program 102, MPEG-2 video alone).
    std::vector<std::string> dvb = net.In(net.tx);
    dvb.insert(dvb.end(), {"/bin/sh", "-c", "exec ffmpeg -nostdin -v error -re -stream_loop -1 -i clip.ts -re -f lavfi "
                           "-i testsrc=size=320x240:rate=25 -map 0 -map 1 -c:0 copy -c:1 copy -c:2 mpeg2video -g 12 "
                           "-program program_num=101:st=0:st=1 -program program_num=102:st=2 "
                           "-f mpegts 'udp://127.0.0.1:7004?pkt_size=1316'"});
    ASSERT_TRUE(dvb_feed.Start(dvb, server.Dir().Path()));
    server.Dir().WriteFile("user_profile.csv", "root,rootpw,12/31/2099,free,0\r\n");
    server.Dir().WriteFile("channel_definition.xml", "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n"
                                                     "<ch src=\"udp://:7001\">Live</ch>\r\n"
                                                     "<ch src=\"rtp://:7002\">Rtp</ch>\r\n"
                                                     "<ch src=\"http://127.0.0.1:7003/live.ts\">Pull</ch>\r\n"
                                                     "<ch src=\"dir://media/loop\">Loop</ch>\r\n"
                                                     "<ch src=\"dvb://:7004,2\">Dvb</ch>\r\n"
                                                     "<ch src=\"\">Dvb 2</ch>\r\n");
    server.Dir().MakeDir("media/loop");
    RunShell("cp '" + server.Dir().PathOf("clip.ts") + "' '" + server.Dir().PathOf("media/loop/a.ts") + "'");
    ASSERT_EQ(MakeMp4Clip(server.Dir().PathOf("media/loop/b.mp4"), "smptebars", 3), "");   // remuxed as it plays
    std::this_thread::sleep_for(std::chrono::milliseconds(500));     // ffmpeg's HTTP server listens
    ASSERT_TRUE(server.Start("igmpip=239.1.1.250\r\nigmpport=5000\r\nigmpttl=3\r\nigmpinterface=qva\r\n"))
        << server.Process().Stderr().substr(0, 3000);
    ASSERT_TRUE(server.WaitForLog("System Message : [6] Multicast Server Starting\n")) << Log();

    EXPECT_TRUE(Probe(net, "239.1.1.250").starts_with("h264\naac\n"));
    EXPECT_EQ(Datagrams(net, "239.1.1.251"), "200 0 3\n");              // RTP headers gone, TTL configured
    EXPECT_EQ(Datagrams(net, "239.1.1.252"), "200 0 3\n");              // a byte stream re-aligned
    EXPECT_TRUE(Probe(net, "239.1.1.252").starts_with("h264\naac\n"));
    EXPECT_TRUE(Probe(net, "239.1.1.253").starts_with("h264\naac\n"));  // the folder channel
    EXPECT_EQ(Datagrams(net, "239.1.1.253"), "200 0 3\n");
    ASSERT_TRUE(server.WaitForLog("Finished filled the PMT Table\n", 20000));
    EXPECT_EQ(Datagrams(net, "239.1.1.255"), "200 0 3\n");              // a DVB program, filtered
    const std::string program = Probe(net, "239.1.1.255");
    EXPECT_NE(program.find("mpeg2video"), std::string::npos) << program;
    EXPECT_EQ(program.find("h264"), std::string::npos) << "program 101 came along: " << program;

    // The configured interface needs no route; without the interface nothing can be sent, and
    // sending resumes once it is back.
    RunShell("ip -n " + net.tx + " route del 224.0.0.0/4 dev qva");
    EXPECT_EQ(Datagrams(net, "239.1.1.250"), "200 0 3\n");
    RunShell("ip -n " + net.tx + " link set qva down");
    EXPECT_TRUE(server.WaitForLog("IPTV_IGMPDataThread 5: errorno is ["));
    RunShell("ip -n " + net.tx + " link set qva up");
    EXPECT_TRUE(server.WaitForLog("IPTV_IGMPDataThread sends again\n"));
    EXPECT_TRUE(Probe(net, "239.1.1.250").starts_with("h264\naac\n"));

    // After a refresh the channels are multicast from the new rings.
    const std::string base = "curl -s -m 10 'http://127.0.0.1:" + std::to_string(server.Port());
    const std::string token = net.Shell(net.tx, base + "/token/createtoken?userid=root&password=rootpw' | sed -n 's/^token=//p' | tr -d '\\r\\n'");
    ASSERT_EQ(token.size(), 18u) << token;
    net.Shell(net.tx, base + "/quorvane/refresh_channel?token=" + token + "'");
    ASSERT_TRUE(server.WaitForLog("Multicast Server: restart the channels after a channel refresh\n"));
    EXPECT_TRUE(Probe(net, "239.1.1.250").starts_with("h264\naac\n"));
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_NE(Log().find("Multicast OUT: Multicast Server Closed\n"), std::string::npos);
    // The folder's files, a transport stream and an MP4 file, have each been played to their end.
    EXPECT_NE(Log().find("IPTV_IGMPDataThread Close (CH no.[4], filename=[media/loop/a.ts])\nj=[1]\n"), std::string::npos);
    EXPECT_NE(Log().find("IPTV_IGMPDataThread Close (CH no.[4], filename=[media/loop/b.mp4])\nj=[0]\n"), std::string::npos);
}

TEST(MulticastOff, ZeroZeroZeroZeroStartsNothingAndAGroupOrPortThatCannotBeMeantTurnsItOff)
{
    TestServer off;
    ASSERT_TRUE(off.Start());                                     // igmpip=0.0.0.0
    EXPECT_EQ(off.Stop(), 0);
    EXPECT_EQ(off.Dir().ReadFile("system.log").find("Multicast"), std::string::npos);

    TestServer bad_group;
    ASSERT_TRUE(bad_group.Start("igmpip=239.1.1\r\nigmpport=5000\r\n"));
    EXPECT_TRUE(bad_group.WaitForLog("Multicast output off: igmpip [239.1.1] is not a multicast group address\n"));
    EXPECT_EQ(bad_group.Stop(), 0);

    TestServer no_port;
    ASSERT_TRUE(no_port.Start("igmpip=239.1.1.250\r\n"));
    EXPECT_TRUE(no_port.WaitForLog("Multicast output off: igmpport [] is not a port number\n"));
    EXPECT_EQ(no_port.Stop(), 0);
}

}  // namespace
