#include "manager/jobs/billed_traffic.h"

#include "manager/jobs/job_log.h"
#include "manager/jobs/statistics_reader.h"
#include "meter/traffic_meter.h"

BilledTraffic::BilledTraffic(const kelvor::meter::TrafficMeter* meter, std::string job_name)
    : meter_(meter), job_name_(std::move(job_name)), meter_start_(meter ? meter->bytes() : 0) {}

std::uint64_t BilledTraffic::take(std::uint64_t library_bytes, bool final) {
  library_total_ = saturating_add(library_total_, library_bytes);
  if (!meter_) return library_bytes;
  const std::uint64_t meter_total = meter_->bytes() - meter_start_;
  const std::uint64_t growth = meter_total - meter_billed_;
  meter_billed_ = meter_total;
  compare(meter_total, final);
  return growth;
}

void BilledTraffic::compare(std::uint64_t meter_total, bool final) {
  const __int128 gap = static_cast<__int128>(meter_total) - static_cast<__int128>(library_total_);
  const __int128 allowed_behind = final ? kFewBytes : kLibraryLag;
  if (gap >= -static_cast<__int128>(kFewBytes) && gap <= allowed_behind) return;
  const __int128 change = gap - logged_gap_;
  if (change >= -static_cast<__int128>(kFewBytes) && change <= static_cast<__int128>(kFewBytes)) return;
  logged_gap_ = gap;
  job_log(LOG_WARNING, job_name_ + ": traffic differs: kernel meter " + std::to_string(meter_total) +
                           " bytes, statistics library " + std::to_string(library_total_) + " bytes");
}
