// DeckLink card discovery: walks the cards and their display modes into the
// discovery record and answers "/decklink_config" with them as JSON.
#include "tovu_decklink.h"
#include "tovu_helpers.h"
#include "tovu_cgi_json.h"

#include <stdlib.h>
#include <string.h>

#include <memory>

namespace {

const char kOutputOption[] = "output=";

// answer pieces
const char kAnswerHead[] = "{ \"devices\": [\n";
const char kDeviceHead[] = "  { \"name\": \"";
const char kFormatsHead[] = "\",\n  \"formats\": [\n";
const char kFormatLine[] = "  { \"fmtcode\": %d, \"width\": %d, \"height\": %d, "
                           "\"numFrame\": %d, \"denFrame\": %d, \"interlaced\": %d }";
const char kDeviceTail[] = "  ]\n  }";
const char kAnswerTail[] = " ]\n}\n";

// Holds one reference of a library object and gives it back once.
struct ReleaseRef {
    void operator()(IUnknown *p) const { p->Release(); }
};
template <typename T> using Ref = std::unique_ptr<T, ReleaseRef>;

// Ask obj for the interface iid; null when it is not offered.
template <typename T> Ref<T> queryInterface(IUnknown *obj, REFIID iid)
{
    void *p = nullptr;
    if (obj->QueryInterface(iid, &p) != S_OK)
        return Ref<T>();
    return Ref<T>(static_cast<T *>(p));
}

void readName(IDeckLinkAttributes *attributes, TOVU_DECKLINK *slot)
{
    const char *name = nullptr;
    if (attributes->GetString(BMDDeckLinkDisplayName, &name) == S_OK && name) {
        tovuCopyText(slot->tszDisplayName, sizeof slot->tszDisplayName, name);
        free(const_cast<char *>(name));
    }
}

void readMode(IDeckLinkDisplayMode *mode, DECKLINK_FORMAT *format)
{
    BMDTimeValue frameDuration = 0;
    BMDTimeScale timeScale = 0;
    if (mode->GetFrameRate(&frameDuration, &timeScale) != S_OK)
        frameDuration = timeScale = 0;
    BMDFieldDominance field = mode->GetFieldDominance();
    format->nFormatCode = mode->GetDisplayMode();
    format->nWidth = (int)mode->GetWidth();
    format->nHeight = (int)mode->GetHeight();
    format->nFrameNum = (int)(int32_t)timeScale;
    format->nFrameDen = (int)(int32_t)frameDuration;
    format->bInterlaced = (field == bmdLowerFieldFirst || field == bmdUpperFieldFirst) ? 1 : 0;
}

// The side of a card asked for and its display-mode iterator; the side is
// held until the modes have been walked, and given back after the iterator.
struct Modes {
    Ref<IUnknown> side;                      // null: the card lacks that side
    Ref<IDeckLinkDisplayModeIterator> modes; // null: the side gives no iterator
};

template <typename Side> void openSide(IDeckLink *device, REFIID iid, Modes *out)
{
    Ref<Side> side = queryInterface<Side>(device, iid);
    if (!side)
        return;
    IDeckLinkDisplayModeIterator *modes = nullptr;
    HRESULT hr = side->GetDisplayModeIterator(&modes);
    out->side.reset(side.release());
    if (hr == S_OK)
        out->modes.reset(modes);
    else if (modes)
        modes->Release();
}

Modes openModes(IDeckLink *device, int isOutput)
{
    Modes m;
    if (isOutput)
        openSide<IDeckLinkOutput>(device, IID_IDeckLinkOutput, &m);
    else
        openSide<IDeckLinkInput>(device, IID_IDeckLinkInput, &m);
    return m;
}

} // namespace

int enumDecklink(int isOutput, TOVU_DECKLINKS *pDeckLinks)
{
    Ref<IDeckLinkIterator> iterator(CreateDeckLinkIteratorInstance());
    if (!iterator)
        return 1;

    // cards beyond the record's room are not asked for
    int n = 0;
    IDeckLink *next = nullptr;
    while (n < TOVU_DECKLINK_MAX_DEVICES && iterator->Next(&next) == S_OK && next) {
        Ref<IDeckLink> device(next);
        next = nullptr;
        TOVU_DECKLINK *slot = &pDeckLinks->decklink[n];

        {
            Ref<IDeckLinkAttributes> attributes =
                queryInterface<IDeckLinkAttributes>(device.get(), IID_IDeckLinkAttributes);
            if (!attributes) // a card without attributes is left out
                continue;
            readName(attributes.get(), slot);
        }

        Modes side = openModes(device.get(), isOutput);
        if (!side.side) { // listed without modes
            n++;
            continue;
        }
        if (!side.modes) { // left out: its slot goes to the next card, without this one's name
            memset(slot, 0, sizeof *slot);
            continue;
        }

        int nFormats = 0;
        IDeckLinkDisplayMode *m = nullptr;
        while (side.modes->Next(&m) == S_OK && m) {
            Ref<IDeckLinkDisplayMode> mode(m);
            m = nullptr;
            if (nFormats < TOVU_DECKLINK_MAX_FORMATS)
                readMode(mode.get(), &slot->formats[nFormats++]);
        }
        slot->nFormats = nFormats;
        n++;
    }
    pDeckLinks->nDevices = n;
    return 0;
}

int tovuEnumDecklink(int isOutput, TOVU_DECKLINKS *pDeckLinks)
{
    enumDecklink(isOutput, pDeckLinks);
    return pDeckLinks->nDevices;
}

std::string tovuDecklinkAnswer(const TOVU_DECKLINKS &devices)
{
    std::string out = kAnswerHead;
    int nDevices = devices.nDevices;
    if (nDevices > TOVU_DECKLINK_MAX_DEVICES)
        nDevices = TOVU_DECKLINK_MAX_DEVICES;
    for (int d = 0; d < nDevices; d++) {
        const TOVU_DECKLINK &device = devices.decklink[d];
        out += kDeviceHead;
        tovuAppendJsonText(out, device.tszDisplayName, sizeof device.tszDisplayName);
        out += kFormatsHead;
        int nFormats = device.nFormats;
        if (nFormats > TOVU_DECKLINK_MAX_FORMATS)
            nFormats = TOVU_DECKLINK_MAX_FORMATS;
        for (int f = 0; f < nFormats; f++) {
            const DECKLINK_FORMAT &fm = device.formats[f];
            char line[sizeof kFormatLine + 6 * 12];
            snprintf(line, sizeof line, kFormatLine, (int)fm.nFormatCode, fm.nWidth, fm.nHeight,
                     fm.nFrameNum, fm.nFrameDen, fm.bInterlaced);
            out += line;
            out += (f + 1 < nFormats) ? ",\n" : "\n";
        }
        out += kDeviceTail;
        out += (d + 1 < nDevices) ? ",\n" : "\n";
    }
    out += kAnswerTail;
    return out;
}

int tovuCGIDecklinkConfig(struct MHD_Connection *conn, const char *szArgs)
{
    int side = 0;
    parseOpt(szArgs ? szArgs : "", kOutputOption, &side);
    auto devices = std::make_unique<TOVU_DECKLINKS>(); // zeroed
    tovuEnumDecklink(side, devices.get());
    return tovuCGIQueueJSON(conn, tovuDecklinkAnswer(*devices));
}
