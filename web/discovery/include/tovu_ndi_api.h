/*
 * tovu_ndi_api.h - this project's declarations of the few NDI runtime
 * (libndi.so.5) calls that source discovery makes. Shared by the program and
 * the stand-in of the runtime.
 */
#ifndef TOVU_NDI_API_H
#define TOVU_NDI_API_H

#include <stdint.h>

extern "C" {

typedef void *NDIlib_find_instance_t;

typedef struct {
    bool show_local_sources;
    const char *p_groups;    /* null: all groups */
    const char *p_extra_ips; /* null: no further addresses */
} NDIlib_find_create_t;

typedef struct {
    const char *p_ndi_name;
    const char *p_url_address;
} NDIlib_source_t;

/* the part of the runtime's function table that this program calls */
typedef struct {
    bool (*initialize)(void); /* false: the runtime cannot be used here */
    void (*destroy)(void);
} NDIlib_v5;

const NDIlib_v5 *NDIlib_v5_load(void);
NDIlib_find_instance_t NDIlib_find_create_v2(const NDIlib_find_create_t *p_create_settings);
void NDIlib_find_destroy(NDIlib_find_instance_t p_instance);
/* true when the list of sources changed within the wait */
bool NDIlib_find_wait_for_sources(NDIlib_find_instance_t p_instance, uint32_t timeout_in_ms);
/* the current sources, valid until the finder is destroyed */
const NDIlib_source_t *NDIlib_find_get_current_sources(NDIlib_find_instance_t p_instance,
                                                        uint32_t *p_no_sources);
}

#endif
