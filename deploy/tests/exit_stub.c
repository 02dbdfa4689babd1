/* A stand-in for nzeptins.exe in the Windows wrapper's tests: reads its
 * answers to the end, changes nothing, and ends with the status that
 * FAKE_STATUS names. */
#include <stdio.h>
#include <stdlib.h>

int main(void) {
  const char *status = getenv("FAKE_STATUS");
  while (getchar() != EOF) {
  }
  printf("stand-in ended with %s\n", status ? status : "0");
  return status ? atoi(status) : 0;
}
