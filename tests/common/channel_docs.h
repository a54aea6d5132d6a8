// Small builders of configuration documents for the channel-control tests.
#ifndef TEST_CHANNEL_DOCS_H
#define TEST_CHANNEL_DOCS_H

#include <string>

namespace chantest {

// a source entry; extra members follow the video options, e.g. ",\"bind\":3"
inline std::string src(const std::string &format, const std::string &url, const std::string &extra = "")
{
    return "{\"format\":\"" + format + "\",\"url\":\"" + url + "\",\"video\":{\"options\":[]}" + extra + "}";
}

// a target with H.264 and AAC enabled; extra members follow
inline std::string tgt(const std::string &format, const std::string &url, const std::string &extra = "")
{
    return "{\"format\":\"" + format + "\",\"url\":\"" + url +
           "\",\"video\":{\"enable\":true,\"codec\":\"h264\"},\"audio\":{\"enable\":true,\"codec\":\"aac\"}" +
           extra + "}";
}

// a target with extra members of its "video" and "audio" (H.264 and AAC, enabled)
inline std::string tgtAV(const std::string &format, const std::string &url, const std::string &video,
                         const std::string &audio = "")
{
    return "{\"format\":\"" + format + "\",\"url\":\"" + url +
           "\",\"video\":{\"enable\":true,\"codec\":\"h264\"" + video +
           "},\"audio\":{\"enable\":true,\"codec\":\"aac\"" + audio + "}}";
}

// a channel: comma-separated sources and targets, extra members of "input" and "output"
inline std::string chan(const std::string &sources, const std::string &targets,
                        const std::string &inputExtra = "", const std::string &outputExtra = "")
{
    return "{\"input\":{\"sources\":[" + sources + "]" + inputExtra + "},\"output\":{\"targets\":[" + targets +
           "]" + outputExtra + "}}";
}

// a document: global members (without braces) and comma-separated channels
inline std::string doc(const std::string &global, const std::string &channels)
{
    return "{\"global\":{" + global + "},\"channels\":[" + channels + "]}";
}

// a plain channel that other channels of a test may bind
inline std::string plainChan(const std::string &name)
{
    return chan(src("file", "/media/" + name + ".ts"), tgt("udp", "udp://127.0.0.1:5000"));
}

} // namespace chantest

#endif
