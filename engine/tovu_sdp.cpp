// SDP files of native RTP streams: the writer used for RTP inputs and the
// matching reader.
#include "tovu_engine_internal.h"

#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

// The encoding name of a codec in an rtpmap line; null when it has none.
const char *sdp_encoding_name(TOVU_CODEC codec)
{
    switch (codec) {
    case TOVU_AUDIO_MP2:
    case TOVU_AUDIO_MP3:
        return "MPA";
    case TOVU_AUDIO_AAC:
        return "MP4A-LATM";
    case TOVU_VIDEO_H263P:
        return "H263-1998";
    case TOVU_VIDEO_MP1V:
    case TOVU_VIDEO_MP2V:
        return "MPV";
    case TOVU_VIDEO_MP4:
        return "MP4V-ES";
    default:
        return tovu_get_codec_name(codec);
    }
}

int audio_clock_rate(const TOVU_AUDIO_STREAM *a)
{
    if (a->codec >= TOVU_AUDIO_G711U && a->codec <= TOVU_AUDIO_PCM24U)
        return 8000;
    if (a->codec == TOVU_AUDIO_MP2 || a->codec == TOVU_AUDIO_MP3)
        return 90000;
    if (a->codec == TOVU_AUDIO_AAC)
        return a->sample_rate;
    return 8000;
}

// The fmtp text of a session; a record whose array lacks its NUL is read
// only up to the end of the array.
std::string fmtp_of(const TOVU_RTP_SESSION &rtp)
{
    return std::string(rtp.szFmtp, strnlen(rtp.szFmtp, sizeof rtp.szFmtp));
}

void append_line(std::string *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

void append_line(std::string *out, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    if (n > 0) {
        size_t at = out->size();
        out->resize(at + (size_t)n + 1);
        vsnprintf(&(*out)[at], (size_t)n + 1, fmt, ap2);
        out->resize(at + (size_t)n);
    }
    va_end(ap2);
    out->push_back('\n');
}

void append_connection_and_media(std::string *out, const char *media, unsigned long ip,
                                 unsigned port, int pt)
{
    append_line(out, "c=IN IP4 %s", Inet_ntoa(ip));
    append_line(out, "m=%s %u RTP/AVP %d", media, port, pt);
}

// Writes the whole text and closes the file; false when any of it failed.
bool write_and_close(FILE *fp, const std::string &text)
{
    bool ok = fwrite(text.data(), 1, text.size(), fp) == text.size();
    ok = fflush(fp) == 0 && ok;
    ok = fclose(fp) == 0 && ok;
    return ok;
}

// Reads an unsigned decimal number that fits in 16 bits, after blanks.
bool read_u16(const char **p, uint16_t *out)
{
    const char *s = *p;
    while (*s == ' ' || *s == '\t')
        s++;
    if (*s < '0' || *s > '9')
        return false;
    unsigned long v = 0;
    while (*s >= '0' && *s <= '9') {
        v = v * 10 + (unsigned long)(*s - '0');
        if (v > 0xffff)
            return false;
        s++;
    }
    *out = (uint16_t)v;
    *p = s;
    return true;
}

// "%hu RTP/AVP %hu": the port and the payload type of an m= line. A field
// that does not read is left as it was.
void read_media_line(const char *s, uint16_t *port, uint16_t *pt)
{
    if (!read_u16(&s, port))
        return;
    while (*s == ' ' || *s == '\t')
        s++;
    if (strncmp(s, "RTP/AVP", 7) != 0)
        return;
    s += 7;
    read_u16(&s, pt);
}

// A signed decimal int as "%d" reads it; false when none or out of range.
bool read_int(const char **p, int *out)
{
    const char *s = *p;
    while (*s == ' ' || *s == '\t')
        s++;
    if (!((*s >= '0' && *s <= '9') || ((*s == '-' || *s == '+') && s[1] >= '0' && s[1] <= '9')))
        return false;
    int v;
    const char *end;
    if (tovu_parse_int(s, &v, &end) != 1)
        return false;
    *out = v;
    *p = end;
    return true;
}

// "%99[^/ \r\n]/%d/%d": returns the number of fields read (0 to 3).
int read_rtpmap(const char *s, std::string *name, int *rate, int *channels)
{
    size_t n = strcspn(s, "/ \r\n");
    if (n == 0)
        return 0;
    name->assign(s, n < 99 ? n : 99);
    if (n > 99)
        return 1; // the scan stops after 99 characters, not at a "/"
    s += n;
    if (*s != '/')
        return 1;
    s++;
    if (!read_int(&s, rate))
        return 1;
    if (*s != '/')
        return 2;
    s++;
    if (!read_int(&s, channels))
        return 2;
    return 3;
}

// "<key>=%d;" searched from the beginning of the parameters.
bool find_int_param(const char *params, const char *key, int *out)
{
    const char *p = strstr(params, key);
    if (!p)
        return false;
    p += strlen(key);
    return read_int(&p, out);
}

TOVU_CODEC video_codec_by_name(const std::string &name)
{
    if (name == "h261")
        return TOVU_VIDEO_H261;
    if (name == "h263")
        return TOVU_VIDEO_H263;
    if (name == "H263-1998" || name == "H263-2000")
        return TOVU_VIDEO_H263P;
    if (name == "MPV")
        return TOVU_VIDEO_MP1V;
    if (name == "MP4V-ES")
        return TOVU_VIDEO_MP4;
    if (name == "flv")
        return TOVU_VIDEO_FLV;
    if (name == "h264")
        return TOVU_VIDEO_H264;
    return TOVU_CODEC_NULL;
}

TOVU_CODEC audio_codec_by_name(const std::string &name)
{
    for (int c = TOVU_AUDIO_G711U; c <= TOVU_AUDIO_PCM24U; c++) {
        const char *short_name = tovu_get_codec_name((TOVU_CODEC)c);
        if (short_name && name == short_name)
            return (TOVU_CODEC)c;
    }
    if (name == "MPA")
        return TOVU_AUDIO_MP2;
    if (name == "MP4A-LATM" || name == "mpeg4-generic")
        return TOVU_AUDIO_AAC;
    return TOVU_CODEC_NULL;
}

// Takes the rest of an fmtp line (up to CR or LF) into szFmtp. A text that
// does not fit whole, or that goes on past the line buffer, is not taken:
// cut format parameters would describe the stream wrongly.
void take_fmtp(TOVU_RTP_SESSION *rtp, const char *rest, bool line_complete)
{
    size_t n = strcspn(rest, "\r\n");
    bool ends_here = rest[n] != '\0' || line_complete;
    if (!ends_here || n >= sizeof rtp->szFmtp)
        return;
    memcpy(rtp->szFmtp, rest, n);
    rtp->szFmtp[n] = '\0';
}

enum class Section { none, video, audio };

} // namespace

extern "C" {

int tovuExportSdp(const char *szfnSdp, const TOVU_VIDEO_STREAM *pVideo,
                  const TOVU_AUDIO_STREAM *pAudio, int iSrc)
{
    if (!szfnSdp)
        return -1;
    FILE *fp = fopen(szfnSdp, "we");
    if (!fp)
        return -1;

    std::string text;
    text.reserve(512);
    text += "v=0\n"
            "o=- 0 0 IN IPV4 0.0.0.0\n"
            "s=Tovumedia\n"
            "t=0 0\n";

    if (pVideo) {
        const TOVU_RTP_SESSION &rtp = pVideo->rtp;
        unsigned long ip = iSrc ? rtp.ulSrcIP : rtp.ulDstIP;
        unsigned port = iSrc ? rtp.usSrcPort : rtp.usDstPort;
        if (port) {
            int pt = pVideo->codec == TOVU_VIDEO_H263 ? 34 : 96;
            append_connection_and_media(&text, "video", ip, port, pt);
            const char *name = sdp_encoding_name(pVideo->codec);
            if (!name) {
                write_and_close(fp, text);
                return -1;
            }
            append_line(&text, "a=rtpmap:%d %s/90000", pt, name);
            std::string fmtp = fmtp_of(rtp);
            if (!fmtp.empty())
                append_line(&text, "a=fmtp:%d %s", pt, fmtp.c_str());
        }
    }

    if (pAudio) {
        const TOVU_RTP_SESSION &rtp = pAudio->rtp;
        unsigned long ip = iSrc ? rtp.ulSrcIP : rtp.ulDstIP;
        unsigned port = iSrc ? rtp.usSrcPort : rtp.usDstPort;
        if (port) {
            const int pt = 97;
            append_connection_and_media(&text, "audio", ip, port, pt);
            const char *name = sdp_encoding_name(pAudio->codec);
            if (!name) {
                write_and_close(fp, text);
                return -1;
            }
            int rate = audio_clock_rate(pAudio);
            int channels = pAudio->nb_channels > 0 ? pAudio->nb_channels : 1;
            append_line(&text, "a=rtpmap:%d %s/%d/%d", pt, name, rate, channels);
            if (pAudio->codec == TOVU_AUDIO_AAC)
                append_line(&text, "a=rtpmap:%d MP4A-LATM/%d/%d", pt, rate, channels);
            std::string fmtp = fmtp_of(rtp);
            if (!fmtp.empty())
                append_line(&text, "a=fmtp:%d %s", pt, fmtp.c_str());
        }
    }

    text += "\n";
    return write_and_close(fp, text) ? 0 : -1;
}

int tovuImportSdp(const char *szfnSdp, TOVU_VIDEO_STREAM *pVideo, TOVU_AUDIO_STREAM *pAudio,
                  int iDst)
{
    if (!szfnSdp)
        return -1;
    FILE *fp = fopen(szfnSdp, "re");
    if (!fp)
        return -1;
    int ret = tovuImportSdpInternal(fp, pVideo, pAudio, iDst);
    fclose(fp);
    return ret;
}

int tovuImportSdpInternal(FILE *fpSdp, TOVU_VIDEO_STREAM *pVideo, TOVU_AUDIO_STREAM *pAudio,
                          int iDst)
{
    if (pVideo)
        memset(pVideo, 0, sizeof *pVideo);
    if (pAudio)
        memset(pAudio, 0, sizeof *pAudio);
    if (!fpSdp)
        return 1;

    unsigned long *video_ip = nullptr, *audio_ip = nullptr;
    uint16_t *video_port = nullptr, *audio_port = nullptr;
    if (pVideo) {
        video_ip = iDst ? &pVideo->rtp.ulDstIP : &pVideo->rtp.ulSrcIP;
        video_port = iDst ? &pVideo->rtp.usDstPort : &pVideo->rtp.usSrcPort;
    }
    if (pAudio) {
        audio_ip = iDst ? &pAudio->rtp.ulDstIP : &pAudio->rtp.ulSrcIP;
        audio_port = iDst ? &pAudio->rtp.usDstPort : &pAudio->rtp.usSrcPort;
    }

    unsigned long cur_ip = 0;
    uint16_t cur_port = 0, cur_pt = 0;
    bool video_seen = false, audio_seen = false, any_media = false;
    // One current payload type serves both streams; an attribute line
    // belongs to the media section it stands in (after its m= line).
    Section section = Section::none;

    char line[1024];
    char rtpmap_prefix[32], fmtp_prefix[32];
    std::string name;
    while (fgets(line, sizeof line, fpSdp)) {
        size_t len = strlen(line);
        bool line_complete = len > 0 && line[len - 1] == '\n';
        if (!line_complete) {
            int c = fgetc(fpSdp);
            if (c == EOF)
                line_complete = true;
            else
                ungetc(c, fpSdp);
        }
        snprintf(rtpmap_prefix, sizeof rtpmap_prefix, "a=rtpmap:%d ", (int)cur_pt);
        snprintf(fmtp_prefix, sizeof fmtp_prefix, "a=fmtp:%d ", (int)cur_pt);
        size_t rtpmap_len = strlen(rtpmap_prefix), fmtp_len = strlen(fmtp_prefix);

        if (strncmp(line, "c=IN IP4 ", 9) == 0) {
            const char *addr = line + 9;
            std::string text(addr, strcspn(addr, "/\r\n"));
            cur_ip = (unsigned long)inet_addr(text.c_str());
            if (pVideo && video_seen && *video_ip == 0)
                *video_ip = cur_ip;
            if (pAudio && audio_seen && *audio_ip == 0)
                *audio_ip = cur_ip;
        }

        if (strncmp(line, "m=video ", 8) == 0) {
            read_media_line(line + 8, &cur_port, &cur_pt);
            any_media = true;
            video_seen = true;
            section = Section::video;
            if (pVideo) {
                *video_ip = cur_ip;
                *video_port = cur_port;
                if (cur_pt == 32)
                    pVideo->codec = TOVU_VIDEO_MP2V;
                else if (cur_pt == 34)
                    pVideo->codec = TOVU_VIDEO_H263;
            }
            continue;
        }

        if (pVideo && *video_port && section == Section::video) {
            if (strncmp(line, rtpmap_prefix, rtpmap_len) == 0) {
                int rate = 0, channels = 0;
                if (read_rtpmap(line + rtpmap_len, &name, &rate, &channels) < 1)
                    continue;
                TOVU_CODEC c = video_codec_by_name(name);
                if (c == TOVU_CODEC_NULL)
                    continue;
                pVideo->codec = c;
            } else if (strncmp(line, fmtp_prefix, fmtp_len) == 0) {
                take_fmtp(&pVideo->rtp, line + fmtp_len, line_complete);
            }
        }

        if (strncmp(line, "m=audio ", 8) == 0) {
            read_media_line(line + 8, &cur_port, &cur_pt);
            any_media = true;
            audio_seen = true;
            section = Section::audio;
            if (pAudio) {
                *audio_ip = cur_ip;
                *audio_port = cur_port;
                if (cur_pt == 0) {
                    pAudio->codec = TOVU_AUDIO_G711U;
                    pAudio->sample_rate = 8000;
                } else if (cur_pt == 8) {
                    pAudio->codec = TOVU_AUDIO_G711A;
                    pAudio->sample_rate = 8000;
                }
            }
            continue;
        }

        if (pAudio && *audio_port && section == Section::audio) {
            if (strncmp(line, rtpmap_prefix, rtpmap_len) == 0) {
                int rate = 0, channels = 0;
                int got = read_rtpmap(line + rtpmap_len, &name, &rate, &channels);
                if (got < 1)
                    continue;
                TOVU_CODEC c = audio_codec_by_name(name);
                if (c == TOVU_CODEC_NULL)
                    continue;
                pAudio->codec = c;
                if (got >= 2)
                    pAudio->sample_rate = rate;
                if (got >= 3)
                    pAudio->nb_channels = channels;
            } else if (strncmp(line, fmtp_prefix, fmtp_len) == 0) {
                take_fmtp(&pAudio->rtp, line + fmtp_len, line_complete);
                if (pAudio->codec == TOVU_AUDIO_MP2) {
                    const char *params = pAudio->rtp.szFmtp;
                    int v = 0;
                    if (find_int_param(params, "layer=", &v) && v == 3)
                        pAudio->codec = TOVU_AUDIO_MP3;
                    if (find_int_param(params, "samplerate=", &v))
                        pAudio->sample_rate = v;
                    if (const char *m = strstr(params, "mode=")) {
                        m += 5;
                        while (*m == ' ' || *m == '\t')
                            m++;
                        if (tovu_strncasecmp(m, "single_channel", 14) == 0)
                            pAudio->nb_channels = 1;
                        else if (tovu_strncasecmp(m, "stereo", 6) == 0)
                            pAudio->nb_channels = 2;
                    }
                }
            }
        }
    }

    if (!any_media)
        return 1;
    return (cur_port == 0 || cur_pt == 0) ? 1 : 0;
}

} // extern "C"
