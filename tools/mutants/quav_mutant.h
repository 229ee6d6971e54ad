// The run-time switch of the mutant build, force-included into every driver source there (never into the
// kernel build). Each mutation of the generated sources sits behind QuavMutant(Id): reaching it marks the
// site as reached (the per-test coverage), and it answers whether Id is the one mutant this run enables
// (QUAV_MUTANT, read once at start by switch.cpp). No includes: driver code builds without the host's.
#pragma once

extern "C" unsigned char QuavMutantReached[];
extern "C" unsigned int QuavMutantActive;

static inline bool QuavMutant(unsigned int Id)
{
    QuavMutantReached[Id] = 1;
    return Id == QuavMutantActive;
}
