#include "service/schedule.h"

#include <inttypes.h>
#include <string.h>
#include <time.h>

#include "common/fnv1a.h"
#include "common/log.h"
#include "inputs/config.h"
#include "report/accounting.h"

int64_t report_moment(const char* serial, const char* installer_id, int64_t interval) {
  // FNV-1a over "serial\0installer\0", then a finaliser so that serials that differ in one digit
  // land anywhere in the interval; in 32 bits, as a router computes best.
  uint32_t hash = kFnv1aBasis;
  for (const char* text : {serial, installer_id}) hash = fnv1a(hash, text, strlen(text) + 1);
  hash ^= hash >> 16;
  hash *= 0x85ebca6bu;
  hash ^= hash >> 13;
  hash *= 0xc2b2ae35u;
  hash ^= hash >> 16;
  // Scaled to the interval: as even as a remainder, without a division.
  uint64_t scaled = static_cast<uint64_t>(hash) * static_cast<uint32_t>(interval);
  return static_cast<int64_t>(scaled >> 32);
}

int64_t seconds_to_cycle(const Schedule& schedule, int64_t now, Since since) {
  int64_t interval = schedule.interval;
  if (!schedule.spread) return since == Since::kCycle ? interval : 0;
  // Seconds past the moment, in 32 bits (a 32-bit router has no 64-bit division): Unix time
  // fits them until 2106.
  uint32_t span = static_cast<uint32_t>(interval);
  int64_t past =
      (static_cast<uint32_t>(now) % span + span - static_cast<uint32_t>(schedule.moment)) % span;
  if (since == Since::kCycle) return interval - past;
  // A wait of whole seconds that began late in a second may end just past the next one.
  bool on_moment = past == 0 || (since == Since::kWait && past == 1 && interval > 2);
  return on_moment ? 0 : interval - past;
}

Schedule start_schedule(int64_t interval) {
  Schedule schedule;
  schedule.interval = interval;
  schedule.spread = config_is("easycwmp", "bandwidth", "report_spread", "1");
  if (schedule.spread) {
    ConfigField serial{}, installer{};
    config_get(serial, "easycwmp", "@device[0]", "serial_number");
    config_get(installer, "easycwmp", "global", "host");
    schedule.moment = report_moment(serial.data(), installer.data(), interval);
    int64_t now = static_cast<int64_t>(time(nullptr));
    announce("Cycles run %" PRId64 " s into every %" PRId64
             " s interval (report_spread), the first at %s",
             schedule.moment, interval,
             local_time_text(now + seconds_to_cycle(schedule, now, Since::kStart)).data());
  }
  return schedule;
}
