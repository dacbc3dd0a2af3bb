/* A till started as a daemon, its standard input, output and error closed,
 * with console lines on (NO_POPUP=false in sat.ini). No descriptor the
 * driver opens may take the place of standard output: the console lines
 * would go to the unit. Makes three calls and writes their replies to the
 * file argv[1]. */
#include <stdio.h>
#include <unistd.h>
#include <zunra_sat.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  close(0);
  close(1);
  close(2);
  char replies[3][16];
  for (int i = 0; i < 3; ++i) snprintf(replies[i], sizeof replies[i], "%.12s", ConsultarSAT(i + 1));
  FILE* out = fopen(argv[1], "w");
  if (!out) return 1;
  for (int i = 0; i < 3; ++i) fprintf(out, "%s\n", replies[i]);
  return fclose(out) == 0 ? 0 : 1;
}
