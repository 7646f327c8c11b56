/* The FastRPC client library of the application processor (libadsprpc.so), as kestrel and
 * libkestrel.so use it: entry points, request ids and the records passed by pointer. Records
 * are in the processor's native layout; the static assertions pin their sizes and offsets. */
#ifndef KESTREL_PLATFORM_FASTRPC_CLIENT_H
#define KESTREL_PLATFORM_FASTRPC_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#include "fastrpc/remote_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Optional entry points are declared weak: on a library that lacks them their address is null. */
#define FASTRPC_WEAK __attribute__((weak))

/* ---- Sessions ---------------------------------------------------------------------------- */

/* Loads the DSP library named in the module URI ("file:///LIB?ENTRY&_modver=1.0&_dom=DOMAIN")
 * on the named domain and writes the session handle. 0 on success. */
int remote_handle64_open(const char* name, remote_handle64* ph);
/* Ends the session. 0 on success. */
int remote_handle64_close(remote_handle64 h);
/* Delivers the scalars word and the argument array to the module's invoke entry point, copies
 * each output buffer back and returns the entry point's result. */
int remote_handle64_invoke(remote_handle64 h, uint32_t scalars, remote_arg* pra);

/* ---- Domains ----------------------------------------------------------------------------- */

enum { CDSP_DOMAIN_ID = 3, CDSP1_DOMAIN_ID = 4 };

typedef enum fastrpc_domain_type {
    FASTRPC_ALL_DOMAINS = 0,
    FASTRPC_NSP = 1,
    FASTRPC_LPASS = 2,
    FASTRPC_SDSP = 3,
    FASTRPC_MDSP = 4,
    FASTRPC_HPASS = 5,
} fastrpc_domain_type;

/* ---- Capability queries: remote_handle_control ------------------------------------------- */

enum { DSPRPC_GET_DSP_INFO = 2 };

/* Capability attribute ids. */
enum {
    DOMAIN_SUPPORT = 0,
    UNSIGNED_PD_SUPPORT = 1,
    VTCM_PAGE = 4,
    ARCH_VER = 6,
};

/* Low byte of a result that means the library does not implement the request. */
enum { FASTRPC_UNSUPPORTED_API = 108 };

typedef struct remote_dsp_capability {
    uint32_t domain;
    uint32_t attribute_ID;
    uint32_t capability; /* written by the library */
} remote_dsp_capability;

int remote_handle_control(uint32_t req, void* data, uint32_t datalen) FASTRPC_WEAK;

/* ---- Session control: remote_session_control --------------------------------------------- */

enum {
    FASTRPC_CONTROL_UNSIGNED_MODULE = 2,
    FASTRPC_GET_EFFECTIVE_DOMAIN_ID = 14,
};

/* Request 2: allow unsigned protection domains on a domain. */
typedef struct remote_rpc_control_unsigned_module {
    uint32_t domain;
    uint32_t enable;
} remote_rpc_control_unsigned_module;

/* Request 14: effective domain id of a named domain. */
typedef struct remote_rpc_effective_domain_id {
    char* domain_name;
    uint32_t domain_name_len; /* without the NUL */
    int32_t session_id;
    uint32_t effective_domain_id; /* written by the library */
    uint32_t reserved;
} remote_rpc_effective_domain_id;

int remote_session_control(uint32_t req, void* data, uint32_t datalen);

/* ---- System requests: remote_system_request ---------------------------------------------- */

enum { FASTRPC_GET_DOMAINS = 0 };

/* One domain as the library describes it. */
typedef struct fastrpc_domain {
    uint32_t id;
    uint32_t reserved0;
    char name[32];
    uint32_t type;   /* fastrpc_domain_type */
    uint32_t status; /* 0 = down */
    uint32_t card;
    uint8_t reserved1[44];
} fastrpc_domain;

typedef struct system_req_payload {
    uint32_t id; /* FASTRPC_GET_DOMAINS */
    uint32_t reserved0;
    fastrpc_domain* domains; /* null on the counting call */
    uint32_t max_domains;    /* capacity of domains, in records */
    int32_t num_domains;     /* written by the library */
    uint32_t domain_type;    /* filter; 0 = all types */
    uint32_t reserved1;
} system_req_payload;

int remote_system_request(system_req_payload* req) FASTRPC_WEAK;

/* ---- Logging ----------------------------------------------------------------------------- */

enum { HAP_LEVEL_LOW = 0, HAP_LEVEL_MEDIUM = 1, HAP_LEVEL_HIGH = 2, HAP_LEVEL_ERROR = 3 };

void HAP_debug_runtime(int level, const char* file, int line, const char* format, ...) FASTRPC_WEAK;
void HAP_debug_v2(int level, const char* file, int line, const char* format, ...) FASTRPC_WEAK;

#ifdef __cplusplus
}
#endif

#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 8
#ifdef __cplusplus
#define FASTRPC_STATIC_ASSERT static_assert
#else
#define FASTRPC_STATIC_ASSERT _Static_assert
#endif
FASTRPC_STATIC_ASSERT(sizeof(remote_arg) == 16, "argument element");
FASTRPC_STATIC_ASSERT(sizeof(remote_dsp_capability) == 12, "capability record");
FASTRPC_STATIC_ASSERT(offsetof(remote_dsp_capability, capability) == 8, "capability value");
FASTRPC_STATIC_ASSERT(sizeof(remote_rpc_control_unsigned_module) == 8, "unsigned-PD payload");
FASTRPC_STATIC_ASSERT(sizeof(remote_rpc_effective_domain_id) == 24, "effective-id payload");
FASTRPC_STATIC_ASSERT(offsetof(remote_rpc_effective_domain_id, domain_name_len) == 8, "len");
FASTRPC_STATIC_ASSERT(offsetof(remote_rpc_effective_domain_id, session_id) == 12, "session");
FASTRPC_STATIC_ASSERT(offsetof(remote_rpc_effective_domain_id, effective_domain_id) == 16,
                      "effective id");
FASTRPC_STATIC_ASSERT(sizeof(fastrpc_domain) == 96, "domain record");
FASTRPC_STATIC_ASSERT(offsetof(fastrpc_domain, name) == 8, "domain name");
FASTRPC_STATIC_ASSERT(offsetof(fastrpc_domain, type) == 40, "domain type");
FASTRPC_STATIC_ASSERT(offsetof(fastrpc_domain, status) == 44, "domain status");
FASTRPC_STATIC_ASSERT(offsetof(fastrpc_domain, card) == 48, "domain card");
FASTRPC_STATIC_ASSERT(sizeof(system_req_payload) == 32, "system request payload");
FASTRPC_STATIC_ASSERT(offsetof(system_req_payload, domains) == 8, "record buffer");
FASTRPC_STATIC_ASSERT(offsetof(system_req_payload, max_domains) == 16, "capacity");
FASTRPC_STATIC_ASSERT(offsetof(system_req_payload, num_domains) == 20, "domain count");
FASTRPC_STATIC_ASSERT(offsetof(system_req_payload, domain_type) == 24, "type filter");
#undef FASTRPC_STATIC_ASSERT
#endif

#endif
