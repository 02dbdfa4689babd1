/*
 * plat_int.h - internals of the platform library: its static state and the
 * helpers its areas share. Not exported.
 */
#ifndef KC_PLAT_INT_H
#define KC_PLAT_INT_H

#include "kcsys.h"
#include "plat.h"

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
extern int VCS_DEBUG;

#define KC_HOST_LIBRARY "npagra.dll"

/* Loads the host library into PagraLibHandle when it is not loaded yet
 * (quietly, by plain name). A failed load is tried again next time. */
void PlatLoadHostLibrary(void);

/* 1 when String matches Pattern ('*' and '?', case counts). */
uint32_t PatternMatch(const char *String, const char *Pattern);
/* 1 when the name holds a path (the host's separator or drive colon). */
uint32_t FileHasPath(const char *szName);
/* Prints err_string and the current error text when VCS_DEBUG is set. */
void KCPerror(const char *err_string);
/* Directory of the program path in szPath (KC_PATH_MAX bytes), absolute and
 * ending in a separator; with szName, that file must lie there. */
char *PathParts(const char *szName, char *szPath);


#endif /* KC_PLAT_INT_H */
