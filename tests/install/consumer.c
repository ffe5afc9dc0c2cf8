/* A program built against an installed dap32, as a user's would be: it prints the version the
 * library reports, which the install test compares with the package's. */
#include <stdio.h>
#include <string.h>

#include "dap32.h"

int main(void) {
  char text[64];
  int32_t version, build;
  if (dapAttach(1, 0) != 1) return 1;
  version = dapGetInteger(0, DAP_GET_VERSION);
  build = dapGetInteger(0, DAP_GET_BUILD);
  dapErrorText(0, DAP_ERR_ALREADY_ATTACHED, text, sizeof text);
  dapRelease();
  if (strcmp(text, "Already attached.") != 0) return 1;
  printf("dap32 %d.%d.%d build %d\n", (int)(version >> 8), (int)((version >> 4) & 15),
         (int)(version & 15), (int)build);
  return 0;
}
