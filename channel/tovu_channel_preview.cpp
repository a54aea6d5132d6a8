// Channel preview: a channel's first source, always looped, transcoded in
// the channel's own slot into one small fixed HTML5 stream that the
// transcoder serves on port 9528 for the browser.
//
// As in a channel start, a configured text holding a line break or longer
// than the record text it fills refuses the preview, named in the log.
#include "PlayList.h"
#include "tovu_channel_util.h"
#include "tovu_config.h"
#include "tovu_helpers.h"
#include "tovu_channel.h"
#include "tovu_base.h"

#include <string>

namespace {

// capacities of the record texts, in bytes with the NUL
constexpr size_t kUrlCap = 1000;
constexpr size_t kParamCap = 2000;
constexpr size_t kVideoParamCap = 1000;
constexpr size_t kMapCap = 1000;
constexpr size_t kTargetUrlCap = 100;
constexpr size_t kTargetParamCap = 2000;

constexpr int kPreviewPort = 9528;
constexpr int kPreviewWidth = 320;
constexpr int kPreviewHeight = 240;
constexpr int kPreviewKeyFrames = 5;
constexpr const char *kLoopOption = "-stream_loop -1 ";
// source video options of hardware decoding are left out of the preview
constexpr const char *kHwAccelPrefix = "-hwaccel";
constexpr const char *kPreviewWhat = "channel preview";

} // namespace

int tovuPreviewChannel(int iChannel)
{
    TovuConfigLock lock;
    const cJSON *G = tovuGlobal();
    const cJSON *I = tovuChannelInput(iChannel);
    const cJSON *E = tovuChannelFirstSource(iChannel);
    TovuTextFault fault;
    TovuTextStore store;
    auto field = [iChannel](const char *what) { return tovuChannelField(iChannel, what); };

    TOVU_SOURCE source{};
    TOVU_TARGET target{};
    source.format = tovuGetFormatId(jsonGetText(jsonGetItem(E, "format")));

    std::string address = jsonGetText(jsonGetItem(E, "url"));
    tovuCheckText(address.c_str(), field("source \"url\""), &fault);
    bool bFolder = !address.empty() && isDirectory(address.c_str());
    if (bFolder && iChannel >= 0 && iChannel < TOVU_MAX_CHANNELS) {
        CPlayList &playlist = g_tovuPlaylists[iChannel];
        if (playlist.build(address.c_str(), jsonGetBool(jsonGetItem(G, "folderRecur")),
                           jsonGetBool(jsonGetItem(G, "folderShuffle")), TRUE) == 0) {
            tovu_logf(iChannel, 1, "%s: no file in folder %s", kPreviewWhat, address.c_str());
            return TOVU_ERR_NO_SOURCE_URL;
        }
        std::string current = playlist.GetCurFileCopy();
        if (!current.empty()) {
            address = current;
            tovuCheckText(address.c_str(), field("playlist file"), &fault);
        }
    }

    std::string param = kLoopOption;
    tovuAppendOptions(&param, jsonGetItem(I, "formatOptions"), true, field("input \"formatOptions\""),
                      &fault);

    std::string videoOptions;
    const cJSON *videoList = jsonGetItem(jsonGetItem(E, "video"), "options");
    for (int k = 0, n = jsonGetListSize(videoList); k < n; k++) {
        const char *option = jsonGetText(jsonGetIndex(videoList, k));
        if (!option[0] || _tovu_strncasecmp(option, kHwAccelPrefix, 8) == 0)
            continue;
        tovuCheckText(option, field("source video \"options\""), &fault);
        videoOptions.append(option).push_back(' ');
    }

    std::string map;
    const cJSON *mapList = jsonGetItem(I, "map");
    for (int m = 0, n = jsonGetListSize(mapList); m < n; m++) {
        const char *item = jsonGetText(jsonGetIndex(mapList, m));
        if (!item[0])
            continue;
        tovuCheckText(item, field("input \"map\""), &fault);
        map.append("-map ").append(item).push_back(' ');
    }

    std::string targetUrl;
    std::string targetParam;
    if (jsonGetBool(jsonGetItem(G, "sslEnable"))) {
        const char *cert = jsonGetText(jsonGetItem(G, "sslCert"));
        const char *key = jsonGetText(jsonGetItem(G, "sslKey"));
        tovuCheckText(cert, "global \"sslCert\"", &fault);
        tovuCheckText(key, "global \"sslKey\"", &fault);
        targetParam.append("-user_agent \"").append(cert).append("\" -referer \"").append(key).append("\"");
        targetUrl = "https://0.0.0.0:" + std::to_string(kPreviewPort);
    } else {
        targetUrl = "http://0.0.0.0:" + std::to_string(kPreviewPort);
    }

    if (tovuCheckFits(address, kUrlCap, field(bFolder ? "playlist file" : "source \"url\""), &fault))
        source.url = store.keep(std::move(address));
    if (tovuCheckFits(param, kParamCap, field("input \"formatOptions\""), &fault))
        source.param = store.keep(std::move(param));
    if (tovuCheckFits(videoOptions, kVideoParamCap, field("source video \"options\""), &fault))
        source.video.param = store.keep(std::move(videoOptions));
    if (!map.empty() && tovuCheckFits(map, kMapCap, field("input \"map\""), &fault))
        source.map = store.keep(std::move(map));
    if (tovuCheckFits(targetUrl, kTargetUrlCap, "preview address", &fault))
        target.url = store.keep(std::move(targetUrl));
    if (tovuCheckFits(targetParam, kTargetParamCap, "global \"sslCert\" and \"sslKey\"", &fault))
        target.param = store.keep(std::move(targetParam));
    if (!fault.ok()) {
        tovuLogTextFault(iChannel, kPreviewWhat, fault);
        return fault.code;
    }

    target.format = TOVU_FORMAT_HTML5;
    target.video.b_enable = 1;
    target.video.codec = TOVU_VIDEO_H264;
    target.video.width = kPreviewWidth;
    target.video.height = kPreviewHeight;
    target.video.key_frame_intv = kPreviewKeyFrames;
    target.audio.b_enable = 1;
    target.audio.codec = TOVU_AUDIO_AAC;

    int refused = tovuRefuseRtpWithoutPort(iChannel, kPreviewWhat, iChannel, source);
    if (refused != 0)
        return refused;
    const TOVU_TARGET *targets[1] = {&target};
    return _tovuChannelTranscode(iChannel, &source, 1, targets, 1, 0, 1);
}
