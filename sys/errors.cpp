#include "sys/errors.h"

#include <cerrno>
#include <cstring>

namespace kelvor {

ExSystemErrorBase::ExSystemErrorBase(const std::string& context, int number)
    : ExError(context), full_text_(context + ": " + std::strerror(number)), number_(number) {}

void throw_system_error(const std::string& context, int number) {
  switch (number) {
    case EPERM: throw ExSystemError<EPERM>(context);
    case ENOENT: throw ExSystemError<ENOENT>(context);
    case EINTR: throw ExSystemError<EINTR>(context);
    case ECHILD: throw ExSystemError<ECHILD>(context);
    case EAGAIN: throw ExSystemError<EAGAIN>(context);
    default: throw ExSystemErrorBase(context, number);
  }
}

namespace sys {

TSysCallErr::TSysCallErr(int number) : TSysErr(std::strerror(number)), number_(number) {}

}  // namespace sys
}  // namespace kelvor
