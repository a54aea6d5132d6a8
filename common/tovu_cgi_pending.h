/* TEMPORARY: declarations of functions other branches provide; removed before landing */
#ifndef TOVU_CGI_PENDING_H
#define TOVU_CGI_PENDING_H
#include <microhttpd.h>
#include <pthread.h>
#include "tovu.h"
int tovuPreviewChannel(int iChannel);
#endif
