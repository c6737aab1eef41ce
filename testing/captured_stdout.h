// What an action prints on standard output, for tests of the lines the
// programs show.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

inline std::string CapturedStdout(const std::function<void()>& action) {
  testing::internal::CaptureStdout();
  action();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}
