/* Stand-ins for two Windows tools that Wine's prefix has only as stubs
 * printing nothing, installed in the Windows tests' own prefix:
 *
 *   certutil -hashfile NAME SHA256   prints what Windows' certutil prints:
 *                                    a heading, the hash in lowercase hex,
 *                                    a closing line (the hash computed here)
 *   cacls NAME /s                    prints "PATH "SDDL"" for the folder
 *                                    "." or each entry matching NAME, the
 *                                    SDDL taken from ZEPT_TEST_SDDL (default:
 *                                    Administrators and SYSTEM alone)
 *
 * Built twice, with STAND_IN_CERTUTIL or STAND_IN_CACLS. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#ifdef STAND_IN_CERTUTIL
static const uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5, 0xd807aa98,
    0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786,
    0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8,
    0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13,
    0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819,
    0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a,
    0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2};
#define ROR(x, n) (((x) >> (n)) | ((x) << (32 - (n))))

static void block(uint32_t h[8], const unsigned char *p) {
  uint32_t w[64], s[8];
  for (int i = 0; i < 16; i++) w[i] = (uint32_t)p[4 * i] << 24 | p[4 * i + 1] << 16 | p[4 * i + 2] << 8 | p[4 * i + 3];
  for (int i = 16; i < 64; i++)
    w[i] = w[i - 16] + (ROR(w[i - 15], 7) ^ ROR(w[i - 15], 18) ^ (w[i - 15] >> 3)) + w[i - 7] +
           (ROR(w[i - 2], 17) ^ ROR(w[i - 2], 19) ^ (w[i - 2] >> 10));
  memcpy(s, h, sizeof s);
  for (int i = 0; i < 64; i++) {
    uint32_t t1 = s[7] + (ROR(s[4], 6) ^ ROR(s[4], 11) ^ ROR(s[4], 25)) + ((s[4] & s[5]) ^ (~s[4] & s[6])) + K[i] + w[i];
    uint32_t t2 = (ROR(s[0], 2) ^ ROR(s[0], 13) ^ ROR(s[0], 22)) + ((s[0] & s[1]) ^ (s[0] & s[2]) ^ (s[1] & s[2]));
    memmove(s + 1, s, 7 * sizeof s[0]);
    s[4] += t1;
    s[0] = t1 + t2;
  }
  for (int i = 0; i < 8; i++) h[i] += s[i];
}

int main(int argc, char **argv) {
  if (argc != 4 || strcmp(argv[1], "-hashfile") != 0 || strcmp(argv[3], "SHA256") != 0) return 2;
  FILE *f = fopen(argv[2], "rb");
  if (!f) {
    printf("CertUtil: -hashfile command FAILED: 0x80070002 (WIN32: 2 ERROR_FILE_NOT_FOUND)\n");
    return 2;
  }
  uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  unsigned char buf[64];
  uint64_t total = 0;
  size_t n;
  while ((n = fread(buf, 1, 64, f)) == 64) {
    block(h, buf);
    total += 64;
  }
  fclose(f);
  total += n;
  buf[n++] = 0x80;
  if (n > 56) {
    memset(buf + n, 0, 64 - n);
    block(h, buf);
    n = 0;
  }
  memset(buf + n, 0, 56 - n);
  for (int i = 0; i < 8; i++) buf[56 + i] = (unsigned char)((total * 8) >> (56 - 8 * i));
  block(h, buf);
  printf("SHA256 hash of %s:\n", argv[2]);
  for (int i = 0; i < 8; i++) printf("%08x", (unsigned)h[i]);
  printf("\nCertUtil: -hashfile command completed successfully.\n");
  return 0;
}
#endif

#ifdef STAND_IN_CACLS
int main(int argc, char **argv) {
  if (argc != 3 || strcmp(argv[2], "/s") != 0) return 2;
  const char *sddl = getenv("ZEPT_TEST_SDDL");
  if (!sddl) sddl = "D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
  char path[MAX_PATH];
  WIN32_FIND_DATAA found;
  if (strcmp(argv[1], ".") == 0) {
    GetFullPathNameA(".", sizeof path, path, NULL);
    printf("%s \"%s\"\n", path, sddl);
    return 0;
  }
  HANDLE h = FindFirstFileA(argv[1], &found);
  if (h == INVALID_HANDLE_VALUE) return 2;
  do {
    if (strcmp(found.cFileName, ".") == 0 || strcmp(found.cFileName, "..") == 0) continue;
    GetFullPathNameA(found.cFileName, sizeof path, path, NULL);
    printf("%s \"%s\"\n", path, sddl);
  } while (FindNextFileA(h, &found));
  FindClose(h);
  return 0;
}
#endif
