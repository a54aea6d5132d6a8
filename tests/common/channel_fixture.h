// Channel-control tests: a configuration document installed from JSON text,
// the engine on the fake transcoder in a temporary folder, and a stand-in
// for the engine call that keeps a copy of the records a start hands over.
#ifndef TEST_CHANNEL_FIXTURE_H
#define TEST_CHANNEL_FIXTURE_H

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "PlayList.h"
#include "libtovu/engine_fixture.h"
#include "tovu_channel_util.h"
#include "tovu_common.h"

namespace chantest {

using Text = std::optional<std::string>;

inline Text text(const char *p)
{
    return p ? Text(p) : std::nullopt;
}

struct SourceCopy {
    TOVU_FORMAT format;
    Text url, alt_url, param, video_param, map;
    std::vector<std::string> filters;
    bool filters_null;
};

struct TargetCopy {
    TOVU_TARGET rec;              // the fields; its text pointers are the caller's, kept for identity
    Text url, param, video_param;
};

// One engine call as the stand-in saw it.
struct Call {
    int channel = -1, nb_sources = 0, nb_targets = 0, mux_mode = -1, b_preview = -1;
    std::vector<SourceCopy> sources;
    std::vector<std::vector<TargetCopy>> targets; // [target][source]
};

inline std::vector<Call> &calls()
{
    static std::vector<Call> c;
    return c;
}

// What the stand-in returns to the start.
inline int &fakeResult()
{
    static int r = 0;
    return r;
}

inline int captureTranscode(int channel_id, const TOVU_SOURCE *sources, int nb_sources,
                            const TOVU_TARGET *const *targets, int nb_targets, int mux_mode, int b_preview)
{
    Call c;
    c.channel = channel_id;
    c.nb_sources = nb_sources;
    c.nb_targets = nb_targets;
    c.mux_mode = mux_mode;
    c.b_preview = b_preview;
    for (int i = 0; i < nb_sources; i++) {
        const TOVU_SOURCE &s = sources[i];
        SourceCopy sc{s.format, text(s.url), text(s.alt_url), text(s.param), text(s.video.param),
                      text(s.map), {}, s.filters == nullptr};
        for (int f = 0; f < s.nb_filters; f++)
            sc.filters.push_back(s.filters[f] ? s.filters[f] : "(null)");
        c.sources.push_back(sc);
    }
    for (int j = 0; j < nb_targets; j++) {
        std::vector<TargetCopy> row;
        for (int i = 0; i < nb_sources; i++) {
            const TOVU_TARGET &t = targets[j][i];
            row.push_back({t, text(t.url), text(t.param), text(t.video.param)});
        }
        c.targets.push_back(row);
    }
    calls().push_back(c);
    return fakeResult();
}

class ChannelTest : public tovutest::EngineTest {
protected:
    void SetUp() override
    {
        tovutest::EngineTest::SetUp();
        calls().clear();
        fakeResult() = 0;
    }
    void TearDown() override
    {
        _tovuSetChannelTranscoder(nullptr);
        {
            TovuConfigLock lock;
            cJSON_Delete(g_jsonConfig);
            g_jsonConfig = nullptr;
        }
        for (CPlayList &p : g_tovuPlaylists)
            p.build("", FALSE, FALSE, TRUE); // an empty list, not bound to a file
        tovutest::EngineTest::TearDown();
    }

    // installs the document; the text must parse
    void config(const std::string &json)
    {
        ASSERT_NE(tovuSetConfig(json.c_str()), nullptr) << json;
    }
    void capture() { _tovuSetChannelTranscoder(captureTranscode); }
    const Call &lastCall()
    {
        static const Call none;
        return calls().empty() ? none : calls().back();
    }

    // the line the fake transcoder read, without its token and line feed;
    // waits until it has been recorded whole
    std::string handedOver(int ms = 10000)
    {
        std::string line;
        poll_until([&] {
            line = tovutest::read_file(path("stdin.rec"));
            return !line.empty() && line.back() == '\n';
        }, ms);
        const std::string token = TOVU_HANDSHAKE_TOKEN;
        if (line.compare(0, token.size(), token) == 0)
            line.erase(0, token.size());
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        return line;
    }
};

} // namespace chantest

#endif
