/*
 * tovu.h - public interface of the transcoding engine.
 *
 * The engine turns a channel described as source and target records into the
 * argument string of one external transcoder process per engine slot, runs
 * and supervises that process and keeps one log file per slot.
 *
 * Records are plain C structures; texts in the source and target records are
 * owned by the caller and read only during the call that receives them.
 */
#ifndef TOVU_H
#define TOVU_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------- codecs */

typedef enum TOVU_CODEC {
    TOVU_AUDIO_G711U = 0,
    TOVU_AUDIO_G711A = 1,
    TOVU_AUDIO_PCM16S = 2,
    TOVU_AUDIO_PCM24S = 3,
    TOVU_AUDIO_PCM16U = 4,
    TOVU_AUDIO_PCM24U = 5,
    TOVU_AUDIO_MP2 = 6,
    TOVU_AUDIO_MP3 = 7,
    TOVU_AUDIO_AAC = 8,
    TOVU_AUDIO_HEAAC = 9,
    TOVU_AUDIO_OPUS = 10,
    TOVU_AUDIO_AC3 = 11,
    TOVU_AUDIO_EAC3 = 12,

    TOVU_VIDEO_H261 = 128,
    TOVU_VIDEO_H263 = 129,
    TOVU_VIDEO_H263P = 130,
    TOVU_VIDEO_MP1V = 131,
    TOVU_VIDEO_MP2V = 132,
    TOVU_VIDEO_MP4 = 133,
    TOVU_VIDEO_FLV = 134,
    TOVU_VIDEO_H264 = 135,
    TOVU_VIDEO_H265 = 136,
    TOVU_VIDEO_NV264 = 137,
    TOVU_VIDEO_NV265 = 138,
    TOVU_VIDEO_NVAV1 = 139,
    TOVU_VIDEO_QSV264 = 140,
    TOVU_VIDEO_QSV265 = 141,
    TOVU_VIDEO_QSVVP9 = 142,
    TOVU_VIDEO_QSVMP2V = 143,
    TOVU_VIDEO_QSVAV1 = 144,
    TOVU_VIDEO_AMF264 = 145,
    TOVU_VIDEO_AMF265 = 146,
    TOVU_VIDEO_AMFAV1 = 147,
    TOVU_VIDEO_OMX264 = 148,
    TOVU_VIDEO_OMX265 = 149,
    TOVU_VIDEO_OMXMP2V = 150,
    TOVU_VIDEO_NI264 = 151,
    TOVU_VIDEO_NI265 = 152,
    TOVU_VIDEO_NIAV1 = 153,
    TOVU_VIDEO_PRORES = 154,
    TOVU_VIDEO_MJPEG = 155,
    TOVU_VIDEO_VP8 = 156,
    TOVU_VIDEO_VP9 = 157,
    TOVU_VIDEO_AV1 = 158,

    TOVU_CODEC_COPY = 224,
    TOVU_CODEC_NULL = 255
} TOVU_CODEC;

/* ---------------------------------------------------------------- formats */

typedef enum TOVU_FORMAT {
    TOVU_FORMAT_GENERAL = 0,   /* a file, or a URL handed over as it is */
    TOVU_FORMAT_RTMP = 1,
    TOVU_FORMAT_UDP = 2,       /* MPEG-TS over UDP */
    TOVU_FORMAT_HTTP = 3,      /* MPEG-TS over HTTP */
    TOVU_FORMAT_YTDLP = 4,     /* input only: address resolved by yt-dlp */
    TOVU_FORMAT_HTML5 = 5,     /* output only: fragmented MP4 over HTTP */
    TOVU_FORMAT_RTPTS = 6,
    TOVU_FORMAT_OMXTS = 7,
    TOVU_FORMAT_SRT = 8,
    TOVU_FORMAT_HLS = 9,
    TOVU_FORMAT_DASH = 10,
    TOVU_FORMAT_DEVICE = 11,   /* input only: video capture device */
    TOVU_FORMAT_RTP = 12,      /* native RTP described by an SDP file */
    TOVU_FORMAT_RTSP = 13,
    TOVU_FORMAT_DECKLINK = 14,
    TOVU_FORMAT_NDI = 15,
    TOVU_FORMAT_HTTP_MJPEG = 16, /* output only */
    TOVU_FORMAT_NULL = 255
} TOVU_FORMAT;

/* 1 when the argument string puts the address of a source, or of a target,
 * of this format between double quotes (so that address may hold none), else 0 */
int tovu_source_url_quoted(TOVU_FORMAT format);
int tovu_target_url_quoted(TOVU_FORMAT format);

/* interlacing of a video stream */
enum {
    TOVU_INTERLACE_NONE = 0,
    TOVU_INTERLACE_DEINT = 1,
    TOVU_INTERLACE_TOP_FIRST = 2,
    TOVU_INTERLACE_BOTTOM_FIRST = 3
};

typedef enum GLOBAL_HEADER_TYPE {
    IN_BAND = 0,
    OUT_OF_BAND = 1
} GLOBAL_HEADER_TYPE;

/* ---------------------------------------------------------------- records */

typedef struct TOVU_RTP_SESSION {
    unsigned long ulSrcIP;       /* IPv4, network byte order in the low 32 bits; 0 = none */
    uint16_t usSrcPort;          /* host byte order; 0 = none */
    unsigned long ulDstIP;
    uint16_t usDstPort;
    GLOBAL_HEADER_TYPE globalHeader;
    char szFmtp[1000];           /* SDP format parameters; empty = none */
} TOVU_RTP_SESSION;

typedef struct TOVU_VIDEO_STREAM {
    int b_enable;
    TOVU_CODEC codec;
    int width, height;           /* 0 = keep */
    float fps;                   /* 0 = keep */
    int key_frame_intv;          /* frames; 0 = not set */
    int quality;                 /* 0 = unset */
    int kbps;                    /* 0 = unset */
    int interlacing;             /* TOVU_INTERLACE_* */
    char *param;                 /* further options, or null */
    TOVU_RTP_SESSION rtp;
} TOVU_VIDEO_STREAM;

typedef struct TOVU_AUDIO_STREAM {
    int b_enable;
    TOVU_CODEC codec;
    int nb_channels;             /* 0 = keep */
    int sample_rate;             /* Hz; 0 = keep */
    int kbps;                    /* 0 = unset */
    char *param;
    TOVU_RTP_SESSION rtp;
} TOVU_AUDIO_STREAM;

typedef struct TOVU_SOURCE {
    TOVU_FORMAT format;
    TOVU_VIDEO_STREAM video;
    TOVU_AUDIO_STREAM audio;
    char *url;
    char *alt_url;               /* "default", a file or URL; empty = none */
    char *param;                 /* input options written before "-i" */
    int nb_filters;
    char **filters;              /* nb_filters video filters */
    char *map;                   /* stream selection options; empty = none */
} TOVU_SOURCE;

typedef struct TOVU_TARGET {
    TOVU_FORMAT format;
    TOVU_VIDEO_STREAM video;
    TOVU_AUDIO_STREAM audio;
    int mux_kbps;                /* 0 = none */
    char *url;
    char *param;                 /* output options */
} TOVU_TARGET;

/* called with the slot number (as the pointer) and one chunk of transcoder output */
typedef void (*TOVU_CALLBACK)(void *, const char *);

/* one row of the codec tables */
typedef struct TOVU_CODEC_NAME {
    TOVU_CODEC codec;
    const char *name;
} TOVU_CODEC_NAME;

extern const TOVU_CODEC_NAME g_codec_names[46];
extern const TOVU_CODEC_NAME g_encoder_names[45];

TOVU_CODEC tovu_get_codec_id(const char *name);
const char *tovu_get_codec_name(TOVU_CODEC codec);
const char *get_encoder_name(TOVU_CODEC codec);
int isCodecNV(TOVU_CODEC codec);
int isCodecQSV(TOVU_CODEC codec);

/* ---------------------------------------------------------------- engine settings and state */

typedef struct TOVU_CONFIG {
    int nb_cpu_per_channel;      /* 0 = no CPU pinning */
    int log_level;               /* 0 = no channel logs */
    const char *dll_path;        /* transcoder folder; null = program folder */
    const char *log_path;        /* channel log folder; null = program folder */
    const char *omx_path;        /* core file of the OMX encoder plug-in */
    const char *ytdlp_path;      /* yt-dlp cookies file; yt-dlp runs only while set */
} TOVU_CONFIG;

typedef enum TOVU_CHANNEL_STATE {
    TOVU_STATE_IDLE = 0,
    TOVU_STATE_EXTRACT = 1,
    TOVU_STATE_RUNNING = 2,
    TOVU_STATE_PREVIEW = 3,
    TOVU_STATE_NOSIGNAL = 4,
    TOVU_STATE_STOPPING = 5
} TOVU_CHANNEL_STATE;

/* engine error codes (-4 and -11 are not used) */
enum {
    TOVU_OK = 0,
    TOVU_ERR_NOT_INIT = -1,
    TOVU_ERR_INVALID_SLOT = -2,
    TOVU_ERR_BUSY = -3,           /* also from tovu_init: transcoder not executable */
    TOVU_ERR_PIPE = -5,
    TOVU_ERR_RTP_INPUT = -6,
    TOVU_ERR_NO_SOURCE_URL = -7,
    TOVU_ERR_NO_TARGET_URL = -8,
    TOVU_ERR_NO_ENCODER = -9,
    TOVU_ERR_BAD_TARGET_FORMAT = -10,
    TOVU_ERR_LOG = -12,
    TOVU_ERR_FORK = -13,
    TOVU_ERR_ARGS_TOO_LONG = -14, /* argument string longer than TOVU_ARG_STR_MAX */
    TOVU_ERR_LINE_BREAK = -15,    /* a text holds a line feed or carriage return, which would
                                     cut the one-line hand-over to the transcoder, or a text
                                     that goes between double quotes holds a double quote */
    TOVU_ERR_TEXT_TOO_LONG = -16  /* a configured text does not fit the field it is read into */
};

/* ---------------------------------------------------------------- engine operations */

int tovu_init(const TOVU_CONFIG *config);
int tovu_reset(const TOVU_CONFIG *config);
void tovu_set_cpu_affinity(int nb_cpu_per_channel);
void tovuSetAppCallback(TOVU_CALLBACK fnAppCallback);

int tovu_transcode(int channel_id, const TOVU_SOURCE *sources, int nb_sources,
                   const TOVU_TARGET *const *targets, int nb_targets,
                   int mux_mode, int b_preview);
int tovu_transcode2(int channel_id, const TOVU_SOURCE *source,
                    const TOVU_TARGET *target, int b_preview);
void tovu_stop(int channel_id, int stop_mode);   /* 0: interrupt, 1: kill */
int tovu_poll(void);
void tovu_free(void);

TOVU_CHANNEL_STATE tovu_get_state(int channel_id);
int tovu_get_stream_time(int channel_id);
int tovu_get_stream_fps(int channel_id);
int tovu_get_stream_bitrate(int channel_id);
int tovu_get_exit_code(int channel_id);

const char *tovu_get_version(void);

/* ---------------------------------------------------------------- SDP files */

int tovuExportSdp(const char *szfnSdp, const TOVU_VIDEO_STREAM *pVideo,
                  const TOVU_AUDIO_STREAM *pAudio, int iSrc);
int tovuImportSdp(const char *szfnSdp, TOVU_VIDEO_STREAM *pVideo,
                  TOVU_AUDIO_STREAM *pAudio, int iDst);

#ifdef __cplusplus
}
#endif

#endif /* TOVU_H */
