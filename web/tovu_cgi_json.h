/*
 * tovu_cgi_json.h - what the web interface's JSON answers share ("/status",
 * "/runtime" and the discovery answers): copying a library's text into a
 * fixed field, putting a text into an answer as a JSON string, and queueing
 * the answer with its headers.
 */
#ifndef TOVU_CGI_JSON_H
#define TOVU_CGI_JSON_H

#include <stddef.h>

#include <string>

struct MHD_Connection;
struct MHD_Response;

/* Copy src into dst of size bytes (at least 1), cut at a character boundary
 * so that the field ends with a NUL and holds no broken UTF-8 sequence at its
 * end; null copies as empty. */
void tovuCopyText(char *dst, size_t size, const char *src);

/* Append text as the inside of a JSON string: quote, backslash and control
 * characters escaped, bytes that are not UTF-8 replaced by U+FFFD; null
 * appends nothing. Every text of an answer goes through here (file names,
 * names from the card library and from other hosts), so the answer stays
 * valid JSON whatever they hold. */
void tovuAppendJsonText(std::string &out, const char *text);
/* the same for a fixed field of size bytes, read no further than its end */
void tovuAppendJsonText(std::string &out, const char *field, size_t size);

/* Have the response say "Connection: Keep-Alive" whenever the connection is
 * kept, HTTP/1.1 included. The library drops that header when it is added as
 * an ordinary one (its value is the library's to set), so it is asked for
 * through the response's options; the library then writes it first. */
void tovuCGIKeepAlive(struct MHD_Response *resp);

/* Queue body as a 200 JSON answer with its headers, in this order:
 * "Connection: Keep-Alive", "Pragma: no-cache", "Cache-Control: no-cache",
 * "Content-Type: application/json" (the library keeps a copy of the body).
 * 1 when queued, else 0. */
int tovuCGIQueueJSON(struct MHD_Connection *conn, const std::string &body);

#endif
