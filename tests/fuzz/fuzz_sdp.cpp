// SDP files from outside through the reader, then what was read through the
// writer and the reader once more. The records read must be in shape (texts
// terminated, codecs known), the file written must hold only SDP lines, and
// reading it back must give the same streams.
#include <stdio.h>
#include <string.h>

#include <string>

#include "fuzz_util.h"
#include "tovu_engine_internal.h"

namespace {

bool knownVideo(TOVU_CODEC c)
{
    return c == 0 || (c >= TOVU_VIDEO_H261 && c <= TOVU_VIDEO_H264);
}

bool knownAudio(TOVU_CODEC c)
{
    return c >= TOVU_AUDIO_G711U && c <= TOVU_AUDIO_AAC;
}

void checkRecords(const TOVU_VIDEO_STREAM &v, const TOVU_AUDIO_STREAM &a)
{
    FUZZ_CHECK(strnlen(v.rtp.szFmtp, sizeof v.rtp.szFmtp) < sizeof v.rtp.szFmtp, "video fmtp unterminated");
    FUZZ_CHECK(strnlen(a.rtp.szFmtp, sizeof a.rtp.szFmtp) < sizeof a.rtp.szFmtp, "audio fmtp unterminated");
    FUZZ_CHECK(!strpbrk(v.rtp.szFmtp, "\r\n") && !strpbrk(a.rtp.szFmtp, "\r\n"), "line break in fmtp");
    FUZZ_CHECK(knownVideo(v.codec), "video codec %d", (int)v.codec);
    FUZZ_CHECK(knownAudio(a.codec), "audio codec %d", (int)a.codec);
}

// every line of a written file is one of the few kinds the writer makes
void checkWritten(const std::string &text)
{
    size_t pos = 0;
    bool empty_seen = false;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        FUZZ_CHECK(eol != std::string::npos, "last line without line feed");
        std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        if (line.empty()) {
            FUZZ_CHECK(pos == text.size(), "empty line before the end");
            empty_seen = true;
            continue;
        }
        FUZZ_CHECK(line.size() >= 2 && line[1] == '=' && strchr("vostcma", line[0]),
                   "odd line written: %s", line.c_str());
        FUZZ_CHECK(line.find('\r') == std::string::npos, "carriage return in a line");
    }
    FUZZ_CHECK(empty_seen, "file does not end with the empty line");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = tovufuzz::scratch() + "/fuzz.sdp";
    if (size < 1)
        return 0;
    const int iDst = data[0] & 1;
    FILE *fp = fmemopen(const_cast<uint8_t *>(data + 1), size - 1, "rb");
    if (!fp)
        return 0;
    TOVU_VIDEO_STREAM v;
    TOVU_AUDIO_STREAM a;
    memset(&v, 0x5a, sizeof v); // the reader must clear what it is given
    memset(&a, 0x5a, sizeof a);
    int r = tovuImportSdpInternal(fp, &v, &a, iDst);
    fclose(fp);
    FUZZ_CHECK(r == 0 || r == 1, "reader result %d", r);
    checkRecords(v, a);

    // the writer takes the local side (what a reader with iDst 0 fills)
    if (iDst)
        return 0;
    int w = tovuExportSdp(path.c_str(), &v, &a, 1);
    FUZZ_CHECK(w == 0 || w == -1, "writer result %d", w);
    if (w != 0)
        return 0;
    checkWritten(tovufuzz::readFile(path));

    TOVU_VIDEO_STREAM v2;
    TOVU_AUDIO_STREAM a2;
    FUZZ_CHECK(tovuImportSdp(path.c_str(), &v2, &a2, 0) >= 0, "written file cannot be read");
    checkRecords(v2, a2);
    // each stream that got a section comes back on its port and address
    if (v.rtp.usSrcPort) {
        FUZZ_CHECK(v2.rtp.usSrcPort == v.rtp.usSrcPort, "video port %u -> %u", v.rtp.usSrcPort,
                   v2.rtp.usSrcPort);
    }
    if (a.rtp.usSrcPort) {
        FUZZ_CHECK(a2.rtp.usSrcPort == a.rtp.usSrcPort, "audio port %u -> %u", a.rtp.usSrcPort,
                   a2.rtp.usSrcPort);
    }
    return 0;
}
