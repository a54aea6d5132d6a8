// The shape of the configuration document: where "global", the channels
// and their parts are found, and how a member is set in place.
#include "tovu_document.h"
#include "tovu_helpers.h"

/* ---------------------------------------------------------------- any document */

cJSON *tovuDocGlobal(const cJSON *doc)
{
    return jsonGetItem(doc, "global");
}

cJSON *tovuDocGlobalItem(const cJSON *doc, const char *key)
{
    return jsonGetItem(tovuDocGlobal(doc), key);
}

int tovuDocChannelCount(const cJSON *doc)
{
    return jsonGetListSize(jsonGetItem(doc, "channels"));
}

cJSON *tovuDocChannel(const cJSON *doc, int iChannel)
{
    if (iChannel < 0)
        return nullptr;
    return jsonGetIndex(jsonGetItem(doc, "channels"), iChannel);
}

/* ---------------------------------------------------------------- the installed document */

int tovuDocHttpPort(const cJSON *doc)
{
    int port = jsonGetInt(tovuDocGlobalItem(doc, "httpPort"));
    return port != 0 ? port : TOVU_DEFAULT_HTTP_PORT;
}

int tovuHttpPort(void)
{
    return tovuDocHttpPort(g_jsonConfig);
}

cJSON *tovuGlobal(void)
{
    return tovuDocGlobal(g_jsonConfig);
}

cJSON *tovuGlobalItem(const char *key)
{
    return tovuDocGlobalItem(g_jsonConfig, key);
}

int tovuChannelCount(void)
{
    return tovuDocChannelCount(g_jsonConfig);
}

cJSON *tovuChannelItem(int iChannel)
{
    return tovuDocChannel(g_jsonConfig, iChannel);
}

cJSON *tovuChannelInput(int iChannel)
{
    return jsonGetItem(tovuChannelItem(iChannel), "input");
}

cJSON *tovuChannelOutput(int iChannel)
{
    return jsonGetItem(tovuChannelItem(iChannel), "output");
}

cJSON *tovuChannelFirstSource(int iChannel)
{
    return jsonGetIndex(jsonGetItem(tovuChannelInput(iChannel), "sources"), 0);
}

bool tovuChannelEnabled(int iChannel)
{
    return jsonGetBool(jsonGetItem(tovuChannelItem(iChannel), "enable"));
}

bool tovuChannelTimeShift(int iChannel)
{
    return jsonGetInt(jsonGetItem(tovuChannelOutput(iChannel), "timeShift")) != 0;
}

bool tovuIsFolderUrl(const char *url)
{
    return url && url[0] && isDirectory(url);
}

bool tovuIsFolderSource(int iChannel)
{
    return tovuIsFolderUrl(jsonGetText(jsonGetItem(tovuChannelFirstSource(iChannel), "url")));
}

/* ---------------------------------------------------------------- writes */

bool tovuSetMember(cJSON *object, const char *key, cJSON *value)
{
    if (!value)
        return false;
    cJSON *member = object && key ? jsonGetItem(object, key) : nullptr;
    if (!member) {
        if (cJSON_IsObject(object) && key && cJSON_AddItemToObject(object, key, value))
            return true;
        cJSON_Delete(value);
        return false;
    }
    // the new value takes over the member's own name, spelled as it was
    if (!(value->type & cJSON_StringIsConst))
        cJSON_free(value->string);
    value->string = member->string;
    value->type = (value->type & ~cJSON_StringIsConst) | (member->type & cJSON_StringIsConst);
    member->string = nullptr;
    member->type &= ~cJSON_StringIsConst;
    cJSON_ReplaceItemViaPointer(object, member, value);
    return true;
}

bool tovuSetMemberBool(cJSON *object, const char *key, bool on)
{
    return tovuSetMember(object, key, cJSON_CreateBool(on));
}

bool tovuSetMemberNumber(cJSON *object, const char *key, double value)
{
    return tovuSetMember(object, key, cJSON_CreateNumber(value));
}

void tovuFreeConfig(void)
{
    // no reader holds the old tree once the swap has the lock
    cJSON_Delete(tovuSwapConfig(nullptr));
}
