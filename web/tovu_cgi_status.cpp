/*
 * tovu_cgi_status.cpp - the two read-only JSON answers of the web API:
 * "/status" (every channel's state and status text, the load of every CPU
 * and of the GPU), polled by the web client every second, and "/runtime"
 * (product name, version, channel count, preview port), read once per page.
 *
 * Both are formatted into one buffer that lives for the life of the web
 * thread, so a poll allocates nothing but the library's copy of the body.
 * Texts are escaped as JSON (tovu_cgi_json.h), and the buffer grows to fit
 * them: a file name with quotes, control characters or bytes that are not
 * UTF-8 in a status row stays valid JSON, and no number of CPUs or length of
 * text can write past the buffer.
 */
#include "tovu_cgi_internal.h"
#include "tovu_cgi_json.h"
#include "tovu_config.h"
#include "tovu_document.h"
#include "tovu_helpers.h"
#include "tovu_channel.h"
#include "tovu_base.h"

#include <stdio.h>
#include <string.h>

#include <string>

TovuMutex g_cgi_mutex;

/* ---------------------------------------------------------------- fixed texts and limits */

static const char kWebsite[] = "tovumedia.com";
static const char kEmail[] = "support@tovumedia.com";
static const char kPlatform[] = "linux";
static const char kRunning[] = "RUNNING";

/* ---------------------------------------------------------------- answer text */

namespace {

/* the answer text of the web thread, kept between requests */
std::string &answerText()
{
    static thread_local std::string text;
    if (text.capacity() < TOVU_CGI_ANSWER_SIZE)
        text.reserve(TOVU_CGI_ANSWER_SIZE);
    text.clear();
    return text;
}

void appendInt(std::string &out, int value)
{
    char num[16];
    int n = snprintf(num, sizeof num, "%d", value);
    out.append(num, (size_t)n);
}

/* one channel row, by its state */
void appendRow(std::string &out, int iChannel)
{
    const char *state = "idle";
    const char *status = "IDLE";
    TCHAR tszStatus[TOVU_STATUS_TEXT_SIZE];
    switch (tovuGetChannelState(iChannel)) {
    case TOVU_STATE_EXTRACT:
        state = "running";
        status = "EXTRACT";
        break;
    case TOVU_STATE_RUNNING:
        memset(tszStatus, 0, sizeof tszStatus);
        snprintf(tszStatus, sizeof tszStatus, "%s", kRunning);
        tovuGetChannelStatus(iChannel, tszStatus);
        tszStatus[sizeof tszStatus - 1] = '\0';
        state = "running";
        status = tszStatus;
        break;
    case TOVU_STATE_PREVIEW:
        state = "preview";
        status = "PREVIEW";
        break;
    case TOVU_STATE_NOSIGNAL:
        state = "stopping";
        status = "NO SIGNAL";
        break;
    case TOVU_STATE_STOPPING:
        state = "stopping";
        status = "STOPPING";
        break;
    default: /* idle, and any value past the known states */
        break;
    }
    out += "    {\"state\": \"";
    out += state;
    out += "\", \"status\": \"";
    tovuAppendJsonText(out, status);
    out += "\"}";
}

/* one "name": "text" line of the runtime answer */
void appendTextField(std::string &out, const char *name, const char *value)
{
    out += "  \"";
    out += name;
    out += "\": \"";
    tovuAppendJsonText(out, value);
    out += "\"";
}

void appendNumberField(std::string &out, const char *name, int value)
{
    out += "  \"";
    out += name;
    out += "\": ";
    appendInt(out, value);
}

} // namespace

/* ---------------------------------------------------------------- the answers */

enum MHD_Result tovuCGIStatus(struct MHD_Connection *conn)
{
    std::string &out = answerText();
    out += "{\n  \"channels\": [\n";
    {
        /* the order of the two: docs/threads.md */
        TovuCgiLock cgi;
        TovuConfigLock config;
        int n = tovuChannelCount();
        for (int i = 0; i < n && isChannelValid(tovuChannelItem(i)); i++) {
            if (i > 0)
                out += ",\n";
            appendRow(out, i);
        }
        out += "\n  ],\n";
    }

    TOVU_LOAD_FIGURES loads{};
    tovu_get_load_figures(&loads);
    out += "  \"cpu\": [";
    for (int k = 0; k < loads.nb_cpus; k++) {
        if (k > 0)
            out += ", ";
        appendInt(out, loads.cpu[k]);
    }
    out += "]";
    if (loads.nb_gpus != 0) {
        out += ",\n  \"gpu\": ";
        appendInt(out, loads.gpu);
        out += "\n";
    } else {
        out += "\n";
    }
    out += "}\n";
    return tovuCGIQueueJSON(conn, out) ? MHD_YES : MHD_NO;
}

enum MHD_Result tovuCGIRuntime(struct MHD_Connection *conn)
{
    std::string &out = answerText();
    out += "{\n";
    appendTextField(out, "app", TOVU_PRODUCT_NAME);
    out += ",\n";
    appendTextField(out, "appAbbr", TOVU_PRODUCT_ABBR);
    out += ",\n";
    appendTextField(out, "title", tovuAppTitle());
    out += ",\n";
    appendTextField(out, "version", tovu_get_version());
    out += ",\n";
    appendNumberField(out, "channels", TOVU_MAX_CHANNELS);
    out += ",\n";
    appendTextField(out, "website", kWebsite);
    out += ",\n";
    appendTextField(out, "email", kEmail);
    out += ",\n";
    appendTextField(out, "platform", kPlatform);
    out += ",\n";
    appendNumberField(out, "previewPort", TOVU_PREVIEW_PORT);
    out += "\n}";
    return tovuCGIQueueJSON(conn, out) ? MHD_YES : MHD_NO;
}
