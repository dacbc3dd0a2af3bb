/* A point-of-sale program as a user of the package writes it: plain C,
 * built with the installed header and pkg-config file against the installed
 * library. With no unit on the configured device the driver must answer
 * with its own busy reply, which the reply buffer the legacy header names
 * holds as well. */
#include <stdio.h>
#include <string.h>
#include <zunra_sat.h>
#include <zunra_sat_legacy.h>

int main(void) {
  const char* expected = "000042|08098|SAT em processamento. Tente novamente.||";
  const char* reply = ConsultarSAT(42);
  if (reply == NULL || strcmp(reply, expected) != 0) {
    printf("ConsultarSAT(42) answered \"%s\"\n", reply ? reply : "(null)");
    return 1;
  }
  if (strcmp(reply, BC.data) != 0) {
    printf("BC.data does not hold the reply\n");
    return 1;
  }
  return 0;
}
