/*
 * tovu_config_testing.h - the configuration's test hooks. Only tests link
 * the target that exports this header (tovuconfig_testing).
 */
#ifndef TOVU_CONFIG_TESTING_H
#define TOVU_CONFIG_TESTING_H

#include "tovu_tchar.h"

/* the display name read from the branding file in the given folder, kept
 * from the first call on (tovuAppName reads the program's folder) */
LPCTSTR _tovuAppNameFrom(const char *dir);

/* set by the start-up load when the configuration file holds no usable
 * document and could not be kept aside: a save with no document installed
 * then leaves that file alone rather than overwrite it. Tests clear it
 * between cases. */
extern BOOL g_bConfigFileUntouchable;

#endif /* TOVU_CONFIG_TESTING_H */
