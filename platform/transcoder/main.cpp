// Stand-in transcoder: keeps the transcoder's standard-input protocol and
// hands the work to the stock ffmpeg of this machine.
//
// Standard input carries the handshake token, the argument string and a line
// feed. The argument string is split into words, adapted where stock ffmpeg
// needs it (stand_in_args.cpp), and the process replaces itself with
// "ffmpeg -nostdin -stats <words>" runs as its child, with its progress lines
// going to the engine unchanged. "-stats" keeps the progress lines coming at
// every verbosity the engine may ask for. The streams of an input that a
// program of a multi-program output names are looked up with ffprobe first.
// The stand-in stays as ffmpeg's parent and stops it when the service goes
// (ffmpeg_child.cpp), and says so while a served output waits for its first
// viewer (viewer_wait.cpp).
#include "ffmpeg_child.h"
#include "stand_in_args.h"
#include "viewer_wait.h"
#include "tovu_base.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

constexpr size_t kTokenLen = sizeof(TOVU_HANDSHAKE_TOKEN) - 1;
static_assert(kTokenLen == 11, "the handshake token has eleven characters");

// Far above the engine's longest argument string; guards against garbage.
constexpr size_t kMaxLine = 1 << 20;

// How long ffprobe may look at an input whose streams a program needs (a
// live input is analysed for some seconds of its media).
constexpr int kProbeTimeoutMs = 10000;

// One byte from standard input; false at its end or on an error. Standard
// input is read a byte at a time and never beyond the line feed: the pipe is
// shared with whatever the engine starts next in the same slot.
bool read_byte(char *c)
{
    for (;;) {
        ssize_t n = read(0, c, 1);
        if (n == 1)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

} // namespace

int main()
{
    std::string token;
    char c;
    while (token.size() < kTokenLen && read_byte(&c))
        token += c;
    if (token != TOVU_HANDSHAKE_TOKEN) {
        fprintf(stderr, "tovul.so: refused: standard input does not begin with the handshake token\n");
        return 2;
    }

    std::string line;
    bool ended = false;
    while (line.size() <= kMaxLine && read_byte(&c)) {
        if (c == '\n') {
            ended = true;
            break;
        }
        line += c;
    }
    if (!ended) {
        fprintf(stderr, line.size() > kMaxLine
                            ? "tovul.so: refused: argument string too long\n"
                            : "tovul.so: refused: argument string not ended by a line feed\n");
        return 2;
    }

    std::vector<std::string> notes, served;
    auto probe = [](const standin::StandInInput &input) {
        return standin::probe_stream_kinds(input, kProbeTimeoutMs);
    };
    std::vector<std::string> words = standin::rewrite_for_ffmpeg(
        standin::split_words(line), standin::local_addresses(), &notes, &served, probe);
    for (const std::string &note : notes)
        fprintf(stderr, "%s\n", note.c_str());

    std::vector<char *> argv;
    static char ffmpeg[] = "ffmpeg", nostdin[] = "-nostdin", stats[] = "-stats";
    argv.push_back(ffmpeg);
    argv.push_back(nostdin);
    argv.push_back(stats);
    for (std::string &w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    // a served output that waits for its first viewer is not a hung transcoder
    auto say_waiting = [&served] {
        for (const std::string &waiting : standin::waiting_lines(served))
            fprintf(stderr, "%s\n", waiting.c_str());
    };
    if (served.empty())
        return standin::run_ffmpeg_child(argv.data());
    return standin::run_ffmpeg_child(argv.data(), say_waiting, standin::kViewerWaitIntervalSecs * 1000);
}
