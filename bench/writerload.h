#pragma once
// A hook read the way a file writer reads: raw rows in blocks, as fast as they come.

#include "acquisition/datahook.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace kav4bench {

// Reads raw rows until `rows` rows were read.
inline void readAsWriter(DataHook& hook, uint64_t rows) {
    std::vector<uint16_t> data;
    for (uint64_t done = 0; done < rows; done += data.size() / hook.ring.rowWidth()) {
        readRawData(hook, data, true, 4096);
        benchmark::DoNotOptimize(data.data());
    }
}

} // namespace kav4bench
