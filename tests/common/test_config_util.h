// Shared bits of the configuration tests: a temporary folder, a clean
// document before and after each test, small document builders.
#ifndef TEST_CONFIG_UTIL_H
#define TEST_CONFIG_UTIL_H

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tovu_common.h"

namespace cfgtest {

struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/tovu_config_XXXXXX";
        if (mkdtemp(tmpl))
            path = tmpl;
    }
    ~TempDir()
    {
        if (!path.empty()) {
            std::string cmd = "rm -rf '" + path + "'";
            if (system(cmd.c_str()) != 0)
                fprintf(stderr, "could not remove %s\n", path.c_str());
        }
    }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

inline std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void writeFile(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline void dropConfig()
{
    TovuConfigLock lock;
    cJSON_Delete(g_jsonConfig);
    g_jsonConfig = nullptr;
}

inline std::string compact(const cJSON *item)
{
    if (!item)
        return "(absent)";
    char *p = cJSON_PrintUnformatted(item);
    std::string s = p ? p : "(unprintable)";
    cJSON_free(p);
    return s;
}

inline std::string printed(const cJSON *item)
{
    char *p = cJSON_Print(item);
    std::string s = p ? p : "";
    cJSON_free(p);
    return s;
}

// a channel that passes the check; memo tells channels apart
inline std::string channel(const std::string &memo)
{
    return R"({"memo":")" + memo +
           R"(","input":{"sources":[{"format":"udp","url":"udp://239.0.0.1:1234"}]},)"
           R"("output":{"targets":[{"format":"udp","url":"udp://239.0.0.2:1234",)"
           R"("video":{"codec":"h264"},"audio":{"codec":"aac"}}]}})";
}

inline cJSON *channels() { return jsonGetItem(g_jsonConfig, "channels"); }
inline cJSON *channelAt(int i) { return jsonGetIndex(channels(), i); }
inline cJSON *global() { return jsonGetItem(g_jsonConfig, "global"); }

// every test starts and ends without a document or configuration path
class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dropConfig();
        g_tszfnConfig[0] = '\0';
    }
    void TearDown() override
    {
        dropConfig();
        g_tszfnConfig[0] = '\0';
    }
};

// the names in a folder, sorted
inline std::vector<std::string> listFolder(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace cfgtest

#endif
