// Engine records from outside (the configuration, through channel control)
// through the whole argument string. A string that is composed is one line,
// within its limit, and its rate-control figures lie in the range that the
// encoders take; a record text with a line break is always refused.
#include <fuzzer/FuzzedDataProvider.h>

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_util.h"
#include "tovu_engine_internal.h"

namespace {

const TOVU_CODEC kCodecs[] = {
    TOVU_AUDIO_G711U, TOVU_AUDIO_MP2,  TOVU_AUDIO_AAC,   TOVU_AUDIO_OPUS,  TOVU_AUDIO_EAC3,
    TOVU_VIDEO_H261,  TOVU_VIDEO_H263, TOVU_VIDEO_FLV,   TOVU_VIDEO_H264,  TOVU_VIDEO_H265,
    TOVU_VIDEO_NV264, TOVU_VIDEO_NV265, TOVU_VIDEO_QSVVP9, TOVU_VIDEO_AMF264, TOVU_VIDEO_OMX264,
    TOVU_VIDEO_NIAV1, TOVU_VIDEO_PRORES, TOVU_VIDEO_VP9,  TOVU_VIDEO_AV1,   TOVU_CODEC_COPY,
    TOVU_CODEC_NULL,  (TOVU_CODEC)77,
};

class Builder {
public:
    explicit Builder(FuzzedDataProvider &fdp) : fdp_(fdp) {}

    // a text, as an index into the store until fix() makes it a pointer
    char *text(size_t max = 64)
    {
        if (fdp_.ConsumeIntegralInRange(0, 5) == 0)
            return nullptr;
        store_.push_back(fdp_.ConsumeRandomLengthString(max));
        return reinterpret_cast<char *>(store_.size()); // an index + 1, resolved by fix()
    }
    int number()
    {
        switch (fdp_.ConsumeIntegralInRange(0, 3)) {
        case 0: return 0;
        case 1: return fdp_.ConsumeIntegralInRange(-10, 200);
        case 2: return fdp_.ConsumeIntegralInRange(0, 100000);
        default: return fdp_.ConsumeIntegral<int>();
        }
    }
    TOVU_CODEC codec() { return fdp_.PickValueInArray(kCodecs); }
    TOVU_FORMAT format()
    {
        int f = fdp_.ConsumeIntegralInRange(0, 18);
        return f == 18 ? TOVU_FORMAT_NULL : (TOVU_FORMAT)f;
    }
    void rtp(TOVU_RTP_SESSION &r)
    {
        r.ulSrcIP = fdp_.ConsumeIntegral<uint32_t>();
        r.usSrcPort = fdp_.ConsumeIntegral<uint16_t>();
        r.ulDstIP = fdp_.ConsumeIntegral<uint32_t>();
        r.usDstPort = fdp_.ConsumeIntegral<uint16_t>();
        r.globalHeader = fdp_.ConsumeBool() ? OUT_OF_BAND : IN_BAND;
        std::string f = fdp_.ConsumeRandomLengthString(40);
        snprintf(r.szFmtp, sizeof r.szFmtp, "%s", f.c_str());
    }
    void video(TOVU_VIDEO_STREAM &v)
    {
        v.b_enable = fdp_.ConsumeBool();
        v.codec = codec();
        v.width = number();
        v.height = number();
        v.fps = fdp_.ConsumeBool() ? (float)fdp_.ConsumeIntegralInRange(0, 120)
                                   : fdp_.ConsumeFloatingPoint<float>();
        v.key_frame_intv = number();
        v.quality = number();
        v.kbps = number();
        v.interlacing = fdp_.ConsumeIntegralInRange(-1, 4);
        v.param = text();
        rtp(v.rtp);
    }
    void audio(TOVU_AUDIO_STREAM &a)
    {
        a.b_enable = fdp_.ConsumeBool();
        a.codec = codec();
        a.nb_channels = number();
        a.sample_rate = number();
        a.kbps = number();
        a.param = text();
        rtp(a.rtp);
    }

    // turns the index placeholders into pointers, now that the store is complete
    void fix(char *&p)
    {
        if (p)
            p = &store_[reinterpret_cast<size_t>(p) - 1][0];
    }

    FuzzedDataProvider &fdp_;
    std::vector<std::string> store_;
};

// the figure of every option opt in s, after its stream suffix (":v", ":v:1")
std::vector<double> figuresAfter(const std::string &s, const char *opt)
{
    std::vector<double> out;
    for (size_t p = s.find(opt); p != std::string::npos; p = s.find(opt, p + 1)) {
        size_t q = p + strlen(opt);
        while (q < s.size() && (s[q] == ':' || isalnum((unsigned char)s[q])))
            q++;
        out.push_back(strtod(s.c_str() + q, nullptr));
    }
    return out;
}

bool hasBreak(const char *s)
{
    return s && strpbrk(s, "\r\n");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = [] {
        snprintf(g_cfg.log_path, sizeof g_cfg.log_path, "%s/", tovufuzz::scratch().c_str());
        return true;
    }();
    (void)ready;

    FuzzedDataProvider fdp(data, size);
    Builder b(fdp);
    g_cfg.log_level = fdp.ConsumeBool() ? 32 : 0;
    snprintf(g_cfg.omx_path, sizeof g_cfg.omx_path, "%s", fdp.ConsumeBool() ? "/opt/omx.so" : "");
    const int channel_id = fdp.ConsumeIntegralInRange(0, 31);
    const int mux_mode = fdp.ConsumeIntegralInRange(0, 2);
    const int nb_sources = fdp.ConsumeIntegralInRange(1, 3);
    const int nb_targets = fdp.ConsumeIntegralInRange(0, 3);

    std::vector<TOVU_SOURCE> sources(nb_sources);
    std::vector<std::vector<char *>> filters(nb_sources);
    for (int i = 0; i < nb_sources; i++) {
        TOVU_SOURCE &s = sources[i];
        memset(&s, 0, sizeof s);
        s.format = b.format();
        s.url = b.text(128);
        s.alt_url = fdp.ConsumeBool() ? b.text() : nullptr;
        s.param = b.text();
        s.map = b.text();
        b.video(s.video);
        b.audio(s.audio);
        for (int f = fdp.ConsumeIntegralInRange(0, 3); f > 0; f--)
            filters[i].push_back(b.text());
    }
    std::vector<std::vector<TOVU_TARGET>> rows(nb_targets, std::vector<TOVU_TARGET>(nb_sources));
    for (auto &row : rows)
        for (TOVU_TARGET &t : row) {
            memset(&t, 0, sizeof t);
            t.format = b.format();
            t.url = b.text(128);
            t.param = b.text();
            t.mux_kbps = b.number();
            b.video(t.video);
            b.audio(t.audio);
        }

    // every text pointer now points into the finished store
    for (int i = 0; i < nb_sources; i++) {
        TOVU_SOURCE &s = sources[i];
        for (char **p : {&s.url, &s.alt_url, &s.param, &s.map, &s.video.param, &s.audio.param})
            b.fix(*p);
        for (char *&f : filters[i])
            b.fix(f);
        s.filters = filters[i].empty() ? nullptr : filters[i].data();
        s.nb_filters = (int)filters[i].size();
    }
    for (auto &row : rows)
        for (TOVU_TARGET &t : row)
            for (char **p : {&t.url, &t.param, &t.video.param, &t.audio.param})
                b.fix(*p);
    std::vector<const TOVU_TARGET *> targets;
    for (auto &row : rows)
        targets.push_back(row.data());

    bool brk = false;
    const int n = mux_mode == 2 ? 1 : nb_sources;
    for (const TOVU_SOURCE &s : sources) {
        brk = brk || hasBreak(s.url) || hasBreak(s.alt_url) || hasBreak(s.param) || hasBreak(s.map) ||
              hasBreak(s.video.param) || hasBreak(s.audio.param) || hasBreak(s.video.rtp.szFmtp) ||
              hasBreak(s.audio.rtp.szFmtp);
        for (int f = 0; f < s.nb_filters; f++)
            brk = brk || hasBreak(s.filters[f]);
    }
    for (auto &row : rows)
        for (int i = 0; i < n; i++)
            brk = brk || hasBreak(row[i].url) || hasBreak(row[i].param) ||
                  hasBreak(row[i].video.param) || hasBreak(row[i].audio.param);

    std::string out = "stale";
    int ret = tovu_compose_args(channel_id, sources.data(), nb_sources,
                                targets.empty() ? nullptr : targets.data(), nb_targets, mux_mode, &out);
    if (brk)
        FUZZ_CHECK(ret == TOVU_ERR_LINE_BREAK, "a line break was not refused (%d)", ret);
    switch (ret) {
    case 0:
        break;
    case TOVU_ERR_RTP_INPUT:
    case TOVU_ERR_NO_SOURCE_URL:
    case TOVU_ERR_NO_TARGET_URL:
    case TOVU_ERR_NO_ENCODER:
    case TOVU_ERR_BAD_TARGET_FORMAT:
    case TOVU_ERR_ARGS_TOO_LONG:
    case TOVU_ERR_LINE_BREAK:
        FUZZ_CHECK(out.empty(), "a refused string is kept");
        return 0;
    default:
        FUZZ_CHECK(false, "unknown result %d", ret);
    }

    FUZZ_CHECK(out.find_first_of("\r\n") == std::string::npos, "line break in the string");
    FUZZ_CHECK(out.size() <= TOVU_ARG_STR_MAX, "string of %zu characters", out.size());
    FUZZ_CHECK(out.find('\0') == std::string::npos, "NUL in the string");
    // (texts of the records may name these options themselves)
    bool named = false;
    for (const std::string &t : b.store_)
        named = named || t.find("-crf") != std::string::npos || t.find("-qm") != std::string::npos;
    if (!named)
        for (const char *opt : {"-crf", "-qmin", "-qmax"})
            for (double q : figuresAfter(out, opt))
                FUZZ_CHECK(q >= 0 && q <= 51, "%s %g in %s", opt, q, out.c_str());
    return 0;
}
