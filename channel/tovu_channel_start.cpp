// Channel start: one configured channel of the document becomes the engine's
// source and target records (formats, codecs, option arrays, channel
// binding, folder sources, the failover input, HTTP ports, RTMP credentials,
// time-stamped recordings, multi-variant HLS) and is handed to the engine.
//
// Every text the start builds is checked before it reaches a record: a
// configured text holding a line break, or a text longer than the record
// text it fills, refuses the start, named in the channel log. A text is never
// cut, since a cut argument would hand the transcoder a different command.
#include "tovu_channel_source.h"
#include "tovu_channel_util.h"
#include "tovu_config.h"
#include "tovu_helpers.h"
#include "tovu_channel.h"
#include "tovu_base.h"

#include <string.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr const char *kStartWhat = "channel start";

// the capacities of the record texts in bytes with the NUL: the source's
// (address, input options, video options, stream selection), the targets'
constexpr TovuSourceKind kStartSource = {kStartWhat, false, 1000, 1000, 1000, 1000};
constexpr TovuSourceKind kCheckSource = {kStartWhat, false, 1000, 1000, 1000, 1000, true};
constexpr size_t kTargetStreamParamCap = 1000;
constexpr size_t kTargetUrlCap = 1000;
constexpr size_t kTargetParamCap = 2000;

constexpr const char *kRecordingStamp = "-%Y%m%d-%H%M%S";
constexpr const char *kHlsVariantName = "%v.m3u8";

// blanks as the C library's white-space test knows them in every locale
constexpr const char *kWhiteSpace = " \t\n\v\f\r";

// the records of one start and everything they point at
struct StartRecords {
    std::vector<TOVU_SOURCE> sources;
    std::vector<std::vector<TOVU_TARGET>> targetRows; // [target][source]
    std::vector<TOVU_TARGET *> targets;
    std::vector<bool> bound;                           // per source record
    const cJSON *firstMap = nullptr;                   // input "map" of source record 0
    TovuTextStore store;
    TovuTextFault fault;

    StartRecords(int nSources, int nTargets)
        : sources(nSources), targetRows(nTargets), targets(nTargets), bound(nSources, false)
    {
        // each row zero-filled in place: the records are large (their RTP sessions)
        for (int j = 0; j < nTargets; j++) {
            targetRows[j].resize(nSources);
            targets[j] = targetRows[j].data();
        }
    }

    // keeps the text when it fits, else records the fault; null then
    char *keep(std::string text, size_t capacity, const std::string &field)
    {
        if (!tovuCheckFits(text, capacity, field, &fault))
            return nullptr;
        return store.keep(std::move(text));
    }

    // Gives every record text a copy of its own, so that the records no
    // longer borrow from the document and the engine can be called without
    // its lock. A text shared by several records stays shared.
    void ownTexts()
    {
        std::map<const char *, char *> copies;
        auto own = [&](char *&text) {
            if (!text)
                return;
            auto it = copies.find(text);
            if (it == copies.end())
                it = copies.emplace(text, store.keep(text)).first;
            text = it->second;
        };
        for (TOVU_SOURCE &src : sources) {
            for (char **text : {&src.url, &src.alt_url, &src.param, &src.map, &src.video.param,
                                &src.audio.param})
                own(*text);
            for (int f = 0; f < src.nb_filters; f++)
                own(src.filters[f]);
        }
        for (std::vector<TOVU_TARGET> &row : targetRows) {
            for (TOVU_TARGET &t : row) {
                for (char **text : {&t.url, &t.param, &t.video.param, &t.audio.param})
                    own(*text);
            }
        }
    }
};

// A target video option "-name value ..." of a channel with several sources
// becomes "-name:index value" (what follows the value is dropped). Reads
// as the pattern "-%[^ ] %s" does: the name runs to the first blank, then
// any white space, then the value is the next word.
bool indexOption(const std::string &option, int index, std::string *out)
{
    if (option.size() < 2 || option[0] != '-' || option[1] == ' ')
        return false;
    size_t nameEnd = option.find(' ', 1);
    if (nameEnd == std::string::npos)
        return false;
    size_t valueStart = option.find_first_not_of(kWhiteSpace, nameEnd);
    if (valueStart == std::string::npos)
        return false;
    size_t valueEnd = option.find_first_of(kWhiteSpace, valueStart);
    if (valueEnd == std::string::npos)
        valueEnd = option.size();
    out->append(option, 0, nameEnd).push_back(':');
    out->append(std::to_string(index)).push_back(' ');
    out->append(option, valueStart, valueEnd - valueStart);
    return true;
}

// The address with ":port" written at its second ':' (cutting what follows),
// or appended when it has no second ':'.
void setHttpPort(std::string *address, long long port)
{
    std::string suffix = ":" + std::to_string(port);
    size_t first = address->find(':');
    size_t second = first == std::string::npos ? first : address->find(':', first + 1);
    if (second == std::string::npos)
        address->append(suffix);
    else
        address->replace(second, std::string::npos, suffix);
}

// The SWF URL taken from an RTMP address as configured: up to the second '/'
// after the host part's "//"; empty when there is no such '/' pair.
std::string swfUrlOf(const std::string &url)
{
    size_t slashes = url.find("//");
    if (slashes == std::string::npos)
        return std::string();
    size_t first = url.find('/', slashes + 2);
    if (first == std::string::npos)
        return std::string();
    size_t second = url.find('/', first + 1);
    if (second == std::string::npos)
        return std::string();
    return url.substr(0, second);
}

// The local time of the start, as inserted into a recording's file name.
std::string recordingStamp()
{
    time_t now = time(nullptr);
    struct tm tmNow;
    char buf[64];
    if (!localtime_r(&now, &tmNow) || strftime(buf, sizeof buf, kRecordingStamp, &tmNow) == 0)
        return std::string();
    return buf;
}

// Fills url and param of one target record from the target T, the output O
// and the channel index.
void MakeTarget(int iChannel, TOVU_TARGET *target, const cJSON *jsonOutput,
                const cJSON *jsonTarget, StartRecords *recs) TOVU_REQUIRES(g_configMutex)
{
    const cJSON *G = tovuGlobal();
    const cJSON *rtmp = jsonGetItem(jsonTarget, "rtmp");
    TovuTextFault *fault = &recs->fault;
    auto field = [iChannel](const std::string &what) { return tovuChannelField(iChannel, what.c_str()); };

    TOVU_FORMAT format = tovuGetFormatId(jsonGetText(jsonGetItem(jsonTarget, "format")));
    const bool quoted = tovu_target_url_quoted(format) != 0;
    const char *configuredUrl =
        tovuCheckedText(jsonGetItem(jsonTarget, "url"), field("target \"url\""), fault, quoted);
    std::string address = configuredUrl;

    if (format == TOVU_FORMAT_HTTP || format == TOVU_FORMAT_HTML5 || format == TOVU_FORMAT_HTTP_MJPEG)
        setHttpPort(&address, tovuChannelHttpPort(iChannel));

    bool isRtmp = _is_rtmp_url(address.c_str());
    const char *user =
        isRtmp ? tovuCheckedText(jsonGetItem(rtmp, "user"), field("target \"rtmp\" \"user\""), fault, quoted) : "";
    if (user[0]) {
        size_t scheme = address.find("://");
        if (scheme != std::string::npos) {
            const char *passwd =
                tovuCheckedText(jsonGetItem(rtmp, "passwd"), field("target \"rtmp\" \"passwd\""), fault, quoted);
            std::string credentials = user;
            if (passwd[0])
                credentials.append(":").append(passwd);
            credentials.push_back('@');
            address.insert(scheme + 3, credentials);
        }
    }

    if (format == TOVU_FORMAT_GENERAL && !_is_url(address.c_str())) {
        size_t dot = address.rfind('.');
        if (dot != std::string::npos)
            address.insert(dot, recordingStamp());
    }

    std::string options;
    tovuAppendOptions(&options, jsonGetItem(jsonOutput, "formatOptions"), true,
                      field("output \"formatOptions\""), fault);
    if (target->mux_kbps != 0 && jsonGetBool(jsonGetItem(jsonGetItem(jsonTarget, "mux"), "cbr")))
        options.append("-bitrate ").append(std::to_string(target->mux_kbps)).append("k ");
    if (isRtmp) {
        const char *flashVer =
            tovuCheckedText(jsonGetItem(rtmp, "flashVer"), field("target \"rtmp\" \"flashVer\""), fault);
        if (flashVer[0])
            options.append("-rtmp_flashver ").append(flashVer).push_back(' ');
        std::string swfUrl =
            tovuCheckedText(jsonGetItem(rtmp, "swfUrl"), field("target \"rtmp\" \"swfUrl\""), fault);
        if (swfUrl.empty())
            swfUrl = swfUrlOf(configuredUrl);
        if (!swfUrl.empty())
            options.append("-rtmp_swfurl ").append(swfUrl).push_back(' ');
    }
    const char *custom =
        tovuCheckedText(jsonGetItem(jsonOutput, "customOptions"), field("output \"customOptions\""), fault);
    if (custom[0])
        options.append(custom).push_back(' ');
    if (tovu_strncasecmp(address.c_str(), "https://", 8) == 0) {
        const char *cert = tovuCheckedText(jsonGetItem(G, "sslCert"), "global \"sslCert\"", fault, true);
        const char *key = tovuCheckedText(jsonGetItem(G, "sslKey"), "global \"sslKey\"", fault, true);
        options.append("-user_agent \"").append(cert).append("\" -referer \"").append(key).append("\"");
    }

    target->url = recs->keep(std::move(address), kTargetUrlCap, field("target \"url\""));
    target->param = recs->keep(std::move(options), kTargetParamCap,
                               field("output options (\"formatOptions\", \"customOptions\", \"rtmp\")"));
}

// The variant name of an HLS address: the text after its last '/', cut at
// the address's last '.' when that lies within the name.
std::string hlsVariantName(const char *url)
{
    std::string address = url ? url : "";
    size_t slash = address.rfind('/');
    size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = address.rfind('.');
    size_t nameEnd = dot != std::string::npos && dot >= nameStart ? dot : address.size();
    return address.substr(nameStart, nameEnd - nameStart);
}

// The stream of one kind ('v' or 'a') that each HLS variant takes: the first
// element of the input map that selects that kind ("v:0", "a:1"), else the
// first stream of the kind. Elements that name no kind (a PID, a stream
// index) cannot be told apart here and are left to the other outputs.
std::string variantStream(const cJSON *mapList, char kind)
{
    for (int m = 0, n = jsonGetListSize(mapList); m < n; m++) {
        const char *item = jsonGetText(jsonGetIndex(mapList, m));
        bool video = item[0] == 'v' || item[0] == 'V';
        bool named = (kind == 'v' ? video : item[0] == 'a') && (item[1] == '\0' || item[1] == ':');
        if (named)
            return item;
    }
    return std::string(1, kind) + ":0";
}

// The folder of an HLS address: its text up to and including the last '/',
// empty when it has none.
std::string hlsFolder(const char *url)
{
    std::string address = url ? url : "";
    size_t slash = address.rfind('/');
    return slash == std::string::npos ? std::string() : address.substr(0, slash + 1);
}

// Folds the HLS targets of one folder (two or more, in list order) into one
// multi-variant output carried by the last of them, using the records of
// source 0; false, with the fault set and the records as they were, when the
// folded texts would not fit their record texts.
//
// The carrier maps for each variant one video and one audio stream, only the
// kinds the variant has enabled, and the variant map lists them by their
// number among the fold's streams of that kind: with audio off in the second
// of three variants, "v:0,a:0 v:1 v:2,a:1". A variant with neither kind is
// left out.
bool foldHlsFolder(const std::vector<TOVU_TARGET *> &hls, const std::string &folder, StartRecords *recs)
{
    const int nVariants = (int)hls.size();
    TOVU_TARGET *last = &hls.back()[0];
    std::string param = last->param ? last->param : "";
    const std::string videoMap = "-map 0:" + variantStream(recs->firstMap, 'v') + " ";
    const std::string audioMap = "-map 0:" + variantStream(recs->firstMap, 'a') + " ";
    std::string variants;
    int nVideo = 0, nAudio = 0;
    for (int i = 0; i < nVariants; i++) {
        const TOVU_TARGET &rec = hls[i][0];
        std::string entry;
        if (rec.video.b_enable) {
            param.append(videoMap);
            entry.append("v:").append(std::to_string(nVideo++));
        }
        if (rec.audio.b_enable) {
            param.append(audioMap);
            entry.append(entry.empty() ? "" : ",").append("a:").append(std::to_string(nAudio++));
        }
        if (entry.empty())
            continue;
        variants.append(entry).append(",name:").append(hlsVariantName(rec.url)).push_back(' ');
    }
    param.append("-var_stream_map \"").append(variants).push_back('"');
    std::string url = folder + kHlsVariantName;

    if (!tovuCheckFits(param, kTargetParamCap, "output options with the HLS variants", &recs->fault) ||
        !tovuCheckFits(url, kTargetUrlCap, "HLS variant address", &recs->fault))
        return false;
    last->param = recs->store.keep(std::move(param));
    last->url = recs->store.keep(std::move(url));
    for (int i = 0; i < nVariants - 1; i++)
        hls[i][0].url = nullptr;
    return true;
}

// Folds the HLS targets of a channel that lie in one folder, two or more
// wherever they stand in the list, into one multi-variant output per folder
// (its playlists, segments and master playlist all land in that folder). An
// HLS target alone in its folder, and every other target, keeps its own
// output. The transcoder gives options to the next output named after them,
// so the targets of a fold are put side by side, where the first of them
// stood; the other targets keep their order.
void _patchHLSParam(TOVU_TARGET **targets, int nTargets, StartRecords *recs)
{
    std::vector<std::string> folders;
    std::vector<std::vector<TOVU_TARGET *>> groups;
    std::vector<int> groupOf((size_t)nTargets, -1);
    for (int j = 0; j < nTargets; j++) {
        if (targets[j][0].format != TOVU_FORMAT_HLS)
            continue;
        const std::string folder = hlsFolder(targets[j][0].url);
        size_t g = 0;
        while (g < folders.size() && folders[g] != folder)
            g++;
        if (g == folders.size()) {
            folders.push_back(folder);
            groups.emplace_back();
        }
        groups[g].push_back(targets[j]);
        groupOf[(size_t)j] = (int)g;
    }
    bool folded = false;
    for (size_t g = 0; g < groups.size(); g++) {
        if (groups[g].size() < 2)
            continue;
        if (!foldHlsFolder(groups[g], folders[g], recs))
            return;
        folded = true;
    }
    if (!folded)
        return;

    std::vector<TOVU_TARGET *> order;
    std::vector<bool> placed(groups.size(), false);
    for (int j = 0; j < nTargets; j++) {
        const int g = groupOf[(size_t)j];
        if (g < 0 || groups[(size_t)g].size() < 2) {
            order.push_back(targets[j]);
        } else if (!placed[(size_t)g]) {
            order.insert(order.end(), groups[(size_t)g].begin(), groups[(size_t)g].end());
            placed[(size_t)g] = true;
        }
    }
    for (int j = 0; j < nTargets; j++)
        targets[j] = order[(size_t)j];
}

// The video and audio fields of a target record.
void fillStreams(TOVU_TARGET *rec, const cJSON *T)
{
    const cJSON *video = jsonGetItem(T, "video");
    const cJSON *audio = jsonGetItem(T, "audio");
    rec->format = tovuGetFormatId(jsonGetText(jsonGetItem(T, "format")));
    rec->video.b_enable = jsonGetBool(jsonGetItem(video, "enable"));
    rec->video.codec = tovu_get_codec_id(jsonGetText(jsonGetItem(video, "codec")));
    rec->video.width = jsonGetInt(jsonGetItem(video, "width"));
    rec->video.height = jsonGetInt(jsonGetItem(video, "height"));
    rec->video.fps = jsonGetFloat(jsonGetItem(video, "frameRate"));
    rec->video.key_frame_intv = jsonGetInt(jsonGetItem(video, "keyFrameInterval"));
    rec->video.quality = jsonGetInt(jsonGetItem(video, "quality"));
    rec->video.kbps = jsonGetInt(jsonGetItem(video, "bitRate"));
    rec->video.interlacing = jsonGetInt(jsonGetItem(video, "scanType"));
    rec->audio.b_enable = jsonGetBool(jsonGetItem(audio, "enable"));
    rec->audio.codec = tovu_get_codec_id(jsonGetText(jsonGetItem(audio, "codec")));
    rec->audio.sample_rate = jsonGetInt(jsonGetItem(audio, "sampleRate"));
    rec->audio.nb_channels = jsonGetInt(jsonGetItem(audio, "channels"));
    rec->audio.kbps = jsonGetInt(jsonGetItem(audio, "bitRate"));
}

class ChannelStart {
public:
    // check: the records are built only to check their texts (kCheckSource)
    ChannelStart(int iChannel, int nSources, int nTargets, bool check = false)
        TOVU_REQUIRES(g_configMutex)
        : N(iChannel), nSources(nSources), nTargets(nTargets), check(check),
          recs(nSources, nTargets),
          nChannelSources(jsonGetListSize(jsonGetItem(tovuChannelInput(iChannel), "sources")))
    {
    }

    // the records, read from the document under its lock: 0 when they are
    // ready for launch()
    int build() TOVU_REQUIRES(g_configMutex);
    // the first fault among the texts that build() found
    const TovuTextFault &fault() const { return recs.fault; }
    // the engine's start; needs no document
    int launch();

private:
    int fillSource(int iRealCh) TOVU_REQUIRES(g_configMutex);
    int fillTargets(int iRealCh, bool bBound) TOVU_REQUIRES(g_configMutex);

    const int N;
    const int nSources;
    const int nTargets;
    const bool check;
    StartRecords recs;
    const int nChannelSources;
    int iSource = 0;
};

int ChannelStart::fillSource(int iRealCh)
{
    TOVU_SOURCE &src = recs.sources[iSource];
    if (iSource == 0)
        recs.firstMap = jsonGetItem(tovuChannelInput(iRealCh), "map");
    int result = tovuBuildSource(check ? kCheckSource : kStartSource, N, iRealCh, iSource,
                                 nChannelSources, &src, &recs.store, &recs.fault);
    if (result != 0 || check)
        return result;
    return tovuRefuseRtpWithoutPort(N, kStartWhat, iRealCh, src);
}

int ChannelStart::fillTargets(int iRealCh, bool bBound)
{
    const cJSON *O = tovuChannelOutput(iRealCh);
    const cJSON *targetList = jsonGetItem(O, "targets");
    int nAvailable = jsonGetListSize(targetList);
    if (nAvailable < nTargets) {
        if (check)
            return TOVU_ERR_NO_TARGET_URL;
        tovu_log_refusal(N, "%s: channel %d has %d targets, fewer than the %d of channel %d",
                         kStartWhat, iRealCh + 1, nAvailable, nTargets, N + 1);
        return TOVU_ERR_NO_TARGET_URL;
    }
    for (int j = 0; j < nTargets; j++) {
        const cJSON *T = jsonGetIndex(targetList, j);
        TOVU_TARGET &rec = recs.targets[j][iSource];
        fillStreams(&rec, T);

        const cJSON *videoOptions = jsonGetItem(jsonGetItem(T, "video"), "options");
        const cJSON *audioOptions = jsonGetItem(jsonGetItem(T, "audio"), "options");
        if (jsonGetListSize(videoOptions) > 0 || jsonGetListSize(audioOptions) > 0) {
            std::string field = tovuChannelField(iRealCh, "target video and audio \"options\"");
            std::string text;
            for (int k = 0, n = jsonGetListSize(videoOptions); k < n; k++) {
                const char *option = jsonGetText(jsonGetIndex(videoOptions, k));
                if (!option[0])
                    continue;
                tovuCheckText(option, field, &recs.fault);
                if (nChannelSources <= 1 || !indexOption(option, iSource, &text))
                    text.append(option);
                text.push_back(' ');
            }
            tovuAppendOptions(&text, audioOptions, true, field, &recs.fault);
            rec.video.param = recs.keep(std::move(text), kTargetStreamParamCap, field);
        }

        if (bBound) {
            rec.url = recs.targets[j][0].url;
            rec.param = recs.targets[j][0].param;
        } else {
            rec.mux_kbps = jsonGetInt(jsonGetItem(jsonGetItem(T, "mux"), "bitRate"));
            MakeTarget(N, &rec, O, T, &recs);
        }
        if (!recs.fault.ok())
            return recs.fault.code;
    }
    return 0;
}

int ChannelStart::build()
{
    const cJSON *sourceList = jsonGetItem(tovuChannelInput(N), "sources");
    int result = 0;
    for (const cJSON *entry = sourceList ? sourceList->child : nullptr;
         entry && iSource < nSources && result == 0; entry = entry->next) {
        int nBind = jsonGetInt(jsonGetItem(entry, "bind"));
        int iRealCh = N;
        if (nBind > 0) {
            iRealCh = nBind - 1;
            if (iRealCh == N)
                continue;
        }
        if (!tovuChannelFirstSource(iRealCh))
            continue;
        recs.bound[iSource] = nBind > 0;
        result = fillSource(iRealCh);
        if (result == 0)
            result = fillTargets(iRealCh, nBind > 0);
        if (result == 0)
            iSource++;
    }

    if (result == 0 && nTargets > 1 && iSource > 0) {
        _patchHLSParam(recs.targets.data(), nTargets, &recs);
        result = recs.fault.code;
        // the records of bound sources share the texts of source 0's records
        for (int i = 1; i < iSource && result == 0; i++) {
            if (!recs.bound[i])
                continue;
            for (int j = 0; j < nTargets; j++) {
                recs.targets[j][i].url = recs.targets[j][0].url;
                recs.targets[j][i].param = recs.targets[j][0].param;
            }
        }
    }
    if (!recs.fault.ok()) {
        if (!check)
            tovuLogTextFault(N, kStartWhat, recs.fault);
        return recs.fault.code;
    }
    if (result != 0)
        return result;
    recs.ownTexts();
    return 0;
}

int ChannelStart::launch()
{
    return tovuChannelTranscode(N, recs.sources.data(), iSource, recs.targets.data(), nTargets, 0, 0);
}

} // namespace

int tovuStartChannel(int iChannel)
{
    // The records are built under the document lock and own their texts; the
    // engine's start (a fork, a pipe write) then runs without it, so that the
    // supervision loop and "/status" need not wait for it. A caller that holds
    // the lock itself keeps it held throughout.
    std::unique_ptr<ChannelStart> start;
    {
        TovuConfigLock lock;
        if (!tovuChannelItem(iChannel)) {
            tovu_log_refusal(iChannel, "%s: no channel %d in the configuration", kStartWhat,
                             iChannel + 1);
            return TOVU_ERR_NO_SOURCE_URL;
        }
        const cJSON *input = tovuChannelInput(iChannel);
        const cJSON *output = tovuChannelOutput(iChannel);
        int nSources = jsonGetListSize(jsonGetItem(input, "sources"));
        int nTargets = jsonGetListSize(jsonGetItem(output, "targets"));
        if (nSources > TOVU_MAX_SOURCES)
            nSources = TOVU_MAX_SOURCES;
        if (nTargets > TOVU_MAX_TARGETS)
            nTargets = TOVU_MAX_TARGETS;
        if (nSources == 0) {
            tovu_log_refusal(iChannel, "%s: channel %d has no source", kStartWhat, iChannel + 1);
            return TOVU_ERR_NO_SOURCE_URL;
        }
        if (nTargets == 0) {
            tovu_log_refusal(iChannel, "%s: channel %d has no target", kStartWhat, iChannel + 1);
            return TOVU_ERR_NO_TARGET_URL;
        }
        start.reset(new ChannelStart(iChannel, nSources, nTargets));
        int ret = start->build();
        if (ret != 0)
            return ret;
    }
    return start->launch();
}

std::string tovuChannelTextProblem(int iChannel)
{
    TovuConfigLock lock;
    if (!tovuChannelItem(iChannel))
        return "";
    int nSources = jsonGetListSize(jsonGetItem(tovuChannelInput(iChannel), "sources"));
    int nTargets = jsonGetListSize(jsonGetItem(tovuChannelOutput(iChannel), "targets"));
    if (nSources == 0 || nTargets == 0)
        return "";
    ChannelStart start(iChannel, std::min(nSources, TOVU_MAX_SOURCES),
                       std::min(nTargets, TOVU_MAX_TARGETS), true);
    start.build();
    return tovuTextFaultText(start.fault());
}
