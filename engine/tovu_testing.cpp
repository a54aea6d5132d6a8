// The engine's test hooks (testing/tovu_testing.h).
#include <string.h>

#include "tovu_engine_internal.h"

int _tovu_set_slot(int slot, TOVU_CHANNEL_STATE state, int streaming_time, int fps, int bitrate)
{
    TovuLock lock;
    TOVU_CHAN_CTX *c = tovu_slot_locked(slot);
    if (!c)
        return -1;
    c->state = state;
    c->streaming_time = streaming_time;
    c->fps = fps;
    c->bitrate = bitrate;
    return 0;
}

void _tovu_idle_slots(void)
{
    TovuLock lock;
    for (int i = 0; TOVU_CHAN_CTX *c = tovu_slot_locked(i); i++)
        if (!c->proc.pid)
            c->state = TOVU_STATE_IDLE;
}

void _tovu_set_load_figures(const TOVU_LOAD_FIGURES *figures)
{
    TovuLock lock;
    int n = figures->nb_cpus;
    g_cfg.nb_cpus = n < 0 ? 0 : n > TOVU_MAX_CPUS ? TOVU_MAX_CPUS : n;
    for (int k = 0; k < g_cfg.nb_cpus; k++)
        g_cfg.cpu_usage[k].load_pct = figures->cpu[k];
    g_cfg.nb_gpus = figures->nb_gpus;
    g_cfg.gpu_usage.load_pct = figures->gpu;
}

void _tovu_get_settings(TOVU_TEST_SETTINGS *settings)
{
    TovuLock lock;
    settings->log_level = g_cfg.log_level;
    snprintf(settings->omx_path, sizeof settings->omx_path, "%s", g_cfg.omx_path);
    snprintf(settings->ytdlp_path, sizeof settings->ytdlp_path, "%s", g_cfg.ytdlp_path);
}

int _tovu_compose_args(int channel_id, const TOVU_SOURCE *sources, int nb_sources,
                       const TOVU_TARGET *const *targets, int nb_targets, int mux_mode,
                       std::string *arg_str)
{
    TovuLock lock;
    return tovu_compose_args(channel_id, sources, nb_sources, targets, nb_targets, mux_mode,
                             arg_str);
}
