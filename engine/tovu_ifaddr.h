// Internal: the address walk behind get_local_ips, given its interface list.
#ifndef TOVU_IFADDR_H
#define TOVU_IFADDR_H

struct ifaddrs;

#define TOVU_NB_LOCAL_IPS 5

extern "C" char **tovu_fill_local_ips(const struct ifaddrs *list);

#endif
