/*
 * bench_setup.h - what the whole-system benchmarks set up before they
 * measure: the engine on the fake transcoder in a scratch folder, a document
 * of channels each with one source and the same UDP target, and the channels
 * started. Each step prints why it failed, so that main can return 1.
 */
#ifndef TOVU_BENCH_SETUP_H
#define TOVU_BENCH_SETUP_H

#include <stdio.h>

#include <string>
#include <vector>

#include "fixtures/engine_setup.h"
#include "tovu_channel.h"
#include "tovu_config.h"

namespace benchsetup {

// the engine on the fake transcoder installed in dir, printing progress every
// progressSecs seconds
inline bool engineOnFakeTranscoder(const std::string &dir, const char *progressSecs, int logLevel)
{
    if (dir.empty() || !tovutest::installFakeTranscoder(dir, tovutest::progressFakeConf(progressSecs)) ||
        tovutest::initEngine(dir, dir, logLevel) != 0) {
        fprintf(stderr, "engine set-up failed\n");
        return false;
    }
    return true;
}

// one channel of source (a JSON object of the input's sources) and one UDP
// target of h264 and aac; members go before its input
inline std::string channel(const std::string &source, const std::string &members = "")
{
    return "{" + members + "\"input\":{\"sources\":[" + source +
           "]},\"output\":{\"targets\":[{\"format\":\"udp\",\"url\":\"udp://127.0.0.1:5000\","
           "\"video\":{\"enable\":true,\"codec\":\"h264\"},\"audio\":{\"enable\":true,\"codec\":\"aac\"}}]}}";
}

// the document of global (a JSON object) and channels, installed
inline bool installDocument(const std::string &global, const std::vector<std::string> &channels)
{
    std::string list;
    for (size_t i = 0; i < channels.size(); i++)
        list += (i ? "," : "") + channels[i];
    if (!tovuSetConfig(("{\"global\":" + global + ",\"channels\":[" + list + "]}").c_str())) {
        fprintf(stderr, "document not installed\n");
        return false;
    }
    return true;
}

// channels 0 to count-1 started
inline bool startChannels(int count)
{
    for (int i = 0; i < count; i++)
        if (tovuStartChannel(i) != 0) {
            fprintf(stderr, "channel %d did not start\n", i + 1);
            return false;
        }
    return true;
}

} // namespace benchsetup

#endif
