// The host side of quav_mutant.h: the sites' reached flags and the enabled mutant.
#pragma once

#include <cstddef>

inline constexpr std::size_t kQuavMutantSites = 1 << 16;

extern "C" unsigned char QuavMutantReached[kQuavMutantSites];
extern "C" unsigned int QuavMutantActive;
