/*
 * stand_in_args.h - how the stand-in transcoder turns the engine's argument
 * string into an ffmpeg command line.
 */
#ifndef STAND_IN_ARGS_H
#define STAND_IN_ARGS_H

#include <functional>
#include <string>
#include <vector>

namespace standin {

/*
 * Splits an argument string as a command line: blanks (space, tab) separate
 * words; double quotes and single quotes group (and are dropped; "" or ''
 * gives an empty word), each kind taken literally inside the other; and
 * backslashes are ordinary characters, so filter escapes such as "\:" reach
 * ffmpeg unchanged. The value of an option that ffmpeg reads with its own
 * quoting ("-program", filter graphs) keeps its single quotes, so that
 * "title='A:B'" reaches ffmpeg as it reads it; in such a value a backslash
 * outside quotes escapes the character after it as ffmpeg reads it (both are
 * kept), so "title='Bob'\''s'" stays one word. An unclosed quote runs to the
 * end of the text.
 */
std::vector<std::string> split_words(const std::string &text);

/* The addresses of this machine's interfaces, as text ("127.0.0.1", "::1", ...). */
std::vector<std::string> local_addresses();

/*
 * True when url is an http:// or https:// address (scheme in any case) whose
 * host is 0.0.0.0, [::] or one of local_addrs: an output that ffmpeg must
 * serve itself rather than send to.
 */
bool is_served_url(const std::string &url, const std::vector<std::string> &local_addrs);

/* An input of the command line: its address and the format its options name ("" when none). */
struct StandInInput {
    std::string address;
    std::string format;
};

/*
 * The kinds of an input's streams in their order, one letter each: 'v' video,
 * 'a' audio, 's' subtitle, 'd' data, 't' attachment ('?' any other). Empty
 * when they cannot be had.
 */
using StreamKinds = std::string;
using InputProber = std::function<StreamKinds(const StandInInput &)>;

/*
 * Rewrites the words for stock ffmpeg: makes the changes of stock_ffmpeg.h,
 * applies the option table (drops and renames; one note per change of
 * either kind appended to *notes), names the streams of
 * each "-program" by the output's stream indices, and puts "-listen 1" before
 * every served output, whose address is appended to *served when given. A
 * program's input mapped whole or by kind ("-map 1", "-map 1:a") needs that
 * input's streams: they are asked of probe (when given). The words that
 * follow are unchanged.
 */
std::vector<std::string> rewrite_for_ffmpeg(const std::vector<std::string> &words,
                                            const std::vector<std::string> &local_addrs,
                                            std::vector<std::string> *notes,
                                            std::vector<std::string> *served = nullptr,
                                            const InputProber &probe = InputProber());

/*
 * The streams of an input as ffprobe of this machine finds them (the address
 * read with the input's format, when it names one), or empty when ffprobe
 * does not answer within timeout_ms.
 */
StreamKinds probe_stream_kinds(const StandInInput &input, int timeout_ms);

} // namespace standin

#endif /* STAND_IN_ARGS_H */
