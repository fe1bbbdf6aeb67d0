#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "sys/errors.h"

using namespace kelvor;

TEST(SystemErrors, TypedByErrorNumberWithContextAndFullText) {
  try {
    throw_system_error("waitpid() failed", ECHILD);
  } catch (const ExSystemError<ECHILD>& e) {
    EXPECT_EQ(std::string(e.what()), std::string("waitpid() failed: ") + std::strerror(ECHILD));
    EXPECT_EQ(e.context(), "waitpid() failed");
    EXPECT_EQ(e.error_number(), ECHILD);
  }
}

TEST(SystemErrors, InterruptedCallIsCaughtByItsOwnTypeAndBasesOnly) {
  auto catches_as_echild = [] {
    try {
      throw_system_error("x", EINTR);
    } catch (const ExSystemError<ECHILD>&) {
      return true;
    } catch (const ExSystemError<EINTR>&) {
      return false;
    }
    return false;
  };
  EXPECT_FALSE(catches_as_echild());
  EXPECT_THROW(throw_system_error("x", EINTR), ExSystemErrorBase);
  EXPECT_THROW(throw_system_error("x", EINTR), ExError);
  EXPECT_THROW(throw_system_error("x", EINTR), std::exception);
}

TEST(SystemErrors, NumbersWithoutATypeOfTheirOwn) {
  for (int number : {0, EACCES, EIO}) {
    try {
      throw_system_error("ctx", number);
    } catch (const ExSystemErrorBase& e) {
      EXPECT_EQ(e.error_number(), number);
      EXPECT_EQ(std::string(e.what()), std::string("ctx: ") + std::strerror(number));
    }
  }
}

TEST(SystemCallErrors, TextIsTheSystemDescriptionAlone) {
  const sys::TSysCallErr e(ENOENT);
  EXPECT_EQ(std::string(e.what()), std::strerror(ENOENT));
  EXPECT_EQ(e.error_number(), ENOENT);
  EXPECT_THROW(throw e, sys::TSysErr);
  EXPECT_THROW(throw e, TError);
}
