// What the page writes comes out of the transcoder as configured: channel
// documents started through channel control on the stand-in transcoder and
// the machine's ffmpeg, each output read back by ffprobe. The table holds
// the options that stock ffmpeg reads otherwise (single-quoted values,
// frame rates above the source's, the time-stamp overlay, the alternate
// input, the mux rate of MPEG-TS over RTP) and the texts the page puts
// between quotes (a program's name and provider, the overlay text, the
// logo's file name) with the characters that need escaping; the tests below
// it need more than a clip: an SRT target in its default mode, a stop while a
// UDP input is silent, and an SDP input.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/channel_docs.h"
#include "fixtures/engine_fixture.h"
#include "fixtures/media_probe.h"
#include "fixtures/proc_helpers.h"
#include "fixtures/stand_in_channels.h"
#include "tovu.h"
#include "tovu_channel.h"
#include "tovu_config.h"

namespace {

using mediaprobe::Probe;
using testproc::run;
using tovutest::read_file;
using Clock = std::chrono::steady_clock;

// the seconds of media a channel streams before it is stopped and its output read
constexpr int kStreamSecs = 8;
// the longest a stop may take while the channel's network input is silent:
// the input's read time-out, then ffmpeg's orderly end on a loaded machine
constexpr int kSilentStopSecs = 8;

const char kTestPicture[] = "testsrc2=size=320x240:rate=25";

// A sender of test media, ended with its test (and with the test program).
class Sender {
public:
    Sender(const std::string &ffmpegArgs, const std::string &logFile)
    {
        const std::string cmd = "exec ffmpeg -nostdin -v error " + ffmpegArgs;
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent)
                _exit(1);
            int out = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int in = open("/dev/null", O_RDONLY);
            if (out >= 0 && in >= 0) {
                dup2(in, 0);
                dup2(out, 1);
                dup2(out, 2);
            }
            execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    ~Sender() { stop(); }
    Sender(const Sender &) = delete;
    Sender &operator=(const Sender &) = delete;
    bool started() const { return pid_ > 0; }
    // the sender falls silent at once, as a network source that fails
    void stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
};

// The datagrams sent to a loopback UDP port, written to a file as they
// come (the transport stream as the output sent it, programs and all; of
// RTP packets, their payload), with the bytes that came in each second.
class UdpCapture {
public:
    UdpCapture(int port, const std::string &file, bool rtp = false) : file_(file), rtp_(rtp)
    {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons((uint16_t)port);
        struct timeval tv = {0, 200 * 1000};
        int big = 4 << 20;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
            return;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        reader_ = std::thread([this] {
            std::ofstream out(file_, std::ios::binary);
            char buf[65536];
            Clock::time_point first;
            while (!done_) {
                ssize_t n = recv(fd_, buf, sizeof buf, 0);
                if (n <= 0)
                    continue;
                const auto now = Clock::now();
                if (perSecond_.empty())
                    first = now;
                size_t second = (size_t)std::chrono::duration_cast<std::chrono::seconds>(now - first).count();
                if (perSecond_.size() <= second)
                    perSecond_.resize(second + 1);
                perSecond_[second] += (size_t)n;
                // an RTP header: 12 bytes and 4 per contributing source
                size_t skip = rtp_ && n >= 12 ? 12 + 4 * (size_t)(buf[0] & 0x0f) : 0;
                if ((ssize_t)skip < n)
                    out.write(buf + skip, n - (ssize_t)skip);
            }
        });
    }
    ~UdpCapture() { stop(); }
    void stop()
    {
        done_ = true;
        if (reader_.joinable())
            reader_.join();
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    bool listening() const { return reader_.joinable(); }
    // the bytes of each second from the first datagram on (after stop())
    const std::vector<size_t> &perSecond() const { return perSecond_; }

private:
    std::string file_;
    bool rtp_;
    int fd_ = -1;
    std::atomic<bool> done_{false};
    std::thread reader_;
    std::vector<size_t> perSecond_;
};

// The pixels above mid-grey in one frame's rectangle (ffmpeg's crop
// "w:h:x:y"), in the frame at about two seconds.
int brightPixels(const std::string &media, const std::string &crop, const std::string &scratch)
{
    run("ffmpeg -nostdin -v error -i '" + media + "' -vf 'select=gte(n\\,50),crop=" + crop +
        ",format=gray' -frames:v 1 -f rawvideo -y '" + scratch + "' 2>&1");
    int n = 0;
    for (unsigned char c : read_file(scratch))
        n += c > 128;
    return n;
}

// The overlay's corner in grey: where the page's overlay rows draw their
// text (at the bottom right, 10 and 20 pixels in).
const char kTextCorner[] = "200:40:iw-200:ih-50";
const char kOverlayAt[] = "fontsize=16:fontcolor=#00ffff:x=w-tw-10:y=h-th-20";

std::string greyRect(const std::string &media, const std::string &crop, const std::string &scratch)
{
    run("ffmpeg -nostdin -v error -i '" + media + "' -vf 'select=gte(n\\,50),crop=" + crop +
        ",format=gray' -frames:v 1 -f rawvideo -y '" + scratch + "' 2>&1");
    return read_file(scratch);
}

// The same corner of the picture that ffmpeg draws itself from the text
// given in a file (read as it is: no expansion, no escaping).
std::string referenceText(const std::string &text, const std::string &dir)
{
    const std::string file = dir + "/reference.txt", picture = dir + "/reference.gray";
    tovutest::write_file(file, text);
    run("ffmpeg -nostdin -v error -f lavfi -i color=c=black:size=320x240:rate=25 -vf \"drawtext=textfile='" + file +
        "':expansion=none:" + kOverlayAt + ",crop=" + kTextCorner + ",format=gray\" -frames:v 1 -f rawvideo -y '" +
        picture + "' 2>&1");
    return read_file(picture);
}

// the pixels bright in one picture and dark in the other
int differingPixels(const std::string &a, const std::string &b)
{
    if (a.size() != b.size() || a.empty())
        return -1;
    int n = 0;
    for (size_t k = 0; k < a.size(); k++)
        n += ((unsigned char)a[k] > 128) != ((unsigned char)b[k] > 128);
    return n;
}

// a text as a JSON string
std::string json(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

int occurrences(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// ---------------------------------------------------------------- the fixture

template <class Base = ::testing::Test>
class TranscoderE2E : public StandInChannels<Base> {
protected:
    TranscoderE2E() : StandInChannels<Base>("tovu_transcoder_e2e", 1, 1) {}

    std::string log() const { return read_file(this->path("tovu_001.log")); }

    // a clip longer than the run (no loop inside it): the picture of the
    // lavfi source given, a stereo tone
    std::string makeClip(const std::string &name, const std::string &picture)
    {
        std::string file = this->path(name);
        std::string out = run("ffmpeg -nostdin -v error -f lavfi -i " + picture +
                              " -f lavfi -i sine=frequency=440:sample_rate=48000 -t " +
                              std::to_string(kStreamSecs + 12) +
                              " -c:v libx264 -preset ultrafast -g 25 -c:a aac -ac 2 -shortest -y '" + file +
                              "' 2>&1");
        EXPECT_TRUE(tovutest::exists(file)) << out;
        return file;
    }

    // the recording of a "file" target named name (the start puts the time
    // in its name, before the extension)
    std::string recording(const std::string &name) const
    {
        size_t dot = name.rfind('.');
        std::string stem = name.substr(0, dot), ext = name.substr(dot);
        for (const auto &e : std::filesystem::directory_iterator(this->dir)) {
            std::string n = e.path().filename().string();
            if (n.compare(0, stem.size(), stem) == 0 && n.size() > stem.size() + ext.size() &&
                n.compare(n.size() - ext.size(), ext.size(), ext) == 0)
                return e.path().string();
        }
        return std::string();
    }

    // channel 1 runs for the seconds of media (the engine polled meanwhile)
    // and is stopped; it must have run throughout
    void streamAndStop(int secs)
    {
        ASSERT_EQ(tovuStartChannel(0), 0) << log();
        auto t0 = Clock::now();
        tovutest::pollUntil([&] {
            // media time, which a loaded machine makes slower than the clock
            return tovu_get_state(0) != TOVU_STATE_RUNNING || tovu_get_stream_time(0) >= secs ||
                   Clock::now() - t0 >= std::chrono::seconds(4 * secs);
        }, 6000 * secs, 20);
        EXPECT_EQ(tovu_get_state(0), TOVU_STATE_RUNNING) << "the channel ended by itself\n" << log();
        tovuStopChannel(0, 0);
        EXPECT_TRUE(tovutest::pollUntil([] { return tovuGetChannelState(0) == TOVU_STATE_IDLE; }, 20000, 20)) << log();
    }
};

// ---------------------------------------------------------------- the table

// One channel: a clip, one target (a "file" recording "rec.ts" or a UDP
// output), and what its output must show; each expectation applies when set.
struct Row {
    const char *name;
    const char *picture;       // the clip's lavfi picture source
    const char *format;        // the target's format: "file" or "udp"
    std::string video;         // members of the target's "video" after its codec
    std::string input;         // members of the channel's "input" after its sources
    std::string output;        // members of the channel's "output" after its targets
    std::string global;        // global members; "@alt" stands for an alternate clip
    bool liveSource;           // the clip as a file:// address read at its own rate: a live source
    // expectations
    const char *frameRate;     // r_frame_rate, with as many frames a second
    double framesPerSecond;
    int program;               // the one program's number, name and provider
    const char *programName, *provider;
    bool overlay;              // text drawn at the bottom right of a black picture
    int width, height;         // the picture's size
    const char *logsOnce;      // a line the channel log holds exactly once
    const char *drawnText = nullptr; // the overlay text, drawn as ffmpeg draws it from a file
    const char *logo = nullptr;      // the logo's file name ("@logo" in the input): a white square at the top left
    std::string targetExtra = "";    // members of the target after its audio
    int muxKbps = 0;                 // the stream's rate, held every second
};

void PrintTo(const Row &row, std::ostream *os)
{
    *os << row.name;
}

std::vector<Row> rows()
{
    const std::string overlay = "\"filters\":[\"drawtext=fontsize=16:fontcolor=#00ffff:x=w-tw-10:y=h-th-20\"]";
    const char *noFailover = "the switch to the alternate input is not available";
    const char *black = "color=c=black:size=320x240:rate=25";
    // texts as typed, with an apostrophe, a percent sign, a backslash, '=' and a double quote
    const char *title = R"(Bob's "5%" C:\a=1)", *provider = R"(Bob's "5%" C:\b=2)";
    const char *overlayText = R"(Bob's "5%" C:\a=1)";
    const char *logo = R"(Bob's 50% logo, C:1 "x" [a];b.png)";
    return {
        // ... as the page writes them: a title in ffmpeg's own quoting, the
        // provider in the argument string's, the overlay text escaped for
        // drawtext as well, the logo's file name in ffmpeg's quoting
        {"ProgramNameAndProviderAsTyped", kTestPicture, "udp", "", "",
         "\"formatOptions\":[" + json(R"(-program program_num=1:title='Bob'\''s "5%" C:\a=1':if=0)") + "," +
             json(R"(-metadata service_provider='Bob'"'"'s "5%" C:\b=2')") + "]",
         "", false, nullptr, 0, 1, title, provider, false, 0, 0, nullptr},
        {"OverlayTextAsTyped", black, "file", "",
         "\"filters\":[" + json(std::string(R"(drawtext=text='Bob'\''s "5\%" C:\\a=1':)") + kOverlayAt) + "]", "", "",
         false, nullptr, 0, 0, nullptr, nullptr, false, 0, 0, nullptr, overlayText},
        {"LogoFileNameAsTyped", black, "file", "",
         "\"filters\":[" + json(R"(movie='@dir/Bob'\''s 50% logo, C:1 "x" [a];b.png', setpts=N/TB/FR[logo]; [0][logo]overlay=0:0)") + "]",
         "", "", false, nullptr, 0, 0, nullptr, nullptr, false, 0, 0, nullptr, nullptr, logo},
        // MPEG-TS over RTP at a constant mux rate ("CBR" ticked)
        {"RtpTransportStreamAtItsMuxRate", kTestPicture, "rtpts", ",\"bitRate\":600", "", "", "", false, nullptr, 0,
         0, nullptr, nullptr, false, 0, 0, nullptr, nullptr, nullptr, ",\"mux\":{\"bitRate\":1500,\"cbr\":true}", 1500},

        // the MPEG-TS Output tab's provider and program, single-quoted, with blanks and without
        {"QuotedProviderAndProgramTitleWithBlanks", kTestPicture, "udp", "", "",
         "\"formatOptions\":[\"-program program_num=1:title='News 24':if=0\","
         "\"-metadata service_provider='ACME TV'\"]",
         "", false, nullptr, 0, 1, "News 24", "ACME TV", false, 0, 0, nullptr},
        {"QuotedProviderAndProgramTitle", kTestPicture, "udp", "", "",
         "\"formatOptions\":[\"-program program_num=7:title='Program01':if=0\","
         "\"-metadata service_provider='ACME'\"]",
         "", false, nullptr, 0, 7, "Program01", "ACME", false, 0, 0, nullptr},
        // frame rates above the 25 of the source
        {"FiftyFramesFromTwentyFive", kTestPicture, "file", ",\"frameRate\":50", "", "", "", false, "50/1", 50,
         0, nullptr, nullptr, false, 0, 0, nullptr},
        {"NtscFromTwentyFive", kTestPicture, "file", ",\"frameRate\":29.97", "", "", "", false, "30000/1001",
         29.97, 0, nullptr, nullptr, false, 0, 0, nullptr},
        // the Overlay tab's text left at "%timestamp": no text in the filter
        {"TimestampOverlay", "color=c=black:size=320x240:rate=25", "file", "", overlay, "", "", false, nullptr, 0,
         0, nullptr, nullptr, true, 0, 0, nullptr},
        // an alternate input set: the main input runs (its 320x240, not the
        // bars or the alternate clip's 160x120), and the log says why alone
        {"DefaultAlternateInput", kTestPicture, "file", "", "", "", "\"altInput\":\"default\"", true, nullptr, 0,
         0, nullptr, nullptr, false, 320, 240, noFailover},
        {"AlternateInputFile", kTestPicture, "file", "", "", "", "\"altInput\":\"@alt\"", true, nullptr, 0, 0,
         nullptr, nullptr, false, 320, 240, noFailover},
    };
}

class TranscoderRows : public TranscoderE2E<::testing::TestWithParam<Row>> {};

TEST_P(TranscoderRows, OutputAsConfigured)
{
    const Row &row = GetParam();
    std::string clip = makeClip("clip.mp4", row.picture);
    std::string global = "\"autoRestart\":1";
    if (!row.global.empty()) {
        std::string g = row.global;
        size_t at = g.find("@alt");
        if (at != std::string::npos)
            g.replace(at, 4, makeClip("alt.mp4", "testsrc=size=160x120:rate=25"));
        global += "," + g;
    }

    std::string url = path("rec.ts"), media;
    std::unique_ptr<UdpCapture> capture;
    const bool rtp = std::string(row.format) == "rtpts";
    if (std::string(row.format) == "udp" || rtp) {
        int port = testproc::free_loopback_port(SOCK_DGRAM);
        ASSERT_GT(port, 0);
        media = path("udp.ts");
        capture = std::make_unique<UdpCapture>(port, media, rtp);
        ASSERT_TRUE(capture->listening());
        url = (rtp ? "rtp://127.0.0.1:" : "udp://127.0.0.1:") + std::to_string(port) + (rtp ? "" : "?pkt_size=1316");
    }
    std::string input = row.input;
    if (row.logo) {
        ASSERT_EQ(run("ffmpeg -nostdin -v error -f lavfi -i color=c=white:size=40x40 -frames:v 1 -y '" +
                      path("logo.png") + "' 2>&1"), "");
        std::filesystem::rename(path("logo.png"), path(row.logo));
        input.replace(input.find("@dir"), 4, dir);
    }
    std::string source = row.liveSource ? chantest::src("file", "file://" + clip) : chantest::src("file", clip);
    if (row.liveSource)
        input += std::string(input.empty() ? "" : ",") + "\"customOptions\":\"-re\"";
    std::string target = chantest::tgtAV(row.format, url, row.video);
    target.insert(target.size() - 1, row.targetExtra);
    std::string doc = chantest::doc(global, chantest::chan(source, target,
                                                           input.empty() ? "" : "," + input,
                                                           row.output.empty() ? "" : "," + row.output));
    ASSERT_NE(tovuSetConfig(doc.c_str()), nullptr) << doc;

    streamAndStop(kStreamSecs);
    std::vector<size_t> perSecond;
    if (capture) {
        capture->stop();
        perSecond = capture->perSecond();
    }
    capture.reset();
    if (media.empty())
        media = recording("rec.ts");
    ASSERT_FALSE(media.empty()) << "no recording\n" << log();
    SCOPED_TRACE(log());
    Probe p = mediaprobe::probe(media);
    printf("%s: %s\n", row.name, mediaprobe::describe(p).c_str());
    SCOPED_TRACE(mediaprobe::describe(p));

    const mediaprobe::Stream *v = p.first("video"), *a = p.first("audio");
    ASSERT_NE(v, nullptr);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(v->codec, "h264");
    EXPECT_EQ(a->codec, "aac");
    EXPECT_GE(v->seconds(), kStreamSecs - 3);
    if (row.frameRate) {
        EXPECT_EQ(v->frameRate, row.frameRate);
        EXPECT_NEAR(v->packetRate(), row.framesPerSecond, row.framesPerSecond * 0.03) << "frames a second";
    }
    if (row.program) {
        ASSERT_EQ(p.programs.size(), 1u);
        EXPECT_EQ(p.programs[0].number, row.program);
        EXPECT_EQ(p.programs[0].name, row.programName);
        EXPECT_EQ(p.programs[0].provider, row.provider);
        EXPECT_EQ(p.programs[0].streams.size(), 2u);
    }
    if (row.overlay) {
        // cyan text on black where the filter places it, nothing elsewhere
        EXPECT_GT(brightPixels(media, "200:40:iw-200:ih-50", path("corner.gray")), 100);
        EXPECT_EQ(brightPixels(media, "200:40:0:0", path("corner.gray")), 0);
    }
    if (row.width) {
        EXPECT_EQ(v->width, row.width);
        EXPECT_EQ(v->height, row.height);
        EXPECT_EQ(a->channels, 2);
        EXPECT_EQ(a->sampleRate, 48000);
    }
    if (row.logsOnce) {
        EXPECT_EQ(occurrences(log(), row.logsOnce), 1);
    }
    if (row.drawnText) {
        // the text as ffmpeg draws it from a file, and not the text one character short
        const std::string drawn = greyRect(media, kTextCorner, path("corner.gray"));
        const int right = differingPixels(drawn, referenceText(row.drawnText, dir));
        std::string shorter = row.drawnText;
        shorter.erase(shorter.find('\\'), 1);
        const int wrong = differingPixels(drawn, referenceText(shorter, dir));
        printf("%s: %d pixels differ from the text drawn from a file, %d from the text without its backslash\n",
               row.name, right, wrong);
        EXPECT_GT(brightPixels(media, kTextCorner, path("corner.gray")), 100);
        EXPECT_GE(right, 0);
        EXPECT_LT(right * 4, wrong);
    }
    if (row.logo) {
        EXPECT_GT(brightPixels(media, "40:40:0:0", path("corner.gray")), 1500);
        EXPECT_EQ(brightPixels(media, "200:100:iw-200:ih-100", path("corner.gray")), 0);
    }
    if (row.muxKbps) {
        // every whole second of the stream, the first and the last left out
        ASSERT_GE(perSecond.size(), 5u);
        std::string shown;
        for (size_t k = 1; k + 1 < perSecond.size(); k++) {
            const double kbps = perSecond[k] * 8 / 1000.0;
            shown += " " + std::to_string((int)kbps);
            EXPECT_NEAR(kbps, row.muxKbps, row.muxKbps * 0.25) << "second " << k;
        }
        printf("%s: kbit/s each second:%s\n", row.name, shown.c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, TranscoderRows, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- beyond a clip

using TranscoderE2ETest = TranscoderE2E<>;

// An SRT target left in its default mode ("Listener": the page writes no
// mode) waits for a caller, which then receives the stream.
TEST_F(TranscoderE2ETest, SrtTargetInItsDefaultModeListens)
{
    std::string clip = makeClip("clip.mp4", kTestPicture);
    int port = testproc::free_loopback_port(SOCK_DGRAM);
    ASSERT_GT(port, 0);
    std::string doc = chantest::doc("\"autoRestart\":1",
                                    chantest::chan(chantest::src("file", clip),
                                                   chantest::tgt("srt", "srt://0.0.0.0:" + std::to_string(port))));
    ASSERT_NE(tovuSetConfig(doc.c_str()), nullptr);

    // a caller, trying until the output listens
    const std::string received = path("caller.ts");
    std::atomic<bool> done{false};
    std::thread caller([&] {
        tovutest::waitUntil([&] {
            if (mediaprobe::probe(received).streams.size() >= 2)
                return true;
            run("timeout 40 ffmpeg -nostdin -v error -i 'srt://127.0.0.1:" + std::to_string(port) +
                "?mode=caller' -map 0 -c copy -t " + std::to_string(kStreamSecs - 2) + " -f mpegts -y '" +
                received + "' 2>&1");
            return false;
        }, 60000, tovutest::nothingBetween, 300);
        done = true;
    });
    ASSERT_EQ(tovuStartChannel(0), 0) << log();
    tovutest::pollUntil([&] { return done.load(); }, 90000, 20);
    // (ffmpeg serves one caller: the output ends when it hangs up)
    tovuStopChannel(0, 0);
    tovutest::pollUntil([] { return tovuGetChannelState(0) == TOVU_STATE_IDLE; }, 20000, 20);
    caller.join();
    SCOPED_TRACE(log());
    EXPECT_EQ(log().find("Connection to srt://"), std::string::npos) << "the output called out";

    Probe p = mediaprobe::probe(received);
    printf("SrtTargetInItsDefaultModeListens: %s\n", mediaprobe::describe(p).c_str());
    ASSERT_NE(p.first("video"), nullptr) << mediaprobe::describe(p);
    EXPECT_EQ(p.first("video")->codec, "h264");
    ASSERT_NE(p.first("audio"), nullptr) << mediaprobe::describe(p);
    EXPECT_GE(p.first("video")->seconds(), kStreamSecs - 4) << mediaprobe::describe(p);
}

// A stop while the UDP input has fallen silent ends the channel within
// seconds, and ffmpeg finishes its output in good order (no second
// interrupt, no kill by the hang check).
TEST_F(TranscoderE2ETest, StopWhileTheUdpInputIsSilent)
{
    int port = testproc::free_loopback_port(SOCK_DGRAM);
    ASSERT_GT(port, 0);
    const std::string input = "udp://127.0.0.1:" + std::to_string(port);
    Sender sender(std::string("-re -f lavfi -i ") + kTestPicture +
                      " -f lavfi -i sine=sample_rate=48000 -t 120 -c:v libx264 -preset ultrafast -g 25 -c:a aac "
                      "-f mpegts '" + input + "?pkt_size=1316'",
                  path("sender.log"));
    ASSERT_TRUE(sender.started());
    std::string doc = chantest::doc(
        "\"autoRestart\":1", chantest::chan(chantest::src("udp", input), chantest::tgt("file", path("rec.ts"))));
    ASSERT_NE(tovuSetConfig(doc.c_str()), nullptr);

    ASSERT_EQ(tovuStartChannel(0), 0) << log();
    tovutest::pollUntil([] { return tovu_get_state(0) != TOVU_STATE_RUNNING || tovu_get_stream_time(0) >= 4; }, 90000, 20);
    ASSERT_EQ(tovu_get_state(0), TOVU_STATE_RUNNING) << log() << read_file(path("sender.log"));

    sender.stop();
    tovutest::pollUntil([] { return false; }, 1000, 20); // the input silent for a moment
    tovuStopChannel(0, 0);
    auto t0 = Clock::now();
    EXPECT_TRUE(tovutest::pollUntil([] { return tovuGetChannelState(0) == TOVU_STATE_IDLE; }, 40000, 20)) << log();
    double took = std::chrono::duration<double>(Clock::now() - t0).count();
    printf("StopWhileTheUdpInputIsSilent: stopped in %.1f s\n", took);
    EXPECT_LT(took, kSilentStopSecs) << log();

    SCOPED_TRACE(log());
    EXPECT_EQ(log().find("Immediate exit requested"), std::string::npos);
    EXPECT_NE(log().find("muxing overhead"), std::string::npos) << "ffmpeg did not finish its output";
    std::string media = recording("rec.ts");
    ASSERT_FALSE(media.empty());
    Probe p = mediaprobe::probe(media);
    printf("StopWhileTheUdpInputIsSilent: %s\n", mediaprobe::describe(p).c_str());
    ASSERT_NE(p.first("video"), nullptr) << mediaprobe::describe(p);
    EXPECT_EQ(p.first("video")->codec, "h264");
    EXPECT_GE(p.first("video")->seconds(), 3) << mediaprobe::describe(p);
}

// A native RTP input: the engine writes the SDP file of the source's RTP
// session and hands it over; ffmpeg reads the stream it describes.
TEST_F(TranscoderE2ETest, SdpInputPlaysItsRtpStream)
{
    // an even port with the next one free too (RTP and RTCP)
    int port = -1;
    for (int k = 0; k < 50 && port < 0; k++) {
        int p = testproc::free_loopback_port(SOCK_DGRAM);
        if (p > 0 && p % 2 == 0 && p < 65534)
            port = p;
    }
    ASSERT_GT(port, 0);
    Sender sender(std::string("-re -f lavfi -i ") + kTestPicture +
                      " -t 120 -c:v libx264 -preset ultrafast -g 25 -f rtp -payload_type 96 'rtp://127.0.0.1:" +
                      std::to_string(port) + "'",
                  path("sender.log"));
    ASSERT_TRUE(sender.started());

    TOVU_SOURCE source{};
    source.format = TOVU_FORMAT_RTP;
    source.video.b_enable = 1;
    source.video.codec = TOVU_VIDEO_H264;
    source.video.rtp.ulSrcIP = inet_addr("127.0.0.1");
    source.video.rtp.usSrcPort = (uint16_t)port;
    std::string out = path("rtp.ts");
    TOVU_TARGET target{};
    target.format = TOVU_FORMAT_GENERAL;
    target.url = &out[0];
    target.video.b_enable = 1;
    target.video.codec = TOVU_VIDEO_H264;
    ASSERT_EQ(tovu_transcode2(0, &source, &target, 0), 0) << log();

    auto t0 = Clock::now();
    tovutest::pollUntil([&] {
        return tovu_get_state(0) != TOVU_STATE_RUNNING || tovu_get_stream_time(0) >= kStreamSecs ||
               Clock::now() - t0 >= std::chrono::seconds(4 * kStreamSecs);
    }, 6000 * kStreamSecs, 20);
    EXPECT_EQ(tovu_get_state(0), TOVU_STATE_RUNNING) << log();
    tovu_stop(0, 0);
    EXPECT_TRUE(tovutest::pollUntil([] { return tovu_get_state(0) == TOVU_STATE_IDLE; }, 20000, 20)) << log();

    SCOPED_TRACE(log());
    EXPECT_NE(read_file(path("tovu_001_in.sdp")).find("m=video " + std::to_string(port) + " RTP/AVP 96"),
              std::string::npos);
    Probe p = mediaprobe::probe(out);
    printf("SdpInputPlaysItsRtpStream: %s\n", mediaprobe::describe(p).c_str());
    ASSERT_NE(p.first("video"), nullptr) << mediaprobe::describe(p);
    EXPECT_EQ(p.first("video")->codec, "h264");
    EXPECT_EQ(p.first("video")->width, 320);
    EXPECT_GE(p.first("video")->seconds(), 5) << mediaprobe::describe(p);
}

} // namespace
