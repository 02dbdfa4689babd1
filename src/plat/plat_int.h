/*
 * plat_int.h - internals of the platform library: its static state and the
 * helpers its areas share. Not exported; the installer actions see only
 * kcsys.h.
 */
#ifndef KC_PLAT_INT_H
#define KC_PLAT_INT_H

#include "kcsys.h"
#include "plat.h"
#include "plat_names.h"

/* Entry points of the host library npagra.dll. */
typedef int (*OSGETENVSTRPROC)(char *name, char *buffer, uint16_t length);
typedef void (*OSGETINTLSETPROC)(INTLFORMAT *format, uint16_t size);

/* Process-wide state, zeroed at start (plat_mem.cpp owns it). */
extern int32_t PlatInitRefCount;
extern uint32_t PlatInitFlags;
extern KCLIBRARY PagraLibHandle;
extern OSGETENVSTRPROC OSGetEnvStrProc;
extern OSGETINTLSETPROC OSGetIntlSetProc;
extern char szExeDirectory[KC_PATH_MAX];
extern char szPipeDirectory[KC_PATH_MAX];
extern char szIniDirectory[KC_PATH_MAX];
extern KCINTLFORMAT *kcIntlFormat;
extern int VCS_DEBUG; /* KCPerror prints only when it is not 0; nothing sets it */

#define KC_HOST_LIBRARY "npagra.dll"

/* Loads the host library into PagraLibHandle when it is not loaded yet
 * (quietly, by plain name). A failed load is tried again next time. */
void PlatLoadHostLibrary(void);

/* 1 when the whole String matches the whole Pattern: '*' any run, '?' one
 * character, case counts, no escape. A pattern other than a single "*"
 * never matches the empty string. */
uint32_t PatternMatch(const char *String, const char *Pattern);
/* 1 when szName holds a path of its own (the host's separator, or a drive
 * colon on Windows), so that it is used as it stands; 0 for a bare name. */
uint32_t FileHasPath(const char *szName);
/* Prints err_string, a colon and the text of the current error number on
 * standard error, only while VCS_DEBUG is not 0. */
void KCPerror(const char *err_string);
/* Works out the absolute directory of the program path in szPath
 * (KC_PATH_MAX bytes) by entering it; the current directory is the same
 * afterwards. With szName, that file must lie there. szPath, holding the
 * directory with a trailing separator, or NULL with szPath untouched. */
char *PathParts(const char *szName, char *szPath);

/* ---- Registry keys below HKEY_LOCAL_MACHINE ----
 * What plat_reg.cpp stores through: the system's registry where there is
 * one (plat_regsys.cpp, over the seam), else a store of files
 * (plat_regfile.cpp); the build takes one of the two. The calls give the
 * Windows registry's codes (OS_REG_* and others of its kind). */
#define KC_REGKEY_PATH_MAX 4096 /* a key's folder in the file store */
typedef struct kc_regkey {
  intptr_t handle;                /* the system's key; -1 none */
  char path[KC_REGKEY_PATH_MAX];  /* the file store's folder of the key */
} kc_regkey;
/* Opens subkey, made with every missing key on its path (all access), or
 * only for reading. */
long kc_regkey_create(const char *subkey, kc_regkey *key);
long kc_regkey_open_read(const char *subkey, kc_regkey *key);
long kc_regkey_query_type(kc_regkey *key, const char *name, uint32_t *type);
long kc_regkey_set(kc_regkey *key, const char *name, uint32_t type, const void *data, uint32_t size);
long kc_regkey_delete_value(kc_regkey *key, const char *name);
/* The value's type (type may be NULL) and its bytes into data (*size
 * bytes; *size receives the value's length, also with OS_REG_MORE_DATA). */
long kc_regkey_query(kc_regkey *key, const char *name, uint32_t *type, void *data, uint32_t *size);
void kc_regkey_close(kc_regkey *key);

#endif /* KC_PLAT_INT_H */
