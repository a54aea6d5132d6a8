// Engine set-up and reset, the slot table, the engine lock, stop and the
// slot getters.
#include "tovu_engine_internal.h"

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace {

constexpr int kNbChannelsMax = 2 * TOVU_MAX_CHANNELS;

char prog_fname[256];
char prog_path[256];

// Whether the executable's path was read and fitted in prog_fname. An empty
// prog_path alone cannot tell: a program in "/" has an empty directory.
bool prog_known = false;

void compute_prog_paths()
{
    // A path of 256 bytes or more does not fit and is refused, not cut: a
    // cut path would name another folder. prog_fname and prog_path then stay
    // empty and tovu_init refuses to use the program's directory.
    ssize_t n = readlink("/proc/self/exe", prog_fname, sizeof prog_fname);
    if (n <= 0 || n >= (ssize_t)sizeof prog_fname) {
        prog_fname[0] = '\0';
        return;
    }
    prog_fname[n] = '\0';
    prog_known = true;
    const char *slash = strrchr(prog_fname, '/');
    size_t len = slash ? (size_t)(slash - prog_fname) : (size_t)n;
    memcpy(prog_path, prog_fname, len);
    prog_path[len] = '\0';
}

void ensure_prog_paths()
{
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, compute_prog_paths);
}

// Copies text into a 256-byte field when it fits whole; a text that does not
// fit is refused (the field is left empty) rather than cut, since a cut path
// names another file. Returns whether it fitted.
bool set_field(char (&field)[256], const std::string &text)
{
    if (text.size() >= sizeof field) {
        field[0] = '\0';
        return false;
    }
    memcpy(field, text.c_str(), text.size() + 1);
    return true;
}

std::string with_slash(std::string s)
{
    if (s.empty() || s.back() != '/')
        s += '/';
    return s;
}

// The record's path as UTF-8 text copied through _utf8tolcs; false when it
// does not fit in a 256-byte field.
bool copy_path(const char *src, std::string *out)
{
    if (strlen(src) >= 256)
        return false;
    char buf[256];
    _utf8tolcs(src, buf, sizeof buf);
    *out = buf;
    return true;
}

} // namespace

TovuEngineMutex g_engineMutex;

extern "C" {

void tovu_lock(void)
{
    g_engineMutex.lock();
}

void tovu_unlock(void)
{
    g_engineMutex.unlock();
}

TOVU_CHAN_CTX *tovu_slot_locked(int channel_id)
{
    if (!g_proc_channels || channel_id < 0 || channel_id >= g_cfg.nb_channels_max)
        return nullptr;
    return &g_proc_channels[channel_id];
}

const char *tovu_get_prog_fname(void)
{
    ensure_prog_paths();
    return prog_fname;
}

const char *tovu_get_prog_dir(void)
{
    ensure_prog_paths();
    return prog_path;
}

void tovu_get_load_figures(TOVU_LOAD_FIGURES *figures)
{
    TovuLock lock;
    int n = g_cfg.nb_cpus;
    figures->nb_cpus = n < 0 ? 0 : n > TOVU_MAX_CPUS ? TOVU_MAX_CPUS : n;
    for (int k = 0; k < figures->nb_cpus; k++)
        figures->cpu[k] = g_cfg.cpu_usage[k].load_pct;
    figures->nb_gpus = g_cfg.nb_gpus;
    figures->gpu = g_cfg.gpu_usage.load_pct;
}

void tovu_init_channels(void)
{
    TovuLock lock;
    g_cfg.nb_channels_max = kNbChannelsMax;
    // The table is allocated with calloc and released with free.
    free(g_proc_channels);
    g_proc_channels = (TOVU_CHAN_CTX *)calloc(kNbChannelsMax, sizeof(TOVU_CHAN_CTX));
}

int tovu_init(const TOVU_CONFIG *config)
{
    static const TOVU_CONFIG no_config = {};
    if (!config)
        config = &no_config;

    TovuLock lock;
    if (g_cfg.b_init)
        return TOVU_OK;

    ensure_prog_paths();
    g_cfg.ffmpeg_path[0] = '\0';
    g_cfg.log_path[0] = '\0';
    g_cfg.omx_path[0] = '\0';
    g_cfg.ytdlp_path[0] = '\0';

    // Transcoder path: a folder that does not fit with "/tovul.so" is refused
    // with -3 (the transcoder cannot be found there), never cut.
    std::string dir = prog_path;
    bool ffmpeg_ok = config->dll_path ? copy_path(config->dll_path, &dir) : prog_known;
    if (ffmpeg_ok)
        ffmpeg_ok = set_field(g_cfg.ffmpeg_path, with_slash(dir) + TOVU_TRANSCODER_FNAME);

    // Log folder: one that does not fit with its final "/" is refused
    // (log_path stays empty) and the set-up fails with -12.
    bool log_ok;
    if (config->log_path) {
        std::string log_dir;
        log_ok = copy_path(config->log_path, &log_dir) &&
                 set_field(g_cfg.log_path, with_slash(log_dir));
    } else {
        log_ok = prog_known && set_field(g_cfg.log_path, with_slash(prog_path));
    }
    if (!log_ok)
        g_cfg.log_path[0] = '\0';

    if (!ffmpeg_ok || access(g_cfg.ffmpeg_path, X_OK) != 0)
        return TOVU_ERR_BUSY;
    if (!log_ok)
        return TOVU_ERR_LOG;

    // The load table has TOVU_MAX_CPUS rows: CPUs beyond it are not sampled.
    long nb = sysconf(_SC_NPROCESSORS_ONLN);
    g_cfg.nb_cpus = nb < 1 ? 1 : nb > TOVU_MAX_CPUS ? TOVU_MAX_CPUS : (int)nb;
    g_cfg.nb_cpu_per_channel = config->nb_cpu_per_channel;

    tovu_init_channels();
    if (!g_proc_channels)
        return TOVU_ERR_NOT_INIT;

    g_cfg.b_init = 1;
    g_cfg.log_level = config->log_level;
    return TOVU_OK;
}

int tovu_reset(const TOVU_CONFIG *config)
{
    static const TOVU_CONFIG no_config = {};
    if (!config)
        config = &no_config;

    TovuLock lock;
    if (!g_cfg.b_init)
        return tovu_init(config);

    g_cfg.log_level = config->log_level;
    // A path that does not fit its field is refused: the setting is left
    // off (empty) rather than pointing at a cut, wrong file.
    std::string path;
    if (!config->omx_path || !copy_path(config->omx_path, &path) || !set_field(g_cfg.omx_path, path))
        g_cfg.omx_path[0] = '\0';
    if (!config->ytdlp_path || !copy_path(config->ytdlp_path, &path) ||
        !set_field(g_cfg.ytdlp_path, path))
        g_cfg.ytdlp_path[0] = '\0';
    return TOVU_OK;
}

void tovu_set_cpu_affinity(int nb_cpu_per_channel)
{
    TovuLock lock;
    g_cfg.nb_cpu_per_channel = nb_cpu_per_channel;
}

void tovuSetAppCallback(TOVU_CALLBACK fnAppCallback)
{
    TovuLock lock;
    g_cfg.fnAppCallback = fnAppCallback;
}

void tovu_stop(int channel_id, int stop_mode)
{
    TovuLock lock;
    TOVU_CHAN_CTX *chan = tovu_slot_locked(channel_id);
    if (!chan || chan->state == TOVU_STATE_IDLE)
        return;
    int sig;
    const char *msg;
    if (stop_mode == 0) {
        sig = SIGINT;
        msg = "stop transcoding";
    } else if (stop_mode == 1) {
        sig = SIGKILL;
        msg = "stop transcoding forcedly";
    } else {
        return;
    }
    // an orderly stop asks the transcoder alone, which passes it on (a
    // second interrupt would cut short what it is still writing); a forced
    // one ends its whole group
    tovu_kill_proc(&chan->proc, sig);
    chan->state = TOVU_STATE_STOPPING;
    if (g_cfg.log_level)
        tovu_logf(channel_id, 1, "%s", msg);
}

TOVU_CHANNEL_STATE tovu_get_state(int channel_id)
{
    TovuLock lock;
    const TOVU_CHAN_CTX *chan = tovu_slot_locked(channel_id);
    return chan ? chan->state : TOVU_STATE_IDLE;
}

int tovu_get_stream_time(int channel_id)
{
    TovuLock lock;
    const TOVU_CHAN_CTX *chan = tovu_slot_locked(channel_id);
    return chan ? chan->streaming_time : -1;
}

int tovu_get_stream_fps(int channel_id)
{
    TovuLock lock;
    const TOVU_CHAN_CTX *chan = tovu_slot_locked(channel_id);
    return chan ? chan->fps : -1;
}

int tovu_get_stream_bitrate(int channel_id)
{
    TovuLock lock;
    const TOVU_CHAN_CTX *chan = tovu_slot_locked(channel_id);
    return chan ? chan->bitrate : -1;
}

int tovu_get_exit_code(int channel_id)
{
    TovuLock lock;
    const TOVU_CHAN_CTX *chan = tovu_slot_locked(channel_id);
    return chan ? chan->proc.exit_code : 0;
}

} // extern "C"
