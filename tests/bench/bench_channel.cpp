// Start of a full channel (20 sources, 5 targets) from the configuration
// document: the mapping onto the engine's records alone, the mapping with the
// argument string, and the whole start with the hand-over to the fake
// transcoder.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "fixtures/engine_setup.h"
#include "fixtures/temp_dir.h"
#include "fixtures/wait.h"
#include "tovu_config.h"
#include "tovu_channel.h"
#include "tovu_channel_testing.h"
#include "tovu_testing.h"

namespace {

std::string target(int j)
{
    std::string n = std::to_string(j);
    return "{\"format\":\"udp\",\"url\":\"udp://239.1.2." + n +
           ":5000?pkt_size=1316\",\"video\":{\"enable\":true,\"codec\":\"h264\",\"width\":1280,\"height\":720,"
           "\"frameRate\":25,\"keyFrameInterval\":50,\"bitRate\":2500,\"options\":[\"-preset veryfast\","
           "\"-profile:v high\",\"-tune zerolatency\"]},\"audio\":{\"enable\":true,\"codec\":\"aac\","
           "\"sampleRate\":48000,\"channels\":2,\"bitRate\":128,\"options\":[\"-ac 2\"]},"
           "\"mux\":{\"bitRate\":3000,\"cbr\":true}}";
}

std::string channel(int ch, const std::string &extraSources)
{
    std::string targets;
    for (int j = 0; j < 5; j++)
        targets += (j ? "," : "") + target(j);
    return "{\"input\":{\"sources\":[{\"format\":\"udp\",\"url\":\"udp://239.1.1." + std::to_string(ch + 1) +
           ":5000\",\"video\":{\"options\":[]}}" + extraSources +
           "],\"formatOptions\":[\"-fflags +genpts\"],\"map\":[\"v:0\",\"a:0\"]},\"output\":{\"targets\":[" +
           targets + "],\"formatOptions\":[\"-mpegts_flags system_b\"],\"customOptions\":\"-muxdelay 0\"}}";
}

// channel index 0 with its own source and 19 bound ones, from channels 2 to 16
std::string document()
{
    std::string binds;
    for (int i = 0; i < 19; i++)
        binds += ",{\"bind\":" + std::to_string(2 + i % 15) + "}";
    std::string channels = channel(0, binds);
    for (int ch = 1; ch < 16; ch++)
        channels += "," + channel(ch, "");
    return "{\"global\":{\"autoRestart\":1,\"altInput\":\"default\"},\"channels\":[" + channels + "]}";
}

struct Setup {
    tovutest::TempDir scratch{"tovu_bench_channel"};
    std::string dir = scratch.path();
    Setup()
    {
        if (dir.empty() || !tovutest::installFakeTranscoder(dir, "FAKE_HOLD=-1\nFAKE_RECORD=/dev/null\n"))
            abort();
        if (!tovuSetConfig(document().c_str()))
            abort();
        if (tovutest::initEngine(dir, dir, 0) != 0)
            abort();
    }
    ~Setup() { tovu_free(); }
};

Setup &setup()
{
    static Setup s;
    return s;
}

int noEngine(int, const TOVU_SOURCE *, int nb_sources, const TOVU_TARGET *const *, int nb_targets, int, int)
{
    return nb_sources == 20 && nb_targets == 5 ? 0 : -1;
}

int composeOnly(int channel_id, const TOVU_SOURCE *sources, int nb_sources, const TOVU_TARGET *const *targets,
                int nb_targets, int mux_mode, int)
{
    std::string args;
    int ret = _tovu_compose_args(channel_id, sources, nb_sources, targets, nb_targets, mux_mode, &args);
    benchmark::DoNotOptimize(args.data());
    return ret;
}

void BM_StartMappingOnly(benchmark::State &state)
{
    setup();
    _tovuSetChannelTranscoder(noEngine);
    for (auto _ : state)
        if (tovuStartChannel(0) != 0)
            state.SkipWithError("start failed");
    _tovuSetChannelTranscoder(nullptr);
}
BENCHMARK(BM_StartMappingOnly);

void BM_StartMappingAndArguments(benchmark::State &state)
{
    setup();
    _tovuSetChannelTranscoder(composeOnly);
    for (auto _ : state)
        if (tovuStartChannel(0) != 0)
            state.SkipWithError("start failed");
    _tovuSetChannelTranscoder(nullptr);
}
BENCHMARK(BM_StartMappingAndArguments);

// the whole start: mapping, argument string, process start and hand-over;
// the stop and the wait for the idle slot are not timed
void BM_StartWithFakeTranscoder(benchmark::State &state)
{
    setup();
    for (auto _ : state) {
        if (tovuStartChannel(0) != 0) {
            state.SkipWithError("start failed");
            break;
        }
        state.PauseTiming();
        tovuStopChannel(0, 1);
        tovutest::pollUntil([] { return tovuGetChannelState(0) == TOVU_STATE_IDLE; }, 10000, 1);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StartWithFakeTranscoder)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
