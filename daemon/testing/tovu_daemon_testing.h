/*
 * tovu_daemon_testing.h - the daemon's test hooks. Only tests link the
 * target that exports this header (tovuld_testing).
 */
#ifndef TOVU_DAEMON_TESTING_H
#define TOVU_DAEMON_TESTING_H

/* how many restart-timer callbacks are past their check of the table and not
 * yet ended; *closed (when given) is set while the timers are deleted, i.e.
 * from the start of tovuDeleteChannelTimers on */
int _tovuRunningTimerCallbacks(bool *closed);

#endif /* TOVU_DAEMON_TESTING_H */
