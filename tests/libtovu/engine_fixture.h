// A temporary engine folder with the fake transcoder, and small helpers for
// the engine tests that run real child processes.
#ifndef TOVU_TEST_ENGINE_FIXTURE_H
#define TOVU_TEST_ENGINE_FIXTURE_H

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tovu_poll.h"
#include "tovu_util.h"

namespace tovutest {

// The longest wait for a condition: generous, since child processes start
// slowly on a loaded machine, and a wait that holds costs only its polls.
constexpr int kWaitMs = 20000;

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Written beside and renamed into place, so that no descriptor open for
// writing can meet a start of the file.
inline void write_file(const std::string &path, const std::string &text, mode_t mode = 0644)
{
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
    }
    chmod(tmp.c_str(), mode);
    std::filesystem::rename(tmp, path);
}

inline bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

// A source read from a file, and one output of it to UDP, streams copied.
struct Records {
    std::string in_url = "/media/in.ts";
    std::string out_url = "udp://127.0.0.1:5000";
    TOVU_SOURCE src{};
    TOVU_TARGET tgt{};
    const TOVU_TARGET *targets[1] = {&tgt};

    Records()
    {
        src.format = TOVU_FORMAT_GENERAL;
        src.url = &in_url[0];
        src.video.codec = TOVU_CODEC_COPY;
        src.audio.codec = TOVU_CODEC_COPY;
        tgt.format = TOVU_FORMAT_UDP;
        tgt.url = &out_url[0];
        tgt.video.b_enable = 1;
        tgt.video.codec = TOVU_CODEC_COPY;
        tgt.audio.b_enable = 1;
        tgt.audio.codec = TOVU_CODEC_COPY;
    }
    int start(int ch, int b_preview = 0) const
    {
        return tovu_transcode(ch, &src, 1, targets, 1, 0, b_preview);
    }
    std::string args(int ch) const
    {
        std::string s;
        EXPECT_EQ(tovu_compose_args(ch, &src, 1, targets, 1, 0, &s), 0);
        return s;
    }
};

class EngineTest : public ::testing::Test {
protected:
    std::string dir;

    void SetUp() override
    {
        char tmpl[] = "/tmp/tovu_engine_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        // the fake transcoder, told what to do by fake.conf
        std::string fake = read_file(std::string(TOVU_SOURCE_DIR) + "/tests/fixtures/fake_transcoder.sh");
        ASSERT_FALSE(fake.empty());
        write_file(path("tovul.so"), fake, 0755);
        fake_conf("FAKE_HOLD=-1\n");
    }

    void TearDown() override
    {
        tovu_free();
        _tovu_set_clock(nullptr);
        tovuSetAppCallback(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    std::string path(const std::string &name) const { return dir + "/" + name; }
    void fake_conf(const std::string &conf) { write_file(path("fake.conf"), conf); }
    std::string log_text(int ch) const
    {
        char name[32];
        snprintf(name, sizeof name, "tovu_%03d.log", ch + 1);
        return read_file(path(name));
    }

    int init(int log_level, const char *ytdlp_cookies = nullptr)
    {
        TOVU_CONFIG cfg{};
        cfg.log_level = log_level;
        cfg.dll_path = dir.c_str();
        cfg.log_path = dir.c_str();
        int ret = tovu_init(&cfg);
        if (ret == 0 && ytdlp_cookies) {
            cfg.ytdlp_path = ytdlp_cookies;
            ret = tovu_reset(&cfg);
        }
        return ret;
    }

    // polls every 5 ms until pred() holds or ms have passed
    template <class Pred> bool poll_until(Pred pred, int ms = kWaitMs)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!pred()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            tovu_poll();
        }
        return true;
    }
    bool wait_state(int ch, TOVU_CHANNEL_STATE st, int ms = kWaitMs)
    {
        return poll_until([&] { return tovu_get_state(ch) == st; }, ms);
    }
    // the fake transcoder has read its line from standard input
    bool wait_started(int ms = kWaitMs)
    {
        return poll_until([&] { return exists(path("stdin.rec")); }, ms);
    }
};

} // namespace tovutest

#endif
