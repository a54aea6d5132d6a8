/*
 * tovu_supervise.cpp - the 20 ms supervision loop and its channel visits.
 *
 * A pass lets the engine poll every slot (without the document lock), then
 * visits channels 0 to 15, each under the document lock, reading every value
 * afresh.  An enabled idle channel is started again: a folder channel at once
 * after moving to its next file, a time-shift channel at once while its own
 * slot is idle, any other after "autoRestart" seconds by a restart timer.
 * A channel whose own engine slot is busy is passed over before the document
 * is read at all: none of the rules starts it then.
 * Folder and time-shift channels, restarted without a timer, are paced: the
 * loop starts one at most once a second, so a source that fails at once
 * does not start fifty transcoders a second.
 */
#include "tovu_daemon.h"

#include <unistd.h>

#include <atomic>
#include <chrono>

#include "PlayList.h"
#include "tovu_config.h"
#include "tovu_document.h"
#include "tovu_channel.h"

std::atomic<int> quit{0};

void sig_handle(int)
{
    quit.store(1);
}

namespace {

long long steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// the pacing's clock, in milliseconds (tests set their own)
std::atomic<TOVU_LOOP_CLOCK> s_clock{steadyMs};

long long nowMs()
{
    return s_clock.load(std::memory_order_relaxed)();
}

// the last start of each channel made by the loop or the start-up, on the
// pacing's clock (main thread only)
long long s_lastStart[TOVU_MAX_CHANNELS];
bool s_started[TOVU_MAX_CHANNELS];

bool startDue(int i)
{
    return !s_started[i] || nowMs() - s_lastStart[i] >= TOVU_MIN_RESTART_GAP_MS;
}

} // namespace

void _tovuSetLoopClock(TOVU_LOOP_CLOCK fn)
{
    s_clock.store(fn ? fn : steadyMs, std::memory_order_relaxed);
    // the starts noted on the old clock mean nothing on the new one
    for (bool &started : s_started)
        started = false;
}

int tovuStartChannelPaced(int i)
{
    if (i >= 0 && i < TOVU_MAX_CHANNELS) {
        s_lastStart[i] = nowMs();
        s_started[i] = true;
    }
    return tovuStartChannel(i);
}

void tovuVisitChannel(int i)
{
    // A channel whose own slot is busy is left as it is whatever the
    // document says (its transcoder starts, runs or stops, or it previews),
    // so the common case of a pass asks the engine alone, not the document.
    if (tovu_get_state(i) != TOVU_STATE_IDLE)
        return;

    TovuConfigLock doc;
    if (!tovuChannelEnabled(i))
        return;

    // A time-shift channel's state is read from a slot that nothing starts,
    // so it tells nothing: the channel's own slot decides.
    if (tovuChannelTimeShift(i)) {
        TOVU_CHANNEL_STATE st = tovuGetChannelState(i);
        if ((st == TOVU_STATE_IDLE || st == TOVU_STATE_RUNNING) &&
            tovu_get_state(i) == TOVU_STATE_IDLE && startDue(i))
            tovuStartChannelPaced(i);
        return;
    }

    if (tovuGetChannelState(i) != TOVU_STATE_IDLE)
        return;

    int a = jsonGetInt(tovuGlobalItem("autoRestart"));

    if (tovuIsFolderSource(i)) {
        // wait out the rest of the second since the last start; a file that
        // played longer than that advances at once
        if (!startDue(i))
            return;
        g_tovuPlaylists[i].MoveNext(a > 0);
        tovuStartChannelPaced(i);
        return;
    }

    int ms = tovuRestartDelayMs(a);
    if (ms > 0)
        tovuArmChannelTimer(i, ms);
}

void tovuSupervise(TOVU_VISITOR visit)
{
    while (!quit.load()) {
        usleep(TOVU_LOOP_PERIOD_US);
        tovu_poll();
        for (int i = 0; i < TOVU_MAX_CHANNELS; ++i) {
            if (quit.load())
                return;
            visit(i);
        }
    }
}
