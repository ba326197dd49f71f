// The service's own report moments for scripts/bench: reads serial numbers, one a line, and
// prints each one's moment of the interval with report_spread.
// Usage: tolvu_moments INSTALLER_ID INTERVAL < serials
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "service/schedule.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fputs("Usage: tolvu_moments INSTALLER_ID INTERVAL < serials\n", stderr);
    return 2;
  }
  long interval = strtol(argv[2], nullptr, 10);
  char serial[256];
  while (fgets(serial, sizeof(serial), stdin)) {
    serial[strcspn(serial, "\r\n")] = '\0';
    printf("%lld\n", static_cast<long long>(report_moment(serial, argv[1], interval)));
  }
  return 0;
}
