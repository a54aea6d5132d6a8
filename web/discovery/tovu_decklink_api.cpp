// Run-time loader of the DeckLink card library and its factory forwarders.
// The library is opened once per process, at the first forwarder call; a
// library or entry point that is missing then stays missing until restart,
// and is told once, by the program's message line.
#include "tovu_decklink.h"

#include <dlfcn.h>
#include <pthread.h>

#include "tovu_base.h"

#include <atomic>

namespace {

typedef IDeckLinkIterator *(*CreateIteratorFunc)(void);
typedef IDeckLinkAPIInformation *(*CreateAPIInformationFunc)(void);
typedef IDeckLinkVideoConversion *(*CreateVideoConversionFunc)(void);
typedef IDeckLinkDiscovery *(*CreateDeckLinkDiscoveryFunc)(void);
typedef IDeckLinkVideoFrameAncillaryPackets *(*CreateVideoFrameAncillaryPacketsFunc)(void);
typedef IDeckLinkGLScreenPreviewHelper *(*CreateOpenGLScreenPreviewHelperFunc)(void);

// Written only inside the once-routines; read after pthread_once, which
// orders those writes before every read. The flag is also read on its own.
std::atomic<bool> gLoadedDeckLinkAPI{false};
CreateIteratorFunc gCreateIteratorFunc = nullptr;
CreateAPIInformationFunc gCreateAPIInformationFunc = nullptr;
CreateVideoConversionFunc gCreateVideoConversionFunc = nullptr;
CreateDeckLinkDiscoveryFunc gCreateDeckLinkDiscoveryFunc = nullptr;
CreateVideoFrameAncillaryPacketsFunc gCreateVideoFrameAncillaryPacketsFunc = nullptr;
CreateOpenGLScreenPreviewHelperFunc gCreateOpenGLPreviewFunc = nullptr;

pthread_once_t gDeckLinkOnceControl = PTHREAD_ONCE_INIT;
pthread_once_t gPreviewOnceControl = PTHREAD_ONCE_INIT;

const char kUnknownLoaderError[] = "unknown dynamic loader error";

// the loader's own account of its last failure
const char *loaderError()
{
    const char *err = dlerror();
    return err ? err : kUnknownLoaderError;
}

void *openLibrary(const char *name)
{
    void *library = dlopen(name, RTLD_NOW | RTLD_GLOBAL);
    if (!library)
        tovu_message("DeckLink discovery: dlopen of %s failed: %s", name, loaderError());
    return library;
}

// Resolve one entry point of the library `name` into *slot; a missing one is
// reported and left null.
template <typename Func>
void resolve(void *library, const char *name, const char *entry, Func *slot)
{
    dlerror();
    void *sym = dlsym(library, entry);
    if (!sym) {
        tovu_message("DeckLink discovery: dlsym of %s in %s failed: %s", entry, name,
                     loaderError());
        return;
    }
    *slot = reinterpret_cast<Func>(sym);
}

} // namespace

void InitDeckLinkAPI(void)
{
    const char *name = TOVU_DECKLINK_API_LIBRARY;
    void *library = openLibrary(name);
    if (!library)
        return;
    gLoadedDeckLinkAPI = true;
    resolve(library, name, TOVU_DECKLINK_ITERATOR_ENTRY, &gCreateIteratorFunc);
    resolve(library, name, TOVU_DECKLINK_API_INFORMATION_ENTRY, &gCreateAPIInformationFunc);
    resolve(library, name, TOVU_DECKLINK_VIDEO_CONVERSION_ENTRY, &gCreateVideoConversionFunc);
    resolve(library, name, TOVU_DECKLINK_DISCOVERY_ENTRY, &gCreateDeckLinkDiscoveryFunc);
    resolve(library, name, TOVU_DECKLINK_ANCILLARY_ENTRY, &gCreateVideoFrameAncillaryPacketsFunc);
}

void InitDeckLinkPreviewAPI(void)
{
    const char *name = TOVU_DECKLINK_PREVIEW_LIBRARY;
    void *library = openLibrary(name);
    if (!library)
        return;
    resolve(library, name, TOVU_DECKLINK_GL_PREVIEW_ENTRY, &gCreateOpenGLPreviewFunc);
}

bool IsDeckLinkAPIPresent(void)
{
    return gLoadedDeckLinkAPI;
}

IDeckLinkIterator *CreateDeckLinkIteratorInstance(void)
{
    pthread_once(&gDeckLinkOnceControl, InitDeckLinkAPI);
    return gCreateIteratorFunc ? gCreateIteratorFunc() : nullptr;
}

IDeckLinkAPIInformation *CreateDeckLinkAPIInformationInstance(void)
{
    pthread_once(&gDeckLinkOnceControl, InitDeckLinkAPI);
    return gCreateAPIInformationFunc ? gCreateAPIInformationFunc() : nullptr;
}

IDeckLinkVideoConversion *CreateVideoConversionInstance(void)
{
    pthread_once(&gDeckLinkOnceControl, InitDeckLinkAPI);
    return gCreateVideoConversionFunc ? gCreateVideoConversionFunc() : nullptr;
}

IDeckLinkDiscovery *CreateDeckLinkDiscoveryInstance(void)
{
    pthread_once(&gDeckLinkOnceControl, InitDeckLinkAPI);
    return gCreateDeckLinkDiscoveryFunc ? gCreateDeckLinkDiscoveryFunc() : nullptr;
}

IDeckLinkVideoFrameAncillaryPackets *CreateVideoFrameAncillaryPacketsInstance(void)
{
    pthread_once(&gDeckLinkOnceControl, InitDeckLinkAPI);
    return gCreateVideoFrameAncillaryPacketsFunc ? gCreateVideoFrameAncillaryPacketsFunc()
                                                 : nullptr;
}

IDeckLinkGLScreenPreviewHelper *CreateOpenGLScreenPreviewHelper(void)
{
    pthread_once(&gDeckLinkOnceControl, InitDeckLinkAPI);
    pthread_once(&gPreviewOnceControl, InitDeckLinkPreviewAPI);
    return gCreateOpenGLPreviewFunc ? gCreateOpenGLPreviewFunc() : nullptr;
}
