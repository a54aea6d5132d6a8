// Latency and throughput of the "/status" answer with 16 channels running on
// the fake transcoder, over loopback HTTP to a server with one internal
// thread, while a second thread polls the engine every 20 ms as the daemon
// does. Prints p50, p99 and max latency and requests per second, for one
// kept-alive connection and for four at once.
//   bench_status [REQUESTS]   (default 20000 per run)
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
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
#include "tovu_cgi_internal.h"
#include "tovu_channel.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kChannels = 16;

enum MHD_Result dispatch(struct MHD_Connection *conn, const char *path, const char *args)
{
    if (strcmp(path, "/status") == 0)
        return tovuCGIStatus(conn);
    return tovuCGIDownload(conn, path, args) ? MHD_YES : MHD_NO;
}

struct Figures {
    double p50_us, p99_us, max_us, rps;
};

Figures measure(int port, int connections, int requests)
{
    std::vector<std::vector<double>> lat(connections);
    std::atomic<int> failures{0};
    auto t0 = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; c++)
        threads.emplace_back([&, c] {
            HttpClient client(port);
            HttpAnswer a;
            lat[c].reserve(requests);
            for (int i = 0; i < requests; i++) {
                auto s = Clock::now();
                if (!client.get("/status", a) || a.status != 200)
                    failures++;
                lat[c].push_back(std::chrono::duration<double, std::micro>(Clock::now() - s).count());
            }
        });
    for (auto &t : threads)
        t.join();
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    std::vector<double> all;
    for (auto &v : lat)
        all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    if (failures)
        fprintf(stderr, "%d failed requests\n", failures.load());
    auto pct = [&](double p) { return all[std::min(all.size() - 1, (size_t)(p * all.size()))]; };
    return {pct(0.50), pct(0.99), all.back(), all.size() / secs};
}

} // namespace

int main(int argc, char **argv)
{
    int requests = argc > 1 ? atoi(argv[1]) : 20000;
    if (requests < 1)
        requests = 1;

    tovutest::TempDir scratch("tovu_bench_status");
    const std::string &dir = scratch.path();
    std::vector<std::string> channels;
    for (int i = 0; i < kChannels; i++)
        channels.push_back(benchsetup::channel("{\"format\":\"file\",\"url\":\"/media/in" + std::to_string(i) + ".ts\"}"));
    if (!benchsetup::engineOnFakeTranscoder(dir, "1", 0) || !benchsetup::installDocument("{}", channels) ||
        !benchsetup::startChannels(kChannels))
        return 1;
    int known = 0;
    bool allKnown = tovutest::pollUntil([&] {
        known = 0;
        for (int i = 0; i < kChannels; i++)
            known += tovu_get_state(i) == TOVU_STATE_RUNNING && tovu_get_stream_time(i) >= 0;
        return known == kChannels;
    }, 30000, 20);
    if (!allKnown) {
        fprintf(stderr, "only %d channels report progress\n", known);
        return 1;
    }

    std::atomic<bool> quit{false};
    std::thread poller([&] {
        while (!quit) {
            usleep(20000);
            tovu_poll();
        }
    });

    int rc = 0;
    {
        TestWebServer server(dispatch);
        if (!server.ok()) {
            fprintf(stderr, "server did not start\n");
            rc = 1;
        } else {
            HttpClient probe(server.port());
            HttpAnswer a;
            probe.get("/status", a);
            printf("answer: %zu bytes, first row: %.60s\n", a.body.size(),
                   a.body.size() > 18 ? a.body.c_str() + 18 : "");
            measure(server.port(), 1, std::max(1, requests / 10)); // warm-up
            for (int connections : {1, 4}) {
                Figures f = measure(server.port(), connections, requests / connections);
                printf("/status, %d channels, %d connection%s: p50 %.1f us, p99 %.1f us, max %.1f us, "
                       "%.0f requests/s\n",
                       kChannels, connections, connections > 1 ? "s" : "", f.p50_us, f.p99_us, f.max_us,
                       f.rps);
            }
        }
    }
    quit = true;
    poller.join();
    for (int i = 0; i < kChannels; i++)
        tovuStopChannel(i, 1);
    tovu_free();
    return rc;
}
