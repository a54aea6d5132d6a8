// Codec tables and their lookups.
#include "tovu.h"
#include "tovu_engine_internal.h"

extern "C" {

// The short names used by the configuration, the web client and SDP files.
// Row order matters: lookups stop at the first match.
const TOVU_CODEC_NAME g_codec_names[46] = {
    {TOVU_AUDIO_G711U, "g711u"},     {TOVU_AUDIO_G711A, "g711a"},
    {TOVU_AUDIO_PCM16S, "pcm16s"},   {TOVU_AUDIO_PCM24S, "pcm24s"},
    {TOVU_AUDIO_PCM16U, "pcm16u"},   {TOVU_AUDIO_PCM24U, "pcm24u"},
    {TOVU_AUDIO_MP2, "mp2a"},        {TOVU_AUDIO_MP3, "mp3"},
    {TOVU_AUDIO_AAC, "aac"},         {TOVU_AUDIO_HEAAC, "heaac"},
    {TOVU_AUDIO_OPUS, "opus"},       {TOVU_AUDIO_AC3, "ac3"},
    {TOVU_AUDIO_EAC3, "eac3"},
    {TOVU_VIDEO_H261, "h261"},       {TOVU_VIDEO_H263, "h263"},
    {TOVU_VIDEO_H263P, "h263+"},     {TOVU_VIDEO_MP1V, "mp1v"},
    {TOVU_VIDEO_MP2V, "mp2v"},       {TOVU_VIDEO_MP4, "mp4v"},
    {TOVU_VIDEO_FLV, "flv"},         {TOVU_VIDEO_H264, "h264"},
    {TOVU_VIDEO_H265, "h265"},       {TOVU_VIDEO_NV264, "nv264"},
    {TOVU_VIDEO_NV265, "nv265"},     {TOVU_VIDEO_NVAV1, "nvav1"},
    {TOVU_VIDEO_QSV264, "qsv264"},   {TOVU_VIDEO_QSV265, "qsv265"},
    {TOVU_VIDEO_QSVVP9, "qsvvp9"},   {TOVU_VIDEO_QSVMP2V, "qsvmp2v"},
    {TOVU_VIDEO_QSVMP2V, "qsvmpg"},  {TOVU_VIDEO_QSVAV1, "qsvav1"},
    {TOVU_VIDEO_AMF264, "amf264"},   {TOVU_VIDEO_AMF265, "amf265"},
    {TOVU_VIDEO_AMFAV1, "amfav1"},   {TOVU_VIDEO_OMX264, "omx264"},
    {TOVU_VIDEO_OMX265, "omx265"},   {TOVU_VIDEO_NI264, "ni264"},
    {TOVU_VIDEO_NI265, "ni265"},     {TOVU_VIDEO_NIAV1, "niav1"},
    {TOVU_VIDEO_OMXMP2V, "omxmp2v"}, {TOVU_VIDEO_PRORES, "prores"},
    {TOVU_VIDEO_MJPEG, "mjpeg"},     {TOVU_VIDEO_VP8, "vp8"},
    {TOVU_VIDEO_VP9, "vp9"},         {TOVU_VIDEO_AV1, "av1"},
    {TOVU_CODEC_COPY, "copy"},
};

// The transcoder's encoder names, one row per id in increasing order.
const TOVU_CODEC_NAME g_encoder_names[45] = {
    {TOVU_AUDIO_G711U, "pcm_mulaw"},
    {TOVU_AUDIO_G711A, "pcm_alaw"},
    {TOVU_AUDIO_PCM16S, "pcm_s16le"},
    {TOVU_AUDIO_PCM24S, "pcm_s24le"},
    {TOVU_AUDIO_PCM16U, "pcm_u16le"},
    {TOVU_AUDIO_PCM24U, "pcm_u24le"},
    {TOVU_AUDIO_MP2, "mp2"},
    {TOVU_AUDIO_MP3, "libmp3lame"},
    {TOVU_AUDIO_AAC, "aac"},
    {TOVU_AUDIO_HEAAC, "libfdk_aac"},
    {TOVU_AUDIO_OPUS, "libopus"},
    {TOVU_AUDIO_AC3, "ac3"},
    {TOVU_AUDIO_EAC3, "eac3"},
    {TOVU_VIDEO_H261, "h261"},
    {TOVU_VIDEO_H263, "h263"},
    {TOVU_VIDEO_H263P, "h263p -flags +aic -umv 1 -aiv 1"},
    {TOVU_VIDEO_MP1V, "mpeg1video"},
    {TOVU_VIDEO_MP2V, "mpeg2video"},
    {TOVU_VIDEO_MP4, "mpeg4"},
    {TOVU_VIDEO_FLV, "flv"},
    {TOVU_VIDEO_H264, "libx264"},
    {TOVU_VIDEO_H265, "libx265"},
    {TOVU_VIDEO_NV264, "h264_nvenc"},
    {TOVU_VIDEO_NV265, "hevc_nvenc"},
    {TOVU_VIDEO_NVAV1, "av1_nvenc"},
    {TOVU_VIDEO_QSV264, "h264_qsv"},
    {TOVU_VIDEO_QSV265, "hevc_qsv"},
    {TOVU_VIDEO_QSVVP9, "vp9_qsv"},
    {TOVU_VIDEO_QSVMP2V, "mpeg2_qsv"},
    {TOVU_VIDEO_QSVAV1, "av1_qsv"},
    {TOVU_VIDEO_AMF264, "h264_amf"},
    {TOVU_VIDEO_AMF265, "hevc_amf"},
    {TOVU_VIDEO_AMFAV1, "av1_amf"},
    {TOVU_VIDEO_OMX264, "omx_enc_avc"},
    {TOVU_VIDEO_OMX265, "omx_enc_hevc"},
    {TOVU_VIDEO_OMXMP2V, "omx_enc_mp2v"},
    {TOVU_VIDEO_NI264, "h264_ni_quadra_enc"},
    {TOVU_VIDEO_NI265, "h265_ni_quadra_enc"},
    {TOVU_VIDEO_NIAV1, "av1_ni_quadra_enc"},
    {TOVU_VIDEO_PRORES, "prores_ks"},
    {TOVU_VIDEO_MJPEG, "mjpeg"},
    {TOVU_VIDEO_VP8, "libvpx"},
    {TOVU_VIDEO_VP9, "libvpx-vp9"},
    {TOVU_VIDEO_AV1, "libsvtav1"},
    {TOVU_CODEC_COPY, "copy"},
};

} // extern "C"

template <size_t N>
static const char *name_of(const TOVU_CODEC_NAME (&table)[N], TOVU_CODEC codec)
{
    for (const TOVU_CODEC_NAME &row : table)
        if (row.codec == codec)
            return row.name;
    return nullptr;
}

extern "C" {

TOVU_CODEC tovu_get_codec_id(const char *name)
{
    if (!name)
        return TOVU_CODEC_NULL;
    for (const TOVU_CODEC_NAME &row : g_codec_names)
        if (tovu_strcasecmp(row.name, name) == 0)
            return row.codec;
    return TOVU_CODEC_NULL;
}

const char *tovu_get_codec_name(TOVU_CODEC codec)
{
    return name_of(g_codec_names, codec);
}

const char *get_encoder_name(TOVU_CODEC codec)
{
    return name_of(g_encoder_names, codec);
}

int isCodecNV(TOVU_CODEC codec)
{
    return codec >= TOVU_VIDEO_NV264 && codec <= TOVU_VIDEO_NVAV1;
}

int isCodecQSV(TOVU_CODEC codec)
{
    return codec >= TOVU_VIDEO_QSV264 && codec <= TOVU_VIDEO_QSVAV1;
}

} // extern "C"
