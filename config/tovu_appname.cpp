// The product's display name.
#include "tovu_helpers.h"
#include "tovu_base.h"
#include "tovu_config_testing.h"

#include <stdio.h>

static const char kDefaultAppName[] = TOVU_PRODUCT_NAME;

static TCHAR tszAppName[100];

LPCTSTR _tovuAppNameFrom(const char *dir)
{
    if (tszAppName[0])
        return tszAppName;
    char path[200];
    int n = snprintf(path, sizeof path, "%s%stovuoem.txt", dir, "/");
    if (n > 0 && (size_t)n < sizeof path) {
        if (FILE *fp = fopen(path, "re")) {
            if (!fgets(tszAppName, 99, fp))
                tszAppName[0] = '\0';
            fclose(fp);
        }
    }
    if (!tszAppName[0])
        snprintf(tszAppName, sizeof tszAppName, "%s", kDefaultAppName);
    return tszAppName;
}

LPCTSTR tovuAppName(void)
{
    return _tovuAppNameFrom(tovu_get_prog_dir());
}
