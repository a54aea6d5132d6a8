/*
 * tovu_discovery.h - what the DeckLink and NDI discovery answers share:
 * copying a library's text into a fixed field, putting it into the answer as
 * a JSON string, and queueing the answer.
 */
#ifndef TOVU_DISCOVERY_H
#define TOVU_DISCOVERY_H

#include <stddef.h>

#include <string>

struct MHD_Connection;

/* Copy src into dst of size bytes (at least 1), cut at a character boundary
 * so that the field ends with a NUL and holds no broken UTF-8 sequence at its
 * end; null copies as empty. */
void tovuCopyText(char *dst, size_t size, const char *src);

/* Append text as the inside of a JSON string: quote, backslash and control
 * characters escaped, bytes that are not UTF-8 replaced by U+FFFD; null
 * appends nothing. Texts from the card library and from other hosts go
 * through here, so the answer stays valid JSON whatever they hold. */
void tovuAppendJsonText(std::string &out, const char *text);
/* the same for a fixed field of size bytes, read no further than its end */
void tovuAppendJsonText(std::string &out, const char *field, size_t size);

/* Queue body as a 200 JSON answer with the discovery headers (the library
 * keeps a copy). 1 when queued, else 0. */
int tovuQueueDiscoveryAnswer(struct MHD_Connection *conn, const std::string &body);

#endif
