// The counting programs that all metered jobs of a host share, attached once: a socket call
// then costs one lookup however many jobs run. Nothing is pinned: the programs stay attached
// while any job holds them, and go with the last.
#pragma once

#include <string>

#include "sys/unique_fd.h"

namespace kelvor::meter {

class SharedPrograms {
public:
  // As root, while the caller holds the lock that the jobs of this host take around it: holds
  // the programs that the registry at `registry_path` (a file in a directory only root
  // writes) names while they still run and are of this layout; else loads and attaches them
  // and names them there. Throws MeterUnavailable.
  explicit SharedPrograms(const std::string& registry_path);

  // The map from metered cgroup ids to their jobs' counts.
  int meters() const noexcept { return meters_.get(); }

private:
  // Takes the programs that `registry` names; false when they are gone or unfit.
  bool take_registered(const std::string& registry);
  void load_and_attach();
  void register_at(const std::string& registry) const;

  kelvor::sys::UniqueFd sent_;      // the links: held, they keep the programs attached
  kelvor::sys::UniqueFd received_;
  kelvor::sys::UniqueFd meters_;
};

}  // namespace kelvor::meter
