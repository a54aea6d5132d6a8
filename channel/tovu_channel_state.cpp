// Channel stop, state and status text: a channel number translated into the
// engine slots that concern it (its own slot N, slot N + 16 of a time-shift
// channel, the host slot of a bound channel).
#include "PlayList.h"
#include "tovu_channel_util.h"
#include "tovu_config.h"
#include "tovu_channel.h"
#include "tovu_base.h"

#include <stdio.h>
#include <string.h>

#include <string>

namespace {

// the engine slots of time-shift channels follow the 16 channel slots
constexpr int kTimeShiftSlotOffset = TOVU_MAX_CHANNELS;
// three blanks end the time text
constexpr const char *kTimeFormat = "%02d:%02d:%02d   ";

// the 1-based host channel number of a bound channel, 0 or less when none
int boundHost(int iChannel) TOVU_REQUIRES(g_configMutex)
{
    return jsonGetInt(jsonGetItem(tovuChannelItem(iChannel), "bind"));
}

std::string timeText(int seconds)
{
    char buf[64];
    snprintf(buf, sizeof buf, kTimeFormat, seconds / 3600, seconds % 3600 / 60, seconds % 60);
    return buf;
}

// Writes text into the status buffer, cut to fit it.
void putStatus(LPTSTR tszStatus, const std::string &text)
{
    size_t n = tovu_utf8_cut(text.c_str(), text.size(), TOVU_STATUS_TEXT_SIZE - 1);
    memcpy(tszStatus, text.data(), n);
    tszStatus[n] = '\0';
}

} // namespace

void tovuStopChannel(int iChannel, int nStopMode)
{
    bool bTimeShift;
    {
        TovuConfigLock lock;
        bTimeShift = tovuChannelTimeShift(iChannel);
    }
    if (bTimeShift)
        tovu_stop(iChannel + kTimeShiftSlotOffset, nStopMode);
    tovu_stop(iChannel, nStopMode);
}

void tovuStopRemovedChannel(int iChannel)
{
    for (int slot : {iChannel + kTimeShiftSlotOffset, iChannel})
        tovu_stop(slot, tovu_get_state(slot) == TOVU_STATE_STOPPING ? 1 : 0);
}

TOVU_CHANNEL_STATE tovuGetChannelState(int iChannel)
{
    bool bTimeShift;
    int nBind;
    {
        TovuConfigLock lock;
        bTimeShift = tovuChannelTimeShift(iChannel);
        nBind = boundHost(iChannel);
    }
    TOVU_CHANNEL_STATE state = TOVU_STATE_IDLE;
    if (bTimeShift)
        state = tovu_get_state(iChannel + kTimeShiftSlotOffset);
    // the transcoder of a time-shift channel runs in its own slot as any
    // other's: while the time-shift slot is idle, that slot answers
    if (state == TOVU_STATE_IDLE)
        state = tovu_get_state(iChannel);
    if (state != TOVU_STATE_IDLE)
        return state;
    if (nBind > 0)
        return tovu_get_state(nBind - 1);
    return TOVU_STATE_IDLE;
}

void tovuGetChannelStatus(int iChannel, LPTSTR tszStatus)
{
    if (!tszStatus)
        return;
    bool bFolder;
    int nBind;
    {
        TovuConfigLock lock;
        bFolder = tovuIsFolderSource(iChannel);
        nBind = boundHost(iChannel);
    }

    if (bFolder) {
        std::string file;
        if (iChannel >= 0 && iChannel < TOVU_MAX_CHANNELS)
            file = g_tovuPlaylists[iChannel].GetCurFileCopy();
        size_t slash = file.rfind('/');
        if (slash != std::string::npos)
            putStatus(tszStatus, file.substr(slash + 1));
        return;
    }

    if (tovu_get_state(iChannel) == TOVU_STATE_IDLE && nBind > 0) {
        int t = tovu_get_stream_time(nBind - 1);
        if (t >= 0)
            putStatus(tszStatus, timeText(t));
        return;
    }

    // the caller's text is read within its buffer only
    std::string status(tszStatus, strnlen(tszStatus, TOVU_STATUS_TEXT_SIZE - 1));
    int t = tovu_get_stream_time(iChannel);
    if (t >= 0)
        status = timeText(t);
    int fps = tovu_get_stream_fps(iChannel);
    if (fps >= 0)
        status.append(std::to_string(fps)).append("fps");
    int kbps = tovu_get_stream_bitrate(iChannel);
    if (kbps >= 0)
        status.append("@").append(std::to_string(kbps)).append("Kbps");
    putStatus(tszStatus, status);
}
