/* Prints the C interface's version, through the installed library. */
#include <stdio.h>

#include "reinstall/handover_c.h"

int main(void) {
  printf("interface %u\n", (unsigned)reinstall_interface_version());
  return reinstall_interface_version() == REINSTALL_HANDOVER_C_VERSION ? 0 : 1;
}
