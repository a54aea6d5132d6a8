// Stand-in for the NDI runtime libndi.so.5, with the calls that source
// discovery makes. By default it finds nothing. A test names a file of
// sources in TOVU_STANDIN_NDI_SOURCES, read when a finder is created, one
// directive a line ('#' starts a comment, fields are separated by tabs):
//   MS<TAB>NAME<TAB>ADDRESS        a source that appears MS milliseconds
//                                  after the finder was made
//   flap<TAB>PERIOD<TAB>NAME<TAB>ADDRESS
//                                  a source that comes and goes every PERIOD
//                                  milliseconds, for ever
//   initialize-fails               the runtime cannot be initialised here
//   finder-fails                   no finder can be made
//   speed<TAB>N                    the finder's time runs N times as fast as
//                                  the clock: a wait of 1000 ms takes 1000/N
//                                  ms, a source at MS comes after MS/N ms
// When TOVU_STANDIN_NDI_LOG names a file, every call is appended to it as a
// line ("initialize", "find_create local=1 groups=null extra_ips=null",
// "wait 1000 changed", "wait 1000 quiet", "get_current_sources 2",
// "find_destroy", "destroy").
//
// A wait gives true as soon as the list differs from what the previous wait
// or the creation saw, and false after the whole wait without a change.
#include "tovu_ndi_api.h"

#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <fstream>
#include <list>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const char kSourcesEnv[] = "TOVU_STANDIN_NDI_SOURCES";
const char kLogEnv[] = "TOVU_STANDIN_NDI_LOG";

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

void logCall(const std::string &line)
{
    const char *path = getenv(kLogEnv);
    if (!path)
        return;
    std::ofstream out(path, std::ios::app);
    out << line << '\n';
}

struct SourceSpec {
    long appearMs = 0;
    long flapMs = 0; // 0: stays once it appeared
    std::string name, address;
};

struct Settings {
    std::vector<SourceSpec> sources;
    bool initializeFails = false;
    bool finderFails = false;
    long speed = 1;
};

std::vector<std::string> splitTabs(const std::string &line)
{
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, '\t'))
        fields.push_back(field);
    return fields;
}

Settings readSettings()
{
    Settings s;
    const char *path = getenv(kSourcesEnv);
    if (!path)
        return s;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> f = splitTabs(line);
        if (f[0] == "initialize-fails") {
            s.initializeFails = true;
        } else if (f[0] == "finder-fails") {
            s.finderFails = true;
        } else if (f[0] == "speed" && f.size() >= 2) {
            s.speed = strtol(f[1].c_str(), nullptr, 10);
            if (s.speed < 1)
                s.speed = 1;
        } else if (f[0] == "flap" && f.size() >= 4) {
            SourceSpec src;
            src.flapMs = strtol(f[1].c_str(), nullptr, 10);
            if (src.flapMs <= 0)
                src.flapMs = 1;
            src.name = f[2];
            src.address = f[3];
            s.sources.push_back(src);
        } else if (f.size() >= 3) {
            SourceSpec src;
            src.appearMs = strtol(f[0].c_str(), nullptr, 10);
            src.name = f[1];
            src.address = f[2];
            s.sources.push_back(src);
        }
    }
    return s;
}

// whether source i is in the list at ms after the finder's creation
bool visible(const SourceSpec &s, long ms)
{
    if (s.flapMs)
        return (ms / s.flapMs) % 2 == 0;
    return ms >= s.appearMs;
}

// the next time after ms at which the list changes, or -1 for never
long nextChange(const Settings &s, long ms)
{
    long next = -1;
    for (const SourceSpec &src : s.sources) {
        long at = src.flapMs ? (ms / src.flapMs + 1) * src.flapMs
                             : (src.appearMs > ms ? src.appearMs : -1);
        if (at >= 0 && (next < 0 || at < next))
            next = at;
    }
    return next;
}

struct Finder {
    Settings settings;
    Clock::time_point created = Clock::now();
    std::vector<bool> seen; // the list as the last wait saw it
    std::list<std::vector<NDIlib_source_t>> handedOut; // valid until destroyed

    // the finder's time: milliseconds since its creation, at its speed
    long now() const
    {
        return (long)std::chrono::duration_cast<Ms>(Clock::now() - created).count() *
               settings.speed;
    }
    // sleeps until the finder's time reaches ms
    void sleepUntil(long ms) const
    {
        std::this_thread::sleep_until(created +
                                      std::chrono::microseconds(ms * 1000 / settings.speed));
    }
    std::vector<bool> listAt(long ms) const
    {
        std::vector<bool> v;
        for (const SourceSpec &s : settings.sources)
            v.push_back(visible(s, ms));
        return v;
    }
};

bool runtimeInitialize(void)
{
    logCall("initialize");
    return !readSettings().initializeFails;
}

void runtimeDestroy(void)
{
    logCall("destroy");
}

const NDIlib_v5 kRuntime = {runtimeInitialize, runtimeDestroy};

} // namespace

STANDIN_EXPORT const NDIlib_v5 *NDIlib_v5_load(void)
{
    return &kRuntime;
}

STANDIN_EXPORT NDIlib_find_instance_t NDIlib_find_create_v2(const NDIlib_find_create_t *p)
{
    std::string line = "find_create";
    if (p) {
        line += std::string(" local=") + (p->show_local_sources ? "1" : "0");
        line += std::string(" groups=") + (p->p_groups ? p->p_groups : "null");
        line += std::string(" extra_ips=") + (p->p_extra_ips ? p->p_extra_ips : "null");
    }
    logCall(line);
    Settings s = readSettings();
    if (s.finderFails)
        return nullptr;
    Finder *f = new Finder;
    f->settings = std::move(s);
    f->seen.assign(f->settings.sources.size(), false);
    return f;
}

STANDIN_EXPORT void NDIlib_find_destroy(NDIlib_find_instance_t p_instance)
{
    logCall("find_destroy");
    delete static_cast<Finder *>(p_instance);
}

STANDIN_EXPORT bool NDIlib_find_wait_for_sources(NDIlib_find_instance_t p_instance,
                                                  uint32_t timeout_in_ms)
{
    Finder *f = static_cast<Finder *>(p_instance);
    const long start = f->now();
    const long end = start + (long)timeout_in_ms;
    bool changed = f->listAt(start) != f->seen;
    if (!changed) {
        long at = nextChange(f->settings, start);
        if (at >= 0 && at <= end) {
            f->sleepUntil(at);
            changed = true;
        } else {
            f->sleepUntil(end);
        }
    }
    if (changed)
        f->seen = f->listAt(f->now());
    logCall("wait " + std::to_string(timeout_in_ms) + (changed ? " changed" : " quiet"));
    return changed;
}

STANDIN_EXPORT const NDIlib_source_t *NDIlib_find_get_current_sources(NDIlib_find_instance_t p_instance,
                                                                      uint32_t *p_no_sources)
{
    Finder *f = static_cast<Finder *>(p_instance);
    std::vector<NDIlib_source_t> list;
    const long ms = f->now();
    for (const SourceSpec &s : f->settings.sources)
        if (visible(s, ms))
            list.push_back({s.name.c_str(), s.address.c_str()});
    uint32_t count = (uint32_t)list.size();
    if (p_no_sources)
        *p_no_sources = count;
    logCall("get_current_sources " + std::to_string(count));
    if (list.empty())
        return nullptr;
    f->handedOut.push_back(std::move(list));
    return f->handedOut.back().data();
}
