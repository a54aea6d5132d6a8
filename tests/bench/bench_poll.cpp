// Time of one supervision pass over 32 busy slots: children that print
// nothing, and children that print one progress line per pass.
#include <benchmark/benchmark.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "fixtures/engine_setup.h"
#include "fixtures/temp_dir.h"
#include "tovu_engine_internal.h"

namespace {

constexpr int kSlots = 32;
const char kProgress[] =
    "frame= 1500 fps= 25 q=28.0 size=   12288kB time=00:01:00.00 bitrate=1677.7kbits/s speed=1x    \r";

// An engine with every slot running a child that sleeps and never prints.
class BusyEngine {
public:
    BusyEngine()
    {
        if (dir_.empty())
            abort();
        std::string exe = dir_ + "/" TOVU_TRANSCODER_FNAME;
        std::ofstream(exe) << "#!/bin/sh\nexec sleep 1000\n";
        chmod(exe.c_str(), 0755);
        if (tovutest::initEngine(dir_, dir_, 0) != 0)
            abort();
        char *const args[] = {const_cast<char *>("sleep"), const_cast<char *>("1000"), nullptr};
        TovuLock lock;
        for (int ch = 0; ch < kSlots; ch++) {
            TOVU_CHAN_CTX &c = g_proc_channels[ch];
            if (tovu_start_proc(&c.proc, "/bin/sleep", args) != 0)
                abort();
            c.state = TOVU_STATE_RUNNING;
        }
    }
    ~BusyEngine()
    {
        pid_t pids[kSlots];
        for (int ch = 0; ch < kSlots; ch++)
            pids[ch] = g_proc_channels[ch].proc.pid;
        tovu_free();   // interrupts them and waits for their ends
        for (pid_t pid : pids)
            if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
    }

private:
    tovutest::TempDir scratch_{"tovu_bench"};
    std::string dir_ = scratch_.path();
};

void BM_PollSilentSlots(benchmark::State &state)
{
    BusyEngine engine;
    for (auto _ : state)
        tovu_poll();
}
BENCHMARK(BM_PollSilentSlots)->Unit(benchmark::kMicrosecond);

void BM_PollPrintingSlots(benchmark::State &state)
{
    BusyEngine engine;
    for (auto _ : state) {
        state.PauseTiming();
        for (int ch = 0; ch < kSlots; ch++)
            if (write(g_proc_channels[ch].proc.pipe_stdout[1], kProgress, sizeof kProgress - 1) < 0)
                abort();
        state.ResumeTiming();
        tovu_poll();
    }
    if (tovu_get_stream_time(kSlots - 1) != 60)
        state.SkipWithError("progress not read");
}
BENCHMARK(BM_PollPrintingSlots)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
