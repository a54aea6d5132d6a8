// Composition time of the transcoder's argument string: the one-source
// example channel and a full channel of 20 sources and 5 outputs.
#include <benchmark/benchmark.h>

#include <string.h>

#include <string>
#include <vector>

#include "tovu_engine_internal.h"

namespace {

char *C(const char *s)
{
    return const_cast<char *>(s);
}

TOVU_TARGET make_target(TOVU_FORMAT format, const char *url)
{
    TOVU_TARGET t{};
    t.format = format;
    t.url = C(url);
    t.audio.b_enable = 1;
    t.audio.codec = TOVU_AUDIO_AAC;
    t.audio.nb_channels = 2;
    t.audio.sample_rate = 48000;
    t.audio.kbps = 128;
    t.video.b_enable = 1;
    t.video.codec = TOVU_VIDEO_H264;
    t.video.width = 1280;
    t.video.height = 720;
    t.video.fps = 25;
    t.video.key_frame_intv = 50;
    t.video.kbps = 2000;
    return t;
}

struct Channel {
    std::vector<std::string> urls, maps;
    std::vector<TOVU_SOURCE> sources;
    std::vector<std::vector<TOVU_TARGET>> targets;
    std::vector<const TOVU_TARGET *> rows;

    Channel(int nb_sources, const std::vector<TOVU_TARGET> &outputs)
    {
        for (int i = 0; i < nb_sources; i++) {
            urls.push_back(nb_sources == 1 ? "/media/a.mp4"
                                           : "udp://239.1.1." + std::to_string(i + 1) + ":5000");
            maps.push_back("-map " + std::to_string(i) + ":v:0 -map " + std::to_string(i) + ":a:0");
        }
        for (int i = 0; i < nb_sources; i++) {
            TOVU_SOURCE s{};
            s.format = nb_sources == 1 ? TOVU_FORMAT_GENERAL : TOVU_FORMAT_UDP;
            s.url = C(urls[i].c_str());
            if (nb_sources > 1)
                s.map = C(maps[i].c_str());
            sources.push_back(s);
        }
        for (const TOVU_TARGET &t : outputs)
            targets.emplace_back(nb_sources, t);
        for (const auto &row : targets)
            rows.push_back(row.data());
    }
    int compose(std::string *out) const
    {
        return tovu_compose_args(0, sources.data(), (int)sources.size(), rows.data(),
                                 (int)rows.size(), 0, out);
    }
};

void run(benchmark::State &state, const Channel &ch)
{
    g_cfg.log_level = 32;
    std::string out;
    if (ch.compose(&out) != 0) {
        state.SkipWithError("composition failed");
        return;
    }
    for (auto _ : state) {
        ch.compose(&out);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["chars"] = (double)out.size();
}

void BM_WorkedExample(benchmark::State &state)
{
    static const Channel ch(1, {make_target(TOVU_FORMAT_UDP, "udp://239.0.0.1:1234")});
    run(state, ch);
}

void BM_TwentySourcesFiveOutputs(benchmark::State &state)
{
    TOVU_TARGET hls = make_target(TOVU_FORMAT_HLS, "/var/www/live/index.m3u8");
    hls.param = C("-hls_time 4 -hls_list_size 6");
    TOVU_TARGET srt = make_target(TOVU_FORMAT_SRT, "srt://203.0.113.5:9000?mode=caller");
    srt.video.codec = TOVU_VIDEO_NV264;
    srt.video.quality = 60;
    static const Channel ch(20, {make_target(TOVU_FORMAT_UDP, "udp://239.0.0.1:1234"), hls,
                                 make_target(TOVU_FORMAT_RTMP, "rtmp://203.0.113.7/live/key"), srt,
                                 make_target(TOVU_FORMAT_GENERAL, "/rec/channel.ts")});
    run(state, ch);
}

} // namespace

BENCHMARK(BM_WorkedExample);
BENCHMARK(BM_TwentySourcesFiveOutputs);

BENCHMARK_MAIN();
