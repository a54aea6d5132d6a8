// Channel starts and stops through the web API while the supervision loop
// runs: 15 channels run on the fake transcoder, printing progress, and the
// 16th is started and stopped CYCLES times by "/channel16?start" and
// "?stop" (each saves the configuration file). Meanwhile a second
// connection asks "/status" every 5 ms. Prints the longest gap between two
// passes of the loop, and the "/status" latency, during the cycles.
//   bench_channel_cycle [CYCLES]   (default 100)
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_setup.h"
#include "fixtures/http_client.h"
#include "fixtures/wait.h"
#include "fixtures/web_server.h"
#include "fixtures/engine_setup.h"
#include "fixtures/temp_dir.h"
#include "tovu_cgi_testing.h"
#include "tovu_channel.h"
#include "tovu_config.h"
#include "tovu_daemon.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kChannels = 16;
constexpr int kCycled = kChannels - 1;   // the channel index started and stopped

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// the time of each pass of the loop, taken at its first channel visit
std::mutex g_passLock;
std::vector<Clock::time_point> g_passes;

void visit(int i)
{
    if (i == 0) {
        std::lock_guard<std::mutex> lock(g_passLock);
        g_passes.push_back(Clock::now());
    }
    tovuVisitChannel(i);
}

bool waitFor(TOVU_CHANNEL_STATE want, int seconds)
{
    return tovutest::waitUntil([want] { return tovuGetChannelState(kCycled) == want; }, seconds * 1000,
                               tovutest::nothingBetween, 1);
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, (size_t)(p * v.size()))];
}

} // namespace

int main(int argc, char **argv)
{
    int cycles = argc > 1 ? atoi(argv[1]) : 100;
    if (cycles < 1)
        cycles = 1;

    tovutest::TempDir scratch("tovu_bench_cycle");
    const std::string &dir = scratch.path();
    std::vector<std::string> channels;
    for (int i = 0; i < kChannels; i++)
        channels.push_back(benchsetup::channel(
            "{\"format\":\"udp\",\"url\":\"udp://127.0.0.1:" + std::to_string(4000 + i) + "\"}",
            std::string("\"enable\":") + (i == kCycled ? "false" : "true") + ","));
    if (!benchsetup::engineOnFakeTranscoder(dir, "0.5", 32))
        return 1;
    tovuSetConfigPath(dir.c_str());
    if (!benchsetup::installDocument("{\"log\":32,\"autoRestart\":0}", channels))
        return 1;
    tovuExportConfig(nullptr);
    if (!benchsetup::startChannels(kChannels - 1))
        return 1;

    tovuInitChannelTimers();
    quit = 0;
    std::thread loop([] { tovuSupervise(visit); });

    int rc = 0;
    {
        TestWebServer server([](struct MHD_Connection *conn, const char *path, const char *) {
            return tovuCGI(conn, path, nullptr) == MHD_YES ? MHD_YES : MHD_NO;
        });
        if (!server.ok()) {
            fprintf(stderr, "server did not start\n");
            rc = 1;
        } else {
            std::atomic<bool> stop{false};
            std::vector<std::pair<Clock::time_point, double>> statusAt;   // sent, latency
            std::thread status([&] {
                HttpClient client(server.port());
                HttpAnswer a;
                auto next = Clock::now();
                while (!stop) {
                    auto t = Clock::now();
                    bool ok = client.get("/status", a) && a.status == 200;
                    statusAt.emplace_back(t, ok ? ms(Clock::now() - t) : 1e9);
                    next += std::chrono::milliseconds(5);
                    std::this_thread::sleep_until(std::max(next, Clock::now()));
                }
            });

            HttpClient client(server.port());
            HttpAnswer a;
            std::vector<double> startMs, stopMs;
            usleep(200000);   // the loop and the status poll under way
            size_t firstPass;
            {
                std::lock_guard<std::mutex> lock(g_passLock);
                firstPass = g_passes.size();
            }
            auto t0 = Clock::now();
            for (int c = 0; c < cycles && rc == 0; c++) {
                auto t = Clock::now();
                if (!client.get("/channel16?start", a) || a.status != 200 || !waitFor(TOVU_STATE_RUNNING, 10)) {
                    fprintf(stderr, "start %d failed (HTTP %d %s)\n", c + 1, a.status, a.body.c_str());
                    rc = 1;
                    break;
                }
                startMs.push_back(ms(Clock::now() - t));
                usleep(20000);
                t = Clock::now();
                if (!client.get("/channel16?stop", a) || a.status != 200 || !waitFor(TOVU_STATE_IDLE, 10)) {
                    fprintf(stderr, "stop %d failed (HTTP %d)\n", c + 1, a.status);
                    rc = 1;
                    break;
                }
                stopMs.push_back(ms(Clock::now() - t));
            }
            auto t1 = Clock::now();
            double wall = ms(t1 - t0);
            stop = true;
            status.join();
            std::vector<double> statusMs;   // those sent during the cycles
            for (const auto &s : statusAt)
                if (s.first >= t0 && s.first <= t1)
                    statusMs.push_back(s.second);

            std::vector<double> gaps;
            {
                std::lock_guard<std::mutex> lock(g_passLock);
                for (size_t k = firstPass + 1; k < g_passes.size(); k++)
                    gaps.push_back(ms(g_passes[k] - g_passes[k - 1]));
            }
            printf("%d start/stop cycles of channel 16 beside 15 running channels, %.0f ms\n",
                   (int)startMs.size(), wall);
            printf("  loop: %zu passes, gap between two passes p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
                   gaps.size(), percentile(gaps, 0.5), percentile(gaps, 0.99),
                   gaps.empty() ? 0.0 : *std::max_element(gaps.begin(), gaps.end()));
            printf("  /status: %zu requests, p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", statusMs.size(),
                   percentile(statusMs, 0.5), percentile(statusMs, 0.99),
                   statusMs.empty() ? 0.0 : *std::max_element(statusMs.begin(), statusMs.end()));
            printf("  start request until running: p50 %.1f ms, max %.1f ms; stop until idle: p50 "
                   "%.1f ms, max %.1f ms\n",
                   percentile(startMs, 0.5), startMs.empty() ? 0.0 : *std::max_element(startMs.begin(), startMs.end()),
                   percentile(stopMs, 0.5), stopMs.empty() ? 0.0 : *std::max_element(stopMs.begin(), stopMs.end()));
        }
    }
    quit = 1;
    loop.join();
    tovuDeleteChannelTimers();
    for (int i = 0; i < kChannels; i++)
        tovuStopChannel(i, 1);
    tovu_free();
    return rc;
}
