/*
 * plat_int.h - internals of the platform library: its static state and the
 * helpers its areas share. Not exported; the installer actions see only
 * kcsys.h.
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

/* The folder part of path, its separator included, into dir (size
 * bytes): 1, or 0 when it does not fit. */
int kc_folder_of(const char *path, char *dir, size_t size);
/* Temporary files of ours (kcsys.h): a fresh name of ours in the folder
 * of beside into path (size bytes): 1, or 0 when it does not fit. */
int kc_tmp_path(char *path, size_t size, const char *beside);
/* Creates a held file of ours beside beside, its name into path: 0 or an
 * errno value. */
int kc_tmp_create(const char *beside, char *path, size_t size, intptr_t *fd);
/* Renames the held file fd, named from, to a fresh name of ours beside it
 * (into path): 0 or an errno value. */
int kc_tmp_move(intptr_t fd, const char *from, char *path, size_t size);

#endif /* KC_PLAT_INT_H */
