#include "DescriptorLimit.h"

#include <sys/resource.h>

std::uint64_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur != limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : limit.rlim_cur;
}

QString DescriptorShortfall(std::uint64_t Readers, std::uint64_t PerReader, std::uint64_t Extra, std::uint64_t Limit) {
  const std::uint64_t needed = Readers * PerReader + FixedDescriptors + Extra;
  if (needed <= Limit) return {};
  return QStringLiteral("%1 readers need about %2 open files and this process may open %3; raise LimitNOFILE= in the unit "
                        "(or ulimit -n) to %2 or more; no reader contacted")
      .arg(Readers)
      .arg(needed)
      .arg(Limit);
}
