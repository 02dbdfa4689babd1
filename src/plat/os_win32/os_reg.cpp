// Windows seam: the registry below HKEY_LOCAL_MACHINE, through ADVAPI32.
// A 32-bit program sees the 32-bit view, as every such program does. The
// calls hand back the system's own error codes; the platform layer maps
// them to its statuses.
#include <windows.h>

#include "os.h"

long os_reg_create(const char *subkey, os_regkey *key) {
  HKEY hk = NULL;
  LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL,
                            &hk, NULL);
  *key = rc == ERROR_SUCCESS ? (os_regkey)hk : 0;
  return rc;
}

long os_reg_open_read(const char *subkey, os_regkey *key) {
  HKEY hk = NULL;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, KEY_READ, &hk);
  *key = rc == ERROR_SUCCESS ? (os_regkey)hk : 0;
  return rc;
}

long os_reg_query_type(os_regkey key, const char *name, uint32_t *type) {
  DWORD t = 0;
  LONG rc = RegQueryValueExA((HKEY)key, name, NULL, &t, NULL, NULL);
  if (rc == ERROR_SUCCESS) *type = t;
  return rc;
}

long os_reg_set(os_regkey key, const char *name, uint32_t type, const void *data, uint32_t size) {
  return RegSetValueExA((HKEY)key, name, 0, type, (const BYTE *)data, size);
}

long os_reg_delete_value(os_regkey key, const char *name) { return RegDeleteValueA((HKEY)key, name); }

long os_reg_query(os_regkey key, const char *name, uint32_t *type, void *data, uint32_t *size) {
  DWORD n = *size, t = 0;
  LONG rc = RegQueryValueExA((HKEY)key, name, NULL, &t, (BYTE *)data, &n);
  *size = n;
  if (type) *type = t;
  return rc;
}

void os_reg_close(os_regkey key) { RegCloseKey((HKEY)key); }
