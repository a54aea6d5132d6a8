/*
 * tovu_timers.cpp - one-shot restart timers of the channels.
 *
 * An idle channel that is not restarted at once gets a POSIX timer whose
 * expiry runs timerChannel on a new thread.  The table g_timerChannels is
 * shared by the main thread (arming), the timer threads (firing) and the
 * shutdown (deleting), under one leaf lock.  A callback marks itself running
 * before it leaves that lock, so the shutdown can wait for it, and clears its
 * entry only after its start, so the loop cannot arm a second timer for the
 * same restart meanwhile.
 */
#include "tovu_daemon.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>

#include <condition_variable>
#include <mutex>

#include "tovu_config.h"
#include "tovu_document.h"
#include "tovu_channel.h"
#include "tovu_base.h"

const timer_t TOVU_TIMER_NONE = reinterpret_cast<timer_t>(~static_cast<uintptr_t>(0));

namespace {

// Guards g_timerChannels, s_closed and s_running (docs/threads.md).  Neither
// object is ever destroyed, because a late timer thread may still reach them
// at exit.
TovuMutex &timerLock()
{
    static TovuMutex *m = new TovuMutex;
    return *m;
}
std::condition_variable &timerIdle()
{
    static std::condition_variable *cv = new std::condition_variable;
    return *cv;
}
// set by tovuDeleteChannelTimers: no timer is armed or acted on afterwards
bool s_closed TOVU_GUARDED_BY(timerLock()) = false;
// callbacks between their check of the table and their end
int s_running TOVU_GUARDED_BY(timerLock()) = 0;

bool pending(timer_t t)
{
    return t != TOVU_TIMER_NONE && t != static_cast<timer_t>(0);
}

bool channelEnabled(int i)
{
    TovuConfigLock doc;
    return tovuChannelEnabled(i);
}

} // namespace

timer_t g_timerChannels[TOVU_MAX_CHANNELS] TOVU_GUARDED_BY(timerLock());

timer_t createTimer(int nTimerId, int nMilliSec, timerTimeout func)
{
    char what[64];
    snprintf(what, sizeof what, "restart timer of channel %d", nTimerId + 1);
    return tovu_one_shot_timer(nTimerId, nMilliSec, func, what);
}

int tovuRestartDelayMs(int a)
{
    if (a <= 0)
        return 0;
    long long ms = static_cast<long long>(a) * 1000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void timerChannel(union sigval sig)
{
    int i = sig.sival_int;
    if (i < 0 || i >= TOVU_MAX_CHANNELS)
        return;
    {
        TovuMutexLock lock(timerLock());
        // deleted meanwhile: this expiry was already on its way
        if (s_closed || !pending(g_timerChannels[i]))
            return;
        ++s_running;
    }
    // a channel stopped from the web interface while this timer was pending
    // has its "enable" set false first, under the same document lock
    {
        TovuConfigLock doc;
        if (channelEnabled(i))
            tovuStartChannel(i);
    }
    TovuMutexLock lock(timerLock());
    if (pending(g_timerChannels[i])) {
        timer_delete(g_timerChannels[i]);
        g_timerChannels[i] = TOVU_TIMER_NONE;
    }
    --s_running;
    timerIdle().notify_all();
}

void tovuInitChannelTimers(void)
{
    TovuMutexLock lock(timerLock());
    for (timer_t &t : g_timerChannels) {
        if (pending(t))
            timer_delete(t);
        t = TOVU_TIMER_NONE;
    }
    s_closed = false;
}

void tovuDeleteChannelTimers(void)
{
    TovuUniqueLock lock(timerLock());
    s_closed = true;
    for (timer_t &t : g_timerChannels) {
        if (pending(t))
            timer_delete(t);
        t = TOVU_TIMER_NONE;
    }
    while (s_running != 0)
        lock.wait(timerIdle());
}

timer_t _tovuChannelTimer(int i)
{
    TovuMutexLock lock(timerLock());
    return g_timerChannels[i];
}

int _tovuRunningTimerCallbacks(bool *closed)
{
    TovuMutexLock lock(timerLock());
    if (closed)
        *closed = s_closed;
    return s_running;
}

// Arms channel i's restart timer unless one is pending (or failed to be
// created) or the timers are closed.  Called by the loop's visit.
void tovuArmChannelTimer(int i, int nMilliSec)
{
    TovuMutexLock lock(timerLock());
    if (s_closed || g_timerChannels[i] != TOVU_TIMER_NONE)
        return;
    // stored before the lock is let go, and the callback takes the lock
    // first, so an early expiry finds its own handle in the table
    g_timerChannels[i] = createTimer(i, nMilliSec, timerChannel);
}
