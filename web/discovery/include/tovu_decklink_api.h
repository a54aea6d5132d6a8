/*
 * tovu_decklink_api.h - this project's declarations of the DeckLink card
 * library's interfaces, as far as discovery uses them: COM-style objects
 * whose calls return 0 on success and whose every object obtained is released
 * once. The method order within each interface is the vtable layout this
 * program calls through; on a host with the real library it has to agree
 * with the installed SDK's layout. Shared by the program and the test
 * stand-in of the library.
 */
#ifndef TOVU_DECKLINK_API_H
#define TOVU_DECKLINK_API_H

#include <stdint.h>

typedef int32_t HRESULT;
typedef uint32_t ULONG;

/* an interface identifier, its 16 bytes in text order */
struct DeckLinkIID {
    uint8_t bytes[16];
};
typedef DeckLinkIID REFIID;

inline bool operator==(const DeckLinkIID &a, const DeckLinkIID &b)
{
    for (int i = 0; i < 16; i++)
        if (a.bytes[i] != b.bytes[i])
            return false;
    return true;
}

/* four-character codes: first character in the most significant byte */
constexpr uint32_t DeckLinkFourCC(const char (&c)[5])
{
    return ((uint32_t)(uint8_t)c[0] << 24) | ((uint32_t)(uint8_t)c[1] << 16) |
           ((uint32_t)(uint8_t)c[2] << 8) | (uint32_t)(uint8_t)c[3];
}

typedef uint32_t BMDDisplayMode;
typedef uint32_t BMDFieldDominance;
typedef uint32_t BMDDeckLinkAttributeID;
typedef int64_t BMDTimeValue;
typedef int64_t BMDTimeScale;

constexpr BMDDeckLinkAttributeID BMDDeckLinkDisplayName = DeckLinkFourCC("dspn");

constexpr BMDFieldDominance bmdUnknownFieldDominance = 0;
constexpr BMDFieldDominance bmdLowerFieldFirst = DeckLinkFourCC("lowr");
constexpr BMDFieldDominance bmdUpperFieldFirst = DeckLinkFourCC("uppr");
constexpr BMDFieldDominance bmdProgressiveFrame = DeckLinkFourCC("prog");
constexpr BMDFieldDominance bmdProgressiveSegmentedFrame = DeckLinkFourCC("psf ");

constexpr HRESULT S_OK = 0;
constexpr HRESULT E_FAIL = (HRESULT)0x80004005u;
constexpr HRESULT E_NOINTERFACE = (HRESULT)0x80004002u;

/* ABC11843-D966-44CB-96E2-A1CB5D3135C4 */
inline constexpr REFIID IID_IDeckLinkAttributes = {{0xAB, 0xC1, 0x18, 0x43, 0xD9, 0x66, 0x44, 0xCB,
                                                    0x96, 0xE2, 0xA1, 0xCB, 0x5D, 0x31, 0x35, 0xC4}};
/* AF22762B-DFAC-4846-AA79-FA8883560995 */
inline constexpr REFIID IID_IDeckLinkInput = {{0xAF, 0x22, 0x76, 0x2B, 0xDF, 0xAC, 0x48, 0x46,
                                               0xAA, 0x79, 0xFA, 0x88, 0x83, 0x56, 0x09, 0x95}};
/* CC5C8A6E-3F2F-4B3A-87EA-FD78AF300564 */
inline constexpr REFIID IID_IDeckLinkOutput = {{0xCC, 0x5C, 0x8A, 0x6E, 0x3F, 0x2F, 0x4B, 0x3A,
                                                0x87, 0xEA, 0xFD, 0x78, 0xAF, 0x30, 0x05, 0x64}};

/* Objects are released, never deleted through these types. */
class IUnknown {
public:
    virtual HRESULT QueryInterface(REFIID iid, void **ppv) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

class IDeckLinkDisplayMode : public IUnknown {
public:
    virtual BMDDisplayMode GetDisplayMode() = 0;
    virtual long GetWidth() = 0;
    virtual long GetHeight() = 0;
    virtual HRESULT GetFrameRate(BMDTimeValue *frameDuration, BMDTimeScale *timeScale) = 0;
    virtual BMDFieldDominance GetFieldDominance() = 0;

protected:
    ~IDeckLinkDisplayMode() = default;
};

class IDeckLinkDisplayModeIterator : public IUnknown {
public:
    /* gives S_OK and a mode, or a failure and null after the last */
    virtual HRESULT Next(IDeckLinkDisplayMode **mode) = 0;

protected:
    ~IDeckLinkDisplayModeIterator() = default;
};

class IDeckLinkInput : public IUnknown {
public:
    virtual HRESULT GetDisplayModeIterator(IDeckLinkDisplayModeIterator **iterator) = 0;

protected:
    ~IDeckLinkInput() = default;
};

class IDeckLinkOutput : public IUnknown {
public:
    virtual HRESULT GetDisplayModeIterator(IDeckLinkDisplayModeIterator **iterator) = 0;

protected:
    ~IDeckLinkOutput() = default;
};

class IDeckLinkAttributes : public IUnknown {
public:
    /* the text is the caller's, to be given back with free() */
    virtual HRESULT GetString(BMDDeckLinkAttributeID id, const char **value) = 0;

protected:
    ~IDeckLinkAttributes() = default;
};

/* one card; its attributes and its input and output sides by QueryInterface */
class IDeckLink : public IUnknown {
protected:
    ~IDeckLink() = default;
};

class IDeckLinkIterator : public IUnknown {
public:
    /* gives S_OK and a card, or a failure and null after the last */
    virtual HRESULT Next(IDeckLink **deckLink) = 0;

protected:
    ~IDeckLinkIterator() = default;
};

/* made by the factories but not used by this program */
class IDeckLinkAPIInformation : public IUnknown {
protected:
    ~IDeckLinkAPIInformation() = default;
};
class IDeckLinkVideoConversion : public IUnknown {
protected:
    ~IDeckLinkVideoConversion() = default;
};
class IDeckLinkDiscovery : public IUnknown {
protected:
    ~IDeckLinkDiscovery() = default;
};
class IDeckLinkVideoFrameAncillaryPackets : public IUnknown {
protected:
    ~IDeckLinkVideoFrameAncillaryPackets() = default;
};
class IDeckLinkGLScreenPreviewHelper : public IUnknown {
protected:
    ~IDeckLinkGLScreenPreviewHelper() = default;
};

/* the libraries and their factory entry points */
#define TOVU_DECKLINK_API_LIBRARY "libDeckLinkAPI.so"
#define TOVU_DECKLINK_PREVIEW_LIBRARY "libDeckLinkPreviewAPI.so"
#define TOVU_DECKLINK_ITERATOR_ENTRY "CreateDeckLinkIteratorInstance_0003"
#define TOVU_DECKLINK_API_INFORMATION_ENTRY "CreateDeckLinkAPIInformationInstance_0001"
#define TOVU_DECKLINK_VIDEO_CONVERSION_ENTRY "CreateVideoConversionInstance_0001"
#define TOVU_DECKLINK_DISCOVERY_ENTRY "CreateDeckLinkDiscoveryInstance_0002"
#define TOVU_DECKLINK_ANCILLARY_ENTRY "CreateVideoFrameAncillaryPacketsInstance_0001"
#define TOVU_DECKLINK_GL_PREVIEW_ENTRY "CreateOpenGLScreenPreviewHelper_0001"

#endif
