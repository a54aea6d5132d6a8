/*
 * tovu_daemon_testing.h - the daemon's test hooks. Only tests link the
 * target that exports this header (tovuld_testing).
 */
#ifndef TOVU_DAEMON_TESTING_H
#define TOVU_DAEMON_TESTING_H

#include <time.h>

/* how many restart-timer callbacks are past their check of the table and not
 * yet ended; *closed (when given) is set while the timers are deleted, i.e.
 * from the start of tovuDeleteChannelTimers on */
int _tovuRunningTimerCallbacks(bool *closed);

/* channel i's entry of g_timerChannels, read under the timers' lock (a
 * timer thread may be writing it) */
timer_t _tovuChannelTimer(int i);

/* the clock that paces the loop's starts of folder and time-shift channels,
 * in milliseconds of any monotonic count; null restores the steady clock.
 * Setting it forgets every start noted so far.  Call it while no loop runs. */
typedef long long (*TOVU_LOOP_CLOCK)(void);
void _tovuSetLoopClock(TOVU_LOOP_CLOCK fn);

#endif /* TOVU_DAEMON_TESTING_H */
