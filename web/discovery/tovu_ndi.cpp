// NDI source discovery: one search through the NDI runtime per request, and
// the "/ndi_config" answer that lists what it found as JSON.
#include "tovu_ndi.h"
#include "tovu_helpers.h"
#include "tovu_cgi_json.h"

#include <chrono>
#include <memory>

namespace {

const char kTimeoutOption[] = "timeout=";

// answer pieces
const char kAnswerHead[] = "{ \"sources\": [\n";
const char kSourceName[] = "  { \"name\": \"";
const char kSourceAddr[] = "\", \"addr\": \"";
const char kSourceTail[] = "\" }\n";
const char kAnswerTail[] = " ]\n}\n";

} // namespace

uint32_t tovuNDIWaitMs(int nWaitSecs)
{
    if (nWaitSecs < TOVU_NDI_MIN_WAIT_SECS)
        nWaitSecs = TOVU_NDI_MIN_WAIT_SECS;
    if (nWaitSecs > TOVU_NDI_MAX_WAIT_SECS)
        nWaitSecs = TOVU_NDI_MAX_WAIT_SECS;
    return (uint32_t)nWaitSecs * 1000u;
}

int tovuEnumNDIWithin(TOVU_NDI *pNDI, uint32_t waitMs, uint32_t maxSearchMs)
{
    const NDIlib_v5 *runtime = NDIlib_v5_load();
    if (!runtime || !runtime->initialize || !runtime->initialize())
        return -1;

    NDIlib_find_create_t settings = {};
    settings.show_local_sources = true;
    settings.p_groups = nullptr;
    settings.p_extra_ips = nullptr;
    NDIlib_find_instance_t finder = NDIlib_find_create_v2(&settings);
    if (!finder) {
        if (runtime->destroy)
            runtime->destroy();
        return -1;
    }

    // Wait again while the list keeps changing: the search ends after the
    // first whole wait without a change, or, when sources come and go all
    // the time, with the first wait that ends past the cap.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    while (NDIlib_find_wait_for_sources(finder, waitMs)) {
        if (Clock::now() - start >= std::chrono::milliseconds(maxSearchMs))
            break;
    }

    uint32_t count = 0;
    const NDIlib_source_t *sources = NDIlib_find_get_current_sources(finder, &count);
    if (count > TOVU_NDI_MAX_SOURCES)
        count = TOVU_NDI_MAX_SOURCES;
    pNDI->nSources = sources ? count : 0;
    for (uint32_t i = 0; i < pNDI->nSources; i++) {
        tovuCopyText(pNDI->tszSourceName[i], sizeof pNDI->tszSourceName[i], sources[i].p_ndi_name);
        tovuCopyText(pNDI->tszSourceAddr[i], sizeof pNDI->tszSourceAddr[i],
                     sources[i].p_url_address);
    }

    NDIlib_find_destroy(finder);
    if (runtime->destroy)
        runtime->destroy();
    return 0;
}

int tovuEnumNDI(TOVU_NDI *pNDI, int nWaitSecs)
{
    return tovuEnumNDIWithin(pNDI, tovuNDIWaitMs(nWaitSecs), TOVU_NDI_MAX_SEARCH_MS);
}

std::string tovuNDIAnswer(const TOVU_NDI &ndi)
{
    std::string out = kAnswerHead;
    uint32_t n = ndi.nSources;
    if (n > TOVU_NDI_MAX_SOURCES)
        n = TOVU_NDI_MAX_SOURCES;
    for (uint32_t i = 0; i < n; i++) {
        out += kSourceName;
        tovuAppendJsonText(out, ndi.tszSourceName[i], sizeof ndi.tszSourceName[i]);
        out += kSourceAddr;
        tovuAppendJsonText(out, ndi.tszSourceAddr[i], sizeof ndi.tszSourceAddr[i]);
        out += kSourceTail;
        out += (i + 1 < n) ? ",\n" : "\n";
    }
    out += kAnswerTail;
    return out;
}

int tovuCGINDIConfig(const char *szArgs, struct MHD_Connection *conn)
{
    int wait = TOVU_NDI_DEFAULT_WAIT_SECS;
    parseOpt(szArgs ? szArgs : "", kTimeoutOption, &wait);
    auto ndi = std::make_unique<TOVU_NDI>(); // zeroed
    tovuEnumNDI(ndi.get(), wait);
    return tovuCGIQueueJSON(conn, tovuNDIAnswer(*ndi));
}
