// A job's kernel traffic meter where it runs, and what the job's launcher needs of it.
#pragma once

#include <memory>
#include <string>

#include "meter/traffic_meter.h"
#include "sys/exec.h"

// The panel configuration's line "ZENTRA_TRAFFIC_METER off" turns the meter off.
inline constexpr const char* kMeterSetting = "ZENTRA_TRAFFIC_METER";

// As root, before the job becomes the system user: the meter of the cgroup
// "zentra.<cgroup_name>", or null when the panel configuration turns it off (nothing is
// logged then) or the host can not run it (one log line says why: the library's figure bills).
std::unique_ptr<kelvor::meter::TrafficMeter> start_kernel_meter(const std::string& job_name,
                                                                const std::string& cgroup_name);

// `launcher`, whose process joins the meter's cgroup before exec (a child that can not join
// fails and runs nothing) and finds ZENTRA_KERNEL_METER=1 in its environment. Without a meter
// the variable is taken out of the job's environment: the launcher then counts on the library alone.
kelvor::sys::TExec metered(kelvor::sys::TExec launcher, const kelvor::meter::TrafficMeter* meter);
