// Test stand-in for the DeckLink card library. It presents the cards that a
// test describes in the file named by TOVU_STANDIN_DECKLINK_DEVICES (no file:
// no cards), read afresh by every device iterator. Only the iterator's
// factory is exported, so the loader finds the other entry points missing.
//
// The file, one directive a line ('#' starts a comment):
//   device NAME                    a card; NAME is the rest of the line
//   mode input|output CODE W H TIMESCALE DURATION FIELD
//                                  a display mode of that side; CODE is four
//                                  characters or a number, FIELD one of prog,
//                                  psf, lowr, uppr, unkn
//   side input|output              the side exists, even without modes
//   fail attributes|name|input-modes|output-modes
//                                  that call of the card fails
//
// tovuStandInDeckLinkLiveObjects() counts the objects not yet released, so
// tests can tell that every reference was given back;
// tovuStandInDeckLinkMisuses() counts mode iterators used after the input or
// output that gave them was released.
#include "tovu_decklink_api.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const char kDevicesEnv[] = "TOVU_STANDIN_DECKLINK_DEVICES";

std::atomic<int> gLiveObjects{0};
std::atomic<int> gMisuses{0};

struct ModeSpec {
    BMDDisplayMode code = 0;
    long width = 0, height = 0;
    BMDTimeScale timeScale = 0;
    BMDTimeValue duration = 0;
    BMDFieldDominance field = bmdUnknownFieldDominance;
};

struct SideSpec {
    bool present = false;
    bool failModes = false;
    std::vector<ModeSpec> modes;
};

struct DeviceSpec {
    std::string name;
    bool failAttributes = false;
    bool failName = false;
    SideSpec input, output;
};

uint32_t parseCode(const std::string &t)
{
    if (t.size() == 4)
        return ((uint32_t)(uint8_t)t[0] << 24) | ((uint32_t)(uint8_t)t[1] << 16) |
               ((uint32_t)(uint8_t)t[2] << 8) | (uint32_t)(uint8_t)t[3];
    return (uint32_t)strtoul(t.c_str(), nullptr, 0);
}

BMDFieldDominance parseField(const std::string &t)
{
    if (t == "prog")
        return bmdProgressiveFrame;
    if (t == "psf")
        return bmdProgressiveSegmentedFrame;
    if (t == "lowr")
        return bmdLowerFieldFirst;
    if (t == "uppr")
        return bmdUpperFieldFirst;
    return bmdUnknownFieldDominance;
}

std::vector<DeviceSpec> readDevices()
{
    std::vector<DeviceSpec> devices;
    const char *path = getenv(kDevicesEnv);
    if (!path)
        return devices;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string word;
        if (!(words >> word) || word[0] == '#')
            continue;
        if (word == "device") {
            devices.emplace_back();
            size_t at = line.find("device") + strlen("device");
            if (at < line.size() && line[at] == ' ')
                at++;
            devices.back().name = line.substr(at);
            continue;
        }
        if (devices.empty())
            continue;
        DeviceSpec &d = devices.back();
        std::string arg;
        words >> arg;
        if (word == "side" || word == "mode") {
            SideSpec &side = arg == "output" ? d.output : d.input;
            side.present = true;
            if (word == "mode") {
                ModeSpec m;
                std::string code, field;
                words >> code >> m.width >> m.height >> m.timeScale >> m.duration >> field;
                m.code = parseCode(code);
                m.field = parseField(field);
                side.modes.push_back(m);
            }
        } else if (word == "fail") {
            if (arg == "attributes")
                d.failAttributes = true;
            else if (arg == "name")
                d.failName = true;
            else if (arg == "input-modes")
                d.input.failModes = true;
            else if (arg == "output-modes")
                d.output.failModes = true;
        }
    }
    return devices;
}

// Reference counting shared by every object; QueryInterface offers nothing
// unless a class says otherwise.
template <typename Interface> class Counted : public Interface {
public:
    Counted() { gLiveObjects++; }
    virtual ~Counted() { gLiveObjects--; }
    Counted(const Counted &) = delete;
    Counted &operator=(const Counted &) = delete;

    HRESULT QueryInterface(REFIID, void **ppv) override
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override
    {
        ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

private:
    std::atomic<ULONG> refs_{1};
};

class Mode final : public Counted<IDeckLinkDisplayMode> {
public:
    explicit Mode(const ModeSpec &m) : m_(m) {}
    BMDDisplayMode GetDisplayMode() override { return m_.code; }
    long GetWidth() override { return m_.width; }
    long GetHeight() override { return m_.height; }
    HRESULT GetFrameRate(BMDTimeValue *frameDuration, BMDTimeScale *timeScale) override
    {
        *frameDuration = m_.duration;
        *timeScale = m_.timeScale;
        return S_OK;
    }
    BMDFieldDominance GetFieldDominance() override { return m_.field; }

private:
    ModeSpec m_;
};

class ModeIterator final : public Counted<IDeckLinkDisplayModeIterator> {
public:
    ModeIterator(std::vector<ModeSpec> modes, std::shared_ptr<const bool> sideAlive)
        : modes_(std::move(modes)), sideAlive_(std::move(sideAlive))
    {
    }
    HRESULT Next(IDeckLinkDisplayMode **mode) override
    {
        if (!*sideAlive_)
            gMisuses++;
        if (next_ >= modes_.size()) {
            *mode = nullptr;
            return E_FAIL;
        }
        *mode = new Mode(modes_[next_++]);
        return S_OK;
    }

private:
    std::vector<ModeSpec> modes_;
    std::shared_ptr<const bool> sideAlive_;
    size_t next_ = 0;
};

template <typename Side> class SideObject final : public Counted<Side> {
public:
    explicit SideObject(const SideSpec &s) : s_(s) {}
    ~SideObject() override { *alive_ = false; }
    HRESULT GetDisplayModeIterator(IDeckLinkDisplayModeIterator **iterator) override
    {
        if (s_.failModes) {
            *iterator = nullptr;
            return E_FAIL;
        }
        *iterator = new ModeIterator(s_.modes, alive_);
        return S_OK;
    }

private:
    SideSpec s_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class Attributes final : public Counted<IDeckLinkAttributes> {
public:
    explicit Attributes(std::shared_ptr<const DeviceSpec> d) : d_(std::move(d)) {}
    HRESULT GetString(BMDDeckLinkAttributeID id, const char **value) override
    {
        *value = nullptr;
        if (id != BMDDeckLinkDisplayName || d_->failName)
            return E_FAIL;
        *value = strdup(d_->name.c_str()); // the caller frees it
        return *value ? S_OK : E_FAIL;
    }

private:
    std::shared_ptr<const DeviceSpec> d_;
};

class Device final : public Counted<IDeckLink> {
public:
    explicit Device(std::shared_ptr<const DeviceSpec> d) : d_(std::move(d)) {}
    HRESULT QueryInterface(REFIID iid, void **ppv) override
    {
        *ppv = nullptr;
        if (iid == IID_IDeckLinkAttributes && !d_->failAttributes)
            *ppv = static_cast<IDeckLinkAttributes *>(new Attributes(d_));
        else if (iid == IID_IDeckLinkInput && d_->input.present)
            *ppv = static_cast<IDeckLinkInput *>(new SideObject<IDeckLinkInput>(d_->input));
        else if (iid == IID_IDeckLinkOutput && d_->output.present)
            *ppv = static_cast<IDeckLinkOutput *>(new SideObject<IDeckLinkOutput>(d_->output));
        return *ppv ? S_OK : E_NOINTERFACE;
    }

private:
    std::shared_ptr<const DeviceSpec> d_;
};

class Iterator final : public Counted<IDeckLinkIterator> {
public:
    explicit Iterator(std::vector<DeviceSpec> devices) : devices_(std::move(devices)) {}
    HRESULT Next(IDeckLink **deckLink) override
    {
        if (next_ >= devices_.size()) {
            *deckLink = nullptr;
            return E_FAIL;
        }
        *deckLink = new Device(std::make_shared<const DeviceSpec>(devices_[next_++]));
        return S_OK;
    }

private:
    std::vector<DeviceSpec> devices_;
    size_t next_ = 0;
};

} // namespace

STANDIN_EXPORT IDeckLinkIterator *CreateDeckLinkIteratorInstance_0003(void)
{
    return new Iterator(readDevices());
}

STANDIN_EXPORT int tovuStandInDeckLinkLiveObjects(void)
{
    return gLiveObjects;
}

STANDIN_EXPORT int tovuStandInDeckLinkMisuses(void)
{
    return gMisuses;
}
