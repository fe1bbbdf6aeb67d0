#include "manager/jobs/billed_traffic.h"

#include <algorithm>

#include "manager/jobs/job_log.h"
#include "manager/jobs/statistics_reader.h"
#include "meter/traffic_meter.h"

BilledTraffic::BilledTraffic(const kelvor::meter::TrafficMeter* meter, std::string job_name)
    : meter_(meter), job_name_(std::move(job_name)), meter_start_(meter ? meter->bytes() : 0) {}

std::uint64_t BilledTraffic::take(std::uint64_t library_bytes, bool final) {
  library_total_ = saturating_add(library_total_, library_bytes);
  if (!meter_) return library_bytes;
  const std::uint64_t meter_total = meter_->bytes() - meter_start_;
  // The kernel does not see TCP's splice, which the library counts: each total only grows, so
  // the larger one bills all that either figure saw alone, and what both saw once.
  const std::uint64_t billed_total = std::max(meter_total, library_total_);
  const std::uint64_t growth = billed_total - billed_;
  billed_ = billed_total;
  compare(meter_total, final);
  return growth;
}

void BilledTraffic::compare(std::uint64_t meter_total, bool final) {
  const __int128 gap = static_cast<__int128>(meter_total) - static_cast<__int128>(library_total_);
  const __int128 allowed_behind = final ? kFewBytes : kLibraryLag;
  if (gap >= -static_cast<__int128>(kFewBytes) && gap <= allowed_behind) return;
  // A static program parts the figures a little more at every flush: the line comes when they
  // part, when they part the other way, and at the end, not once a minute for the job's life.
  // A logged gap is never 0: it lay outside the tolerance.
  if (logged_gap_ != 0 && !final && (gap > 0) == (logged_gap_ > 0)) return;
  const __int128 change = gap - logged_gap_;
  if (change >= -static_cast<__int128>(kFewBytes) && change <= static_cast<__int128>(kFewBytes)) return;
  logged_gap_ = gap;
  job_log(LOG_WARNING, job_name_ + ": traffic differs: kernel meter " + std::to_string(meter_total) +
                           " bytes, statistics library " + std::to_string(library_total_) + " bytes");
}
