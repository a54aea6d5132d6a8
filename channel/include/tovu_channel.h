/*
 * tovu_channel.h - channel control: a configured channel started, previewed,
 * stopped, and asked for its state and status text.
 */
#ifndef TOVU_CHANNEL_H
#define TOVU_CHANNEL_H

#include <string>

#include "tovu.h"
#include "tovu_tchar.h"


/*
 * Channel N is member N (0-based) of the document's "channels" and runs in
 * engine slot N.  Each call holds a TovuConfigLock while it reads the document.
 */
/* starts channel N: 0, -7 (a folder source without a file, or no source),
 * -8 (a bound channel with fewer targets, or no target), TOVU_ERR_LINE_BREAK
 * or TOVU_ERR_TEXT_TOO_LONG (a configured text, named in the channel log),
 * or the engine's result */
int tovuStartChannel(int iChannel);
/* What a start of channel N would refuse among its texts, found without
 * starting anything, touching its playlist or writing its log: "" when
 * nothing, else as the log would name it ('channel 3 target "url" holds a
 * double quote').  Reads the installed document; the caller holds a
 * TovuConfigLock, so that an upload can ask before its document is used. */
std::string tovuChannelTextProblem(int iChannel);
/* starts the preview of channel N's first source, served on port 9528:
 * 0, -7 (a folder without a file), the two text codes above, or the
 * engine's result */
int tovuPreviewChannel(int iChannel);
/* stops slot N + 16 first for a time-shift channel, then slot N;
 * nStopMode 0 interrupts, 1 kills */
void tovuStopChannel(int iChannel, int nStopMode);
/* stops what still runs of a channel that the document no longer has (an
 * upload took it out): both of its slots, as a stop request would (an
 * interrupt; a kill for a slot already stopping) */
void tovuStopRemovedChannel(int iChannel);
/* the state of the channel's slot (N + 16 for time shift), else of the
 * bound host channel's slot while that one is idle */
TOVU_CHANNEL_STATE tovuGetChannelState(int iChannel);
/* size of the status text buffer, with its NUL */
#define TOVU_STATUS_TEXT_SIZE 100
/* writes the status text of a running channel into tszStatus, a buffer of
 * TOVU_STATUS_TEXT_SIZE bytes that already holds a text (kept in some cases,
 * extended in one); the result is cut on a UTF-8 character boundary */
void tovuGetChannelStatus(int iChannel, LPTSTR tszStatus);

#endif /* TOVU_CHANNEL_H */
