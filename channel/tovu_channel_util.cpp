// Text checks and option texts shared by channel start, preview, stop,
// state and status.
#include "tovu_channel_util.h"
#include "tovu_channel.h"
#include "tovu_config.h"
#include "tovu_helpers.h"
#include "tovu_base.h"

#include <stdio.h>
#include <string.h>

#include <atomic>

namespace {

std::atomic<TOVU_TRANSCODE_FN> g_transcodeFn{nullptr};

} // namespace

bool TovuTextFault::set(int faultCode, const std::string &faultField, bool byQuote)
{
    if (code == 0) {
        code = faultCode;
        field = faultField;
        quote = byQuote;
    }
    return false;
}

bool tovuHasLineBreak(const char *text)
{
    return text && strpbrk(text, "\r\n") != nullptr;
}

bool tovuHasLineBreakOrQuote(const char *text)
{
    return text && strpbrk(text, "\r\n\"") != nullptr;
}

bool tovuCheckText(const char *text, const std::string &field, TovuTextFault *fault)
{
    if (!tovuHasLineBreak(text))
        return true;
    return fault->set(TOVU_ERR_LINE_BREAK, field);
}

const char *tovuCheckedText(const cJSON *item, const std::string &field, TovuTextFault *fault,
                            bool quoted)
{
    const char *text = jsonGetText(item);
    if (quoted)
        tovuCheckQuotedText(text, field, fault);
    else
        tovuCheckText(text, field, fault);
    return text;
}

bool tovuCheckQuotedText(const char *text, const std::string &field, TovuTextFault *fault)
{
    if (!tovuCheckText(text, field, fault))
        return false;
    if (!text || !strchr(text, '"'))
        return true;
    return fault->set(TOVU_ERR_LINE_BREAK, field, true);
}

void tovuAppendOptions(std::string *out, const cJSON *array, bool bSkipEmpty,
                       const std::string &field, TovuTextFault *fault)
{
    int n = jsonGetListSize(array);
    for (int i = 0; i < n; i++) {
        const cJSON *item = jsonGetIndex(array, i);
        if (!cJSON_IsString(item) || !item->valuestring)
            continue;
        if (bSkipEmpty && !item->valuestring[0])
            continue;
        tovuCheckText(item->valuestring, field, fault);
        out->append(item->valuestring).push_back(' ');
    }
}

bool tovuCheckFits(const std::string &text, size_t capacity, const std::string &field,
                   TovuTextFault *fault)
{
    if (text.size() < capacity)
        return true;
    return fault->set(TOVU_ERR_TEXT_TOO_LONG, field);
}

std::string tovuTextFaultText(const TovuTextFault &fault)
{
    if (fault.code == TOVU_ERR_LINE_BREAK)
        return fault.field + " holds " + (fault.quote ? "a double quote" : "a line break");
    if (fault.code == TOVU_ERR_TEXT_TOO_LONG)
        return fault.field + " is too long for the option text it fills";
    return "";
}

void tovuLogTextFault(int iChannel, const char *what, const TovuTextFault &fault)
{
    std::string text = tovuTextFaultText(fault);
    if (!text.empty())
        tovu_log_refusal(iChannel, "%s refused (%d): %s", what, fault.code, text.c_str());
}

void tovuLogSkippedFiles(int iChannel, const char *what, const CPlayList &playlist)
{
    CPlayList::Skipped skipped = playlist.GetSkipped();
    for (const std::string &path : skipped.paths) {
        // written so that the name cannot break the log's line either
        std::string shown;
        for (char c : path) {
            if (c == '\n')
                shown += "\\n";
            else if (c == '\r')
                shown += "\\r";
            else
                shown += c;
        }
        tovu_logf(iChannel, 1, "%s: file %s of the folder skipped: its path holds %s", what,
                  shown.c_str(), path.find('"') != std::string::npos ? "a double quote" : "a line break");
    }
    if (skipped.count > skipped.paths.size())
        tovu_logf(iChannel, 1, "%s: %zu more files of the folder skipped for the same reasons", what,
                  skipped.count - skipped.paths.size());
}

std::string tovuChannelField(int iChannel, const char *what)
{
    return "channel " + std::to_string(iChannel + 1) + " " + what;
}

int tovuRefuseRtpWithoutPort(int iChannel, const char *what, int iRealCh, const TOVU_SOURCE &source)
{
    if (source.format != TOVU_FORMAT_RTP || source.video.rtp.usSrcPort != 0)
        return 0;
    tovu_log_refusal(iChannel,
                     "%s refused (%d): the \"rtp_native\" source of channel %d has no local RTP port "
                     "to listen on (no configuration key sets it), so it cannot be received",
                     what, TOVU_ERR_RTP_INPUT, iRealCh + 1);
    return TOVU_ERR_RTP_INPUT;
}

void _tovuSetChannelTranscoder(TOVU_TRANSCODE_FN fn)
{
    g_transcodeFn.store(fn);
}

int tovuChannelTranscode(int channel_id, const TOVU_SOURCE *sources, int nb_sources,
                          const TOVU_TARGET *const *targets, int nb_targets, int mux_mode,
                          int b_preview)
{
    TOVU_TRANSCODE_FN fn = g_transcodeFn.load();
    if (!fn)
        fn = tovu_transcode;
    return fn(channel_id, sources, nb_sources, targets, nb_targets, mux_mode, b_preview);
}

long long tovuChannelHttpPort(int iChannel)
{
    return (long long)iChannel + 1 + jsonGetInt(tovuGlobalItem("httpPort"));
}

const char *tovuChannelRedirectedUrl(int iChannel)
{
    cJSON *target = jsonGetIndex(jsonGetItem(tovuChannelOutput(iChannel), "targets"), 0);
    TOVU_FORMAT format = tovuGetFormatId(jsonGetText(jsonGetItem(target, "format")));
    if (format != TOVU_FORMAT_HTTP && format != TOVU_FORMAT_HTML5)
        return nullptr;
    return jsonGetText(jsonGetItem(target, "url"));
}
