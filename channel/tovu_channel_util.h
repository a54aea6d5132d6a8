/*
 * tovu_channel_util.h - what channel start, preview, stop, state and status
 * share: building option texts from option arrays, and the checks that keep
 * a configured text from breaking the one-line hand-over to the transcoder or
 * overflowing the text it fills.  Channel N and its parts are found in the
 * document by tovu_document.h.
 */
#ifndef TOVU_CHANNEL_UTIL_H
#define TOVU_CHANNEL_UTIL_H

#include <stddef.h>

#include <deque>
#include <string>
#include <vector>
#include "PlayList.h"
#include "tovu.h"
#include "tovu_base.h"
#include "tovu_config.h"
#include "tovu_document.h"
#include "tovu_channel_testing.h"


/*
 * The first fault found while a channel's texts are built: a configured text
 * holding a line feed or carriage return, or a double quote in a text that
 * the argument string puts between double quotes (both TOVU_ERR_LINE_BREAK),
 * or a text that does not fit the record text it fills
 * (TOVU_ERR_TEXT_TOO_LONG), with the configured value it came from.  Later
 * faults do not replace it.
 */
struct TovuTextFault {
    int code = 0;
    std::string field;
    bool quote = false;  /* a double quote, not a line break */

    bool ok() const { return code == 0; }
    /* records the fault when none is recorded yet; always false */
    bool set(int faultCode, const std::string &faultField, bool byQuote = false);
};

bool tovuHasLineBreak(const char *text);
/* a line break, or a double quote */
bool tovuHasLineBreakOrQuote(const char *text);

/* false, with the fault recorded, when the configured text holds a line break */
bool tovuCheckText(const char *text, const std::string &field, TovuTextFault *fault);
/* the same for a text that goes between double quotes (an address, a path, a
 * file name): a double quote in it would end the quoted word early and hand
 * the rest to the transcoder as options, so it is refused as well */
bool tovuCheckQuotedText(const char *text, const std::string &field, TovuTextFault *fault);

/* the text of a configured item (jsonGetText), checked by tovuCheckText, or
 * by tovuCheckQuotedText when it goes between double quotes */
const char *tovuCheckedText(const cJSON *item, const std::string &field, TovuTextFault *fault,
                            bool quoted = false);

/*
 * Appends each string element of a JSON array followed by one blank ("%s "),
 * in order; elements that are not strings are skipped, and so are empty ones
 * when bSkipEmpty.  Each element is checked for line breaks.
 */
void tovuAppendOptions(std::string *out, const cJSON *array, bool bSkipEmpty,
                       const std::string &field, TovuTextFault *fault);

/* false, with the fault recorded, when text and its NUL exceed capacity bytes */
bool tovuCheckFits(const std::string &text, size_t capacity, const std::string &field,
                   TovuTextFault *fault);

/* what the fault is: '<field> holds a double quote', '... holds a line
 * break' or '... is too long for the option text it fills'; "" for none */
std::string tovuTextFaultText(const TovuTextFault &fault);

/* writes "<what> refused (<code>): <field> ..." into channel N's log (a refusal) */
void tovuLogTextFault(int iChannel, const char *what, const TovuTextFault &fault);

/* writes one line into channel N's log for each file that the last build of
 * its folder playlist passed by (CPlayList::GetSkipped) */
void tovuLogSkippedFiles(int iChannel, const char *what, const CPlayList &playlist);

/*
 * Owner of the texts that one start or preview builds for the engine's
 * records, and of their lists of texts (a source's filters).  What is kept
 * stays at its address until the store is destroyed, so records may point at
 * it and share it; nothing is released one by one.
 */
class TovuTextStore {
public:
    char *keep(std::string text)
    {
        m_texts.push_back(std::move(text));
        return &m_texts.back()[0];
    }
    char **keepList(std::vector<char *> list)
    {
        m_lists.push_back(std::move(list));
        return m_lists.back().data();
    }

private:
    std::deque<std::string> m_texts;
    std::deque<std::vector<char *>> m_lists;
};

/* the label of a configured value of channel N, as written in the log: 'channel 3 input "map"' */
std::string tovuChannelField(int iChannel, const char *what);

/* A native RTP source ("rtp_native") listens on the local port of its video
 * RTP session, and no configuration key sets that port: such a source is
 * refused with -6, the missing port named in channel iChannel's log. iRealCh
 * is the channel whose source it is; what names the operation ("channel
 * start"). 0 for every other source. */
int tovuRefuseRtpWithoutPort(int iChannel, const char *what, int iRealCh, const TOVU_SOURCE &source);

/* the engine call a channel start or preview makes: tovu_transcode, or the
 * one a test put in its place (tovu_channel_testing.h) */
int tovuChannelTranscode(int channel_id, const TOVU_SOURCE *sources, int nb_sources,
                          const TOVU_TARGET *const *targets, int nb_targets, int mux_mode,
                          int b_preview);

#endif /* TOVU_CHANNEL_UTIL_H */
