// Channel preview: a channel's first source, always looped, transcoded in
// the channel's own slot into one small fixed HTML5 stream that the
// transcoder serves on port 9528 for the browser.
//
// As in a channel start, a configured text holding a line break (or, where
// it goes between double quotes, a double quote) or longer than the record
// text it fills refuses the preview, named in the log.
#include "tovu_channel_source.h"
#include "tovu_channel_util.h"
#include "tovu_document.h"
#include "tovu_channel.h"
#include "tovu_base.h"

#include <string>

namespace {

// the one target: an HTML5 stream of 320 by 240 pixels on TOVU_PREVIEW_PORT
constexpr int kPreviewWidth = 320;
constexpr int kPreviewHeight = 240;
constexpr int kPreviewKeyFrames = 5;

constexpr const char *kPreviewWhat = "channel preview";
// the capacities of the record texts in bytes with the NUL: the source's
// (address, input options, video options, stream selection), the target's
constexpr TovuSourceKind kPreviewSource = {kPreviewWhat, true, 1000, 2000, 1000, 1000};
constexpr size_t kTargetUrlCap = 100;
constexpr size_t kTargetParamCap = 2000;

} // namespace

int tovuPreviewChannel(int iChannel)
{
    TovuConfigLock lock;
    const cJSON *G = tovuGlobal();
    TovuTextFault fault;
    TovuTextStore store;

    TOVU_SOURCE source{};
    TOVU_TARGET target{};
    // a text fault is named once the target's texts are checked too
    if (tovuBuildSource(kPreviewSource, iChannel, iChannel, 0, 1, &source, &store, &fault) ==
        TOVU_ERR_NO_SOURCE_URL)
        return TOVU_ERR_NO_SOURCE_URL;

    std::string targetUrl;
    std::string targetParam;
    if (jsonGetBool(jsonGetItem(G, "sslEnable"))) {
        const char *cert = jsonGetText(jsonGetItem(G, "sslCert"));
        const char *key = jsonGetText(jsonGetItem(G, "sslKey"));
        tovuCheckQuotedText(cert, "global \"sslCert\"", &fault);
        tovuCheckQuotedText(key, "global \"sslKey\"", &fault);
        targetParam.append("-user_agent \"").append(cert).append("\" -referer \"").append(key).append("\"");
        targetUrl = "https://0.0.0.0:" + std::to_string(TOVU_PREVIEW_PORT);
    } else {
        targetUrl = "http://0.0.0.0:" + std::to_string(TOVU_PREVIEW_PORT);
    }

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
    return tovuChannelTranscode(iChannel, &source, 1, targets, 1, 0, 1);
}
