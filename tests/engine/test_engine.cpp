#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "fixtures/temp_dir.h"
#include "fixtures/wait.h"
#include "tovu_engine_internal.h"

namespace fs = std::filesystem;

namespace {

void clear_engine()
{
    TovuLock lock;
    free(g_proc_channels);
    g_proc_channels = nullptr;
    memset(&g_cfg, 0, sizeof g_cfg);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class Engine : public ::testing::Test {
protected:
    tovutest::TempDir scratch{"tovu_engine"};
    std::string dir = scratch.path();

    void SetUp() override
    {
        ASSERT_FALSE(dir.empty());
        clear_engine();
    }
    void TearDown() override { clear_engine(); }

    // a transcoder stand-in in the temporary folder
    void make_transcoder(mode_t mode = 0755)
    {
        std::string path = dir + "/" TOVU_TRANSCODER_FNAME;
        std::ofstream(path) << "#!/bin/sh\nexit 0\n";
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
    }

    TOVU_CONFIG config(const char *dll, const char *log)
    {
        TOVU_CONFIG c = {};
        c.dll_path = dll;
        c.log_path = log;
        return c;
    }
};

TEST_F(Engine, InitPathRules)
{
    make_transcoder();
    struct Case { std::string dll, log, want_ffmpeg, want_log; };
    const Case cases[] = {
        {dir, dir + "/log", dir + "/tovul.so", dir + "/log/"},
        {dir + "/", dir + "/log/", dir + "/tovul.so", dir + "/log/"},
    };
    for (const Case &c : cases) {
        clear_engine();
        TOVU_CONFIG cfg = config(c.dll.c_str(), c.log.c_str());
        cfg.log_level = 32;
        cfg.nb_cpu_per_channel = 2;
        cfg.omx_path = "/x/omx.so";
        cfg.ytdlp_path = "/x/cookies.txt";
        ASSERT_EQ(tovu_init(&cfg), 0) << c.dll;
        EXPECT_EQ(std::string(g_cfg.ffmpeg_path), c.want_ffmpeg);
        EXPECT_EQ(std::string(g_cfg.log_path), c.want_log);
        EXPECT_EQ(g_cfg.b_init, 1);
        EXPECT_EQ(g_cfg.log_level, 32);
        EXPECT_EQ(g_cfg.nb_cpu_per_channel, 2);
        EXPECT_GE(g_cfg.nb_cpus, 1);
        EXPECT_LE(g_cfg.nb_cpus, TOVU_MAX_CPUS);
        // the plug-in and cookies paths wait for the first reset
        EXPECT_STREQ(g_cfg.omx_path, "");
        EXPECT_STREQ(g_cfg.ytdlp_path, "");
        ASSERT_NE(g_proc_channels, nullptr);
        EXPECT_EQ(g_cfg.nb_channels_max, 32);
        static const TOVU_CHAN_CTX zero = {};
        for (int i = 0; i < 32; i++)
            EXPECT_EQ(memcmp(&g_proc_channels[i], &zero, sizeof zero), 0) << i;
    }
}

TEST_F(Engine, ProgramDirectoryIsDefault)
{
    fs::path exe = fs::read_symlink("/proc/self/exe");
    EXPECT_EQ(std::string(tovu_get_prog_fname()), exe.string());
    EXPECT_EQ(std::string(tovu_get_prog_dir()), exe.parent_path().string());

    // no transcoder beside the test program: refused, but the paths are set
    TOVU_CONFIG cfg = config(nullptr, nullptr);
    EXPECT_EQ(tovu_init(&cfg), TOVU_ERR_BUSY);
    EXPECT_EQ(std::string(g_cfg.ffmpeg_path), exe.parent_path().string() + "/tovul.so");
    EXPECT_EQ(std::string(g_cfg.log_path), exe.parent_path().string() + "/");
    EXPECT_EQ(g_cfg.b_init, 0);

    make_transcoder();
    cfg = config(dir.c_str(), nullptr);
    ASSERT_EQ(tovu_init(&cfg), 0);
    EXPECT_EQ(std::string(g_cfg.log_path), exe.parent_path().string() + "/");
}

TEST_F(Engine, InitRefusesMissingOrNotExecutableTranscoder)
{
    for (bool present : {false, true}) {
        clear_engine();
        if (present)
            make_transcoder(0644);
        TOVU_CONFIG cfg = config(dir.c_str(), dir.c_str());
        EXPECT_EQ(tovu_init(&cfg), TOVU_ERR_BUSY);
        EXPECT_EQ(g_cfg.b_init, 0);
        EXPECT_EQ(g_proc_channels, nullptr);
        // an engine that is not set up logs nothing and starts nothing
        EXPECT_EQ(tovu_logf(0, 1, "x"), -1);
        EXPECT_EQ(tovu_get_state(0), TOVU_STATE_IDLE);
    }
}

TEST_F(Engine, OverlongPathsAreRefusedNotCut)
{
    make_transcoder();
    std::string huge(300, 'a');
    std::string almost = "/" + std::string(250, 'b');  // fits, but not with "/tovul.so"
    for (const std::string &dll : {huge, almost}) {
        clear_engine();
        TOVU_CONFIG cfg = config(dll.c_str(), dir.c_str());
        EXPECT_EQ(tovu_init(&cfg), TOVU_ERR_BUSY);
        EXPECT_STREQ(g_cfg.ffmpeg_path, "");
        EXPECT_EQ(g_cfg.b_init, 0);
    }

    std::string long_log = "/" + std::string(254, 'c');  // no room for the final "/"
    for (const std::string &log : {huge, long_log}) {
        clear_engine();
        TOVU_CONFIG cfg = config(dir.c_str(), log.c_str());
        EXPECT_EQ(tovu_init(&cfg), TOVU_ERR_LOG);
        EXPECT_STREQ(g_cfg.log_path, "");
        EXPECT_EQ(g_cfg.b_init, 0);
        EXPECT_EQ(g_proc_channels, nullptr);
    }

    clear_engine();
    TOVU_CONFIG cfg = config(dir.c_str(), dir.c_str());
    ASSERT_EQ(tovu_init(&cfg), 0);
    cfg.omx_path = huge.c_str();
    cfg.ytdlp_path = huge.c_str();
    EXPECT_EQ(tovu_reset(&cfg), 0);
    EXPECT_STREQ(g_cfg.omx_path, "");
    EXPECT_STREQ(g_cfg.ytdlp_path, "");
}

TEST_F(Engine, SecondInitChangesNothing)
{
    make_transcoder();
    std::string log = dir + "/log";
    TOVU_CONFIG cfg = config(dir.c_str(), log.c_str());
    cfg.log_level = 16;
    ASSERT_EQ(tovu_init(&cfg), 0);
    TOVU_GLOBAL before = g_cfg;
    TOVU_CHAN_CTX *table = g_proc_channels;

    TOVU_CONFIG other = config("/nowhere", "/elsewhere");
    other.log_level = 48;
    other.nb_cpu_per_channel = 3;
    other.ytdlp_path = "/c.txt";
    EXPECT_EQ(tovu_init(&other), 0);
    EXPECT_EQ(memcmp(&before, &g_cfg, sizeof before), 0);
    EXPECT_EQ(g_proc_channels, table);
}

TEST_F(Engine, ResetOfInitialisedEngine)
{
    make_transcoder();
    std::string log = dir + "/log";
    TOVU_CONFIG cfg = config(dir.c_str(), log.c_str());
    ASSERT_EQ(tovu_init(&cfg), 0);
    TOVU_CHAN_CTX *table = g_proc_channels;

    TOVU_CONFIG r = config("/nowhere", "/elsewhere");
    r.log_level = 32;
    r.nb_cpu_per_channel = 4;
    r.omx_path = "/opt/omx/core.so";
    r.ytdlp_path = "/etc/cookies.txt";
    EXPECT_EQ(tovu_reset(&r), 0);
    EXPECT_EQ(g_cfg.log_level, 32);
    EXPECT_STREQ(g_cfg.omx_path, "/opt/omx/core.so");
    EXPECT_STREQ(g_cfg.ytdlp_path, "/etc/cookies.txt");
    EXPECT_EQ(std::string(g_cfg.ffmpeg_path), dir + "/tovul.so");
    EXPECT_EQ(std::string(g_cfg.log_path), log + "/");
    EXPECT_EQ(g_cfg.nb_cpu_per_channel, 0);
    EXPECT_EQ(g_proc_channels, table);

    // a null cookies file turns yt-dlp off again
    r.log_level = 0;
    r.omx_path = nullptr;
    r.ytdlp_path = nullptr;
    EXPECT_EQ(tovu_reset(&r), 0);
    EXPECT_EQ(g_cfg.log_level, 0);
    EXPECT_STREQ(g_cfg.omx_path, "");
    EXPECT_STREQ(g_cfg.ytdlp_path, "");
}

TEST_F(Engine, ResetOfUninitialisedEngineInitialises)
{
    TOVU_CONFIG cfg = config(dir.c_str(), dir.c_str());
    cfg.log_level = 8;
    EXPECT_EQ(tovu_reset(&cfg), TOVU_ERR_BUSY);  // no transcoder yet
    EXPECT_EQ(g_cfg.b_init, 0);

    make_transcoder();
    cfg.ytdlp_path = "/c.txt";
    EXPECT_EQ(tovu_reset(&cfg), 0);
    EXPECT_EQ(g_cfg.b_init, 1);
    EXPECT_EQ(g_cfg.log_level, 8);
    EXPECT_NE(g_proc_channels, nullptr);
    EXPECT_STREQ(g_cfg.ytdlp_path, "");  // as tovu_init: paths wait for a reset
}

TEST_F(Engine, SettersAndGetters)
{
    tovu_set_cpu_affinity(3);
    EXPECT_EQ(g_cfg.nb_cpu_per_channel, 3);
    TOVU_CALLBACK cb = [](void *, const char *) {};
    tovuSetAppCallback(cb);
    EXPECT_EQ(g_cfg.fnAppCallback, cb);

    // no table: every slot reads as one outside the table
    for (int ch : {-1, 0, 31, 32}) {
        EXPECT_EQ(tovu_get_state(ch), TOVU_STATE_IDLE);
        EXPECT_EQ(tovu_get_stream_time(ch), -1);
        EXPECT_EQ(tovu_get_stream_fps(ch), -1);
        EXPECT_EQ(tovu_get_stream_bitrate(ch), -1);
        EXPECT_EQ(tovu_get_exit_code(ch), 0);
        tovu_stop(ch, 1);  // harmless
    }

    make_transcoder();
    TOVU_CONFIG cfg = config(dir.c_str(), dir.c_str());
    ASSERT_EQ(tovu_init(&cfg), 0);
    for (int ch : {-1, 32, 1000}) {
        EXPECT_EQ(tovu_get_state(ch), TOVU_STATE_IDLE);
        EXPECT_EQ(tovu_get_stream_time(ch), -1);
        EXPECT_EQ(tovu_get_stream_fps(ch), -1);
        EXPECT_EQ(tovu_get_stream_bitrate(ch), -1);
        EXPECT_EQ(tovu_get_exit_code(ch), 0);
    }
    // a slot never started reports zero figures
    EXPECT_EQ(tovu_get_stream_time(0), 0);
    EXPECT_EQ(tovu_get_stream_fps(31), 0);

    TOVU_CHAN_CTX &s = g_proc_channels[31];
    s.state = TOVU_STATE_NOSIGNAL;
    s.streaming_time = 62;
    s.fps = 25;
    s.bitrate = 1500;
    s.proc.exit_code = 0x0900;
    EXPECT_EQ(tovu_get_state(31), TOVU_STATE_NOSIGNAL);
    EXPECT_EQ(tovu_get_stream_time(31), 62);
    EXPECT_EQ(tovu_get_stream_fps(31), 25);
    EXPECT_EQ(tovu_get_stream_bitrate(31), 1500);
    EXPECT_EQ(tovu_get_exit_code(31), 0x0900);
}

TEST_F(Engine, LockIsRecursiveAndHeldByGetters)
{
    make_transcoder();
    TOVU_CONFIG cfg = config(dir.c_str(), dir.c_str());
    ASSERT_EQ(tovu_init(&cfg), 0);

    std::atomic<bool> done{false};
    std::atomic<pid_t> readerTid{0};
    std::thread reader;
    {
        TovuLock outer;
        TovuLock inner;  // the same thread may take it again
        EXPECT_EQ(tovu_get_state(0), TOVU_STATE_IDLE);
        reader = std::thread([&] {
            readerTid = gettid();
            tovu_get_state(0);
            done = true;
        });
        // waits while another thread holds the lock
        EXPECT_TRUE(tovutest::waitUntil([&] { return readerTid != 0 && tovutest::threadWaitsOnLock(readerTid); }));
        EXPECT_FALSE(done);
    }
    reader.join();
    EXPECT_TRUE(done);
}

// A child that runs until signalled; with ignore_int it survives SIGINT.
// Returns once the child has replaced itself by sleep (the close-on-exec pipe
// reads end of file), so that no signal reaches it half set up.
pid_t spawn_child(bool ignore_int = false)
{
    int sync[2];
    if (pipe2(sync, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        if (ignore_int)
            signal(SIGINT, SIG_IGN);
        execl("/bin/sleep", "sleep", "30", (char *)nullptr);
        _exit(127);
    }
    close(sync[1]);
    char c;
    while (read(sync[0], &c, 1) < 0 && errno == EINTR) {
    }
    close(sync[0]);
    return pid;
}

// The signal that ended the child, 0 when it still runs after timeout_ms.
int wait_signal(pid_t pid, int timeout_ms = 5000)
{
    int sig = 0;
    tovutest::waitUntil([&] {
        int status;
        if (waitpid(pid, &status, WNOHANG) != pid)
            return false;
        sig = WIFSIGNALED(status) ? WTERMSIG(status) : -1;
        return true;
    }, timeout_ms);
    return sig;
}

void reap(pid_t pid)
{
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

class Stop : public Engine {
protected:
    std::string log_file;
    void SetUp() override
    {
        Engine::SetUp();
        make_transcoder();
        TOVU_CONFIG cfg = config(dir.c_str(), dir.c_str());
        cfg.log_level = 32;
        ASSERT_EQ(tovu_init(&cfg), 0);
        log_file = dir + "/tovu_006.log";  // slot 5
    }
};

TEST_F(Stop, ModesOnBusySlot)
{
    struct Case { int mode; int sig; const char *text; };
    const Case cases[] = {
        {0, SIGINT, "] stop transcoding\n"},
        {1, SIGKILL, "] stop transcoding forcedly\n"},
    };
    for (const Case &c : cases) {
        unlink(log_file.c_str());
        pid_t pid = spawn_child();
        ASSERT_GT(pid, 0);
        g_proc_channels[5].proc.pid = pid;
        g_proc_channels[5].state = TOVU_STATE_RUNNING;
        tovu_stop(5, c.mode);
        int sig = wait_signal(pid);
        if (sig == 0)
            reap(pid);
        EXPECT_EQ(sig, c.sig) << c.mode;
        EXPECT_EQ(tovu_get_state(5), TOVU_STATE_STOPPING);
        std::string log = read_file(log_file);
        EXPECT_EQ(log.compare(0, 4, "\xEF\xBB\xBF["), 0) << log;
        EXPECT_NE(log.find(c.text), std::string::npos) << log;
    }
}

TEST_F(Stop, StoppingSlotIsStoppedAgain)
{
    pid_t pid = spawn_child(true);
    ASSERT_GT(pid, 0);
    g_proc_channels[5].proc.pid = pid;
    g_proc_channels[5].state = TOVU_STATE_PREVIEW;
    tovu_stop(5, 0);
    EXPECT_EQ(tovu_get_state(5), TOVU_STATE_STOPPING);
    EXPECT_EQ(wait_signal(pid, 100), 0);  // it ignores the interrupt
    tovu_stop(5, 1);
    int sig = wait_signal(pid);
    if (sig == 0)
        reap(pid);
    EXPECT_EQ(sig, SIGKILL);
    std::string log = read_file(log_file);
    EXPECT_NE(log.find("] stop transcoding\n"), std::string::npos);
    EXPECT_NE(log.find("] stop transcoding forcedly\n"), std::string::npos);
}

TEST_F(Stop, NothingHappensOnIdleSlotOrUnknownMode)
{
    pid_t pid = spawn_child();
    ASSERT_GT(pid, 0);
    g_proc_channels[5].proc.pid = pid;

    // idle: no signal, no log line
    tovu_stop(5, 0);
    tovu_stop(5, 1);
    EXPECT_EQ(tovu_get_state(5), TOVU_STATE_IDLE);

    // busy, unknown modes
    g_proc_channels[5].state = TOVU_STATE_RUNNING;
    for (int mode : {2, -1, 9})
        tovu_stop(5, mode);
    EXPECT_EQ(tovu_get_state(5), TOVU_STATE_RUNNING);

    EXPECT_EQ(wait_signal(pid, 100), 0);
    EXPECT_FALSE(fs::exists(log_file));
    reap(pid);
}

TEST_F(Stop, BusySlotWithoutProcessStillStops)
{
    g_proc_channels[5].proc.pid = 0;
    g_proc_channels[5].state = TOVU_STATE_EXTRACT;
    tovu_stop(5, 1);
    EXPECT_EQ(tovu_get_state(5), TOVU_STATE_STOPPING);
    EXPECT_NE(read_file(log_file).find("] stop transcoding forcedly\n"), std::string::npos);

    // logging off: stopped, nothing written
    unlink(log_file.c_str());
    g_cfg.log_level = 0;
    g_proc_channels[5].state = TOVU_STATE_RUNNING;
    tovu_stop(5, 0);
    EXPECT_EQ(tovu_get_state(5), TOVU_STATE_STOPPING);
    EXPECT_FALSE(fs::exists(log_file));
}

} // namespace
