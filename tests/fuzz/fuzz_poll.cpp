// Transcoder output from outside through the supervision poll, with a fake
// transcoder that holds its slot and reads nothing back. The progress
// figures change only where the output carries " time=", the failover state
// follows only its own messages, and the slot stays in a running state.
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "fuzz_util.h"
#include "tovu_poll.h"
#include "tovu_engine_internal.h"

namespace {

constexpr int kSlot = 0;
// more than one pass reads, so a long input also runs over several chunks
constexpr size_t kMaxInput = 60000;

time_t fixed_clock()
{
    return 1000; // the hang check never fires
}

// The fake transcoder: SIGINT (a stop) does not end it, and it ends by
// itself once the engine's end of its standard input goes, with this run.
const char kFake[] = "#!/bin/sh\ntrap '' INT\nexec cat >/dev/null\n";

// the child's ignored signals, as /proc shows them, include SIGINT
bool ignoresInterrupt(pid_t pid)
{
    std::string status = tovufuzz::readFile("/proc/" + std::to_string(pid) + "/status");
    size_t p = status.find("SigIgn:");
    if (p == std::string::npos)
        return false;
    unsigned long long mask = strtoull(status.c_str() + p + 7, nullptr, 16);
    return mask & (1ULL << (SIGINT - 1));
}

void start()
{
    TOVU_SOURCE src{};
    src.url = const_cast<char *>("/in.ts");
    TOVU_TARGET tgt{};
    tgt.format = TOVU_FORMAT_UDP;
    tgt.url = const_cast<char *>("udp://127.0.0.1:1");
    tgt.video.b_enable = 1;
    tgt.video.codec = TOVU_CODEC_COPY;
    const TOVU_TARGET *targets[] = {&tgt};
    int ret = tovu_transcode(kSlot, &src, 1, targets, 1, 0, 0);
    FUZZ_CHECK(ret == 0, "the fake transcoder did not start (%d)", ret);
    // a stop message before the fake ignores SIGINT would end it: wait for that
    const pid_t pid = g_proc_channels[kSlot].proc.pid;
    for (int i = 0; i < 1000 && !ignoresInterrupt(pid); i++)
        usleep(5000);
    FUZZ_CHECK(ignoresInterrupt(pid), "the fake transcoder does not ignore SIGINT");
}

bool setUp()
{
    const std::string dir = tovufuzz::scratch();
    const std::string fake = dir + "/tovul.so";
    FUZZ_CHECK(tovufuzz::writeFile(fake, kFake, sizeof kFake - 1) && chmod(fake.c_str(), 0755) == 0,
               "cannot write the fake transcoder");
    TOVU_CONFIG cfg{};
    cfg.dll_path = dir.c_str();
    cfg.log_path = dir.c_str();
    FUZZ_CHECK(tovu_init(&cfg) == 0, "engine set-up failed");
    _tovu_set_clock(fixed_clock);
    start();
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = setUp();
    (void)ready;
    if (size < 1 || size - 1 > kMaxInput)
        return 0;
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    const TOVU_CHANNEL_STATE from = (data[0] & 1) ? TOVU_STATE_NOSIGNAL : TOVU_STATE_RUNNING;

    int fd;
    {
        TovuLock lock;
        TOVU_CHAN_CTX &c = g_proc_channels[kSlot];
        if (c.state == TOVU_STATE_IDLE) { // the fake ended after all: start it again
            start();
        }
        c.state = from;
        c.streaming_time = c.fps = c.bitrate = -1;
        fd = c.proc.pipe_stdout[1];
    }
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        FUZZ_CHECK(n > 0, "cannot feed the output pipe");
        done += (size_t)n;
    }
    tovu_poll();

    TovuLock lock;
    const TOVU_CHAN_CTX &c = g_proc_channels[kSlot];
    const bool has_time = text.find(" time=") != std::string::npos;
    FUZZ_CHECK(c.streaming_time == -1 || has_time, "stream time %d without \" time=\"", c.streaming_time);
    FUZZ_CHECK(c.fps == -1 || (has_time && text.find(" fps=") != std::string::npos), "fps %d", c.fps);
    FUZZ_CHECK(c.bitrate == -1 || (has_time && text.find(" bitrate=") != std::string::npos),
               "bitrate %d", c.bitrate);
    FUZZ_CHECK(c.state == TOVU_STATE_RUNNING || c.state == TOVU_STATE_NOSIGNAL ||
                   c.state == TOVU_STATE_STOPPING,
               "state %d (pid %d, status 0x%x)", (int)c.state, (int)c.proc.pid, c.proc.exit_code);
    const bool stop = text.find("There's no buffered audio. Audio will misbehave!") != std::string::npos ||
                      text.find("output video frame freezing") != std::string::npos;
    FUZZ_CHECK(c.state != TOVU_STATE_STOPPING || stop, "stopped without a stop message");
    if (c.state != TOVU_STATE_STOPPING && c.state != from) {
        const char *msg = from == TOVU_STATE_RUNNING ? "primary input timed out, switching to secondary input"
                                                     : "primary input available again, switching back";
        FUZZ_CHECK(text.find(msg) != std::string::npos, "state %d -> %d without its message", (int)from,
                   (int)c.state);
    }
    return 0;
}
