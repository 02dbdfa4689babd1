// Registry string store: named string values under HKEY_LOCAL_MACHINE,
// below the components key or, for a section starting with '\', below the
// root itself. Each call opens the key, does one value operation, closes
// the key, and turns the registry's code into the layer's status.
#include <stdint.h>
#include <string.h>

#include "os.h"
#include "plat_int.h"

#define KC_REG_COMPONENTS "Software\\Korvan\\Components\\"

// The key path below HKEY_LOCAL_MACHINE into subkey (KC_REG_PATH_MAX
// bytes): 1, or 0 when Section is NULL, names a key over KC_REG_NAME_MAX
// characters (Windows refuses such a key, Wine takes one more, the file
// store fewer), or the path would not fit (refused rather than cut, so
// that no call reaches a key the caller did not name).
static int compose_subkey(const char *Section, char *subkey) {
  if (!Section) return 0;
  subkey[0] = '\0';
  if (Section[0] == '\\')
    ++Section;
  else if (!kc_append(subkey, KC_REG_PATH_MAX, KC_REG_COMPONENTS))
    return 0;
  for (const char *p = Section; *p;) {
    const char *end = strchr(p, '\\');
    size_t n = end ? (size_t)(end - p) : strlen(p);
    if (n > KC_REG_NAME_MAX) return 0;
    p += end ? n + 1 : n;
  }
  return kc_append(subkey, KC_REG_PATH_MAX, Section);
}

// 1 for a value name the registry holds on every system.
static int name_fits(const char *Key) { return !Key || strlen(Key) <= KC_REG_VALUE_NAME_MAX; }

// The one translation from the registry's codes to the layer's statuses.
// A missing value is its own status only for a read: a write or delete
// that meets it is an ordinary failure.
static uint32_t reg_status(long code, int reading) {
  if (code == OS_REG_SUCCESS) return KC_OK;
  if (code == OS_REG_TIMEOUT) return KC_ERR_BUSY;
  if (code == OS_REG_ACCESS_DENIED) return KC_ERR_REG_ACCESS;
  if (reading && code == OS_REG_FILE_NOT_FOUND) return KC_ERR_REG_NOVALUE;
  return KC_ERR_REG;
}

KCAPI uint32_t KCRegistrySetString(const char *Section, const char *Key, const char *Val) {
  char subkey[KC_REG_PATH_MAX];
  if (!compose_subkey(Section, subkey)) return KC_ERR_REG_KEY;

  if (!name_fits(Key)) return KC_ERR_REG;

  kc_regkey key;
  long made = kc_regkey_create(subkey, &key);
  if (made != OS_REG_SUCCESS) return made == OS_REG_TIMEOUT ? KC_ERR_BUSY : KC_ERR_REG_KEY;

  long rc;
  if (!Val || Val[0] == '\0') {
    rc = kc_regkey_delete_value(&key, Key);
  } else {
    uint32_t type = OS_REG_SZ;
    rc = kc_regkey_query_type(&key, Key, &type);
    if (rc == OS_REG_FILE_NOT_FOUND) {
      type = OS_REG_SZ;
      rc = OS_REG_SUCCESS;
    }
    // Any other failure of the type query refuses the write: a value whose
    // type is unknown is not overwritten with a guessed one.
    if (rc == OS_REG_SUCCESS) {
      size_t n = strlen(Val) + 1; // the terminating NUL is stored too
      rc = n > UINT32_MAX ? OS_REG_MORE_DATA : kc_regkey_set(&key, Key, type, Val, (uint32_t)n);
    }
  }
  kc_regkey_close(&key);
  return reg_status(rc, 0);
}

KCAPI uint32_t KCRegistryGetString(const char *Section, const char *Key, char *Val, uint32_t Length) {
  char subkey[KC_REG_PATH_MAX];
  int room = Val && Length > 0;
  if (room) Val[0] = '\0';
  if (!compose_subkey(Section, subkey)) return KC_ERR_REG_KEY;
  if (!name_fits(Key)) return KC_ERR_REG_NOVALUE; // none such can be stored

  kc_regkey key;
  if (kc_regkey_open_read(subkey, &key) != OS_REG_SUCCESS) return KC_ERR_REG_KEY;

  uint32_t size = Length, type = 0;
  long rc = kc_regkey_query(&key, Key, &type, Val, &size);
  kc_regkey_close(&key);

  int text = type == OS_REG_SZ || type == OS_REG_EXPAND_SZ || type == OS_REG_MULTI_SZ;
  if (rc == OS_REG_SUCCESS && room && size <= Length && text) {
    // A string stored by someone else may lack the NUL; the caller is
    // promised a string, never bytes running past its buffer. Values of
    // other types come as they are stored.
    if (size == 0)
      Val[0] = '\0';
    else if (Val[size - 1] != '\0') {
      if (size < Length)
        Val[size] = '\0';
      else
        rc = OS_REG_MORE_DATA;
    }
  }
  // On a failed read the system leaves the buffer's contents undefined.
  if (rc != OS_REG_SUCCESS && room) Val[0] = '\0';
  return reg_status(rc, 1);
}

KCAPI uint32_t KCRegistryRemoveString(const char *Section, const char *Key) {
  return KCRegistrySetString(Section, Key, NULL);
}
