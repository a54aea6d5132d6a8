// The stand-in transcoder: reading the argument string, adapting it for stock
// ffmpeg, and whole runs on ffmpeg's test sources.
#include "fixtures/proc_helpers.h"
#include "stand_in_args.h"
#include "stock_ffmpeg.h"
#include "tovu_base.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

using standin::is_served_url;
using standin::rewrite_for_ffmpeg;
using standin::split_words;
using testproc::ProcGuard;
using testproc::TempDir;
using testproc::wait_for_end;
using testproc::wait_for_output;
using Words = std::vector<std::string>;

namespace {

const std::string kStandIn = TOVU_BIN_DIR "/" TOVU_TRANSCODER_FNAME;
const Words kLocal = {"127.0.0.1", "192.168.7.20", "fe80::1"};

std::string join(const Words &w)
{
    std::string s;
    for (const std::string &x : w)
        s += (s.empty() ? "" : "|") + x;
    return s;
}

// Rewrites a whole argument string and returns the words joined by "|".
std::string rewritten(const std::string &args, Words *notes = nullptr)
{
    Words ignored;
    return join(rewrite_for_ffmpeg(split_words(args), kLocal, notes ? notes : &ignored));
}

using testproc::run;

// The codec of the first video stream that ffprobe finds at url; empty when
// it reads nothing there.
std::string video_codec(const std::string &url)
{
    std::string out = run("ffprobe -v error -select_streams v:0 -show_entries stream=codec_name "
                          "-of csv=p=0 '" + url + "' 2>/dev/null");
    return out.substr(0, out.find('\n'));
}

// Starts the stand-in as the engine does and hands it the token and the line.
void start_stand_in(TOVU_PROC_CTX *proc, const std::string &args)
{
    ASSERT_EQ(tovu_start_proc(proc, kStandIn.c_str(), nullptr), 0);
    ASSERT_GT(pipe_write_str(proc->pipe_stdin[1], TOVU_HANDSHAKE_TOKEN), 0);
    ASSERT_GT(pipe_write_str(proc->pipe_stdin[1], args.c_str()), 0);
    ASSERT_GT(pipe_write_str(proc->pipe_stdin[1], "\n"), 0);
}

bool have_ffmpeg()
{
    return !run("command -v ffmpeg").empty() && !run("command -v ffprobe").empty();
}

} // namespace

TEST(StandInWords, SplitLikeACommandLine)
{
    struct Case {
        const char *text;
        const char *words;
    } cases[] = {
        {"-v 32 -re -i \"/media/a.mp4\" ", "-v|32|-re|-i|/media/a.mp4"},
        {"  a \t b  ", "a|b"},
        {"-i \"/media/my clip.mp4\" -y \"/rec/out.ts\"", "-i|/media/my clip.mp4|-y|/rec/out.ts"},
        // backslashes stay, so filter escapes reach the filter parser
        {"-filter:v \"yadif, scale=640\\:360\" ", "-filter:v|yadif, scale=640\\:360"},
        {"-lavfi:v \"[0:v][v1]streamselect\"", "-lavfi:v|[0:v][v1]streamselect"},
        {"-i \"\" x", "-i||x"},
        {"a\"b c\"d", "ab cd"},
        {"-referer \"/etc/k.pem\"https://0.0.0.0:9528", "-referer|/etc/k.pemhttps://0.0.0.0:9528"},
        {"-i \"unclosed quote", "-i|unclosed quote"},
        {"", ""},
        // single quotes group as double quotes do, and are dropped
        {"-metadata service_provider='ACME TV' -y out.ts", "-metadata|service_provider=ACME TV|-y|out.ts"},
        {"-metadata service_provider='ACME'", "-metadata|service_provider=ACME"},
        {"-i '' x", "-i||x"},
        {"a'b c'd", "ab cd"},
        {"'say \"hi\"' \"it's\"", "say \"hi\"|it's"},
        {"-i 'unclosed quote", "-i|unclosed quote"},
        // ... but stay in what ffmpeg reads with its own quoting: a program's
        // parts and filter graphs, where a title or a text may hold a colon
        {"-program program_num=1:title='News 24':if=0 -program title='A:B'",
         "-program|program_num=1:title='News 24':if=0|-program|title='A:B'"},
        {"-vf drawtext=text='a b\\:c' -filter:v:0 'x' -lavfi:v a='b c' -vn 'd'",
         "-vf|drawtext=text='a b\\:c'|-filter:v:0|'x'|-lavfi:v|a='b c'|-vn|d"},
        {"-filter:v \"movie='/a b.png', setpts=N/TB/FR[logo]\"", "-filter:v|movie='/a b.png', setpts=N/TB/FR[logo]"},
        // where ffmpeg unquotes, a backslash outside quotes escapes for it: an
        // apostrophe written '\'' leaves the title one word
        {"-program program_num=1:title='Bob'\\''s news':if=0 -y",
         "-program|program_num=1:title='Bob'\\''s news':if=0|-y"},
        {"-vf a\\ b -metadata x\\ y", "-vf|a\\ b|-metadata|x\\|y"},
        // a filter's double quote leaves and re-enters the double-quoted word
        {"-filter:v \"drawtext=text='say \"'\"'\"hi'\"", "-filter:v|drawtext=text='say '\"'hi'"},
        // a double quote between single quotes, an apostrophe between double quotes
        {"-metadata service_provider='Bob'\"'\"'s \"TV\"'", "-metadata|service_provider=Bob's \"TV\""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(join(split_words(c.text)), c.words) << c.text;
}

TEST(StandInWords, ServedOutputAddresses)
{
    struct Case {
        const char *url;
        bool served;
    } cases[] = {
        {"http://0.0.0.0:9530", true},
        {"HTTP://0.0.0.0:9530/3.mp4", true},
        {"https://0.0.0.0:9528/1.mp4", true},
        {"http://127.0.0.1:8080/live", true},
        {"http://192.168.7.20:9531", true},
        {"http://user:pw@0.0.0.0:9530/x", true},
        {"http://[::]:9530", true},
        {"http://[fe80::1]:9530", true},
        {"http://0.0.0.0", true},
        {"http://192.168.7.21:9530", false},
        {"http://example.com/live", false},
        {"http://0.0.0.0.example.com/", false},
        {"udp://0.0.0.0:1234", false},
        {"rtmp://0.0.0.0/live", false},
        {"/rec/http://0.0.0.0", false},
        {"http://", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(is_served_url(c.url, kLocal), c.served) << c.url;
}

TEST(StandInWords, EngineStringsPassUnchanged)
{
    const char *unchanged[] = {
        "-v 32 -re -i \"/media/a.mp4\" -c:a aac -ac:a 2 -ar:a 48000 -b:a 128k -c:v libx264 "
        "-preset:v faster -b:v 2000k -maxrate:v 2000k -nal-hrd cbr -bufsize:v 2000k -s:v 1280x720 "
        "-g:v 50 -c:s copy -f mpegts udp://239.0.0.1:1234 ",
        "-i \"http://cam.example/live.m3u8\" -user_agent \"x\" -c:v copy -f flv \"rtmp://0.0.0.0/live\" ",
        "-re -i \"/m/a.mp4\" -c:v libx264 -f hls -y \"/var/www/hls/live.m3u8\" ",
        // a https output on another host: the two options keep their own meaning
        "-re -i \"/m/a.mp4\" -c:v libx264 -user_agent \"ua\" -referer \"r\" -f mpegts https://cdn.example/in ",
    };
    for (const char *args : unchanged) {
        Words notes;
        EXPECT_EQ(rewritten(args, &notes), join(split_words(args))) << args;
        EXPECT_TRUE(notes.empty()) << args;
    }
}

TEST(StandInWords, ServedOutputsListen)
{
    struct Case {
        const char *args;
        const char *words;
    } cases[] = {
        {"-i \"rtsp://cam/live\" -c:v libx264 -c:s copy -f mpegts http://0.0.0.0:9530 ",
         "-i|rtsp://cam/live|-c:v|libx264|-c:s|copy|-f|mpegts|-listen|1|http://0.0.0.0:9530"},
        {"-re -i \"/m/a.mp4\" -c:v libx264 -g:v 5 -movflags dash -f mp4 http://0.0.0.0:9528/1.mp4 ",
         "-re|-i|/m/a.mp4|-c:v|libx264|-g:v|5|-movflags|dash|-f|mp4|-listen|1|http://0.0.0.0:9528/1.mp4"},
        // two outputs: only the served one listens; an input address never does
        {"-i http://0.0.0.0:80/in -an -f mjpeg http://127.0.0.1:9531/2.mjpg -y \"/rec/a.ts\"",
         "-i|http://0.0.0.0:80/in|-an|-f|mjpeg|-listen|1|http://127.0.0.1:9531/2.mjpg|-y|/rec/a.ts"},
        // options given by the user are not repeated
        {"-i x -listen 1 -f mpegts http://0.0.0.0:9530", "-i|x|-listen|1|-f|mpegts|http://0.0.0.0:9530"},
        // a served https output gets its certificate and key as the TLS server reads them
        {"-i x -c:v libx264 -movflags dash -user_agent \"/etc/c.pem\" -referer \"/etc/k.pem\" "
         "-f mp4 https://0.0.0.0:9528/1.mp4 ",
         "-i|x|-c:v|libx264|-movflags|dash|-cert_file|/etc/c.pem|-key_file|/etc/k.pem|-f|mp4|-listen|1|"
         "https://0.0.0.0:9528/1.mp4"},
        // ... but an -user_agent for the input stays
        {"-user_agent ua -i https://0.0.0.0/in -f mpegts https://0.0.0.0:9528",
         "-user_agent|ua|-i|https://0.0.0.0/in|-f|mpegts|-listen|1|https://0.0.0.0:9528"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(rewritten(c.args), c.words) << c.args;
}

TEST(StandInWords, UnknownOptionsAreDroppedWithOneNoteEach)
{
    Words notes;
    EXPECT_EQ(rewritten("-i x -c:v omx_enc_avc -omx_core \"/opt/core.so\" -crf:v 23 -c:s copy "
                        "-f omx_ts_mux -omx_core \"/opt/core.so\" udp://239.0.0.1:1234 ",
                        &notes),
              "-i|x|-c:v|omx_enc_avc|-crf:v|23|-c:s|copy|-f|omx_ts_mux|udp://239.0.0.1:1234");
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_NE(notes[0].find("-omx_core"), std::string::npos);
    EXPECT_NE(notes[0].find("/opt/core.so"), std::string::npos);
}

// What stock ffmpeg lacks or reads otherwise, changed with one note each.
TEST(StandInWords, StockFfmpegIsGivenWhatItLacks)
{
    struct Case {
        const char *args, *words;
        size_t notes;
    };
    const Case cases[] = {
        // a configured frame rate is the output's constant rate, for the
        // whole output or the stream named; an input's rate and a mode given
        // stay as they are
        {"-i a -r:v 50 -f mpegts o.ts", "-i|a|-r:v|50|-fps_mode:v|cfr|-f|mpegts|o.ts", 1},
        {"-r 25 -i a -r:v:0 ntsc -r:v:1 50 o.ts", "-r|25|-i|a|-r:v:0|ntsc|-fps_mode:v:0|cfr|-r:v:1|50|-fps_mode:v:1|cfr|o.ts", 2},
        {"-i a -r 30 o.mp4", "-i|a|-r|30|-fps_mode|cfr|o.mp4", 1},
        {"-i a -vsync vfr -r:v 50 o.ts -fps_mode:v passthrough -r:v 50 p.ts",
         "-i|a|-vsync|vfr|-r:v|50|o.ts|-fps_mode:v|passthrough|-r:v|50|p.ts", 0},
        // an SRT output without a mode listens; an input calls, as ffmpeg does
        {"-i a -f mpegts srt://0.0.0.0:23105", "-i|a|-f|mpegts|-mode|listener|srt://0.0.0.0:23105", 1},
        {"-i a -mode caller -f mpegts srt://h:1 SRT://h:2?mode=caller",
         "-i|a|-mode|caller|-f|mpegts|srt://h:1|SRT://h:2?mode=caller", 0},
        // network inputs that can fall silent get a read time-out, in the
        // option their protocol reads; files, web addresses and given
        // time-outs do not
        {"-i udp://239.1.1.1:5000 -i srt://h:9000 -i rtmp://h/app/x -i tcp://h:1 o.ts",
         "-timeout|2000000|-i|udp://239.1.1.1:5000|-rw_timeout|2000000|-i|srt://h:9000|"
         "-rw_timeout|2000000|-i|rtmp://h/app/x|-rw_timeout|2000000|-i|tcp://h:1|o.ts", 4},
        {"-re -i /m/a.ts -re -i http://h/live.m3u8 -timeout 5000000 -i udp://h:1 -i udp://h:2?timeout=1 o.ts",
         "-re|-i|/m/a.ts|-re|-i|http://h/live.m3u8|-timeout|5000000|-i|udp://h:1|-i|udp://h:2?timeout=1|o.ts", 0},
        // a drawtext with nothing to draw draws the local time
        {"-i a -filter:v drawtext=fontsize=16\\:x=w-tw-10 o.ts",
         "-i|a|-filter:v|drawtext=fontsize=16\\:x=w-tw-10:text=%{localtime}|o.ts", 1},
        {"-i a -vf \"drawtext=text='Hi':x=1, drawtext=textfile=/t\" o.ts",
         "-i|a|-vf|drawtext=text='Hi':x=1, drawtext=textfile=/t|o.ts", 0},
        // the service provider of an output's metadata reaches each of its programs
        {"-i a -i b -metadata service_provider='ACME TV' -program program_num=1:title='News 24':if=0 "
         "-program program_num=2:if=1 -f mpegts o.ts",
         "-i|a|-i|b|-metadata|service_provider=ACME TV|-program|program_num=1:title='News 24':st=0:st=1:st=2:st=3|"
         "-program|program_num=2:st=0:st=1:st=2:st=3|-f|mpegts|-metadata:p:0|service_provider=ACME TV|"
         "-metadata:p:1|service_provider=ACME TV|o.ts", 3},
        {"-i a -metadata service_provider=X -f mpegts o.ts", "-i|a|-metadata|service_provider=X|-f|mpegts|o.ts", 0},
        // the mux rate of MPEG-TS over RTP goes to the MPEG-TS muxer inside the RTP one
        {"-i a -muxrate 1500k -bitrate 1500k -c:s copy -f rtp_mpegts rtp://127.0.0.1:5000 -muxrate 900k -f mpegts o.ts",
         "-i|a|-mpegts_muxer_options|muxrate=1500k|-bitrate|1500k|-c:s|copy|-f|rtp_mpegts|rtp://127.0.0.1:5000|"
         "-muxrate|900k|-f|mpegts|o.ts", 1},
    };
    for (const Case &c : cases) {
        Words notes;
        EXPECT_EQ(rewritten(c.args, &notes), c.words) << c.args;
        EXPECT_EQ(notes.size(), c.notes) << c.args << "\n" << join(notes);
    }
}

TEST(StandInWords, DrawtextWithoutTextDrawsTheLocalTime)
{
    struct Case {
        const char *graph, *expected;
    } cases[] = {
        // the overlay text the page writes for "%timestamp", as the engine escapes it
        {"drawtext=fontsize=16\\:fontcolor=#00ffff\\:x=w-tw-10\\:y=h-th-20",
         "drawtext=fontsize=16\\:fontcolor=#00ffff\\:x=w-tw-10\\:y=h-th-20:text=%{localtime}"},
        {"yadif, drawtext, scale=640\\:360", "yadif, drawtext=text=%{localtime}, scale=640\\:360"},
        {"[in]drawtext@t1=x=1[out]; [out]null", "[in]drawtext@t1=x=1:text=%{localtime}[out]; [out]null"},
        {"drawtext=", "drawtext=text=%{localtime}"},
        // something to draw, or arguments by position: unchanged
        {"drawtext=text='a, b\\: c':x=1", "drawtext=text='a, b\\: c':x=1"},
        {"drawtext=x=1\\:textfile=/t.txt", "drawtext=x=1\\:textfile=/t.txt"},
        {"drawtext=timecode='00\\:00\\:00\\:00':rate=25", "drawtext=timecode='00\\:00\\:00\\:00':rate=25"},
        {"drawtext=/f.ttf:Hello", "drawtext=/f.ttf:Hello"},
        {"drawtextx=x=1, movie='drawtext'", "drawtextx=x=1, movie='drawtext'"},
        {"", ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(standin::with_drawtext_text(c.graph), c.expected) << c.graph;
}

// The failover graph is left out with the alternate inputs; the main
// input's filters and maps stay, and one note says so.
TEST(StandInWords, FailoverRunsTheMainInputAlone)
{
    const std::string graph = "\"[1]drawtext=text=see tovul:fontsize=12:fontcolor=black:y=h-th[dt1]; "
                              "[dt1][0:v]scale=rw:rh[v1]; [0:v][v1]streamselect\" ";
    struct Case {
        std::string args;
        const char *words;
    } cases[] = {
        {"-v 32 -i \"udp://h:1?timeout=1\" -re -f lavfi -i pal100bars -re -f lavfi -i aevalsrc=0 -lavfi:v " + graph +
             "-lavfi:a \"astreamselect\" -map 0:v -map 0:a -c:v libx264 -f mpegts o.ts",
         "-v|32|-i|udp://h:1?timeout=1|-map|0:v|-map|0:a|-c:v|libx264|-f|mpegts|o.ts"},
        {"-stream_loop -1 -re -i /m/a.ts -re -stream_loop -1 -i \"/m/slate.mp4\" -re -f lavfi -i aevalsrc=0 "
         "-lavfi:v \"yadif, scale=640\\:360[fv0]; [1]drawtext=text=x:y=h-th[dt1]; [dt1][fv0]scale=rw:rh[v1]; "
         "[fv0][v1]streamselect\" -lavfi:a \"astreamselect\" -f mpegts o.ts",
         "-stream_loop|-1|-re|-i|/m/a.ts|-filter:v|yadif, scale=640\\:360|-f|mpegts|o.ts"},
        // video off: only the silence and the audio switch
        {"-i udp://h:1?timeout=1 -re -f lavfi -i aevalsrc=0 -lavfi:a \"astreamselect\" -vn -f mpegts o.ts",
         "-i|udp://h:1?timeout=1|-vn|-f|mpegts|o.ts"},
    };
    for (const Case &c : cases) {
        Words notes;
        EXPECT_EQ(rewritten(c.args, &notes), c.words) << c.args;
        ASSERT_EQ(notes.size(), 1u) << join(notes);
        EXPECT_NE(notes[0].find("alternate input is not available"), std::string::npos) << notes[0];
    }
    // a second input of the channel's own stays, as does a graph of the user's
    EXPECT_EQ(rewritten("-re -i /m/a.ts -re -f lavfi -i aevalsrc=0 -lavfi:v \"[0:v][1:v]streamselect\" o.ts"),
              "-re|-i|/m/a.ts|-re|-f|lavfi|-i|aevalsrc=0|-lavfi:v|[0:v][1:v]streamselect|o.ts");
}

// An SDP input is allowed the protocols that its file names.
TEST(StandInWords, SdpInputsAreAllowedTheirProtocols)
{
    EXPECT_EQ(standin::sdp_protocols("v=0\nm=video 5000 RTP/AVP 96\na=rtpmap:96 h264/90000\n"),
              "file,crypto,data,rtp,udp");
    EXPECT_EQ(standin::sdp_protocols("v=0\r\nm=audio 5002 RTP/SAVP 97\r\n"), "file,crypto,data,srtp,rtp,udp");
    EXPECT_EQ(standin::sdp_protocols(""), "file,crypto,data,rtp,udp");

    TempDir dir;
    std::string sdp = dir.file("tovu_001_in.SDP");
    FILE *f = fopen(sdp.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("v=0\nc=IN IP4 0.0.0.0\nm=video 5000 RTP/SAVP 96\n", f);
    fclose(f);
    Words notes;
    EXPECT_EQ(rewritten("-i \"" + sdp + "\" -c:v libx264 o.ts", &notes),
              "-protocol_whitelist|file,crypto,data,srtp,rtp,udp|-i|" + sdp + "|-c:v|libx264|o.ts");
    EXPECT_EQ(notes.size(), 1u);
    EXPECT_EQ(rewritten("-f sdp -i /none -protocol_whitelist file,udp -i /x.sdp o.ts"),
              "-f|sdp|-protocol_whitelist|file,crypto,data,rtp,udp|-i|/none|-protocol_whitelist|file,udp|-i|/x.sdp|o.ts");
}

TEST(StandInWords, ProgramsNameTheirStreamsByIndex)
{
    struct Case {
        const char *args, *expected;
    };
    const Case cases[] = {
        // no maps: ffmpeg's own choice of streams, all of them in the program
        {"-i a -program program_num=1:title='Prog:01':if=0 -f mpegts udp://239.0.0.1:1234",
         "-i|a|-program|program_num=1:title='Prog:01':st=0:st=1:st=2:st=3|-f|mpegts|udp://239.0.0.1:1234"},
        // with maps, each program takes the streams mapped from its input
        {"-i a -i b -map 0:v -map 1:a -map -0:s -map 0:a "
         "-program program_num=1:if=0 -program program_num=2:if=1 -f mpegts out.ts",
         "-i|a|-i|b|-map|0:v|-map|1:a|-map|-0:s|-map|0:a|"
         "-program|program_num=1:st=0:st=2|-program|program_num=2:st=1|-f|mpegts|out.ts"},
        // the maps of another output count for nothing here
        {"-i a -map 0:v first.ts -program program_num=1:if=0 second.ts",
         "-i|a|-map|0:v|first.ts|-program|program_num=1:st=0:st=1:st=2:st=3|second.ts"},
        // a title with an escaped apostrophe and a colon stays one part
        {"-i a -program program_num=1:title='A'\\'':B':if=0 -f mpegts o.ts",
         "-i|a|-program|program_num=1:title='A'\\'':B':st=0:st=1:st=2:st=3|-f|mpegts|o.ts"},
        // a program without "if=" passes unchanged, empty parts and all
        {"-i a -program program_num=3:st=0 out.ts", "-i|a|-program|program_num=3:st=0|out.ts"},
        {"-i a -program :program_num=3::st=0 out.ts", "-i|a|-program|:program_num=3::st=0|out.ts"},
    };
    for (const Case &c : cases) {
        Words notes;
        EXPECT_EQ(rewritten(c.args, &notes), c.expected) << c.args;
    }
    Words notes;
    rewritten("-i a -program program_num=1:if=0 out.ts", &notes);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("program_num=1:if=0"), std::string::npos) << notes[0];
}

// A whole-input or by-kind map carries every stream of its input that
// matches: the program of that input holds them all, found out by asking
// for the input's streams once per input.
TEST(StandInWords, ProgramsHoldEveryStreamTheirInputsMapsCarry)
{
    // input "a": video, audio, audio; input "b": video, audio, subtitle
    std::vector<std::string> asked;
    standin::InputProber probe = [&asked](const standin::StandInInput &in) {
        asked.push_back(in.address + "/" + in.format);
        return in.address == "a" ? std::string("vaa") : in.address == "b" ? std::string("vas") : std::string();
    };
    auto with_probe = [&probe](const std::string &args) {
        Words notes;
        return join(rewrite_for_ffmpeg(split_words(args), kLocal, &notes, nullptr, probe));
    };
    const std::string progs = "-program program_num=1:title='A':if=0 -program program_num=2:title='B':if=1";
    struct Case {
        const char *maps;
        const char *programs; // the two -program values, "|" between them
    };
    const Case cases[] = {
        // the engine's maps of a channel with a bound channel
        {"-map 0 -c:v:0 libx264 -map 1 -c:v:1 libx264",
         "program_num=1:title='A':st=0:st=1:st=2|program_num=2:title='B':st=3:st=4:st=5"},
        {"-map 1 -map 0", "program_num=1:title='A':st=3:st=4:st=5|program_num=2:title='B':st=0:st=1:st=2"},
        // the output's "-an" and "-sn" take streams away
        {"-map 0 -map 1 -an -sn", "program_num=1:title='A':st=0|program_num=2:title='B':st=1"},
        // by kind, with indices, optional, and a map that removes
        {"-map 0:a -map 1:v:0 -map 1:s? -map 0:1", "program_num=1:title='A':st=0:st=1:st=4|program_num=2:title='B':st=2:st=3"},
        {"-map 0 -map -0:a:1 -map 1:a", "program_num=1:title='A':st=0:st=1|program_num=2:title='B':st=2"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.maps);
        asked.clear();
        std::string words = with_probe("-re -i a -f mpegts -i b " + std::string(c.maps) + " " + progs + " out.ts");
        std::string programs;
        size_t at = 0;
        while ((at = words.find("|-program|", at)) != std::string::npos) {
            at += 10;
            programs += (programs.empty() ? "" : "|") + words.substr(at, words.find('|', at) - at);
        }
        EXPECT_EQ(programs, c.programs) << words;
        std::sort(asked.begin(), asked.end());
        EXPECT_EQ(asked, (Words{"a/", "b/mpegts"})) << "each input asked once, with its format";
    }

    // maps of one stream of a kind each need no look at the inputs
    asked.clear();
    EXPECT_EQ(with_probe("-i a -i b -map 0:v:0 -map 1:v:0 -map 0:a:0 " + progs + " out.ts"),
              "-i|a|-i|b|-map|0:v:0|-map|1:v:0|-map|0:a:0|-program|program_num=1:title='A':st=0:st=2|"
              "-program|program_num=2:title='B':st=1|out.ts");
    EXPECT_TRUE(asked.empty());
    // an input that cannot be looked at: each map counts as one stream
    EXPECT_EQ(with_probe("-i a -i c -map 0 -map 1 " + progs + " out.ts"),
              "-i|a|-i|c|-map|0|-map|1|-program|program_num=1:title='A':st=0|-program|program_num=2:title='B':st=1|out.ts");
}

TEST(StandInWords, ProbedStreamKindsOfAFile)
{
    if (!have_ffmpeg())
        GTEST_SKIP() << "ffmpeg is not installed";
    TempDir dir;
    std::string clip = dir.file("a.ts");
    run("ffmpeg -nostdin -v error -f lavfi -i testsrc=size=64x48:rate=5 -f lavfi -i sine -f lavfi -i sine "
        "-map 0 -map 1 -map 2 -t 1 -c:v mpeg2video -c:a mp2 -y '" + clip + "'");
    EXPECT_EQ(standin::probe_stream_kinds({clip, ""}, 10000), "vaa");
    EXPECT_EQ(standin::probe_stream_kinds({"testsrc=size=64x48", "lavfi"}, 10000), "v");
    EXPECT_EQ(standin::probe_stream_kinds({dir.file("missing.ts"), ""}, 10000), "");
    // a live input that sends nothing: given up at the time limit
    int port = testproc::free_loopback_port(SOCK_DGRAM);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(standin::probe_stream_kinds({"udp://127.0.0.1:" + std::to_string(port), ""}, 500), "");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
}

class StandInRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!have_ffmpeg())
            GTEST_SKIP() << "ffmpeg is not installed";
        ASSERT_FALSE(dir.path().empty());
    }
    TempDir dir;
    ProcGuard g;
};

TEST_F(StandInRun, TranscodesATestSourceIntoAPlayableFile)
{
    std::string folder = dir.file("with blank");
    std::filesystem::create_directory(folder);
    std::string out_ts = folder + "/out.ts";
    start_stand_in(&g.proc, "-f lavfi -i testsrc=duration=2:size=320x240:rate=25 -c:v libx264 "
                            "-f mpegts \"" + out_ts + "\"");
    std::string out;
    ASSERT_TRUE(wait_for_end(&g.proc, &out, 60)) << out;
    EXPECT_TRUE(WIFEXITED(g.proc.exit_code) && WEXITSTATUS(g.proc.exit_code) == 0) << out;
    EXPECT_NE(out.find(" time="), std::string::npos) << out;
    EXPECT_EQ(video_codec(out_ts), "h264");
}

// the program table the options dialog writes for an MPEG-TS output
TEST_F(StandInRun, MpegTsProgramHoldsItsInputsStreams)
{
    std::string out_ts = dir.file("program.ts");
    start_stand_in(&g.proc, "-f lavfi -i testsrc=duration=1:size=320x240:rate=25 -f lavfi -i sine=duration=1 "
                            "-c:v mpeg2video -c:a mp2 -program program_num=7:title='Program01':if=0 "
                            "-f mpegts \"" + out_ts + "\"");
    std::string out;
    ASSERT_TRUE(wait_for_end(&g.proc, &out, 60)) << out;
    EXPECT_TRUE(WIFEXITED(g.proc.exit_code) && WEXITSTATUS(g.proc.exit_code) == 0) << out;
    std::string programs = run("ffprobe -v error -show_programs -of flat '" + out_ts + "' 2>/dev/null");
    EXPECT_NE(programs.find("program_num=7"), std::string::npos) << programs;
    EXPECT_NE(programs.find("service_name=\"Program01\""), std::string::npos) << programs;
    EXPECT_NE(programs.find("nb_streams=2"), std::string::npos) << programs;
}

TEST_F(StandInRun, SigintEndsALongRunQuickly)
{
    std::string out_ts = dir.file("long.ts");
    start_stand_in(&g.proc, "-v 1 -re -f lavfi -i testsrc=size=320x240:rate=25 -c:v libx264 "
                            "-preset:v faster -f mpegts \"" + out_ts + "\"");
    std::string out;
    // progress comes even at a verbosity below ffmpeg's own progress level
    ASSERT_TRUE(wait_for_output(&g.proc, " time=", &out, 60)) << out;
    ASSERT_EQ(kill(g.proc.pid, SIGINT), 0);
    auto t0 = testproc::Clock::now();
    ASSERT_TRUE(wait_for_end(&g.proc, &out, 30)) << out;
    // The encoder's orderly end takes its time on a loaded machine; the bound
    // stays below the stand-in's 5 s linger before it kills, so an interrupt
    // that is not passed on at once is still caught.
    EXPECT_LT(testproc::Clock::now() - t0, std::chrono::seconds(4));
    EXPECT_EQ(video_codec(out_ts), "h264"); // an orderly end leaves a readable file
}

// The children of a process, from /proc.
std::vector<pid_t> children_of(pid_t pid)
{
    std::vector<pid_t> kids;
    std::string text = run("cat /proc/" + std::to_string(pid) + "/task/*/children 2>/dev/null");
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find_first_of(" \n", pos);
        if (end == std::string::npos)
            end = text.size();
        if (end > pos)
            kids.push_back(static_cast<pid_t>(std::stol(text.substr(pos, end - pos))));
        pos = end + 1;
    }
    return kids;
}

bool gone_within(pid_t pid, double seconds)
{
    return tovutest::waitUntil([pid] {
        // a zombie has ended too; it waits for a parent that is not this test
        std::string st = run("awk '{print $3}' /proc/" + std::to_string(pid) + "/stat 2>/dev/null");
        return st.empty() || st == "Z";
    }, static_cast<int>(seconds * 1000), tovutest::nothingBetween, 20);
}

// The end of standard input means the service has gone: ffmpeg is stopped
// as by SIGINT, and its file is left readable.
TEST_F(StandInRun, EndOfStandardInputStopsFfmpeg)
{
    std::string out_ts = dir.file("eof.ts");
    start_stand_in(&g.proc, "-re -f lavfi -i testsrc=size=320x240:rate=25 -c:v libx264 "
                            "-preset:v faster -f mpegts \"" + out_ts + "\"");
    std::string out;
    ASSERT_TRUE(wait_for_output(&g.proc, " time=", &out, 60)) << out;
    close(g.proc.pipe_stdin[1]);
    g.proc.pipe_stdin[1] = 0;
    ASSERT_TRUE(wait_for_end(&g.proc, &out, 60)) << out;
    EXPECT_EQ(video_codec(out_ts), "h264");
}

// A stand-in killed outright (as the engine kills a hung transcoder) takes
// its ffmpeg with it.
TEST_F(StandInRun, FfmpegDiesWithTheStandIn)
{
    start_stand_in(&g.proc, "-re -f lavfi -i testsrc=size=320x240:rate=25 -c:v libx264 "
                            "-preset:v faster -f null -");
    std::string out;
    ASSERT_TRUE(wait_for_output(&g.proc, " time=", &out, 60)) << out;
    std::vector<pid_t> kids = children_of(g.proc.pid);
    ASSERT_EQ(kids.size(), 1u);
    ASSERT_EQ(kill(g.proc.pid, SIGKILL), 0);
    ASSERT_TRUE(wait_for_end(&g.proc, &out, 30));
    EXPECT_TRUE(WIFSIGNALED(g.proc.exit_code));
    EXPECT_TRUE(gone_within(kids[0], 30.0)) << "ffmpeg " << kids[0] << " outlived the stand-in";
}

// The service gone while its input is still held open (here by the test):
// the stand-in, having lost its parent, stops ffmpeg as the end of its input
// does, with a readable file, and ends.
TEST_F(StandInRun, LossOfTheParentStopsFfmpeg)
{
    std::string out_ts = dir.file("orphan.ts");
    // the parent: a shell that starts the stand-in on its own input and waits
    char *const args[] = {const_cast<char *>("bash"), const_cast<char *>("-c"),
                          const_cast<char *>("setsid \"$0\" <&0 & echo \"stand-in $!.\"; wait"),
                          const_cast<char *>(kStandIn.c_str()), nullptr};
    ASSERT_EQ(tovu_start_proc(&g.proc, "/bin/bash", args), 0);
    std::string line = std::string(TOVU_HANDSHAKE_TOKEN) + "-re -f lavfi -i testsrc=size=320x240:rate=25 "
                       "-c:v libx264 -preset:v faster -f mpegts \"" + out_ts + "\"\n";
    ASSERT_GT(pipe_write_str(g.proc.pipe_stdin[1], line.c_str()), 0);
    std::string out;
    ASSERT_TRUE(wait_for_output(&g.proc, " time=", &out, 60)) << out;
    size_t at = out.find("stand-in ");
    ASSERT_NE(at, std::string::npos) << out;
    pid_t stand_in = static_cast<pid_t>(std::stol(out.substr(at + 9)));
    std::vector<pid_t> kids = children_of(stand_in);

    ASSERT_EQ(kill(g.proc.pid, SIGKILL), 0);
    ASSERT_TRUE(wait_for_end(&g.proc, &out, 30));
    EXPECT_TRUE(gone_within(stand_in, 15.0)) << "the stand-in " << stand_in << " outlived its parent";
    for (pid_t k : kids)
        EXPECT_TRUE(gone_within(k, 5.0)) << "ffmpeg " << k;
    EXPECT_EQ(video_codec(out_ts), "h264");
}

// The stand-in reads exactly the token and one line: what follows in the
// slot's shared pipe stays there for the next child.
TEST_F(StandInRun, ReadsNoFurtherThanTheLine)
{
    start_stand_in(&g.proc, "-hide_banner -version");
    ASSERT_GT(pipe_write_str(g.proc.pipe_stdin[1], "for-the-next"), 0);
    std::string out;
    ASSERT_TRUE(wait_for_end(&g.proc, &out, 60)) << out;
    EXPECT_EQ(WEXITSTATUS(g.proc.exit_code), 0) << out;
    EXPECT_NE(out.find("ffmpeg version"), std::string::npos) << out;

    char a0[] = "head", a1[] = "-c", a2[] = "12";
    char *args[] = {a0, a1, a2, nullptr};
    ASSERT_EQ(tovu_start_proc(&g.proc, "/usr/bin/head", args), 0);
    out.clear();
    ASSERT_TRUE(wait_for_end(&g.proc, &out, 30));
    EXPECT_EQ(out, "for-the-next");
}

TEST_F(StandInRun, RefusesAWrongOrMissingHandshake)
{
    struct Case {
        const char *input;
        const char *message;
    } cases[] = {
        {"kfRwa_3862 -version\n", "handshake token"},
        {"kfRwa_3861-version\n", "handshake token"},
        {"kfRwa", "handshake token"},
        {"", "handshake token"},
        {"kfRwa_3861 -version", "line feed"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input);
        char a0[] = "sh", a1[] = "-c", a2[] = "printf '%s' \"$1\" | \"$2\"", a3[] = "sh";
        std::string input = c.input, exe = kStandIn;
        char *args[] = {a0, a1, a2, a3, &input[0], &exe[0], nullptr};
        ASSERT_EQ(tovu_start_proc(&g.proc, "/bin/sh", args), 0);
        std::string out;
        ASSERT_TRUE(wait_for_end(&g.proc, &out, 30));
        EXPECT_TRUE(WIFEXITED(g.proc.exit_code));
        EXPECT_NE(WEXITSTATUS(g.proc.exit_code), 0);
        EXPECT_NE(out.find("tovul.so: refused"), std::string::npos) << out;
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
        EXPECT_EQ(out.find("ffmpeg version"), std::string::npos) << out;
    }
}

TEST_F(StandInRun, SaysSoWhenFfmpegIsMissing)
{
    const char *old = getenv("PATH");
    std::string saved = old ? old : "";
    setenv("PATH", dir.path().c_str(), 1);
    start_stand_in(&g.proc, "-version");
    setenv("PATH", saved.c_str(), 1);
    std::string out;
    ASSERT_TRUE(wait_for_end(&g.proc, &out, 30));
    EXPECT_NE(WEXITSTATUS(g.proc.exit_code), 0);
    EXPECT_NE(out.find("cannot run ffmpeg"), std::string::npos) << out;
}

// An http output on one of the machine's own addresses is served by ffmpeg:
// a player can connect and read the stream.
TEST_F(StandInRun, ServesAnHttpOutput)
{
    int port = testproc::free_loopback_port();
    ASSERT_GT(port, 0);
    std::string url = "http://127.0.0.1:" + std::to_string(port);
    start_stand_in(&g.proc, "-re -f lavfi -i testsrc=duration=2:size=320x240:rate=25 -c:v libx264 "
                            "-c:s copy -f mpegts " + url + " ");
    std::string codecs, out;
    // ffmpeg can take many seconds to start listening on a loaded machine
    tovutest::waitUntil([&] {
        testproc::drain(&g.proc, &out);
        return !(codecs = video_codec(url)).empty();
    }, 60000, tovutest::nothingBetween, 100);
    EXPECT_EQ(codecs, "h264") << out;
    kill(g.proc.pid, SIGINT);
    EXPECT_TRUE(wait_for_end(&g.proc, &out, 30));
}
