/*
 * stock_ffmpeg.h - what the stand-in changes in an argument string so that
 * stock ffmpeg does what the transcoder does with it.
 *
 * Each function takes the words of a whole argument string (split_words)
 * and returns them changed, with one note per change appended to *notes:
 * the notes go to standard error, so the channel log says what ffmpeg was
 * given instead.
 */
#ifndef STAND_IN_STOCK_FFMPEG_H
#define STAND_IN_STOCK_FFMPEG_H

#include <string>
#include <vector>

namespace standin {

using Words = std::vector<std::string>;

/* ---------------------------------------------------------------- reading the words */

/* What each word of a command line is. */
enum class Role { Option, Value, Input, Output };

/* true for an option word ("-x", "-c:v"); "-" alone is an address (standard output) */
bool is_option(const std::string &word);

/* whether the option takes a value (every option does, but for a known few) */
bool takes_value(const std::string &option);

/* the role of each word */
std::vector<Role> word_roles(const Words &words);

/*
 * One input or output with its options: the words first..address, the
 * last of which is the address (for an input, "-i" is the word before it).
 */
struct Group {
    size_t first;
    size_t address;
    bool input;
};

/* the inputs and outputs in their order */
std::vector<Group> word_groups(const Words &words, const std::vector<Role> &roles);

/* ---------------------------------------------------------------- the changes */

/* How long a network input may stay silent before ffmpeg takes it for
 * ended and finishes its outputs in good order. */
constexpr long long kNetworkReadTimeoutUs = 2000000;

/*
 * The failover graph (a streamselect between the main input and the
 * alternate input), which stock ffmpeg cannot build: the alternate inputs
 * and the graph are left out, the main input's own filters stay (as
 * "-filter:v"), and one note says that the switch is not available.
 */
Words without_failover(const Words &words, std::vector<std::string> *notes);

/*
 * Inputs: a network input that may fall silent gets a read time-out (a
 * first interrupt cannot end ffmpeg while it waits on such an input), and an
 * SDP input is allowed the protocols its file names (read from the file;
 * RTP over UDP when it cannot be read).
 */
Words adapt_inputs(const Words &words, std::vector<std::string> *notes);

/*
 * Outputs: a configured frame rate ("-r") is made the output's constant
 * rate; a drawtext filter without a text draws the local time; an SRT
 * output without a mode listens; the service provider of a transport
 * stream's metadata is given to each of its programs as well; the mux rate
 * of an MPEG-TS over RTP output goes to the MPEG-TS muxer inside the RTP one.
 */
Words adapt_outputs(const Words &words, std::vector<std::string> *notes);

/* A filter graph with every drawtext that has no text, file or timecode
 * given the local time as its text; other filters unchanged. */
std::string with_drawtext_text(const std::string &graph);

/* The protocols ffmpeg needs for an SDP file's text: file,crypto,data and
 * those of its media lines ("rtp,udp" for RTP/AVP, also "srtp" for RTP/SAVP);
 * RTP over UDP when it names none. */
std::string sdp_protocols(const std::string &sdp_text);

} // namespace standin

#endif /* STAND_IN_STOCK_FFMPEG_H */
