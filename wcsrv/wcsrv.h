/* wcsrv/wcsrv.h: the host server's client library, as Quillet uses it.
   This is a stand-in for the host maker's library: the same four calls,
   talking to the stand-in host server wcsrvd on 127.0.0.1:WCSRV_PORT. */
#ifndef WCSRV_H
#define WCSRV_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The host system's configuration record. Only the two texts are filled. */
typedef struct {
    int32_t iRevision;
    char szBBSName[180];   /* offset 4 */
    char szRegString[180]; /* offset 184 */
    char reserved[1644];
} TMakewild;

/* A service's description as registered with the host server. */
typedef struct {
    char szName[64];
    char szVendor[64];
    int32_t iVersion;
    int32_t iReserved;
    int32_t iPort; /* host byte order */
} TWildcatService;

#ifdef __cplusplus
static_assert(sizeof(TMakewild) == 2008, "Makewild is 2008 bytes");
static_assert(offsetof(TMakewild, szBBSName) == 4, "system name at offset 4");
static_assert(offsetof(TMakewild, szRegString) == 184, "registration string at offset 184");
static_assert(sizeof(TWildcatService) == 140, "a service record is 140 bytes");
static_assert(offsetof(TWildcatService, iPort) == 136, "port at offset 136");
#endif

/* Connects to the host server; non-zero when it was reached. hwnd is the
   caller's main window, kept for the host's messages. */
int WildcatServerConnect(void *hwnd);

/* Fills the configuration record; non-zero on success. */
int GetMakewild(TMakewild *makewild);

/* Creates the library's context for this process; non-zero on success. */
int WildcatServerCreateContext(void);

/* Registers a service with the host server; non-zero on success. */
int RegisterService(const TWildcatService *service);

#ifdef __cplusplus
}
#endif

#endif
