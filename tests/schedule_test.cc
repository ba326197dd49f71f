#include "service/schedule.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ScheduleTest, MomentsSpreadASerialsFleetEvenlyAndStayPut) {
  constexpr int64_t kInterval = 240;
  int tenths[10] = {};
  int moved = 0;
  for (int i = 0; i < 1000; ++i) {
    std::string serial = "SN-" + std::to_string(100000 + i);
    int64_t moment = report_moment(serial.c_str(), "acme", kInterval);
    ASSERT_GE(moment, 0);
    ASSERT_LT(moment, kInterval);
    ++tenths[moment * 10 / kInterval];
    EXPECT_EQ(report_moment(serial.c_str(), "acme", kInterval), moment);
    if (report_moment(serial.c_str(), "acme2", kInterval) != moment) ++moved;
  }
  for (int count : tenths) {
    EXPECT_GE(count, 50);
    EXPECT_LE(count, 150);
  }
  // Another installer's fleet lands elsewhere but for the chance of a shared second (1 in 240).
  EXPECT_GT(moved, 960);
  EXPECT_EQ(report_moment("SN-0042", "acme", 1), 0);
}

TEST(ScheduleTest, WaitsForTheMomentWhateverTheClockDoes) {
  constexpr int64_t kBase = 1800000000 / 240 * 240;  // a whole number of intervals
  const Schedule spread{240, 100, true};
  const Schedule plain{240, 0, false};
  const Schedule each_second{1, 0, true};
  struct Case {
    const Schedule& schedule;
    int64_t now;
    Since since;
    int64_t wait;
  } cases[] = {
      {plain, kBase + 37, Since::kStart,
       0},  // today's timing: at start and after a wait, a cycle now
      {plain, kBase + 37, Since::kWait, 0},
      {plain, kBase + 37, Since::kCycle, 240},
      {spread, kBase + 40, Since::kStart, 60},    // at start: wait for the moment
      {spread, kBase + 100, Since::kStart, 0},    // on it
      {spread, kBase + 101, Since::kStart, 239},  // past it
      {spread, kBase + 101, Since::kWait, 0},     // a wait of whole seconds that ended just past it
      {spread, kBase + 102, Since::kWait, 238},   // past it: the next one
      {spread, kBase + 100, Since::kCycle, 240},  // a cycle ran in it: the next interval's
      {spread, kBase + 101, Since::kCycle, 239},
      {spread, kBase + 99, Since::kCycle,
       1},  // after a cycle SIGUSR1 asked for, the moment as always
      {spread, kBase + 100 - 1000, Since::kWait, 40},  // stepped back: the next moment
      {spread, kBase + 100 + 2 * 365 * 86400 + 17, Since::kWait,
       223},                          // stepped forward by two years
      {spread, 5, Since::kWait, 95},  // a clock from 1970
      {each_second, kBase + 3, Since::kWait, 0},
      {each_second, kBase + 3, Since::kCycle, 1},
  };
  for (const Case& c : cases) {
    int64_t wait = seconds_to_cycle(c.schedule, c.now, c.since);
    EXPECT_EQ(wait, c.wait) << c.now - kBase << " since " << static_cast<int>(c.since);
    // Never back to back, never more than an interval.
    EXPECT_LE(wait, c.schedule.interval);
    EXPECT_GE(wait, c.since == Since::kCycle ? 1 : 0);
  }
}

}  // namespace
