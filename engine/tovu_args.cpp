// The transcoder's argument string: input parts, filter parts (user filters
// and the failover graph), stream maps and output parts, and the whole
// composition of one start.
//
// Everything is appended to a growing std::string, so no piece can overrun a
// buffer; the finished string is refused when it is longer than the
// transcoder takes (TOVU_ARG_STR_MAX).
#include "tovu_engine_internal.h"

#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <charconv>
#include <string>
#include <string_view>

namespace {

// Credit drawn over the alternate video of the failover graph. It goes into
// the filter graph unescaped: no ':', ',', ';', '[', ']', quote or '%'.
const char kFailoverCaption[] = "Powered by tovul";

// Quality settings run from 1 (lowest) to 100; the rate-control figure
// (100 - quality) * 51 / 99 then stays within the 0..51 that the encoders
// take. A larger setting is taken as 100.
const int kMaxQuality = 100;

// the 1-based slot number in file names and addresses, in a width that
// cannot overflow whatever the caller passed
inline long long slot_number(int channel_id)
{
    return (long long)channel_id + 1;
}

// a CR or LF in a text; a fixed field is looked at only within its size,
// as it may lack its NUL
bool has_line_break(const char *s, size_t sz = (size_t)-1)
{
    if (!s)
        return false;
    if (sz == (size_t)-1)
        return strpbrk(s, "\r\n") != nullptr;   // one pass, up to the NUL
    size_t n = strnlen(s, sz);
    return memchr(s, '\n', n) || memchr(s, '\r', n);
}

bool rtp_has_line_break(const TOVU_RTP_SESSION &rtp)
{
    return has_line_break(rtp.szFmtp, sizeof rtp.szFmtp);
}

// A double quote in a text that the string puts between double quotes would
// end the quoted word there and hand the rest over as options of its own.
bool has_quote(const char *s)
{
    return s && strchr(s, '"') != nullptr;
}

inline bool empty(const char *s)
{
    return !s || !*s;
}

inline void put(std::string &s, const char *t)
{
    if (t)
        s.append(t);
}

inline void put(std::string &s, long long v)
{
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    s.append(buf, (size_t)(r.ptr - buf));
}

// "%s " with a text, when it is not empty.
inline void put_word(std::string &s, const char *t)
{
    if (!empty(t)) {
        s += t;
        s += ' ';
    }
}

// "<opt><suffix> <v><unit> ", as in "-b:v:1 2000k ".
void put_opt(std::string &s, std::string_view opt, const std::string &suffix, int v,
             std::string_view unit = {})
{
    s += opt;
    s += suffix;
    s += ' ';
    put(s, v);
    s += unit;
    s += ' ';
}

// "<opt><suffix> <text> ".
void put_opt(std::string &s, std::string_view opt, const std::string &suffix, const char *t)
{
    s += opt;
    s += suffix;
    s += ' ';
    put(s, t);
    s += ' ';
}

// Numbers with a fraction are written as printf's "%g" (general) or "%.1f"
// (fixed, precision 1) would write them in the "C" locale: always with a
// full stop, whatever locale the process runs under.
void put_general(std::string &s, float v)
{
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, (double)v, std::chars_format::general, 6);
    if (r.ec == std::errc())
        s.append(buf, (size_t)(r.ptr - buf));
}

void put_fixed1(std::string &s, float v)
{
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, (double)v, std::chars_format::fixed, 1);
    if (r.ec == std::errc())
        s.append(buf, (size_t)(r.ptr - buf));
}

// The first occurrence of pat in s at or after from; npos when none.
// std::string's find looks for a pattern's first character and compares the
// rest wherever it meets one. The blanks, '-' and ':' that the patterns
// begin with stand at nearly every word of an argument string, so the search
// goes by the pattern's first other character and then checks what lies
// before it.
size_t find_from(const std::string &s, std::string_view pat, size_t from = 0)
{
    const size_t k = pat.find_first_not_of(" -:");
    if (k == 0 || k == std::string_view::npos)
        return s.find(pat, from);
    const std::string_view head = pat.substr(0, k), tail = pat.substr(k);
    for (size_t p = s.find(tail, from + k); p != std::string::npos; p = s.find(tail, p + 1))
        if (s.compare(p - k, k, head) == 0)
            return p - k;
    return std::string::npos;
}

// The last occurrence of pat in s that begins at or after lo; npos when none.
size_t rfind_from(const std::string &s, std::string_view pat, size_t lo)
{
    size_t last = std::string::npos;
    for (size_t p = find_from(s, pat, lo); p != std::string::npos; p = find_from(s, pat, p + 1))
        last = p;
    return last;
}

// State shared by the pieces of one composition. The string only grows
// between two looks for "-hwaccel ", so each look scans only what is new.
struct Composer {
    std::string &s;
    size_t hw_scanned = 0;
    bool hw_found = false;
    // where the current output's own part begins; npos when not known
    size_t output_start = std::string::npos;

    explicit Composer(std::string &str) : s(str) {}
    Composer(const Composer &) = delete;
    Composer &operator=(const Composer &) = delete;

    bool has_hwaccel()
    {
        static const char pat[] = "-hwaccel ";
        const size_t n = sizeof pat - 1;
        if (!hw_found) {
            size_t from = hw_scanned >= n - 1 ? hw_scanned - (n - 1) : 0;
            hw_found = find_from(s, pat, from) != std::string::npos;
            hw_scanned = s.size();
        }
        return hw_found;
    }
};

// ---------------------------------------------------------------- inputs

int make_input(Composer &c, int channel_id, const TOVU_SOURCE *src)
{
    std::string &s = c.s;
    put_word(s, src->param);
    put_word(s, src->video.param);

    if (src->format == TOVU_FORMAT_RTP) {
        if (src->video.rtp.usSrcPort == 0)
            return TOVU_ERR_RTP_INPUT;
        char name[48];
        snprintf(name, sizeof name, "tovu_%03lld_in.sdp", slot_number(channel_id));
        std::string sdp_fname(g_cfg.log_path, strnlen(g_cfg.log_path, sizeof g_cfg.log_path));
        sdp_fname += name;
        if (tovuExportSdp(sdp_fname.c_str(), &src->video, &src->audio, 1) != 0)
            return TOVU_ERR_RTP_INPUT;
        s += "-i \"";
        s += sdp_fname;
        s += "\" ";
        return 0;
    }

    const char *url = src->url;
    if (empty(url))
        return TOVU_ERR_NO_SOURCE_URL;

    switch (src->format) {
    case TOVU_FORMAT_DEVICE: {
        // '/dev/video0?video_size=1280x720&framerate=30' becomes
        // "-f v4l2 -video_size 1280x720 -framerate 30 -i /dev/video0 "
        s += "-f v4l2";
        const char *q = strchr(url, '?');
        if (q) {
            for (const char *p = q; *p; p++) {
                if (*p == '?' || *p == '&')
                    s += " -";
                else if (*p == '=')
                    s += ' ';
                else
                    s += *p;
            }
        }
        s += " -i ";
        if (q) {
            // the device path ends where its query begins
            s.append(url, (size_t)(q - url));
            s += ' ';
        } else {
            s += url;
            s += ' ';
        }
        break;
    }
    case TOVU_FORMAT_DECKLINK:
        s += "-f decklink -i \"";
        s += url;
        s += "\" ";
        break;
    case TOVU_FORMAT_NDI:
        s += "-f libndi_newtek -i \"";
        s += url;
        s += "\" ";
        break;
    default:
        if (!_is_realtime_url(url))
            s += "-re ";
        if (tovu_strncasecmp(url, "rtspt://", 8) == 0) {
            s += "-rtsp_transport tcp -i \"rtsp://";
            s += url + 8;
        } else {
            s += "-i \"";
            s += url;
        }
        s += "\" ";
        break;
    }
    return 0;
}

// ---------------------------------------------------------------- filters

// A filter as the configuration holds it is written with one level of
// quoting: a single-quoted part is taken literally, and outside quotes a
// backslash escapes the character after it. The transcoder's filter graphs
// read two levels (the graph, then each filter's options), so a ':' and a
// '\' get a backslash of their own: inside quotes they then stay literal for
// the options as well, and outside quotes the graph's reading takes the
// backslash off again. An escaped apostrophe outside quotes ("'Bob'\''s'")
// keeps its backslash for the options' reading, where it is literal too.
//
// A double quote would end the double-quoted word that carries the filters
// in the argument string: it is written as "'"'" (the word's quotes closed,
// the double quote between single quotes, the word's quotes reopened), which
// leaves the graph a double quote, single-quoted or not, that it reads as
// itself.
void esc(std::string &s, const char *src)
{
    if (!src)
        return;
    bool quoted = false, escaped = false;
    for (const char *p = src; *p; p++) {
        const char c = *p;
        if (c == '"') {
            s += "\"'\"'\"";
        } else if (c == '\'') {
            if (escaped)
                s += "\\'";
            else {
                s += c;
                quoted = !quoted;
            }
        } else {
            if (c == ':' || c == '\\')
                s += '\\';
            s += c;
        }
        escaped = !quoted && !escaped && c == '\\';
    }
}

void put_filters_escaped(std::string &s, const TOVU_SOURCE *src)
{
    for (int i = 0; i < src->nb_filters; i++) {
        if (i)
            s += ", ";
        esc(s, src->filters ? src->filters[i] : nullptr);
    }
}

void make_failover(Composer &c, const TOVU_SOURCE *src, const TOVU_TARGET *t)
{
    std::string &s = c.s;
    const bool video = t->video.b_enable, audio = t->audio.b_enable;

    if (find_from(s, "-re -f lavfi -i aevalsrc=0 ") == std::string::npos) {
        if (strcmp(src->alt_url, "default") == 0) {
            if (video)
                s += "-re -f lavfi -i pal100bars ";
            if (audio)
                s += "-re -f lavfi -i aevalsrc=0 ";
        } else {
            s += "-re -stream_loop -1 -i \"";
            s += src->alt_url;
            s += "\" -re -f lavfi -i aevalsrc=0 ";
        }
    }

    if (video && find_from(s, "-lavfi:v ") == std::string::npos) {
        const char *vsrc = "0:v";
        s += "-lavfi:v \"";
        if (src->nb_filters > 0) {
            put_filters_escaped(s, src);
            s += "[fv0]; ";
            vsrc = "fv0";
        } else if (c.has_hwaccel()) {
            s += "hwdownload, format=nv12[fv0]; ";
            vsrc = "fv0";
        }
        s += "[1]drawtext=text=";
        s += kFailoverCaption;
        s += ":fontsize=12:fontcolor=black:y=h-th[dt1]; [dt1][";
        s += vsrc;
        s += "]scale=rw:rh[v1]; [";
        s += vsrc;
        s += "][v1]streamselect\" ";
    }

    if (audio && find_from(s, "-lavfi:a ") == std::string::npos)
        s += "-lavfi:a \"astreamselect\" ";
}

void make_filter(Composer &c, const TOVU_SOURCE *src, const TOVU_TARGET *t, int nb_targets)
{
    if (t->video.codec == TOVU_CODEC_COPY || t->audio.codec == TOVU_CODEC_COPY)
        return;
    if (_is_url(src->url) && !empty(src->alt_url) && nb_targets <= 1) {
        make_failover(c, src, t);
        return;
    }
    if (t->video.b_enable && src->nb_filters > 0) {
        c.s += "-filter:v \"";
        put_filters_escaped(c.s, src);
        c.s += "\" ";
    }
}

// ---------------------------------------------------------------- outputs

bool uses_crf(TOVU_CODEC codec)
{
    switch (codec) {
    case TOVU_VIDEO_H264:
    case TOVU_VIDEO_H265:
    case TOVU_VIDEO_VP8:
    case TOVU_VIDEO_VP9:
    case TOVU_VIDEO_AV1:
        return true;
    default:
        return false;
    }
}

// The encoder preset of a codec (left out where the video options already
// choose one).
void put_preset(std::string &s, TOVU_CODEC codec, const char *vparam, const std::string &sfx) TOVU_REQUIRES(g_engineMutex)
{
    auto has = [vparam](const char *opt) { return vparam && strstr(vparam, opt); };
    switch (codec) {
    case TOVU_VIDEO_H264:
    case TOVU_VIDEO_H265:
        if (!has("-preset:v"))
            put_opt(s, "-preset:v", sfx, "faster");
        break;
    case TOVU_VIDEO_NV264:
    case TOVU_VIDEO_NV265:
    case TOVU_VIDEO_NVAV1:
        if (!has("-preset:v"))
            put_opt(s, "-preset:v", sfx, "default");
        break;
    case TOVU_VIDEO_QSV264:
    case TOVU_VIDEO_QSV265:
        if (!has("-preset:v"))
            put_opt(s, "-preset:v", sfx, "medium");
        break;
    case TOVU_VIDEO_OMX264:
    case TOVU_VIDEO_OMX265:
    case TOVU_VIDEO_OMXMP2V:
        if (g_cfg.omx_path[0]) {
            s += "-omx_core \"";
            s.append(g_cfg.omx_path, strnlen(g_cfg.omx_path, sizeof g_cfg.omx_path));
            s += "\" ";
        }
        break;
    case TOVU_VIDEO_VP8:
    case TOVU_VIDEO_VP9:
        if (!has("-cpu-used"))
            put_opt(s, "-cpu-used:v", sfx, 3);
        break;
    case TOVU_VIDEO_AV1:
        if (!has("-preset:v"))
            put_opt(s, "-preset:v", sfx, 13);
        break;
    default:
        break;
    }
}

// Rate control when neither a quality nor a bit rate is set.
void put_default_rate(std::string &s, TOVU_CODEC codec, const std::string &sfx)
{
    switch (codec) {
    case TOVU_VIDEO_H264:
    case TOVU_VIDEO_OMX264:
        put_opt(s, "-crf:v", sfx, 23);
        break;
    case TOVU_VIDEO_H265:
    case TOVU_VIDEO_OMX265:
        put_opt(s, "-crf:v", sfx, 28);
        break;
    case TOVU_VIDEO_VP8:
    case TOVU_VIDEO_VP9:
        put_opt(s, "-crf:v", sfx, 32);
        break;
    case TOVU_VIDEO_QSVVP9:
    case TOVU_VIDEO_QSVMP2V:
    case TOVU_VIDEO_AMF264:
    case TOVU_VIDEO_AMF265:
    case TOVU_VIDEO_OMXMP2V:
    case TOVU_VIDEO_NI264:
    case TOVU_VIDEO_NI265:
    case TOVU_VIDEO_NIAV1:
    case TOVU_VIDEO_PRORES:
    case TOVU_VIDEO_MJPEG:
        put_opt(s, "-qmin:v", sfx, 2);
        break;
    default:
        if (codec >= TOVU_VIDEO_H261 && codec <= TOVU_VIDEO_FLV)
            put_opt(s, "-qmin:v", sfx, 2);
        break;
    }
}

void put_rate_control(std::string &s, const TOVU_VIDEO_STREAM &v, const std::string &sfx)
{
    if (v.quality == 0 && v.kbps == 0) {
        put_default_rate(s, v.codec, sfx);
        return;
    }
    if (v.quality > 0) {
        const int quality = v.quality < kMaxQuality ? v.quality : kMaxQuality;
        float qmin = (float)((100 - quality) * 51) / 99.0f;
        if (uses_crf(v.codec)) {
            s += "-crf:v";
            s += sfx;
            s += ' ';
            put_fixed1(s, qmin);
            s += ' ';
        } else {
            s += "-qmin ";
            put_fixed1(s, qmin);
            s += " -qmax ";
            put_fixed1(s, 51.0f);
            s += ' ';
        }
    }
    if (v.kbps > 0) {
        put_opt(s, "-b:v", sfx, v.kbps, "k");
        if (v.codec == TOVU_VIDEO_AV1) {
            s += "-svtav1-params rc=2:pred-struct=1 ";
        } else {
            put_opt(s, "-maxrate:v", sfx, v.kbps, "k");
            if (v.codec == TOVU_VIDEO_H264)
                s += "-nal-hrd cbr ";
            else if (v.codec == TOVU_VIDEO_NV264 || v.codec == TOVU_VIDEO_NV265)
                s += "-cbr 1 ";
        }
        put_opt(s, "-bufsize:v", sfx, v.kbps, "k");
    }
}

void put_frame_rate(std::string &s, float fps)
{
    if (fps == 23.976f)
        s += "ntsc-film ";
    else if (fps == 29.97f)
        s += "ntsc ";
    else if (fps == 59.94f)
        s += "60000/1001 ";
    else {
        put_general(s, fps);
        s += ' ';
    }
}

int picture_dim(int v)
{
    unsigned d = (uint16_t)v;
    return (int)(d >= 1 && d <= 7 ? 8 : d);
}

void put_rtp_address(std::string &s, const TOVU_RTP_SESSION &rtp)
{
    s += "rtp://";
    s += Inet_ntoa(rtp.ulDstIP);
    s += ':';
    put(s, (int)rtp.usDstPort);
    if (rtp.usSrcPort) {
        s += "?localport=";
        put(s, (int)rtp.usSrcPort);
    }
    s += ' ';
}

void put_log_file(std::string &s, const char *name_fmt, int channel_id)
{
    char name[48];
    snprintf(name, sizeof name, name_fmt, slot_number(channel_id));
    s.append(g_cfg.log_path, strnlen(g_cfg.log_path, sizeof g_cfg.log_path));
    s += name;
}

// A DASH output's segments are named after its manifest ("low.mpd" writes
// "low-init-stream0.m4s" and "low-chunk-stream0-00001.m4s"), so that two
// manifests in one folder keep segments of their own. A name the output's
// options choose themselves is left to them; a manifest address without a
// file name keeps the muxer's own names.
void put_dash_segment_names(std::string &s, const TOVU_TARGET *t)
{
    const char *url = t->url ? t->url : "";
    const char *slash = strrchr(url, '/');
    std::string name = slash ? slash + 1 : url;
    size_t dot = name.rfind('.');
    if (dot != std::string::npos)
        name.erase(dot);
    if (name.empty())
        return;
    std::string stem;
    for (char ch : name) {
        stem += ch;
        if (ch == '$')
            stem += '$'; // a '$' of the name, not of the muxer's template
    }
    auto given = [t](const char *opt) { return t->param && strstr(t->param, opt); };
    if (!given("-init_seg_name")) {
        s += "-init_seg_name \"";
        s += stem;
        s += "-init-stream$RepresentationID$.$ext$\" ";
    }
    if (!given("-media_seg_name")) {
        s += "-media_seg_name \"";
        s += stem;
        s += "-chunk-stream$RepresentationID$-$Number%05d$.$ext$\" ";
    }
}

// The muxer and address of an output; -10 for a format that has none.
int put_muxer(Composer &c, int channel_id, int target_id, const TOVU_TARGET *t) TOVU_REQUIRES(g_engineMutex)
{
    std::string &s = c.s;
    const char *url = t->url;
    auto quoted = [&s, url]() {
        s += '"';
        s += url;
        s += "\" ";
    };
    switch (t->format) {
    case TOVU_FORMAT_GENERAL:
        if (!_is_url(url))
            s += "-y ";
        quoted();
        break;
    case TOVU_FORMAT_RTMP:
        s += "-f flv ";
        quoted();
        break;
    case TOVU_FORMAT_UDP:
    case TOVU_FORMAT_RTPTS:
        s += _is_rtp_url(url) ? "-c:s copy -f rtp_mpegts " : "-c:s copy -f mpegts ";
        put_word(s, url);
        break;
    case TOVU_FORMAT_HTTP:
        s += "-c:s copy -f mpegts ";
        put_word(s, url);
        break;
    case TOVU_FORMAT_HTML5:
        s += "-movflags dash -f mp4 ";
        s += url;
        s += '/';
        put(s, slot_number(channel_id));
        s += ".mp4 ";
        break;
    case TOVU_FORMAT_OMXTS:
        s += "-c:s copy -f omx_ts_mux ";
        if (g_cfg.omx_path[0]) {
            s += "-omx_core \"";
            s.append(g_cfg.omx_path, strnlen(g_cfg.omx_path, sizeof g_cfg.omx_path));
            s += "\" ";
        }
        put_word(s, url);
        break;
    case TOVU_FORMAT_SRT: {
        // No "-f mpegts " when this output's options already name a muxer.
        // The region looked at runs from the last " -i " (a "-i " that opens
        // the string counts too) to the end; for the outputs after the first
        // it never reaches back before the output's own part, where an
        // earlier output's "-f" lies.
        size_t lo = (target_id > 0 && c.output_start != std::string::npos) ? c.output_start : 0;
        size_t from = rfind_from(s, " -i ", lo);
        if (from == std::string::npos) {
            if (lo > 0 || s.compare(0, 3, "-i ") == 0)
                from = lo;
        }
        if (from == std::string::npos || find_from(s, " -f ", from) == std::string::npos)
            s += "-f mpegts ";
        put_word(s, url);
        break;
    }
    case TOVU_FORMAT_HLS:
        s += "-f hls -y ";
        quoted();
        break;
    case TOVU_FORMAT_DASH:
        put_dash_segment_names(s, t);
        s += "-f dash -y ";
        quoted();
        break;
    case TOVU_FORMAT_RTP:
        s += "-sdp_file \"";
        put_log_file(s, "tovu_%03lld_out.sdp", channel_id);
        s += "\" ";
        break;
    case TOVU_FORMAT_RTSP:
        s += "-f rtsp ";
        put_word(s, url);
        break;
    case TOVU_FORMAT_DECKLINK:
        s += "-f decklink ";
        quoted();
        break;
    case TOVU_FORMAT_NDI:
        s += "-f libndi_newtek ";
        quoted();
        break;
    case TOVU_FORMAT_HTTP_MJPEG:
        s += "-f mjpeg ";
        s += url;
        s += '/';
        put(s, slot_number(channel_id));
        s += ".mjpg ";
        break;
    default:
        return TOVU_ERR_BAD_TARGET_FORMAT;
    }
    return 0;
}

// The segment time of an HLS output's options as written after its first
// "-hls_time " ("-hls_time 6.5" gives "6.5"): digits with at most one
// fraction. Empty when there is none, when it is no plain number, or when
// it is zero.
std::string hls_segment_time(const char *param)
{
    const char *p = param ? strstr(param, "-hls_time ") : nullptr;
    if (!p)
        return std::string();
    p += sizeof "-hls_time " - 1;
    while (*p == ' ' || *p == '\t')
        p++;
    const char *start = p;
    bool fraction = false, nonzero = false;
    for (; (*p >= '0' && *p <= '9') || (*p == '.' && !fraction); p++) {
        if (*p == '.')
            fraction = true;
        else if (*p != '0')
            nonzero = true;
    }
    if (p == start || *start == '.' || p[-1] == '.' || !nonzero)
        return std::string();
    if (*p && *p != ' ' && *p != '\t')
        return std::string(); // "2s", "0:04": not a plain number of seconds
    return std::string(start, (size_t)(p - start));
}

// A key frame every so many seconds of the output's own time, whatever its
// frame rate (known or not): "-force_key_frames:v "expr:gte(t,n_forced*2)" ".
void put_key_frame_seconds(std::string &s, const std::string &sfx, const std::string &seconds)
{
    s += "-force_key_frames:v";
    s += sfx;
    s += " \"expr:gte(t,n_forced*";
    s += seconds;
    s += ")\" ";
}

// HLS segments start on key frames only; with no segment time and no
// interval the key frames come at ffmpeg's default segment length.
const char kHlsDefaultSegmentSecs[] = "2";

// An output's place within a multi-variant HLS fold. The fold's streams are
// numbered by kind, counting only the variants that have that kind: video
// and audio are the numbers of this variant's streams ("-c:v:<video>").
struct HlsVariant {
    bool folded = false;
    int video = 0;
    int audio = 0;
};

int make_output(Composer &c, int channel_id, int source_id, int nb_sources, int target_id,
                const HlsVariant &variant, const TOVU_TARGET *t) TOVU_REQUIRES(g_engineMutex)
{
    std::string &s = c.s;
    const TOVU_FORMAT fmt = t->format;
    const bool rtp = fmt == TOVU_FORMAT_RTP;

    if (fmt == TOVU_FORMAT_GENERAL && empty(t->url))
        return TOVU_ERR_NO_TARGET_URL;

    // Stream options name the output's streams by kind and index: with
    // several sources the source's own, inside an HLS fold the variant's
    // streams of each kind. An output of one stream of each kind (an HLS
    // output of its own too) names them without index.
    std::string sfx_a, sfx_v;
    if (nb_sources != 1) {
        sfx_a = sfx_v = ":" + std::to_string(source_id);
    } else if (variant.folded && fmt == TOVU_FORMAT_HLS) {
        sfx_a = ":" + std::to_string(variant.audio);
        sfx_v = ":" + std::to_string(variant.video);
    }
    // Inside a fold a kind a variant lacks is simply not mapped for it: a
    // bare "-an" or "-vn" would take that kind from every variant.
    const bool folded = variant.folded && fmt == TOVU_FORMAT_HLS;

    // audio
    const TOVU_AUDIO_STREAM &a = t->audio;
    if (a.b_enable) {
        const char *enc = get_encoder_name(a.codec);
        if (!enc)
            return TOVU_ERR_NO_ENCODER;
        if (rtp && (a.rtp.ulDstIP == 0 || a.rtp.usDstPort == 0)) {
            s += "-an ";
        } else if (fmt == TOVU_FORMAT_DECKLINK) {
            s += "-ac";
            s += sfx_a;
            s += " 2 -ar 48000 ";
        } else {
            put_opt(s, "-c:a", sfx_a, enc);
            if (a.codec != TOVU_CODEC_COPY) {
                if (a.nb_channels > 0)
                    put_opt(s, "-ac:a", sfx_a, a.nb_channels);
                if (a.sample_rate > 0)
                    put_opt(s, "-ar:a", sfx_a, a.sample_rate);
                if (a.kbps > 0)
                    put_opt(s, "-b:a", sfx_a, a.kbps, "k");
            }
            if (rtp) {
                s += "-vn -f rtp ";
                if (a.codec == TOVU_AUDIO_AAC)
                    s += "-flags:a +global_header -rtpflags +latm ";
                put_rtp_address(s, a.rtp);
            }
        }
    } else if (!rtp && !folded) {
        s += "-an ";
    }

    // video
    const TOVU_VIDEO_STREAM &v = t->video;
    if (!v.b_enable) {
        if (!folded)
            s += "-vn ";
    } else {
        const char *enc = get_encoder_name(v.codec);
        if (!enc)
            return TOVU_ERR_NO_ENCODER;
        const bool copy = v.codec == TOVU_CODEC_COPY;
        const bool sdi = fmt == TOVU_FORMAT_DECKLINK || fmt == TOVU_FORMAT_NDI;
        if (sdi) {
            s += "-pix_fmt uyvy422 ";
        } else {
            put_opt(s, "-c:v", sfx_v, enc);
            if (!copy) {
                put_word(s, v.param);
                put_preset(s, v.codec, v.param, sfx_v);
                put_rate_control(s, v, sfx_v);
            }
        }
        if (!copy) {
            int w = picture_dim(v.width), h = picture_dim(v.height);
            if (w && h && !c.has_hwaccel()) {
                s += "-s:v";
                s += sfx_v;
                s += ' ';
                put(s, w);
                s += 'x';
                put(s, h);
                s += ' ';
            }
            if (v.fps > 0 && std::isfinite(v.fps)) {
                s += "-r:v";
                s += sfx_v;
                s += ' ';
                put_frame_rate(s, v.fps);
            }
            // Key frames: the interval is counted in frames. An HLS output
            // with a segment time gets one at every segment instead, so
            // each segment is that long and starts on one.
            const int gop = v.key_frame_intv;
            if (fmt == TOVU_FORMAT_HLS) {
                std::string segment = hls_segment_time(t->param);
                if (!segment.empty())
                    put_key_frame_seconds(s, sfx_v, segment);
                else if (gop > 0)
                    put_opt(s, "-g:v", sfx_v, gop);
                else
                    put_key_frame_seconds(s, sfx_v, kHlsDefaultSegmentSecs);
            } else if (!sdi && gop > 0) {
                put_opt(s, "-g:v", sfx_v, gop);
            }
            if (v.interlacing == TOVU_INTERLACE_TOP_FIRST ||
                v.interlacing == TOVU_INTERLACE_BOTTOM_FIRST) {
                const bool top = v.interlacing == TOVU_INTERLACE_TOP_FIRST;
                if (fmt == TOVU_FORMAT_DECKLINK) {
                    s += top ? "-field_order tt " : "-field_order bb ";
                } else {
                    s += "-flags:v";
                    s += sfx_v;
                    s += " +ilme+ildct -top:v";
                    s += sfx_v;
                    s += top ? " 1 -x264opts:v" : " 0 -x264opts:v";
                    s += sfx_v;
                    s += top ? " tff=1 " : " bff=1 ";
                }
            }
        }
        if (rtp) {
            s += v.rtp.globalHeader == OUT_OF_BAND ? "-an -f rtp -flags +global_header "
                                                   : "-an -f rtp -flags -global_header ";
            if (v.codec == TOVU_VIDEO_H263)
                s += "-rtpflags +rfc2190 ";
            put_word(s, t->param);
            put_rtp_address(s, v.rtp);
        }
    }

    // muxer part, after the output's last source
    if (source_id != nb_sources - 1)
        return 0;
    if (t->mux_kbps > 0) {
        s += "-muxrate ";
        put(s, t->mux_kbps);
        s += "k ";
    }
    if (!rtp)
        put_word(s, t->param);
    if (empty(t->url))
        return 0;
    return put_muxer(c, channel_id, target_id, t);
}

// The place of output j within an HLS fold. Channel start hands a
// multi-variant HLS output over as HLS outputs that stand together: every
// one but the last without an address (it carries only its stream options),
// the last with the address, the one muxer and the maps of every variant.
// Only one-source outputs fold (with several sources the streams are named
// by source).
HlsVariant hls_variant(const TOVU_TARGET *const *targets, int nb_targets, int n, int j)
{
    auto hls = [targets](int k) { return targets[k] && targets[k]->format == TOVU_FORMAT_HLS; };
    auto bare = [targets, &hls](int k) { return hls(k) && empty(targets[k]->url); };
    HlsVariant v;
    if (n != 1 || !hls(j))
        return v;
    int carrier = j;
    while (carrier < nb_targets && bare(carrier))
        carrier++;
    if (carrier == nb_targets || !hls(carrier))
        return v;
    int first = j;
    while (first > 0 && bare(first - 1))
        first--;
    if (first == carrier)
        return v;
    v.folded = true;
    for (int k = first; k < j; k++) {
        v.video += targets[k]->video.b_enable ? 1 : 0;
        v.audio += targets[k]->audio.b_enable ? 1 : 0;
    }
    return v;
}

} // namespace

// ---------------------------------------------------------------- public pieces

// the source addresses that make_input puts in quotes
int tovu_source_url_quoted(TOVU_FORMAT format)
{
    return format != TOVU_FORMAT_DEVICE && format != TOVU_FORMAT_RTP;
}

// the target addresses that put_muxer puts in quotes
int tovu_target_url_quoted(TOVU_FORMAT format)
{
    switch (format) {
    case TOVU_FORMAT_GENERAL: case TOVU_FORMAT_RTMP: case TOVU_FORMAT_HLS: case TOVU_FORMAT_DASH:
    case TOVU_FORMAT_DECKLINK: case TOVU_FORMAT_NDI:
        return 1;
    default:
        return 0;
    }
}

int tovu_records_have_line_break(const TOVU_SOURCE *sources, int nb_sources,
                                  const TOVU_TARGET *const *targets, int nb_targets, int mux_mode)
{
    if (!sources || nb_sources < 0)
        nb_sources = 0;
    for (int i = 0; i < nb_sources; i++) {
        const TOVU_SOURCE &src = sources[i];
        if (has_line_break(src.url) || has_line_break(src.alt_url) || has_line_break(src.param) ||
            has_line_break(src.map) || has_line_break(src.video.param) ||
            has_line_break(src.audio.param) || rtp_has_line_break(src.video.rtp) ||
            rtp_has_line_break(src.audio.rtp))
            return 1;
        if ((tovu_source_url_quoted(src.format) && has_quote(src.url)) || has_quote(src.alt_url))
            return 1;
        for (int f = 0; src.filters && f < src.nb_filters; f++)
            if (has_line_break(src.filters[f]))
                return 1;
    }
    if (!targets || nb_targets < 0)
        nb_targets = 0;
    const int n = mux_mode == 2 ? (nb_sources > 0 ? 1 : 0) : nb_sources;
    for (int j = 0; j < nb_targets; j++) {
        for (int i = 0; targets[j] && i < n; i++) {
            const TOVU_TARGET &t = targets[j][i];
            if (has_line_break(t.url) || has_line_break(t.param) || has_line_break(t.video.param) ||
                has_line_break(t.audio.param) || (tovu_target_url_quoted(t.format) && has_quote(t.url)))
                return 1;
        }
    }
    return 0;
}

void strcpy_esc(std::string *dst, const char *src)
{
    if (dst)
        esc(*dst, src);
}

int _tovu_make_input_args(int channel_id, const TOVU_SOURCE *source, std::string *arg_str)
{
    if (!source || !arg_str)
        return TOVU_ERR_NO_SOURCE_URL;
    Composer c(*arg_str);
    return make_input(c, channel_id, source);
}

int _tovu_make_filter_args(const TOVU_SOURCE *source, int nb_sources, const TOVU_TARGET *target,
                           int nb_targets, std::string *arg_str)
{
    // only a pair of a single-source layout has a filter part
    if (!source || !target || !arg_str || nb_sources != 1)
        return 0;
    Composer c(*arg_str);
    make_filter(c, source, target, nb_targets);
    return 0;
}

int _tovu_make_output_args(int channel_id, int source_id, int nb_sources, int target_id,
                           const TOVU_TARGET *target, std::string *arg_str)
{
    if (!target || !arg_str)
        return TOVU_ERR_NO_TARGET_URL;
    // one output on its own stands in no HLS fold
    Composer c(*arg_str);
    return make_output(c, channel_id, source_id, nb_sources, target_id, HlsVariant(), target);
}

int tovu_compose_args(int channel_id, const TOVU_SOURCE *sources, int nb_sources,
                      const TOVU_TARGET *const *targets, int nb_targets, int mux_mode,
                      std::string *arg_str)
{
    if (!arg_str)
        return TOVU_ERR_NO_SOURCE_URL;
    arg_str->clear();
    if (!sources || nb_sources < 1)
        return TOVU_ERR_NO_SOURCE_URL;
    if (nb_targets < 0 || (nb_targets > 0 && !targets))
        nb_targets = 0;
    if (tovu_records_have_line_break(sources, nb_sources, targets, nb_targets, mux_mode))
        return TOVU_ERR_LINE_BREAK;

    // room for a usual string, and never more than the longest one taken
    size_t guess = 1024 + (size_t)nb_sources * 128 + (size_t)nb_targets * (size_t)nb_sources * 256;
    arg_str->reserve(guess < (size_t)TOVU_ARG_STR_MAX + 1 ? guess : (size_t)TOVU_ARG_STR_MAX + 1);

    int ret = 0;
    Composer c(*arg_str);
    std::string &s = c.s;
    if (g_cfg.log_level != 0) {
        s += "-v ";
        put(s, g_cfg.log_level);
        s += ' ';
    }

    for (int i = 0; i < nb_sources && ret == 0; i++)
        ret = make_input(c, channel_id, &sources[i]);

    const int n = mux_mode == 2 ? 1 : nb_sources;
    for (int j = 0; j < nb_targets && ret == 0; j++) {
        const TOVU_TARGET *row = targets[j];
        if (!row) {
            ret = TOVU_ERR_NO_TARGET_URL;
            break;
        }
        c.output_start = s.size();
        for (int i = 0; i < n && ret == 0; i++) {
            const TOVU_TARGET *t = &row[i];
            if (n == 1)
                make_filter(c, &sources[i], t, nb_targets);
            const HlsVariant variant = hls_variant(targets, nb_targets, n, j);
            // a fold's carrier maps the streams of each variant itself
            if (!variant.folded)
                put_word(s, sources[i].map);
            ret = make_output(c, channel_id, i, n, j, variant, t);
        }
    }

    // The string goes to the transcoder as one line: a line feed or carriage
    // return from any text would end it early and leave the rest in the pipe.
    // (two scans of the whole string: a search for either character would
    // test each character against the set in a call of its own)
    if (ret == 0 && (memchr(arg_str->data(), '\n', arg_str->size()) ||
                     memchr(arg_str->data(), '\r', arg_str->size())))
        ret = TOVU_ERR_LINE_BREAK;
    if (ret == 0 && arg_str->size() > TOVU_ARG_STR_MAX)
        ret = TOVU_ERR_ARGS_TOO_LONG;
    if (ret != 0)
        arg_str->clear();
    return ret;
}

extern "C" void _parse_opt(const char *str, const char *opt, int *val)
{
    if (!str || !opt || !val)
        return;
    const char *p = strstr(str, opt);
    if (!p)
        return;
    p += strlen(opt);
    while (*p == ' ' || *p == '\t')
        p++;
    if (*p < '0' || *p > '9')
        return;
    long v = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        v = v * 10 + (*p - '0');
        if (v > INT_MAX)
            return; // a number that does not fit leaves the value as it was
    }
    *val = (int)v;
}
