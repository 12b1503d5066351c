/* Prints the C interface's version, through the installed library. */
#include <stdio.h>

#include "reinstall/handover_c.h"

int main(void) {
  const uint32_t version = reinstall_interface_version();
  printf("interface %u.%u\n", (unsigned)(version >> 16), (unsigned)(version & 0xFFFF));
  return version >> 16 == REINSTALL_HANDOVER_C_VERSION_MAJOR ? 0 : 1;
}
