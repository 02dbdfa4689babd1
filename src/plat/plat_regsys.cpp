// Registry keys in the system's registry (Windows): the calls of
// plat_int.h straight through the seam.
#include "os.h"
#include "plat_int.h"

long kc_regkey_create(const char *subkey, kc_regkey *key) {
  os_regkey k = 0;
  long rc = os_reg_create(subkey, &k);
  key->handle = rc == OS_REG_SUCCESS ? (intptr_t)k : -1;
  return rc;
}

long kc_regkey_open_read(const char *subkey, kc_regkey *key) {
  os_regkey k = 0;
  long rc = os_reg_open_read(subkey, &k);
  key->handle = rc == OS_REG_SUCCESS ? (intptr_t)k : -1;
  return rc;
}

long kc_regkey_query_type(kc_regkey *key, const char *name, uint32_t *type) {
  return os_reg_query_type((os_regkey)key->handle, name, type);
}

long kc_regkey_set(kc_regkey *key, const char *name, uint32_t type, const void *data, uint32_t size) {
  return os_reg_set((os_regkey)key->handle, name, type, data, size);
}

long kc_regkey_delete_value(kc_regkey *key, const char *name) {
  return os_reg_delete_value((os_regkey)key->handle, name);
}

long kc_regkey_query(kc_regkey *key, const char *name, uint32_t *type, void *data, uint32_t *size) {
  return os_reg_query((os_regkey)key->handle, name, type, data, size);
}

void kc_regkey_close(kc_regkey *key) {
  if (key->handle != -1) os_reg_close((os_regkey)key->handle);
  key->handle = -1;
}
