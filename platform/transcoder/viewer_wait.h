/*
 * viewer_wait.h - the stand-in's word while a served output waits for its
 * first viewer.
 *
 * ffmpeg serving an http:// or https:// output ("-listen 1") prints nothing
 * until a player connects, and the engine takes a transcoder that stays
 * silent for 30 seconds for a hung one.  While such an output's port is
 * still listening, the stand-in says so every few seconds, in a plain line
 * that is no progress line.
 */
#ifndef STAND_IN_VIEWER_WAIT_H
#define STAND_IN_VIEWER_WAIT_H

#include <string>
#include <vector>

namespace standin {

/* seconds between two waiting lines */
constexpr int kViewerWaitIntervalSecs = 5;

/* the port of an http:// or https:// address (80 or 443 when it names
 * none); 0 when it is neither or the port is not a number */
int served_port(const std::string &url);

/* a TCP socket of this network namespace listens on the port, as
 * /proc/net/tcp and /proc/net/tcp6 (or the given tables, for tests) show */
bool port_listening(int port, const std::vector<std::string> &tables = {"/proc/net/tcp", "/proc/net/tcp6"});

/* the line for an output that waits: "tovul.so: waiting for a viewer at URL" */
std::string waiting_line(const std::string &url);

/* the lines for those of the served outputs whose port is listening */
std::vector<std::string> waiting_lines(const std::vector<std::string> &served_urls);

} // namespace standin

#endif /* STAND_IN_VIEWER_WAIT_H */
