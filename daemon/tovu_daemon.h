/*
 * tovu_daemon.h - the daemon's supervision loop and its restart timers.
 *
 * Between start-up and shutdown the main thread runs tovuSupervise: every
 * 20 ms the engine polls its transcoders, then every enabled channel that has
 * gone idle is started again - at once when its first source is a folder
 * (after moving to the next file) or when it is a time-shift channel, else by
 * a one-shot timer of global "autoRestart" seconds.  A stop signal sets
 * `quit`, which ends the loop before the next channel visit.
 *
 * The locks, what each guards and their order: docs/threads.md.
 */
#ifndef TOVU_DAEMON_H
#define TOVU_DAEMON_H

#include <signal.h>
#include <time.h>

#include <atomic>

#include "tovu_base.h"
#include "tovu_daemon_testing.h"

/* the loop's period, in microseconds */
#define TOVU_LOOP_PERIOD_US 20000
/* a folder or time-shift channel is started by the loop at most once in this
 * many milliseconds, so a source that fails at once cannot spin the host */
#define TOVU_MIN_RESTART_GAP_MS 1000

/* set by sig_handle; the loop ends before the next channel visit */
extern std::atomic<int> quit;
static_assert(std::atomic<int>::is_always_lock_free, "quit must be safe to set from a signal handler");

/* the stop signals' handler: sets quit, nothing else */
void sig_handle(int sig);

/* a timer's callback; the sigval's int carries the timer id */
typedef void (*timerTimeout)(union sigval sig);

/* the value of a g_timerChannels entry when no restart timer is pending */
extern const timer_t TOVU_TIMER_NONE;
/* pending restart timer of each channel: TOVU_TIMER_NONE, a handle, or 0
 * after a failed creation (that channel then gets no further timer) */
extern timer_t g_timerChannels[TOVU_MAX_CHANNELS];

/* creates and arms a one-shot timer on the real-time clock whose expiry runs
 * func(nTimerId) on a new thread; 0 when it cannot be created */
timer_t createTimer(int nTimerId, int nMilliSec, timerTimeout func);
/* the callback of a channel's restart timer: starts the channel while its
 * "enable" is still true */
void timerChannel(union sigval sig);

/* sets every channel timer to none and allows arming; called before the loop */
void tovuInitChannelTimers(void);
/* deletes every pending channel timer and waits for a callback that is
 * already running; no timer is armed or fires into a channel start after it
 * returns.  Call it without holding the document or the engine lock. */
void tovuDeleteChannelTimers(void);

/* arms channel i's restart timer of nMilliSec unless one is pending, its
 * creation failed before, or the timers are deleted (the loop's visit) */
void tovuArmChannelTimer(int i, int nMilliSec);

/* the restart delay for global "autoRestart" a, in milliseconds, held to the
 * int range; 0 or less means no timed restart */
int tovuRestartDelayMs(int a);

/* one visit of channel i (the rules above); the loop's default visitor */
void tovuVisitChannel(int i);
/* starts channel i and notes the time for the loop's pacing of folder and
 * time-shift channels; the start-up's first starts go through it too */
int tovuStartChannelPaced(int i);

typedef void (*TOVU_VISITOR)(int i);
/* runs the supervision loop until quit is set */
void tovuSupervise(TOVU_VISITOR visit = tovuVisitChannel);

#endif /* TOVU_DAEMON_H */
