/* TEMPORARY stand-in for a function another branch provides; removed before landing */
#include "tovu_cgi_pending.h"
int tovuPreviewChannel(int) { return 0; }
