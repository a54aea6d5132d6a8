// The older line-based configuration file (tovul.conf): its reader into the
// legacy model, and the generator that writes that model as a JSON
// configuration text.
#include "tovu_config_legacy.h"
#include "tovu_config.h"
#include "tovu_helpers.h"
#include "tovu_base.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <locale.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <string>

GLOBAL_SETTINGS g_globalSettings = {TOVU_DEFAULT_HTTP_PORT, 0, 0, 1, 0, 0, 0, 0, ""};
TOVU_CHANNEL g_tovuChannels[TOVU_LEGACY_CHANNELS];

namespace {

const size_t kLine = TOVU_LEGACY_TEXT; // a line is read in pieces of at most 999 characters

// ---------------------------------------------------------------- line tests

// the line begins with key, compared without regard to ASCII case
bool startsWith(const char *line, const char *key)
{
    return tovu_strncasecmp(line, key, strlen(key)) == 0;
}

// a line "<key><integer>" read into field
struct IntKey {
    const char *key;
    int *field;
};

// the integer of whichever of keys the line begins with
template <size_t N>
void readIntKeys(const char *line, const IntKey (&keys)[N])
{
    for (const IntKey &k : keys)
        if (startsWith(line, k.key))
            tovu_read_int(line + strlen(k.key), k.field);
}

// the line begins with a tag such as "<Input%d>" for the number n
bool startsWithTag(const char *line, const char *fmt, int n)
{
    char tag[64];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(tag, sizeof tag, fmt, n);
#pragma GCC diagnostic pop
    return startsWith(line, tag);
}

const char *skipBlanks(const char *p)
{
    while (*p == ' ' || *p == '\t')
        p++;
    return p;
}

// ---------------------------------------------------------------- value forms

// "%hu": the same, kept as an unsigned 16-bit number
bool readPort(const char *p, uint16_t *out)
{
    char *end = nullptr;
    unsigned long v = strtoul(p, &end, 10);
    if (end == p)
        return false;
    *out = (uint16_t)v;
    return true;
}

// "%f", single precision, in the locale's decimal separator; a value that is
// not a finite number is not taken (it could not be written as JSON)
bool readFloat(const char *p, float *out)
{
    char *end = nullptr;
    float v = strtof(p, &end);
    if (end == p || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

// "%s": white space skipped, then up to the next white space; at most max characters
std::string readWord(const char *p, size_t max = kLine - 1)
{
    while (*p && isspace((unsigned char)*p))
        p++;
    const char *q = p;
    while (*q && !isspace((unsigned char)*q) && (size_t)(q - p) < max)
        q++;
    return std::string(p, q);
}

// a word into a text field; an empty word leaves the field unchanged
void readWordField(const char *p, char *field, size_t sz)
{
    std::string w = readWord(p, sz - 1);
    if (!w.empty())
        tcstoutf8(w.c_str(), field, sz);
}

// the quoted form: the value runs from the first '"' to the next '"', CR, LF
// or the end; false when there is no '"'
bool readQuoted(const char *p, std::string *out)
{
    const char *q = strchr(p, '"');
    if (!q)
        return false;
    q++;
    size_t n = strcspn(q, "\"\r\n");
    out->assign(q, n);
    return true;
}

// a quoted value into a text field; no quote or an empty value: unchanged
void readQuotedField(const char *p, char *field, size_t sz)
{
    std::string v;
    if (readQuoted(p, &v) && !v.empty())
        tcstoutf8(v.c_str(), field, sz);
}

// the rest of the line: blanks and tabs skipped, then up to CR or LF
std::string readRest(const char *p)
{
    p = skipBlanks(p);
    return std::string(p, strcspn(p, "\r\n"));
}

unsigned long readAddress(const char *p)
{
    return Inet_addr(readWord(p, 99).c_str());
}

GLOBAL_HEADER_TYPE readGlobalHeader(const char *p)
{
    return tovu_strcasecmp(readWord(p).c_str(), "OutOfBand") == 0 ? OUT_OF_BAND : IN_BAND;
}

// cuts every "-map" option out of an output's video options
void cutMapOptions(char *text)
{
    char *p;
    while ((p = strstr(text, "-map ")) != nullptr) {
        char *blank = strchr(p + 5, ' ');
        if (!blank) {
            *p = '\0';
            break;
        }
        memmove(p, blank + 1, strlen(blank + 1) + 1);
    }
}

// ---------------------------------------------------------------- reading the file

struct LineReader {
    FILE *fp;
    char buf[kLine];
    const char *cur = "";

    // the next line (or piece of a long line), leading blanks skipped;
    // false at the end of the file or on a read error
    bool next()
    {
        if (!fgets(buf, sizeof buf, fp)) {
            cur = "";
            return false;
        }
        cur = skipBlanks(buf);
        return true;
    }
};

void resetModel()
{
    memset(&g_globalSettings, 0, sizeof g_globalSettings);
    g_globalSettings.nPortHTTP = TOVU_DEFAULT_HTTP_PORT;
    g_globalSettings.nPortRTSP = 5544;
    g_globalSettings.nAutoRestart = 1;
    memset(g_tovuChannels, 0, sizeof g_tovuChannels);
}

void parseGlobalLine(const char *line)
{
    const IntKey keys[] = {
        {"log ", &g_globalSettings.nLogLevel},
        {"HTTPPort ", &g_globalSettings.nPortHTTP},
        {"RTSPPort ", &g_globalSettings.nPortRTSP},
        {"AutoStart ", &g_globalSettings.bAutoRun},
        {"AutoRestart ", &g_globalSettings.nAutoRestart},
        {"StreamTimeLimit ", &g_globalSettings.nStreamTimeLimit},
        {"FolderRecur ", &g_globalSettings.bFolderRecur},
        {"FolderShuffle ", &g_globalSettings.bFolderShuffle},
    };
    readIntKeys(line, keys);
    if (startsWith(line, "LoginPass "))
        readWordField(line + 10, g_globalSettings.szLoginPass, sizeof g_globalSettings.szLoginPass);
}

// Reads the numbered sub-blocks "<Tag1>" ... "</Tag1>" that follow a count line.
// Returns false when the file ended.
template <typename Rec, typename Fn>
bool readSubBlocks(LineReader &r, int count, Rec *recs, const char *open, const char *close, Fn apply)
{
    for (int i = 1; i <= count; i++) {
        if (!r.next())
            return false;
        if (!startsWithTag(r.cur, open, i))
            continue; // dropped: this element gets no lines
        for (;;) {
            if (!r.next())
                return false;
            if (startsWithTag(r.cur, close, i))
                break;
            apply(r.cur, &recs[i - 1]);
        }
    }
    return true;
}

void parseInputBlockLine(const char *line, TOVU_CHANNEL *ch)
{
    if (startsWith(line, "VideoParam "))
        readQuotedField(line + 11, ch->tszSourceVideoParam, sizeof ch->tszSourceVideoParam);
    if (startsWith(line, "SourceParam "))
        readQuotedField(line + 12, ch->tszCustomSourceParam, sizeof ch->tszCustomSourceParam);
}

// The tags of an "<Input>" or "<Output>" block and of its numbered sub-blocks.
struct CountedBlock {
    const char *close;              // "</Input>"
    const char *countKey;           // "NumInputs ": how many sub-blocks follow
    int max;                        // the most sub-blocks read
    const char *subOpen, *subClose; // "<Input%d>", "</Input%d>"
};

const CountedBlock kInputBlock = {"</Input>", "NumInputs ", TOVU_LEGACY_SOURCES, "<Input%d>", "</Input%d>"};
const CountedBlock kOutputBlock = {"</Output>", "NumOutputs ", TOVU_LEGACY_TARGETS, "<Output%d>", "</Output%d>"};

// An "<Input>" or "<Output>" block into *count elements recs: a count line
// is followed by that many numbered sub-blocks (at most b.max); without one
// the block's lines are the first element's. Every line of the block is also
// offered to channelLine. False when the file ended inside it.
template <typename Rec, typename SubFn, typename LineFn>
bool readCountedBlock(LineReader &r, const CountedBlock &b, int *count, Rec *recs, SubFn parseSub,
                      LineFn channelLine, TOVU_CHANNEL *ch)
{
    *count = 1;
    while (!startsWith(r.cur, b.close)) {
        if (!r.next())
            return false;
        if (startsWith(r.cur, b.countKey)) {
            tovu_read_int(r.cur + strlen(b.countKey), count);
            if (*count > b.max)
                *count = b.max;
            if (!readSubBlocks(r, *count, recs, b.subOpen, b.subClose, parseSub))
                return false;
        } else {
            parseSub(r.cur, &recs[0]);
        }
        channelLine(r.cur, ch);
    }
    return true;
}

bool isChannelClose(const char *line, int n)
{
    return startsWithTag(line, "</Slot%d>", n) || startsWithTag(line, "</Channel%d>", n);
}

// channel block n (from 1); the opening line is at hand. False when the file ended.
bool readChannel(LineReader &r, int n)
{
    TOVU_CHANNEL *ch = &g_tovuChannels[n - 1];
    while (!isChannelClose(r.cur, n)) {
        if (!r.next())
            return false;
        if (startsWith(r.cur, "Enable"))
            tovu_read_int(r.cur + 6, &ch->bEnable);
        if (startsWith(r.cur, "<Input>") &&
            !readCountedBlock(r, kInputBlock, &ch->nSources, ch->sources, parseInputSubBlock, parseInputBlockLine, ch))
            return false;
        if (startsWith(r.cur, "<Output>") && !readCountedBlock(r, kOutputBlock, &ch->nTargets, ch->targets,
                                                               parseOutputSubBlock, parseOutputCommonBlock, ch))
            return false;
    }
    return true;
}

// ---------------------------------------------------------------- writing JSON

// The JSON form of one character: a backslash before '"' and '\', a
// control character below 0x20 as JSON writes it ("\t", "\u0001"); every
// other byte as it is, so paths keep their bytes.
std::string escapedChar(unsigned char c)
{
    char buf[8];
    const char *e = tovuJsonEscape(c, buf);
    return e ? std::string(e) : std::string(1, (char)c);
}

// the text in its JSON form; at most limit characters of escaped text,
// ending before the first character whose form would pass it
std::string escaped(const char *s, size_t limit = std::string::npos)
{
    std::string out;
    for (; s && *s; s++) {
        std::string e = escapedChar((unsigned char)*s);
        if (out.size() + e.size() > limit)
            break;
        out += e;
    }
    return out;
}

std::string quoted(const char *s, size_t limit = std::string::npos)
{
    return "\"" + escaped(s, limit) + "\"";
}

const size_t kUrlLimit = TOVU_LEGACY_TEXT - 1;

// an id without a name is written as the empty text, which reads back as 255
const char *formatName(TOVU_FORMAT f)
{
    const char *n = tovuGetFormatName(f);
    return n ? n : "";
}

const char *codecName(TOVU_CODEC c)
{
    const char *n = tovu_get_codec_name(c);
    return n ? n : "";
}

std::string frameRate(float fps)
{
    if (!std::isfinite(fps))
        return "0";
    // %g, but with a full stop whatever the locale
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, fps, std::chars_format::general, 6);
    return std::string(buf, res.ptr);
}

std::string address(unsigned long ip)
{
    return quoted(Inet_ntoa(ip));
}

// Builds objects member by member: commas go between members, never after the last.
class Writer {
public:
    std::string text;

    // a member "name": value at the given indentation
    void member(int indent, const char *name, const std::string &value)
    {
        sep();
        text.append(indent, ' ');
        text += '"';
        text += name;
        text += "\": ";
        text += value;
        pending_ = true;
    }
    void open(int indent, const char *name, char brace)
    {
        member(indent, name, std::string(1, brace));
        pending_ = false;
    }
    // an element "{" of an array of objects
    void openElement(int indent)
    {
        sep();
        text.append(indent, ' ');
        text += "{";
        pending_ = false;
    }
    void close(int indent, char brace)
    {
        text += '\n';
        text.append(indent, ' ');
        text += brace;
        pending_ = true;
    }

private:
    bool pending_ = false; // a value has been written and may need a comma
    void sep()
    {
        if (pending_)
            text += ',';
        text += '\n';
    }
};

std::string boolText(int b)
{
    return b ? "true" : "false";
}

std::string num(long v)
{
    return std::to_string(v);
}

// ["item"]: a one-item list
std::string oneItem(const char *s)
{
    return "[" + quoted(s) + "]";
}

// the words after every "-map " of the channel's map options
std::string mapWords(const char *map)
{
    std::string s = "[";
    bool first = true;
    const char *p = map;
    while ((p = strstr(p, "-map ")) != nullptr) {
        p += 5;
        if (!*p)
            break;
        const char *w = p;
        while (*w == ' ')
            w++;
        size_t n = strcspn(w, " ");
        if (!first)
            s += ", ";
        first = false;
        s += quoted(std::string(w, n).c_str());
    }
    return s + "]";
}

std::string filterList(const TOVU_CHANNEL &ch)
{
    std::string s = "[";
    int n = ch.nFilters < TOVU_LEGACY_FILTERS ? ch.nFilters : TOVU_LEGACY_FILTERS;
    for (int i = 0; i < n; i++) {
        if (i)
            s += ", ";
        s += quoted(ch.tszFilters[i]);
    }
    return s + "]";
}

void writeSource(Writer &w, const TOVU_CHANNEL &ch, const TOVU_CHANNEL_SOURCE &src)
{
    const TOVU_SOURCE &s = src.source;
    w.openElement(10);
    w.member(12, "format", quoted(formatName(s.format)));
    if (s.format == TOVU_FORMAT_GENERAL || s.format == TOVU_FORMAT_DEVICE ||
        s.format == TOVU_FORMAT_DECKLINK || s.format == TOVU_FORMAT_NDI)
        w.member(12, "url", quoted(src.szfnSource, kUrlLimit));
    bool rtp = s.format == TOVU_FORMAT_RTP;
    w.open(12, "video", '{');
    if (rtp) {
        w.member(14, "enable", boolText(s.video.b_enable));
        w.member(14, "codec", quoted(codecName(s.video.codec)));
        w.member(14, "IP", address(s.video.rtp.ulSrcIP));
        w.member(14, "port", num(s.video.rtp.usSrcPort));
        w.member(14, "fmtp", quoted(s.video.rtp.szFmtp));
    }
    w.member(14, "options", oneItem(ch.tszSourceVideoParam));
    w.close(12, '}');
    w.open(12, "audio", '{');
    if (rtp) {
        w.member(14, "enable", boolText(s.audio.b_enable));
        w.member(14, "codec", quoted(codecName(s.audio.codec)));
        w.member(14, "sampleRate", num(s.audio.sample_rate));
        w.member(14, "channels", num(s.audio.nb_channels));
        w.member(14, "IP", address(s.audio.rtp.ulSrcIP));
        w.member(14, "port", num(s.audio.rtp.usSrcPort));
        w.member(14, "fmtp", quoted(s.audio.rtp.szFmtp));
    }
    w.close(12, '}');
    w.close(10, '}');
}

const char *globalHeader(GLOBAL_HEADER_TYPE t)
{
    return t == OUT_OF_BAND ? "\"outOfBand\"" : "\"inBand\"";
}

void writeTarget(Writer &w, const TOVU_CHANNEL_TARGET &tgt)
{
    const TOVU_TARGET &t = tgt.target;
    w.openElement(10);
    w.member(12, "format", quoted(formatName(t.format)));
    w.member(12, "url", quoted(tgt.szfnTarget, kUrlLimit));

    const TOVU_VIDEO_STREAM &v = t.video;
    w.open(12, "video", '{');
    w.member(14, "enable", boolText(v.b_enable));
    w.member(14, "codec", quoted(codecName(v.codec)));
    w.member(14, "width", num(v.width));
    w.member(14, "height", num(v.height));
    w.member(14, "frameRate", frameRate(v.fps));
    w.member(14, "keyFrameInterval", num(v.key_frame_intv));
    w.member(14, "quality", num(v.quality));
    w.member(14, "bitRate", num(v.kbps));
    w.member(14, "scanType", num(v.interlacing));
    w.member(14, "IP", address(v.rtp.ulDstIP));
    w.member(14, "port", num(v.rtp.usDstPort));
    w.member(14, "globalHeader", globalHeader(v.rtp.globalHeader));
    w.member(14, "options", oneItem(tgt.tszVideoParam));
    w.close(12, '}');

    const TOVU_AUDIO_STREAM &a = t.audio;
    w.open(12, "audio", '{');
    w.member(14, "enable", boolText(a.b_enable));
    w.member(14, "codec", quoted(codecName(a.codec)));
    w.member(14, "sampleRate", num(a.sample_rate));
    w.member(14, "channels", num(a.nb_channels));
    w.member(14, "bitRate", num(a.kbps));
    w.member(14, "IP", address(a.rtp.ulDstIP));
    w.member(14, "port", num(a.rtp.usDstPort));
    w.member(14, "globalHeader", globalHeader(a.rtp.globalHeader));
    w.member(14, "options", oneItem(tgt.tszAudioParam));
    w.close(12, '}');

    w.open(12, "mux", '{');
    w.member(14, "bitRate", num(t.mux_kbps));
    w.member(14, "cbr", "false");
    w.close(12, '}');

    w.open(12, "rtmp", '{');
    w.member(14, "flashVer", quoted(tgt.rtmp.tszFlashVer));
    w.member(14, "swfUrl", quoted(tgt.rtmp.tszSwfUrl));
    w.member(14, "user", quoted(tgt.rtmp.tszPubUser));
    w.member(14, "passwd", quoted(tgt.rtmp.tszPubPass));
    w.close(12, '}');
    w.close(10, '}');
}

void writeChannel(Writer &w, const TOVU_CHANNEL &ch)
{
    w.openElement(4);
    w.member(6, "enable", boolText(ch.bEnable));

    w.open(6, "input", '{');
    w.open(8, "sources", '[');
    int ns = ch.nSources < TOVU_LEGACY_SOURCES ? ch.nSources : TOVU_LEGACY_SOURCES;
    for (int i = 0; i < ns; i++)
        writeSource(w, ch, ch.sources[i]);
    w.close(8, ']');
    w.member(8, "formatOptions", "[]");
    w.member(8, "customOptions", quoted(ch.tszCustomSourceParam));
    w.member(8, "map", mapWords(ch.tszMapParam));
    w.member(8, "filters", filterList(ch));
    w.close(6, '}');

    w.open(6, "output", '{');
    w.open(8, "targets", '[');
    int nt = ch.nTargets < TOVU_LEGACY_TARGETS ? ch.nTargets : TOVU_LEGACY_TARGETS;
    for (int i = 0; i < nt; i++)
        writeTarget(w, ch.targets[i]);
    w.close(8, ']');
    w.member(8, "formatOptions", oneItem(ch.tszFormatParam));
    w.member(8, "customOptions", quoted(ch.tszCustomTargetParam));
    w.close(6, '}');

    w.member(6, "memo", quoted(ch.tszMemo));
    w.close(4, '}');
}

} // namespace

// ---------------------------------------------------------------- line handlers

void parseInputSubBlock(LPCTSTR pLine, TOVU_CHANNEL_SOURCE *pSource)
{
    if (!pLine || !pSource)
        return;
    TOVU_SOURCE &s = pSource->source;
    if (startsWith(pLine, "Format "))
        s.format = tovuGetFormatId(readWord(pLine + 7).c_str());
    if (startsWith(pLine, "VideoCodec "))
        s.video.codec = tovu_get_codec_id(readWord(pLine + 11).c_str());
    if (startsWith(pLine, "VideoIP "))
        s.video.rtp.ulSrcIP = readAddress(pLine + 8);
    if (startsWith(pLine, "VideoPort "))
        readPort(pLine + 10, &s.video.rtp.usSrcPort);
    if (startsWith(pLine, "VideoFmtp "))
        readQuotedField(pLine + 10, s.video.rtp.szFmtp, sizeof s.video.rtp.szFmtp);
    if (startsWith(pLine, "AudioCodec "))
        s.audio.codec = tovu_get_codec_id(readWord(pLine + 11).c_str());
    if (startsWith(pLine, "AudioSampleRate "))
        tovu_read_int(pLine + 16, &s.audio.sample_rate);
    if (startsWith(pLine, "AudioChannel "))
        tovu_read_int(pLine + 13, &s.audio.nb_channels);
    if (startsWith(pLine, "AudioIP "))
        s.audio.rtp.ulSrcIP = readAddress(pLine + 8);
    if (startsWith(pLine, "AudioPort "))
        readPort(pLine + 10, &s.audio.rtp.usSrcPort);
    if (startsWith(pLine, "AudioFmtp "))
        readQuotedField(pLine + 10, s.audio.rtp.szFmtp, sizeof s.audio.rtp.szFmtp);
    if (startsWith(pLine, "File ")) {
        std::string v;
        bool found = true;
        if (s.format == TOVU_FORMAT_GENERAL)
            found = readQuoted(pLine + 5, &v);
        else
            v = readRest(pLine + 5);
        if (found) {
            tcstoutf8(v.c_str(), pSource->szfnSource, sizeof pSource->szfnSource);
            s.url = pSource->szfnSource;
        }
    }
}

void parseOutputSubBlock(LPCTSTR pLine, TOVU_CHANNEL_TARGET *pTarget)
{
    if (!pLine || !pTarget)
        return;
    TOVU_TARGET &t = pTarget->target;
    TOVU_VIDEO_STREAM &v = t.video;
    TOVU_AUDIO_STREAM &a = t.audio;
    const IntKey ints[] = {
        {"VideoEnable ", &v.b_enable},
        {"VideoWidth ", &v.width},
        {"VideoHeight ", &v.height},
        {"VideoKeyFrameInterval ", &v.key_frame_intv},
        {"VideoQuality ", &v.quality},
        {"VideoBitRate ", &v.kbps},
        {"VideoDeinterlace ", &v.interlacing},
        {"AudioEnable ", &a.b_enable},
        {"AudioSampleRate ", &a.sample_rate},
        {"AudioChannel ", &a.nb_channels},
        {"AudioBitRate ", &a.kbps},
        {"MuxBitRate ", &t.mux_kbps},
    };
    if (startsWith(pLine, "Format "))
        t.format = tovuGetFormatId(readWord(pLine + 7).c_str());
    readIntKeys(pLine, ints);
    if (startsWith(pLine, "VideoCodec "))
        v.codec = tovu_get_codec_id(readWord(pLine + 11).c_str());
    if (startsWith(pLine, "VideoFrameRate "))
        readFloat(pLine + 15, &v.fps);
    if (startsWith(pLine, "VideoIP "))
        v.rtp.ulDstIP = readAddress(pLine + 8);
    if (startsWith(pLine, "VideoPort "))
        readPort(pLine + 10, &v.rtp.usDstPort);
    if (startsWith(pLine, "VideoGlobalHeader "))
        v.rtp.globalHeader = readGlobalHeader(pLine + 18);
    if (startsWith(pLine, "VideoParam ")) {
        readQuotedField(pLine + 11, pTarget->tszVideoParam, sizeof pTarget->tszVideoParam);
        cutMapOptions(pTarget->tszVideoParam);
    }
    if (startsWith(pLine, "AudioCodec "))
        a.codec = tovu_get_codec_id(readWord(pLine + 11).c_str());
    if (startsWith(pLine, "AudioIP "))
        a.rtp.ulDstIP = readAddress(pLine + 8);
    if (startsWith(pLine, "AudioPort "))
        readPort(pLine + 10, &a.rtp.usDstPort);
    if (startsWith(pLine, "AudioGlobalHeader "))
        a.rtp.globalHeader = readGlobalHeader(pLine + 18);
    TOVU_RTMP_OPT &r = pTarget->rtmp;
    if (startsWith(pLine, "RTMPFlashVer "))
        readWordField(pLine + 13, r.tszFlashVer, sizeof r.tszFlashVer);
    if (startsWith(pLine, "RTMPSwfUrl "))
        readWordField(pLine + 11, r.tszSwfUrl, sizeof r.tszSwfUrl);
    if (startsWith(pLine, "RTMPPubUser "))
        readWordField(pLine + 12, r.tszPubUser, sizeof r.tszPubUser);
    if (startsWith(pLine, "RTMPPubPass "))
        readWordField(pLine + 12, r.tszPubPass, sizeof r.tszPubPass);
    if (startsWith(pLine, "File ")) {
        std::string val;
        if (readQuoted(pLine + 5, &val)) {
            tcstoutf8(val.c_str(), pTarget->szfnTarget, sizeof pTarget->szfnTarget);
            t.url = pTarget->szfnTarget;
        }
    }
    // a bit rate overrides the quality, whichever line came first
    if (v.kbps > 0)
        v.quality = 0;
}

void parseOutputCommonBlock(LPCTSTR pLine, TOVU_CHANNEL *pChannel)
{
    if (!pLine || !pChannel)
        return;
    TOVU_CHANNEL &ch = *pChannel;
    if (startsWith(pLine, "NumOutputs ") && tovu_read_int(pLine + 11, &ch.nTargets) &&
        ch.nTargets > TOVU_LEGACY_TARGETS)
        ch.nTargets = TOVU_LEGACY_TARGETS;
    if (startsWith(pLine, "MapParam "))
        readQuotedField(pLine + 9, ch.tszMapParam, sizeof ch.tszMapParam);
    if (startsWith(pLine, "FormatParam "))
        readQuotedField(pLine + 12, ch.tszFormatParam, sizeof ch.tszFormatParam);
    if (startsWith(pLine, "Filters ") && tovu_read_int(pLine + 8, &ch.nFilters) &&
        ch.nFilters > TOVU_LEGACY_FILTERS)
        ch.nFilters = TOVU_LEGACY_FILTERS;
    for (int i = 1; i <= ch.nFilters && i <= TOVU_LEGACY_FILTERS; i++) {
        char tag[32];
        snprintf(tag, sizeof tag, "Filter[%d]", i);
        if (startsWith(pLine, tag))
            readQuotedField(pLine + strlen(tag), ch.tszFilters[i - 1], sizeof ch.tszFilters[i - 1]);
    }
    int minutes = 0;
    if (startsWith(pLine, "TimeShift ") && tovu_read_int(pLine + 10, &minutes)) {
        long long sec = (long long)minutes * 60;
        ch.nTimeShiftSec = sec > INT_MAX ? INT_MAX : sec < INT_MIN ? INT_MIN : (int)sec;
    }
    if (startsWith(pLine, "TimeShiftSec "))
        tovu_read_int(pLine + 13, &ch.nTimeShiftSec);
    if (startsWith(pLine, "TimeShiftCacheFolder ")) {
        char *dir = ch.tszTimeShiftCacheFolder;
        readQuotedField(pLine + 21, dir, sizeof ch.tszTimeShiftCacheFolder);
        size_t n = strlen(dir);
        if (n > 0 && dir[n - 1] != '/' && n + 1 < sizeof ch.tszTimeShiftCacheFolder) {
            dir[n] = '/';
            dir[n + 1] = '\0';
        }
    }
    if (startsWith(pLine, "TargetParam "))
        readQuotedField(pLine + 12, ch.tszCustomTargetParam, sizeof ch.tszCustomTargetParam);
    if (startsWith(pLine, "CustomParam "))
        readQuotedField(pLine + 12, ch.tszCustomTargetParam, sizeof ch.tszCustomTargetParam);
    if (startsWith(pLine, "Memo "))
        readQuotedField(pLine + 5, ch.tszMemo, sizeof ch.tszMemo);
}

// ---------------------------------------------------------------- the file

int tovuImportConfigXML(LPCTSTR tszfnConfig)
{
    if (!tszfnConfig)
        return -1;
    // only a regular file is read: a folder gives no lines, and a pipe
    // would hold the start-up until someone writes to it
    int fd = tovu_open_regular(tszfnConfig, nullptr);
    if (fd < 0)
        return -1;
    FILE *fp = fdopen(fd, "r");
    if (!fp) {
        close(fd);
        return -1;
    }
    resetModel();
    setlocale(LC_ALL, "");

    LineReader r;
    r.fp = fp;
    int n = 1;
    while (r.next()) {
        parseGlobalLine(r.cur);
        if (startsWithTag(r.cur, "<Slot%d>", n) || startsWithTag(r.cur, "<Channel%d>", n)) {
            if (!readChannel(r, n) || n == TOVU_LEGACY_CHANNELS)
                break;
            n++;
        }
    }
    fclose(fp);
    return 0;
}

void _jsonUnescape(TCHAR *str, size_t sz)
{
    if (!str || sz == 0)
        return;
    std::string e = escaped(str, sz - 1);
    memcpy(str, e.c_str(), e.size() + 1);
}

void tovuExportConfigFromXML(FILE *fp)
{
    if (!fp)
        return;
    const GLOBAL_SETTINGS &g = g_globalSettings;
    Writer w;
    w.text = "{";
    w.member(2, "name", "\"Tovumedia Configuration File\"");
    w.open(2, "global", '{');
    w.member(4, "log", num(g.nLogLevel));
    w.member(4, "httpPort", num(g.nPortHTTP));
    w.member(4, "sslEnable", "false");
    w.member(4, "ipACL", "\"\"");
    w.member(4, "autoRun", boolText(g.bAutoRun));
    w.member(4, "autoRestart", num(g.nAutoRestart));
    w.member(4, "altInput", "\"\"");
    w.member(4, "folderRecur", boolText(g.bFolderRecur));
    w.member(4, "folderShuffle", "false");
    w.member(4, "loginPass", quoted(g.szLoginPass));
    w.close(2, '}');
    w.open(2, "channels", '[');
    for (const TOVU_CHANNEL &ch : g_tovuChannels) {
        if (ch.nSources == 0 || ch.nTargets == 0)
            break;
        writeChannel(w, ch);
    }
    w.close(2, ']');
    w.close(0, '}');
    w.text += '\n';
    fwrite(w.text.data(), 1, w.text.size(), fp);
}
