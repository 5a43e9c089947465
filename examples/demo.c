/* A first look at varnfile. */
#include <stdio.h>

#include "varnfile.h"

int main(void) {
  printf("varnfile library version %u\n", (unsigned)VARNFileVersion());
  return 0;
}
