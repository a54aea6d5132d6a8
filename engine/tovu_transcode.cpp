// Starting an engine slot: the checks, the yt-dlp extraction of a web video's
// media address, the argument string, the transcoder start and its
// standard-input handshake; and the start arguments kept while yt-dlp runs.
#include "tovu_engine_internal.h"

#include <errno.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace {

// How long a start waits for a killed yt-dlp process to be reaped.
constexpr std::chrono::milliseconds kAbandonWait{2000};

// Reads and drops whatever an earlier child of the slot left in the slot's
// pipes. Called only while no child runs on them. Unread input left in the
// standard-input pipe by a child that died before reading it would otherwise
// reach the next child ahead of its own argument line, and after enough
// restarts fill the pipe so that the handshake write blocks for good. Output
// left in the other pipe would be taken for the next child's output.
void drain_stale_bytes(TOVU_PROC_CTX *proc)
{
    char buf[4096];
    for (TOVU_PIPE fd : {proc->pipe_stdin[0], proc->pipe_stdout[0]}) {
        if (fd == 0)
            continue;
        // The stdin read end is blocking: read only what poll reports ready.
        for (int i = 0; i < 64; i++) {
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 0) != 1 || !(p.revents & POLLIN))
                break;
            if (read(fd, buf, sizeof buf) <= 0)
                break;
        }
    }
}

void pin_to_cpus(int channel_id, pid_t pid) TOVU_REQUIRES(g_engineMutex)
{
    int k = g_cfg.nb_cpu_per_channel;
    if (k <= 0 || g_cfg.nb_cpus <= 0 || pid <= 0)
        return;
    cpu_set_t mask;
    CPU_ZERO(&mask);
    long cpu_id = ((long)channel_id * k) % g_cfg.nb_cpus;
    for (long c = cpu_id; c < cpu_id + k; c++)
        if (c < CPU_SETSIZE)
            CPU_SET((int)c, &mask);
    sched_setaffinity(pid, sizeof mask, &mask);
}

// A start that finds the slot extracting while yt-dlp still runs comes from
// outside the poll (the poll continues only after yt-dlp has ended): that
// extraction is abandoned, so that its process is not left unreaped on the
// slot's pipes and its kept arguments do not outlive it. The wait for the
// killed process is bounded by the clock, not by a count of naps: on a busy
// machine a killed child can take some hundreds of milliseconds to be
// scheduled and end, and one given up on early stays a zombie for good.
void abandon_extraction(TOVU_CHAN_CTX *chan)
{
    if (chan->proc.pid > 0) {
        tovu_kill_proc(&chan->proc, SIGKILL);
        const auto deadline = std::chrono::steady_clock::now() + kAbandonWait;
        while (tovu_poll_proc(&chan->proc) != 0 && std::chrono::steady_clock::now() < deadline)
            usleep(1000);
        if (chan->proc.pid > 0)
            tovu_record_ended(chan->proc.pid);   // killed with its group: nothing of it to end later
        chan->proc.pid = 0;
    }
    _tovu_free_param(chan);
}

// "yt-dlp" in the transcoder's folder
std::string ytdlp_fname()
{
    std::string dir = g_cfg.ffmpeg_path;
    std::string::size_type slash = dir.rfind('/');
    dir.resize(slash == std::string::npos ? 0 : slash);
    return dir + "/yt-dlp";
}

int start_extraction(int channel_id, TOVU_CHAN_CTX *chan, const TOVU_SOURCE *sources, int nb_sources,
                     const TOVU_TARGET *const *targets, int nb_targets, int mux_mode, int b_preview)
{
    std::string exe = ytdlp_fname();
    const char *url = sources[0].url ? sources[0].url : "";
    char *const args[] = {const_cast<char *>("yt-dlp"), const_cast<char *>("-q"),
                          const_cast<char *>("--no-warnings"), const_cast<char *>("-g"),
                          const_cast<char *>("--cookies"), g_cfg.ytdlp_path,
                          const_cast<char *>(url), nullptr};

    tovu_logf(channel_id, 1, "extract %s using yt-dlp...", url);
    drain_stale_bytes(&chan->proc);
    int ret = tovu_start_proc(&chan->proc, exe.c_str(), args);
    if (ret < 0) {
        int err = errno;
        if (chan->proc.pid < 0)
            chan->proc.pid = 0;
        return tovu_log_error(channel_id, "yt-dlp error", ret, "yt-dlp %s could not be started: %s",
                              exe.c_str(), strerror(err));
    }
    // the poll learns of it too, from the exit status
    if (chan->proc.exec_errno)
        tovu_logf(channel_id, 1, "yt-dlp %s could not be started: %s", exe.c_str(),
                  strerror(chan->proc.exec_errno));
    chan->state = TOVU_STATE_EXTRACT;
    _tovu_copy_param(chan, sources, nb_sources, targets, nb_targets, mux_mode, b_preview);
    return TOVU_OK;
}

// What failed, for the line that follows a start's "error %d".
const char *start_error_text(int code)
{
    switch (code) {
    case TOVU_ERR_RTP_INPUT: return "an RTP input's SDP file could not be written";
    case TOVU_ERR_NO_SOURCE_URL: return "a source has no address";
    case TOVU_ERR_NO_TARGET_URL: return "a target has no address";
    case TOVU_ERR_NO_ENCODER: return "a target's codec has no encoder";
    case TOVU_ERR_BAD_TARGET_FORMAT: return "a target's format cannot be written";
    case TOVU_ERR_ARGS_TOO_LONG: return "the argument string is too long";
    case TOVU_ERR_LINE_BREAK: return "a text holds a line break, or a double quote where it is quoted";
    case TOVU_ERR_TEXT_TOO_LONG: return "a text is too long for its field";
    default: return "unknown fault";
    }
}

// Copies a text for the kept start arguments; false when memory ran out.
bool dup_text(char **text)
{
    if (!*text)
        return true;
    *text = _strallocpy(*text);
    return *text != nullptr;
}

} // namespace

extern "C" {

int tovu_transcode(int channel_id, const TOVU_SOURCE *sources, int nb_sources,
                   const TOVU_TARGET *const *targets, int nb_targets, int mux_mode, int b_preview)
{
    // Held from the busy test to the end, so two starts of one slot from
    // different threads cannot both pass it.
    TovuLock lock;
    if (!g_cfg.b_init)
        return TOVU_ERR_NOT_INIT;
    TOVU_CHAN_CTX *chan = tovu_slot_locked(channel_id);
    if (!chan)
        return tovu_log_error(channel_id, "error", TOVU_ERR_INVALID_SLOT,
                              "start refused: slot %d is not one of the engine's %d slots",
                              channel_id, g_cfg.nb_channels_max);
    if (chan->state > TOVU_STATE_EXTRACT)
        return tovu_log_error(channel_id, "error", TOVU_ERR_BUSY,
                              "start refused: slot %d is busy (state %d)", channel_id,
                              (int)chan->state);
    // The first source is always inspected; without one there is nothing to run.
    if (!sources || nb_sources < 1)
        return tovu_log_error(channel_id, "error", TOVU_ERR_NO_SOURCE_URL,
                              "start refused: slot %d was given no source", channel_id);
    if (nb_targets < 0 || (nb_targets > 0 && !targets))
        nb_targets = 0;
    if (chan->state == TOVU_STATE_EXTRACT && chan->proc.pid > 0)
        abandon_extraction(chan);

    // refused before anything runs, yt-dlp included
    if (tovu_records_have_line_break(sources, nb_sources, targets, nb_targets, mux_mode))
        return tovu_log_error(channel_id, "error", TOVU_ERR_LINE_BREAK, "start refused: %s",
                              start_error_text(TOVU_ERR_LINE_BREAK));

    if (sources[0].format == TOVU_FORMAT_YTDLP && g_cfg.ytdlp_path[0] &&
        chan->state != TOVU_STATE_EXTRACT)
        return start_extraction(channel_id, chan, sources, nb_sources, targets, nb_targets,
                                mux_mode, b_preview);

    // The whole string, its "-v" prefix included while logging is on.
    std::string arg_str;
    int ret = tovu_compose_args(channel_id, sources, nb_sources, targets, nb_targets, mux_mode,
                                &arg_str);
    if (ret < 0)
        return tovu_log_error(channel_id, "error", ret,
                              "the transcoder's argument string could not be composed: %s",
                              start_error_text(ret));

    if (g_cfg.log_level && tovu_log(channel_id, 1, arg_str.c_str()) == -1) {
        int err = errno;
        return tovu_log_error(channel_id, "error", TOVU_ERR_LOG,
                              "channel log in %s could not be written: %s", g_cfg.log_path,
                              strerror(err));
    }

    drain_stale_bytes(&chan->proc);
    ret = tovu_start_proc(&chan->proc, g_cfg.ffmpeg_path, nullptr);
    if (ret < 0) {
        int err = errno;
        // A failed fork leaves -1 in pid; the slot stays idle with no child.
        if (chan->proc.pid < 0)
            chan->proc.pid = 0;
        return tovu_log_error(channel_id, "error", ret, "transcoder %s could not be started: %s",
                              g_cfg.ffmpeg_path, strerror(err));
    }
    // the poll learns of it too, from the exit status
    if (chan->proc.exec_errno)
        tovu_logf(channel_id, 1, "transcoder %s could not be started: %s", g_cfg.ffmpeg_path,
                  strerror(chan->proc.exec_errno));

    chan->state = b_preview ? TOVU_STATE_PREVIEW : TOVU_STATE_RUNNING;
    chan->streaming_time = -1;
    chan->fps = -1;
    chan->bitrate = -1;
    chan->tm_alive = 0;

    pipe_write_str(chan->proc.pipe_stdin[1], TOVU_HANDSHAKE_TOKEN);
    pipe_write_str(chan->proc.pipe_stdin[1], arg_str.c_str());
    pipe_write_str(chan->proc.pipe_stdin[1], "\n");

    pin_to_cpus(channel_id, chan->proc.pid);
    return TOVU_OK;
}

int tovu_transcode2(int channel_id, const TOVU_SOURCE *source, const TOVU_TARGET *target, int b_preview)
{
    const TOVU_TARGET *const targets[1] = {target};
    return tovu_transcode(channel_id, source, 1, targets, target ? 1 : 0, 0, b_preview);
}

char *_strallocpy(const char *src)
{
    if (!src)
        return nullptr;
    size_t len = strlen(src) + 1;
    char *copy = static_cast<char *>(malloc(len));
    if (copy)
        memcpy(copy, src, len);
    return copy;
}

void _tovu_copy_param(TOVU_CHAN_CTX *chan, const TOVU_SOURCE *sources, int nb_sources,
                      const TOVU_TARGET *const *targets, int nb_targets, int mux_mode, int b_preview)
{
    _tovu_free_param(chan);
    if (nb_sources < 0)
        nb_sources = 0;
    if (nb_targets < 0 || !targets)
        nb_targets = 0;

    TOVU_CHAN_PARAM *param = static_cast<TOVU_CHAN_PARAM *>(calloc(1, sizeof(TOVU_CHAN_PARAM)));
    if (!param)
        return;
    chan->param = param;
    param->mux_mode = mux_mode;
    param->b_preview = b_preview;

    // Every count below covers only what was filled, so that a release after
    // running out of memory half-way frees exactly what was made.
    auto fail = [chan] { _tovu_free_param(chan); };

    if (nb_sources > 0) {
        param->sources = static_cast<TOVU_SOURCE *>(calloc(nb_sources, sizeof(TOVU_SOURCE)));
        if (!param->sources)
            return fail();
    }
    for (int i = 0; i < nb_sources; i++) {
        TOVU_SOURCE &s = param->sources[i];
        s = sources[i];
        // the source's own texts become null until copied
        char **filters = s.filters;
        int nb_filters = s.nb_filters;
        s.filters = nullptr;
        s.nb_filters = 0;
        char *texts[] = {s.video.param, s.audio.param, s.alt_url, s.param, s.map};
        s.video.param = s.audio.param = s.alt_url = s.param = s.map = nullptr;
        char *url = s.url;
        if (i > 0)
            s.url = nullptr;
        param->nb_sources = i + 1;

        char **slots[] = {&s.video.param, &s.audio.param, &s.alt_url, &s.param, &s.map};
        for (size_t k = 0; k < sizeof slots / sizeof slots[0]; k++) {
            *slots[k] = texts[k];
            if (!dup_text(slots[k]))
                return fail();
        }
        if (i > 0) {
            s.url = url;
            if (!dup_text(&s.url))
                return fail();
        }
        if (filters && nb_filters > 0) {
            s.filters = static_cast<char **>(calloc(nb_filters, sizeof(char *)));
            if (!s.filters)
                return fail();
            for (int f = 0; f < nb_filters; f++) {
                s.filters[f] = filters[f];
                s.nb_filters = f + 1;
                if (!dup_text(&s.filters[f]))
                    return fail();
            }
        }
    }

    if (nb_targets > 0) {
        param->targets = static_cast<TOVU_TARGET **>(calloc(nb_targets, sizeof(TOVU_TARGET *)));
        if (!param->targets)
            return fail();
    }
    param->nb_targets = nb_targets;
    for (int j = 0; j < nb_targets; j++) {
        if (nb_sources == 0 || !targets[j])
            continue;
        param->targets[j] = static_cast<TOVU_TARGET *>(calloc(nb_sources, sizeof(TOVU_TARGET)));
        if (!param->targets[j])
            return fail();
        for (int i = 0; i < nb_sources; i++) {
            TOVU_TARGET &t = param->targets[j][i];
            t = targets[j][i];
            char *texts[] = {t.video.param, t.audio.param, t.url, t.param};
            t.video.param = t.audio.param = t.url = t.param = nullptr;
            char **slots[] = {&t.video.param, &t.audio.param, &t.url, &t.param};
            for (size_t k = 0; k < sizeof slots / sizeof slots[0]; k++) {
                *slots[k] = texts[k];
                if (!dup_text(slots[k])) {
                    // the texts after this one still point at the caller's
                    for (size_t r = k; r < sizeof slots / sizeof slots[0]; r++)
                        *slots[r] = nullptr;
                    return fail();
                }
            }
        }
    }
}

void _tovu_free_param(TOVU_CHAN_CTX *chan)
{
    TOVU_CHAN_PARAM *param = chan ? chan->param : nullptr;
    if (!param)
        return;
    for (int i = 0; i < param->nb_sources; i++) {
        TOVU_SOURCE &s = param->sources[i];
        free(s.video.param);
        free(s.audio.param);
        free(s.alt_url);
        free(s.param);
        free(s.map);
        for (int f = 0; f < s.nb_filters; f++)
            free(s.filters[f]);
        free(s.filters);
        if (i > 0)
            free(s.url);
    }
    free(param->sources);
    for (int j = 0; j < param->nb_targets; j++) {
        if (!param->targets[j])
            continue;
        for (int i = 0; i < param->nb_sources; i++) {
            TOVU_TARGET &t = param->targets[j][i];
            free(t.video.param);
            free(t.audio.param);
            free(t.url);
            free(t.param);
        }
        free(param->targets[j]);
    }
    free(param->targets);
    free(param);
    chan->param = nullptr;
}

} // extern "C"
