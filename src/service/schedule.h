// When cycles run. By default one runs at start and then one an interval after each. With
// easycwmp.bandwidth.report_spread '1' each router runs them at its own moment of the interval,
// the wall-clock times where time mod interval equals the moment, so that a fleet that boots
// together does not report together.
#pragma once

#include <cstdint>

struct Schedule {
  int64_t interval = 240;
  int64_t moment = 0;  // seconds into each interval; with spread only
  bool spread = false;
};

// The moment of the interval at which this router's cycles run: from a hash of its serial number
// and installer ID, so that the same router keeps it across reboots, a fleet's routers spread
// evenly over the interval, and two fleets with the same serials spread apart.
int64_t report_moment(const char* serial, const char* installer_id, int64_t interval);

// What has just happened when the next cycle is worked out.
enum class Since { kStart, kWait, kCycle };

// The seconds to wait, at wall-clock time now, before the next cycle. Without spread: an interval
// after a cycle, none otherwise. With spread: to the next moment, up to one interval; none when
// now is the moment and no cycle has just run in it, or when a wait has just ended a second past
// it (a wait of whole seconds that began late in a second). A wait that ends off the moment (the
// clock stepped meanwhile) so goes on to the next one.
int64_t seconds_to_cycle(const Schedule& schedule, int64_t now, Since since);

// At start: reads easycwmp.bandwidth.report_spread and, when it is 1, this router's moment from
// its serial and installer ID, and says when cycles run.
Schedule start_schedule(int64_t interval);
