// The same work on one thread and on several: a case run on each thread
// count, every result expected equal to the one-thread result, which is
// the reference (the path where every block is coded in turn).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <utility>

#include "parallel_for.h"

namespace testing_support {

// Expects result equal to reference, context naming the case; a text is
// shown, other values only compared (pixels and file bytes are long).
template <typename Result>
void ExpectSameResult(const Result& result, const Result& reference, const std::string& context) {
  if constexpr (std::is_same_v<Result, std::string>) {
    EXPECT_EQ(result, reference) << context;
  } else {
    EXPECT_TRUE(result == reference) << context;
  }
}

// A pair, such as the pixels read and the bytes written, part by part.
template <typename First, typename Second>
void ExpectSameResult(const std::pair<First, Second>& result, const std::pair<First, Second>& reference,
                      const std::string& context) {
  ExpectSameResult(result.first, reference.first, context + ", first part");
  ExpectSameResult(result.second, reference.second, context + ", second part");
}

// Runs produce(threads) with the usable CPUs fixed to threads
// (UsableCpuOverride), for each of counts in turn, the first being the
// reference, and expects every later result the same, what naming the
// case; returns the reference.
template <typename Produce>
auto ExpectSameOnEveryThreadCount(const std::string& what, const Produce& produce,
                                  std::initializer_list<std::uint32_t> counts = {1, 2, 5}) {
  const std::uint32_t* count = counts.begin();
  const auto run = [&produce](std::uint32_t threads) {
    const tessvane::UsableCpuOverride cpus(threads);
    return produce(threads);
  };
  const auto reference = run(*count);
  for (++count; count != counts.end(); ++count) {
    ExpectSameResult(run(*count), reference, what + ", " + std::to_string(*count) + " threads");
  }
  return reference;
}

}  // namespace testing_support
