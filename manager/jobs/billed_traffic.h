// The figure that bills a job's traffic: where the kernel meter runs, the larger of its total
// and the statistics library's, else the library's; where both count, the two are compared.
#pragma once

#include <cstdint>
#include <string>

namespace kelvor::meter {
class TrafficMeter;
}

// The library reports its count once it reaches this many bytes: while a process runs, up to
// one byte less of its traffic is still unreported.
inline constexpr std::uint64_t kLibraryLag = 10240;
// What the two figures may differ by once every process has reported.
inline constexpr std::uint64_t kFewBytes = 16;

class BilledTraffic {
public:
  // Counts from the meter's present figure on (null: no meter); `job_name` starts log lines.
  BilledTraffic(const kelvor::meter::TrafficMeter* meter, std::string job_name);

  // Takes the library's bytes read since the last call and returns the bytes to bill for the
  // same time: the library's, or, with a meter, the growth of the larger of the two totals.
  // The two totals are then compared, and a difference logged with both figures when it
  // appears, when it turns the other way and at the `final` call (not again while it stays the
  // same): the library ahead of the kernel (TCP splice, forged records), or behind it by more
  // than kLibraryLag, or at the `final` call, once every process has reported, by more than
  // kFewBytes (paths the library can not see: static programs, libc's own calls, death by a
  // signal). The library's figure is read before the meter's, so that its records are in the
  // kernel's.
  std::uint64_t take(std::uint64_t library_bytes, bool final);

private:
  void compare(std::uint64_t meter_total, bool final);

  const kelvor::meter::TrafficMeter* meter_;
  std::string job_name_;
  std::uint64_t meter_start_ = 0;
  std::uint64_t billed_ = 0;  // the larger total at the last call
  std::uint64_t library_total_ = 0;
  __int128 logged_gap_ = 0;  // meter minus library at the last line; 0 before the first
};
