/* A till program in the locale its environment names (pt_BR.UTF-8 on a
 * Brazilian till), using the library's INI functions on the file argv[1].
 * Prints its own decimal separator before and after the calls, whether
 * ini_getf read rate=1.5 as 1.5, and ini_putf's result. */
#include <locale.h>
#include <stdio.h>

#include "ini_file.h"

int main(int argc, char** argv) {
  if (argc != 2 || setlocale(LC_ALL, "") == NULL) return 2;
  char before[8], after[8];
  snprintf(before, sizeof before, "%.1f", 1.5);
  const int read_back = ini_getf("S", "rate", -1.0f, argv[1]) == 1.5f;
  const int written = ini_putf("S", "out", 2.25f, argv[1]);
  snprintf(after, sizeof after, "%.1f", 1.5);
  printf("%s %s getf=%d putf=%d\n", before, after, read_back, written);
  return 0;
}
