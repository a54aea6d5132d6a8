// Helpers of the web interface's JSON answers: fitting a library's text into
// a fixed field, JSON string escaping, and queueing the answer.
#include "tovu_cgi_json.h"
#include "tovu_base.h"
#include "tovu_helpers.h"

#include <microhttpd.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

namespace {

const char kReplacementChar[] = "\\ufffd";

// The answer's headers, in the order they are sent, after
// "Connection: Keep-Alive" (see tovuCGIKeepAlive).
const struct {
    const char *name;
    const char *value;
} kAnswerHeaders[] = {
    {"Pragma", "no-cache"},
    {"Cache-Control", "no-cache"},
    {"Content-Type", "application/json"},
};

// Length of the well-formed UTF-8 sequence at s (of at most n bytes), or 0
// when it is not one: no overlong forms, no surrogates, nothing above U+10FFFF.
size_t utf8SequenceLength(const unsigned char *s, size_t n)
{
    unsigned char c = s[0];
    if (c < 0x80)
        return 1;
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF; // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0;
        else if (c == 0xED)
            hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;
        else if (c == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (n < len || s[1] < lo || s[1] > hi)
        return 0;
    for (size_t i = 2; i < len; i++)
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    return len;
}

} // namespace

void tovuCopyText(char *dst, size_t size, const char *src)
{
    if (!dst || size == 0)
        return;
    // a character cut in two is left out whole
    size_t n = src ? tovu_utf8_cut(src, strlen(src), size - 1) : 0;
    if (n)
        memcpy(dst, src, n);
    dst[n] = '\0';
}

void tovuAppendJsonText(std::string &out, const char *text)
{
    if (text)
        tovuAppendJsonText(out, text, strlen(text));
}

void tovuAppendJsonText(std::string &out, const char *text, size_t size)
{
    if (!text)
        return;
    const unsigned char *s = (const unsigned char *)text;
    size_t n = strnlen(text, size);
    for (size_t i = 0; i < n;) {
        char esc[8];
        if (const char *e = tovuJsonEscape(s[i], esc)) {
            out += e;
            i++;
        } else {
            size_t len = utf8SequenceLength(s + i, n - i);
            if (len == 0) {
                out += kReplacementChar;
                i++;
            } else {
                out.append(text + i, len);
                i += len;
            }
        }
    }
}

void tovuCGIKeepAlive(struct MHD_Response *resp)
{
    MHD_set_response_options(resp, MHD_RF_SEND_KEEP_ALIVE_HEADER, MHD_RO_END);
}

int tovuCGIQueueJSON(struct MHD_Connection *conn, const std::string &body)
{
    struct MHD_Response *response = MHD_create_response_from_buffer(
        body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response)
        return 0;
    tovuCGIKeepAlive(response);
    for (const auto &h : kAnswerHeaders)
        MHD_add_response_header(response, h.name, h.value);
    enum MHD_Result queued = MHD_queue_response(conn, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued == MHD_YES ? 1 : 0;
}
