/*
 * plat.h - the platform services library (the KC functions).
 *
 * Every function declared with KCAPI is exported by its undecorated name
 * from nzeptins.exe (see src/nzeptins.def), in the C calling convention,
 * and takes the stack with the 4-byte alignment the i386 Windows
 * convention promises (no more is assumed). Strings are NUL-terminated
 * 8-bit text; every path handed in or out fits in KC_PATH_MAX bytes unless
 * a function says otherwise. Results are status codes (0 is success) or,
 * where a function says so, truth values (1 yes, 0 no).
 */
#ifndef KC_PLAT_H
#define KC_PLAT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
#define KC_EXTERN_C extern "C"
#else
#define KC_EXTERN_C
#endif

#if defined(_WIN32)
#if defined(KC_IMPORT)
#define KCAPI KC_EXTERN_C __declspec(dllimport)
#else
#define KCAPI KC_EXTERN_C __declspec(dllexport)
#endif
#else
#define KCAPI KC_EXTERN_C __attribute__((visibility("default")))
#endif

/* Limits, each named once. */
#define KC_PATH_MAX 261     /* 260 characters and the NUL */
#define KC_INI_PATH_MAX 1024 /* INI paths: 1023 characters and the NUL */
#define KC_INI_LINE_MAX 256  /* a line of the INI format: 255 characters */
#define KC_REG_PATH_MAX 512  /* registry key path below HKEY_LOCAL_MACHINE */
#define KC_REG_NAME_MAX 255  /* one key's name in that path */
#define KC_REG_VALUE_NAME_MAX 16383 /* a value's name */

/* Status codes of the platform layer. */
#define KC_OK 0u
#define KC_ERR_NOMEM 258u
#define KC_ERR_LIST_NULL 528u
#define KC_ERR_ENV_UNSET 530u
#define KC_ERR_ENV_REFUSED 531u
#define KC_ERR_NO_INTL 533u
#define KC_ERR_INI_MISSING 534u  /* also: a write into the new INI file failed */
#define KC_ERR_INI_OPEN 535u     /* also: close or replace failed; start-up found nothing */
#define KC_ERR_INI_CREATE 536u
#define KC_ERR_INI_TMPNAME 537u
#define KC_ERR_REG_KEY 538u
#define KC_ERR_REG 539u
#define KC_ERR_PLAT_DIR 541u
#define KC_ERR_REG_ACCESS 544u
#define KC_ERR_REG_NOVALUE 545u
#define KC_ERR_BUSY 546u         /* another writer kept the INI file or registry key beyond the wait */
#define KC_ERR_FILE_OPEN 552u
#define KC_ERR_INI_NOT_WHOLE 560u /* returned by no exported call: an internal read's "the
                                    value is there but cannot be handed out whole" (longer
                                    than the buffer, or holding a NUL) */
#define KC_ERR_NO_MORE 12290u
#define KC_ERR_NULL_ARG 12301u
#define KC_ERR_NULL_LIST 12302u

/* The library handle: the platform's module handle, pointer-sized so that
 * it also carries a 64-bit build's handles. On win32 it is 32 bits. */
typedef uintptr_t KCLIBRARY;
typedef int (*KCPROC)(void);

/* ---- Memory, libraries, current and well-known directories ---- */

/* A block of Size bytes (1 when Size is 0), content undefined, or NULL
 * when the heap is out. */
KCAPI void *KCMemAlloc(uint32_t Size);
/* As KCMemAlloc, zero-filled. */
KCAPI void *KCMemCalloc(uint32_t Size);
/* Resizes MemBlock to NewSize (1 when 0). A NULL MemBlock is refused (NULL).
 * When the heap cannot resize in place, a fresh block receives
 * min(OldSize, NewSize) bytes; on NULL the old block is still the caller's. */
KCAPI void *KCMemRealloc(void *MemBlock, uint32_t OldSize, uint32_t NewSize);
/* Releases a block of the family; NULL is ignored. */
KCAPI void KCMemFree(void *MemBlock);

#define KC_LIB_QUIET 1u  /* no critical-error box while loading */
#define KC_LIB_SHORT 2u  /* LibName is a module stem: <exe dir>n<LibName>.kcx */
/* Loads LibName (with KC_LIB_SHORT: <exe dir>n<LibName>.kcx); a plain
 * name is looked for in the running program's folder first, on both
 * systems. The handle, or 0 when it was not loaded or the composed name
 * exceeds 260 characters. */
KCAPI KCLIBRARY KCLibraryLoad(const char *LibName, uint32_t flags);
/* Releases the library; the outcome is not reported. */
KCAPI void KCLibraryFree(KCLIBRARY Library);
/* Entry point by name, or by the low 16 bits of ProcNumber as an ordinal
 * when ProcName is NULL (no ordinals on POSIX: NULL). NULL for Library 0. */
KCAPI KCPROC KCLibraryLoadProc(KCLIBRARY Library, const char *ProcName, uint32_t ProcNumber);

/* 1 after asking for the current directory (even when that failed),
 * 0 without asking for a NULL Directory or a Length of 0. */
KCAPI uint32_t KCFileGetDir(char *Directory, uint32_t Length);
/* 1 when Directory became the current directory; 0 when refused, and
 * without asking for NULL or "". */
KCAPI uint32_t KCFileSetDir(const char *Directory);
/* The platform directories set by KCPlatInit; never NULL, empty before. */
KCAPI char *KCFileExeDir(void);
KCAPI char *KCFilePipeDir(void);
KCAPI char *KCFileIniDir(void);

/* ---- Path search and environment ---- */

/* Looks for name in each directory of the list held by the environment
 * variable env_var. 1 when found, with dir (KC_PATH_MAX bytes) holding that
 * directory and a trailing separator; 0 otherwise. With chk_lock the file
 * must also be write-protected. Elements too long for dir are passed over. */
KCAPI uint32_t KCFindPath(const char *env_var, char *dir, const char *name, uint32_t chk_lock);
/* Copies at most *kcLength characters of the variable and a NUL into
 * kcBuffer (*kcLength + 1 bytes); *kcLength receives the count. 0; 530
 * unset (buffer "", count 0); 12301 for a NULL buffer or length. */
KCAPI uint32_t KCPlatGetEnv(const char *kcName, char *kcBuffer, uint32_t *kcLength);
/* Sets kcName to the value wrapped in double quotes. 0; 258 no memory;
 * 531 refused (environment unchanged). After a success the entry block
 * stays with the environment, which may keep the block itself. */
KCAPI uint32_t KCPlatPutEnv(const char *kcName, const char *kcBuffer);

/* ---- INI file store ---- */

/* Reads entry of section into buffer. A NULL entry lists the section:
 * every non-blank line not starting with ';', each NUL-terminated, and
 * one NUL more. The exported call takes no size: the caller's buffer is
 * assumed to hold KC_INI_LINE_MAX bytes for an entry and
 * KC_INI_LIST_ASSUMED bytes for a listing. What cannot be handed out
 * whole is not handed out at all: a value or a listing that does not fit
 * those bytes, or that holds a NUL, reads as missing (534, buffer empty);
 * a caller whose section may list more reads its entries one by one. A
 * NULL buffer only reports.
 * A NULL file_name reads from the host or kvmover.ini by the start-up
 * flags. Only a regular file is read: a device, a pipe or a link to one
 * is refused at once (535), never waited on. 0; 534 missing or empty;
 * 535 the file cannot be opened. */
#define KC_INI_LIST_ASSUMED 261
KCAPI uint32_t KCINIGetString(const char *section, const char *entry, char *buffer, const char *file_name);
/* Sets entry in section to buffer (NULL removes it, "" writes it empty),
 * making the file or section as needed. The new content goes to the
 * file's lock file in its own folder ("~nz" and five letters or digits
 * drawn from the file's name: no longer than "pagra.ini", locked while it
 * is written, so that the installer knows one a killed writer left) and
 * replaces the file atomically; on failure the file is left as it was. A
 * Ctrl-Z ends the text that is read: the changed text (a new section too)
 * is written before it, and the Ctrl-Z and every byte after it follow
 * unchanged.
 * Callers at once: every process and thread that changes one file
 * through this store takes its lock, reads the file only then and
 * replaces it before the next one reads it, so no change reported done
 * is lost; readers take no lock and never wait. A caller waits about 5 s
 * for the lock, then gives up with 546 and the file as it was. A program
 * that writes the file in
 * other ways is not held back: a change of its own made between this
 * store's read and replace is lost. A reader that has the file open never
 * makes a change fail: Windows replaces it with POSIX semantics where the
 * volume allows, else tries again for up to 2 s while it stays open (a
 * program that keeps it open longer makes the change fail, 535).
 * Only a regular file is changed: a device, a pipe or a link to one is
 * refused at once (535) and left as it is.
 * The replaced file keeps what the host set on it. POSIX: owner, group,
 * mode and every extended attribute, its access list among them (so the
 * group bits stay the list's mask). Windows: its hidden, system, archive
 * and not-indexed attributes and its access list, and its owner where the
 * system lets it be set.
 * A file reached through a symbolic link is changed where it lies, the
 * link kept: on POSIX always; on Windows where the system tells the final
 * path of the opened file (Windows itself; Wine for a Unix link, which it
 * shows as a plain file). A link that leads nowhere is refused (535) where
 * the system shows one (POSIX, Windows; Wine shows none, and the name is
 * then made a file). A file with a hard link (a hard link) is refused
 * (535) with both names untouched: a new file in its place would part
 * them, one keeping the old content.
 * 0; 534 a write failed, or a name or value that would not read back
 * whole (a line end or Ctrl-Z in it, a section over 253 or an entry over
 * 254 characters, an entry starting with '[', or a "name=value" line over
 * 255 characters); 535 the file cannot be read, is read-only, has a
 * hard link, is no regular file, cannot be replaced, or is a link that
 * leads nowhere or in a circle; 536 no temporary file can be created
 * (also when the owner, an extended attribute or the access list cannot
 * be kept); 537 the temporary name does not fit beside the file (a file
 * name under 8 characters at the end of a path of the longest length);
 * 546 another caller held the file's lock beyond the wait (also when
 * something other than one of our files stands under the lock file's name). */
KCAPI uint32_t KCINISetString(const char *section, const char *entry, const char *buffer, const char *file_name);
/* KCINISetString with a NULL buffer. Removing what the file does not hold
 * gives 0 and leaves it untouched, whatever the file that can be read
 * (read-only, with a hard link, in a folder where nothing can be made,
 * with no room for a temporary name) and when there is none (missing, a
 * link that leads nowhere or in a circle): the file is read first, and
 * nothing is made, asked for or waited on. */
KCAPI uint32_t KCINIRemoveString(const char *section, const char *entry, const char *file_name);
/* Deletes file_name (a bare name lies in the INI directory): 1 when it was
 * deleted, 0 when not (also for a path beyond KC_PATH_MAX). */
KCAPI uint32_t KCINIDelete(const char *file_name);

/* ---- Registry string store ---- */

/* The key path below HKEY_LOCAL_MACHINE is "Software\Korvan\Components\"
 * + Section, or Section without its leading '\'; a path over 511
 * characters, or a key name in it over KC_REG_NAME_MAX, is refused (538).
 * A value name holds at most KC_REG_VALUE_NAME_MAX characters. Each call
 * opens the key, does one value operation and closes it. Callers at once:
 * the system's registry orders its writers; the Linux store's writers of
 * one value, or of one new key, take its lock one at a time (a change of
 * one value in two spellings, or a new key made in two spellings, makes
 * one), and a writer that waits for the lock beyond about 5 s gives up
 * with 546. */
/* Sets value Key to Val, making missing keys; a value that exists keeps
 * its type, a new one is a plain string. NULL or "" Val deletes the value.
 * On Linux every key folder made and the changed key's folder are on disk
 * before 0 is reported. 0, 538 (key), 539 (also: a name too long), 544
 * (access), 546 (another writer held the lock). */
KCAPI uint32_t KCRegistrySetString(const char *Section, const char *Key, const char *Val);
/* Reads value Key into Val (Length bytes). The bytes come as stored; a
 * string value (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) that does not end in
 * a NUL is terminated when there is room and refused (539) when there is
 * none; values of other types are not terminated. Val is "" after any
 * failure. 0, 538 (no key), 539 (also: longer than Length), 544, 545 (no
 * value, also for a name too long to be one). */
KCAPI uint32_t KCRegistryGetString(const char *Section, const char *Key, char *Val, uint32_t Length);
/* KCRegistrySetString(Section, Key, NULL): deletes the value, making the
 * key path as a write does. Deleting a missing value gives 539. */
KCAPI uint32_t KCRegistryRemoveString(const char *Section, const char *Key);

/* ---- Files, listing, directories ---- */

#define KCFILE_READ 0x01u
#define KCFILE_WRITE 0x02u
#define KCFILE_CREATE 0x04u
#define KCFILE_APPEND 0x08u
#define KCFILE_BINARY 0x10u

typedef struct KCFILE {
  FILE *File; /* the open stream; NULL when KCFileOpen opened nothing */
} KCFILE;

/* Opens Filename in the mode the low four bits of Flags select, "b" added
 * for KCFILE_BINARY. 0 with File->File set (a flag word selecting no mode
 * opens nothing and leaves it NULL); 552 open failed; 12301 NULL File. */
KCAPI uint32_t KCFileOpen(const char *Filename, uint32_t Flags, KCFILE *File);
/* Closes the stream, unreported, and clears the record's stream, so that
 * a second close or a later call finds nothing open. */
KCAPI void KCFileClose(KCFILE *File);
/* 1 when Filename exists, as a file or a directory; else 0. */
KCAPI uint32_t KCFileExist(const char *Filename);
/* One read of Count bytes into Buffer, or one write from it: the bytes
 * moved (short at end of file or on an error; 0 without an open stream). */
KCAPI uint32_t KCFileRead(KCFILE *File, uint32_t Count, void *Buffer);
KCAPI uint32_t KCFileWrite(KCFILE *File, uint32_t Count, const void *Buffer);
/* Base 1 start, 2 current, 3 end; Count is a signed offset. Returns the
 * position, 0 for another Base, 0xFFFFFFFF when the position is unknown or
 * does not fit in 32 bits (a file beyond 4 GiB). */
KCAPI uint32_t KCFileSeek(KCFILE *File, uint32_t Base, uint32_t Count);
/* Flushes the stream; the result is not reported. */
KCAPI void KCFileFlush(KCFILE *File);
/* 1 when the file Filename was deleted; 0 otherwise (directories are
 * never deleted here). */
KCAPI uint32_t KCFileDelete(const char *Filename);
/* Starts a listing of Directory (NULL or "": the executable directory) by
 * Pattern (NULL: "*"). FileName needs KC_PATH_MAX bytes. 0 with the first
 * name in FileName and the listing in *FileList; 258 no memory; 12290
 * nothing matches (also when the search path and pattern would exceed 260
 * characters); 12302 FileList NULL. */
KCAPI uint32_t KCFileListFirst(const char *Directory, const char *Pattern, char *FileName, void **FileList);
/* The next name into FileName. 0; 528 FileList NULL; 12290 no further
 * entry (FileName unchanged). */
KCAPI uint32_t KCFileListNext(char *FileName, void *FileList);
/* Ends the listing and frees its record. 0; 528 FileList NULL. */
KCAPI uint32_t KCFileListClose(void *FileList);
/* Creates newpath and every missing directory above it, left to right: 1
 * when the directory exists afterwards; 0 at the first failure (what was
 * created stays), when a file stands under the full name, or for a path
 * over 260 characters. */
KCAPI uint32_t KCMkDir(const char *newpath);

/* ---- Date, time and international settings ---- */

typedef struct KCDATETIMEPARTS {
  int32_t kcYear;
  int32_t kcMonth;
  int32_t kcDay;
  int32_t kcWeekday; /* 0 Sunday to 6 Saturday, from the local clock */
  int32_t kcHour;
  int32_t kcMinute;
  int32_t kcSecond;
  int32_t kcHundredth;
  uint32_t kcDSTInEffect;
  int32_t kcZone;
} KCDATETIMEPARTS;

#pragma pack(push, 1)
typedef struct KCINTLFORMAT {
  uint32_t kcIntlFlags; /* bit 0x10: daylight-saving time in effect */
  uint32_t kcDateOrder;
  uint32_t kcCurrDigits;
  int32_t kcTimeZone;
  char kcAMString[6];
  uint32_t kcAMStringLen;
  char kcPMString[6];
  uint32_t kcPMStringLen;
  char kcCurrencySymbol[6];
  uint32_t kcCurrencySymbolLen;
  char kcThousandDelim[6];
  uint32_t kcThousandDelimLen;
  char kcDecimalDelim[6];
  uint32_t kcDecimalDelimLen;
  char kcDateDelim[6];
  uint32_t kcDateDelimLen;
  char kcTimeDelim[6];
  uint32_t kcTimeDelimLen;
} KCINTLFORMAT;

/* The host library's record of international settings. */
typedef struct INTLFORMAT {
  uint16_t Flags;
  uint8_t CurrencyDigits;
  uint8_t Length;
  int32_t TimeZone;
  char AMString[5];
  char PMString[5];
  char CurrencyString[5];
  char ThousandString[5];
  char DecimalString[5];
  char DateString[5];
  char TimeString[5];
  char YesterdayString[32];
  char TodayString[32];
  char TomorrowString[32];
} INTLFORMAT;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(INTLFORMAT) == 139, "INTLFORMAT is the host's 139-byte record");
static_assert(offsetof(INTLFORMAT, TimeZone) == 4, "INTLFORMAT layout");
static_assert(offsetof(INTLFORMAT, AMString) == 8, "INTLFORMAT layout");
static_assert(offsetof(INTLFORMAT, TimeString) == 38, "INTLFORMAT layout");
static_assert(offsetof(INTLFORMAT, YesterdayString) == 43, "INTLFORMAT layout");
static_assert(offsetof(INTLFORMAT, TodayString) == 75, "INTLFORMAT layout");
static_assert(offsetof(INTLFORMAT, TomorrowString) == 107, "INTLFORMAT layout");
static_assert(sizeof(KCINTLFORMAT) == 86, "KCINTLFORMAT is packed");
static_assert(offsetof(KCINTLFORMAT, kcAMString) == 16, "KCINTLFORMAT layout");
static_assert(offsetof(KCINTLFORMAT, kcAMStringLen) == 22, "KCINTLFORMAT layout");
static_assert(offsetof(KCINTLFORMAT, kcTimeDelimLen) == 82, "KCINTLFORMAT layout");
static_assert(sizeof(KCDATETIMEPARTS) == 40, "KCDATETIMEPARTS layout");
#endif

/* Fills the local date and time: hundredths truncated from the clock's
 * milliseconds, kcWeekday 0 for Sunday to 6 for Saturday; kcZone and
 * kcDSTInEffect come from the international format (0 without one).
 * 0; 12301 for a NULL record. */
KCAPI uint32_t KCPlatGetDatetime(KCDATETIMEPARTS *kcDTParts);
/* Zone and daylight-saving flag of the international format, each written
 * only through a non-NULL pointer; the clock is not consulted. 0, or 533
 * (both written as 0) before any international format is loaded. */
KCAPI uint32_t KCPlatGetTimeZone(int32_t *kcZone, uint32_t *kcDSTInEffect);
/* The layer's own record (not a copy); NULL before the first
 * KCPlatSetIntlFormat and after the last KCPlatTerm. */
KCAPI KCINTLFORMAT *KCPlatGetIntlFormat(void);
/* Sets the international format from the caller's record, else the host
 * library, else the defaults; the record is allocated once and then
 * overwritten in place, and the seven lengths are always recomputed. Every string is kept within
 * five characters (a caller's six-character string or a host's string
 * that fills its five bytes is cut to five). From the host: TimeZone with
 * its sign reversed, Flags bits 0x01-0x10 as kcIntlFlags, date order 2
 * when Flags has 0x40, else 1. 0 or 258. */
KCAPI uint32_t KCPlatSetIntlFormat(const KCINTLFORMAT *IntlFormat);
/* Code page, country code and language (8-byte buffer, at most 7
 * characters); NULLs skipped. Windows: the profile's "intl" iCountry
 * (default 0) and sLanguage (default ""), and the ANSI code page. POSIX:
 * the LC_CTYPE locale the process has set ("C" until it sets one), named
 * language[_TERRITORY][.codeset]: language is that language ("de" of
 * "de_CH.UTF-8", "" for C and POSIX), country the telephone code of the
 * territory (41; 0 when there is none or it is not in the table), code
 * page 65001 for a UTF-8 character set (the locale's codeset), the
 * matching ANSI page for a known 8-bit set (ISO-8859-2 1250, ...), else
 * 1252 (also for the "C" locale's ASCII). */
KCAPI void KCCharInfo(uint32_t *pCharSet, uint32_t *pCountry, char *szLanguage);
/* -1, 0 or 1, comparing the numbers the strings begin with as decimal
 * fractions ("4.10" < "4.9", "2.0.1" == "2.0"): blanks, sign, digits with
 * one '.', exponent; '.' whatever the locale, no hexadecimal, "inf" or
 * "nan"; exact, with no rounding to a double, for exponents of any
 * length. Text without a number, or NULL, counts as 0. */
KCAPI int32_t KCCmpVerStr(const char *version1, const char *version2);

/* ---- Start-up and shut-down ---- */

#define KC_INIT_HOST 1u    /* use the found directory as is; host road for INI reads */
#define KC_INIT_KVMOVER 2u /* marker kvmover.ini; kvmover.ini as default INI file */
/* Starts the layer for the program szName (its argv[0]; NULL or "" too):
 * the platform directory is the folder of the marker file (npagra.dll, or
 * kvmover.ini with KC_INIT_KVMOVER) beside the program, else along PATH,
 * else the program's own folder; unless KC_INIT_HOST, it is then the
 * Directory of [Configuration] in kvmover.ini there. Reference-counted;
 * the current directory is the same afterwards. 0; 535 nothing found;
 * 534/535 from kvmover.ini; 541 the configured folder is not a directory
 * (the directories stay set to it, the count is restored). */
KCAPI uint32_t KCPlatInit(const char *szName, uint32_t fFlags);
/* Ends one use; the last frees the international format and the host
 * library, empties KCFileExeDir and clears the flags. 0; 541 when there
 * were more terminations than start-ups (nothing is released). */
KCAPI uint32_t KCPlatTerm(void);

#endif /* KC_PLAT_H */
