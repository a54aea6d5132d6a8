/* TEMPORARY stand-ins for functions other branches provide; removed before landing */
#include "tovu_cgi.h"
#include "tovu_cgi_pending.h"
#include <string.h>
static int answer(struct MHD_Connection *c, unsigned st, const char *body, const char *type)
{
    struct MHD_Response *r = MHD_create_response_from_buffer(strlen(body), (void *)body, MHD_RESPMEM_PERSISTENT);
    if (!r) return MHD_NO;
    if (type) MHD_add_response_header(r, "Content-Type", type);
    int q = MHD_queue_response(c, st, r);
    MHD_destroy_response(r);
    return q;
}
int tovuCGIDecklinkConfig(struct MHD_Connection *c, const char *) { return answer(c, 200, "{}", "application/json"); }
int tovuCGINDIConfig(const char *, struct MHD_Connection *c) { return answer(c, 200, "{}", "application/json"); }
int tovuPreviewChannel(int) { return 0; }
