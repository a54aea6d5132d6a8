// Shared bits of the fuzz targets: a property check that stops the run with
// a message, and a private scratch folder removed at exit.
#ifndef TOVU_FUZZ_UTIL_H
#define TOVU_FUZZ_UTIL_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

// A property of the system that must hold for every input; a failure aborts,
// so libFuzzer keeps the input that broke it.
#define FUZZ_CHECK(cond, ...)                                                        \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "property failed at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
            fprintf(stderr, "  " __VA_ARGS__);                                      \
            fprintf(stderr, "\n");                                                   \
            abort();                                                                 \
        }                                                                            \
    } while (0)

namespace tovufuzz {

// A folder of its own under $TOVU_FUZZ_SCRATCH (which the run script sets
// and removes), else /dev/shm (memory, so file-heavy targets stay fast) or
// /tmp; made on first use and removed when the run ends normally.
inline const std::string &scratch()
{
    static std::string dir = [] {
        const char *env = getenv("TOVU_FUZZ_SCRATCH");
        std::string base = env && *env ? env : access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string tmpl = base + "/tovu_fuzz_XXXXXX";
        if (!mkdtemp(&tmpl[0])) {
            perror("mkdtemp");
            abort();
        }
        static std::string keep;
        keep = tmpl;
        atexit([] {
            std::string cmd = "rm -rf '" + keep + "'";
            if (system(cmd.c_str()) != 0)
                fprintf(stderr, "could not remove %s\n", keep.c_str());
        });
        return tmpl;
    }();
    return dir;
}

inline std::string readFile(const std::string &path)
{
    std::string s;
    if (FILE *fp = fopen(path.c_str(), "rb")) {
        char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, fp)) > 0)
            s.append(buf, n);
        fclose(fp);
    }
    return s;
}

inline bool writeFile(const std::string &path, const void *data, size_t size)
{
    FILE *fp = fopen(path.c_str(), "wb");
    if (!fp)
        return false;
    bool ok = fwrite(data, 1, size, fp) == size;
    return fclose(fp) == 0 && ok;
}

} // namespace tovufuzz

#endif
