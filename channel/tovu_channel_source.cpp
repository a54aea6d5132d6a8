// One source record of a channel start or preview, from a channel's first
// source and its input; what differs between the two is passed in.
#include "tovu_channel_source.h"
#include "PlayList.h"
#include "tovu_document.h"
#include "tovu_helpers.h"
#include "tovu_base.h"

#include <string>
#include <vector>

namespace {

constexpr const char *kLoopOption = "-stream_loop -1 ";
// source video options of hardware decoding, left out of a preview
constexpr const char *kHwAccelPrefix = "-hwaccel";
constexpr size_t kHwAccelPrefixLen = 8;

// the text when it fits its capacity, kept in the store; else null, with the fault recorded
char *keepFitting(TovuTextStore *store, std::string text, size_t capacity, const std::string &field,
                  TovuTextFault *fault)
{
    if (!tovuCheckFits(text, capacity, field, fault))
        return nullptr;
    return store->keep(std::move(text));
}

// The address of the source: its "url", or when that names a folder, the
// current file of channel iRealCh's playlist built from the folder (the
// folder itself while the playlist has none). The playlist passes by the
// files whose paths no argument string can carry, each named in the log.
int readAddress(const TovuSourceKind &kind, int iChannel, int iRealCh, const cJSON *E,
                TOVU_FORMAT format, std::string *address, bool *bFolder,
                TovuTextFault *fault) TOVU_REQUIRES(g_configMutex)
{
    const cJSON *G = tovuGlobal();
    *address = tovuCheckedText(jsonGetItem(E, "url"), tovuChannelField(iRealCh, "source \"url\""), fault,
                               tovu_source_url_quoted(format) != 0);
    *bFolder = tovuIsFolderUrl(address->c_str());
    if (!*bFolder)
        return 0;
    // a folder whose own path no argument string can carry: refused by name,
    // rather than found without a file
    if (!fault->ok())
        return fault->code;
    if (kind.check)
        return 0;
    if (iRealCh < 0 || iRealCh >= TOVU_MAX_CHANNELS) {
        tovu_log_refusal(iChannel, "%s: no playlist for the folder of channel %d", kind.what,
                         iRealCh + 1);
        return TOVU_ERR_NO_SOURCE_URL;
    }
    CPlayList &playlist = g_tovuPlaylists[iRealCh];
    int nFiles = playlist.build(address->c_str(), jsonGetBool(jsonGetItem(G, "folderRecur")),
                                jsonGetBool(jsonGetItem(G, "folderShuffle")), TRUE);
    tovuLogSkippedFiles(iChannel, kind.what, playlist);
    if (nFiles == 0) {
        tovu_log_refusal(iChannel, "%s: no file in folder %s", kind.what, address->c_str());
        return TOVU_ERR_NO_SOURCE_URL;
    }
    std::string current = playlist.GetCurFileCopy();
    if (!current.empty()) {
        *address = current;
        tovuCheckQuotedText(address->c_str(), tovuChannelField(iRealCh, "playlist file"), fault);
    }
    return 0;
}

// The source video options, each followed by a blank: a start's only when
// the source has video settings, with empty ones kept as a lone blank; a
// preview's always, without empty ones and those of hardware decoding.
bool videoOptions(const TovuSourceKind &kind, const cJSON *E, const std::string &field,
                  std::string *out, TovuTextFault *fault)
{
    const cJSON *video = jsonGetItem(E, "video");
    if (!kind.preview && !(video && video->child))
        return false;
    const cJSON *list = jsonGetItem(video, "options");
    for (int k = 0, n = jsonGetListSize(list); k < n; k++) {
        const cJSON *item = jsonGetIndex(list, k);
        if (!cJSON_IsString(item) || !item->valuestring)
            continue;
        const char *option = item->valuestring;
        if (kind.preview &&
            (!option[0] || tovu_strncasecmp(option, kHwAccelPrefix, kHwAccelPrefixLen) == 0))
            continue;
        tovuCheckText(option, field, fault);
        out->append(option).push_back(' ');
    }
    return true;
}

} // namespace

int tovuBuildSource(const TovuSourceKind &kind, int iChannel, int iRealCh, int iSource,
                    int nSources, TOVU_SOURCE *src, TovuTextStore *store, TovuTextFault *fault)
{
    const cJSON *G = tovuGlobal();
    const cJSON *I = tovuChannelInput(iRealCh);
    const cJSON *E = tovuChannelFirstSource(iRealCh);
    auto field = [iRealCh](const char *what) { return tovuChannelField(iRealCh, what); };

    src->format = tovuGetFormatId(jsonGetText(jsonGetItem(E, "format")));
    std::string address;
    bool bFolder = false;
    int result = readAddress(kind, iChannel, iRealCh, E, src->format, &address, &bFolder, fault);
    if (result != 0)
        return result;

    if (!kind.preview)
        src->alt_url = const_cast<char *>(
            tovuCheckedText(jsonGetItem(G, "altInput"), "global \"altInput\"", fault, true));

    std::string video;
    if (videoOptions(kind, E, field("source video \"options\""), &video, fault))
        src->video.param = keepFitting(store, std::move(video), kind.videoParamCap,
                                       field("source video \"options\""), fault);

    // a start loops a file source when the channel restarts, a preview every source
    std::string param;
    if (kind.preview || (src->format == TOVU_FORMAT_GENERAL && !_is_url(address.c_str()) &&
                         !bFolder && jsonGetInt(jsonGetItem(G, "autoRestart")) > 0))
        param = kLoopOption;
    tovuAppendOptions(&param, jsonGetItem(I, "formatOptions"), true, field("input \"formatOptions\""),
                      fault);
    if (!kind.preview)
        param.append(
            tovuCheckedText(jsonGetItem(I, "customOptions"), field("input \"customOptions\""), fault));

    if (!kind.preview) {
        const cJSON *filters = jsonGetItem(I, "filters");
        std::vector<char *> filterList;
        for (int f = 0, n = jsonGetListSize(filters); f < n; f++) {
            const cJSON *item = jsonGetIndex(filters, f);
            if (cJSON_IsString(item) && item->valuestring) {
                tovuCheckText(item->valuestring, field("input \"filters\""), fault);
                filterList.push_back(item->valuestring);
            }
        }
        if (!filterList.empty()) {
            src->nb_filters = (int)filterList.size();
            src->filters = store->keepList(std::move(filterList));
        }
    }

    // a start's selections name the source; several sources without any
    // select all of each
    std::string map;
    const std::string mapSource = kind.preview ? std::string() : std::to_string(iSource) + ":";
    const cJSON *mapList = jsonGetItem(I, "map");
    for (int m = 0, n = jsonGetListSize(mapList); m < n; m++) {
        const char *item = jsonGetText(jsonGetIndex(mapList, m));
        if (!item[0])
            continue;
        tovuCheckText(item, field("input \"map\""), fault);
        map.append("-map ").append(mapSource).append(item).push_back(' ');
    }
    if (!kind.preview && map.empty() && nSources > 1)
        map = "-map " + std::to_string(iSource);

    src->url = keepFitting(store, std::move(address), kind.urlCap,
                           field(bFolder ? "playlist file" : "source \"url\""), fault);
    src->param = keepFitting(store, std::move(param), kind.paramCap,
                             kind.preview ? field("input \"formatOptions\"")
                                          : field("input options (\"formatOptions\", \"customOptions\")"),
                             fault);
    if (!kind.preview || !map.empty())
        src->map = keepFitting(store, std::move(map), kind.mapCap, field("input \"map\""), fault);
    return fault->code;
}
