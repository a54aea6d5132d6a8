// Runs ffmpeg as the stand-in's child, for as long as the service lives.
#ifndef TOVU_STANDIN_FFMPEG_CHILD_H
#define TOVU_STANDIN_FFMPEG_CHILD_H

#include <functional>

namespace standin {

// Starts argv (argv[0] looked up on the PATH) as a child that dies with this
// process, and waits for it: the stop signals that reach this process are
// passed on to it, and the end of standard input (the service has gone)
// interrupts it as SIGINT does, then kills it when it lingers.  Returns the
// exit status to end with; a child ended by a signal ends this process by
// the same signal.  While the child runs, tick (when given) is called every
// tick_ms milliseconds.
int run_ffmpeg_child(char *const *argv, const std::function<void()> &tick = {}, int tick_ms = 0);

} // namespace standin

#endif
