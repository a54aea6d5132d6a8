#include <gtest/gtest.h>

#include <set>
#include <string>

#include "tovu.h"

TEST(CodecTables, NameLookup)
{
    struct Case { const char *name; int id; };
    const Case cases[] = {
        {"h264", 135}, {"H264", 135}, {"h264 ", 255}, {"qsvmpg", 143}, {"QSVMP2V", 143},
        {"copy", 224}, {"h263+", 130}, {"omxmp2v", 150}, {"g711u", 0}, {"", 255}, {"null", 255},
    };
    for (const Case &c : cases)
        EXPECT_EQ(tovu_get_codec_id(c.name), c.id) << c.name;
    EXPECT_EQ(tovu_get_codec_id(nullptr), TOVU_CODEC_NULL);
}

TEST(CodecTables, IdLookups)
{
    EXPECT_STREQ(tovu_get_codec_name(TOVU_VIDEO_QSVMP2V), "qsvmp2v");
    EXPECT_STREQ(get_encoder_name(TOVU_VIDEO_QSVMP2V), "mpeg2_qsv");
    EXPECT_STREQ(get_encoder_name(TOVU_CODEC_COPY), "copy");
    EXPECT_STREQ(get_encoder_name(TOVU_VIDEO_H263P), "h263p -flags +aic -umv 1 -aiv 1");
    EXPECT_STREQ(get_encoder_name(TOVU_AUDIO_HEAAC), "libfdk_aac");
    for (int id : {255, 13, 127, 159}) {
        EXPECT_EQ(tovu_get_codec_name((TOVU_CODEC)id), nullptr) << id;
        EXPECT_EQ(get_encoder_name((TOVU_CODEC)id), nullptr) << id;
    }
}

TEST(CodecTables, ShapeOfTables)
{
    // every id of the short-name table has exactly one encoder row, and the
    // encoder table is in increasing id order
    std::set<int> ids;
    for (const TOVU_CODEC_NAME &row : g_codec_names)
        ids.insert(row.codec);
    EXPECT_EQ(ids.size(), 45u);
    for (size_t i = 1; i < 45; i++)
        EXPECT_LT(g_encoder_names[i - 1].codec, g_encoder_names[i].codec);
    for (const TOVU_CODEC_NAME &row : g_encoder_names)
        EXPECT_TRUE(ids.count(row.codec)) << row.name;
    // the alias row follows its codec's main row; omxmp2v stands after the ni rows
    EXPECT_STREQ(g_codec_names[28].name, "qsvmp2v");
    EXPECT_STREQ(g_codec_names[29].name, "qsvmpg");
    EXPECT_STREQ(g_codec_names[39].name, "omxmp2v");
    EXPECT_STREQ(g_codec_names[45].name, "copy");
}

TEST(CodecTables, VendorClasses)
{
    for (int id = 0; id < 256; id++) {
        EXPECT_EQ(isCodecNV((TOVU_CODEC)id), id >= 137 && id <= 139) << id;
        EXPECT_EQ(isCodecQSV((TOVU_CODEC)id), id >= 140 && id <= 144) << id;
    }
}
