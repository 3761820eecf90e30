// One interface over every digest unit, chosen by algorithm number: what the engine, the
// command line and the tests feed bytes through without caring which unit is behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "digest/gost94.h"

namespace velquor::digest {

class Accumulator {
public:
    virtual ~Accumulator() = default;
    // Any number of adds of any sizes (beyond 4 GiB too) before finish.
    virtual void add(const void* data, std::size_t count) = 0;
    // The digest bytes (CRC-32: its four bytes, most significant first). Call once.
    virtual std::string finish() = 0;
};

// A started accumulator for an algorithm number (1..7); nullptr for an unknown algorithm or,
// for algorithm 7, a SHA-2 size the unit does not accept.
std::unique_ptr<Accumulator> makeAccumulator(std::int32_t algorithm, std::int32_t sha2Size = 256,
                                             GostParameterSet gost = GostParameterSet::Test);

}  // namespace velquor::digest
