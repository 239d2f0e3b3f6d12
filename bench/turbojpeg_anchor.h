// The anchor every coding benchmark is measured against: libjpeg-turbo
// compressing the same BGRX picture (quality 90, 4:4:4, fast DCT), which
// does the same colour conversion, transform, quantisation and Huffman work.
#pragma once

#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <memory>

#include "frame_scenes.h"

namespace frame_scenes {

inline void turbojpeg_anchor(benchmark::State &state, const Picture &p) {
    std::unique_ptr<void, int (*)(tjhandle)> h(tjInitCompress(), tjDestroy);
    const unsigned long capacity = tjBufSize(p.width, p.height, TJSAMP_444);
    std::unique_ptr<unsigned char, void (*)(unsigned char *)> buf(
        tjAlloc(static_cast<int>(capacity)), tjFree);
    unsigned long size = 0;
    for (auto _ : state) {
        unsigned char *out = buf.get();
        size = capacity;
        if (tjCompress2(h.get(), p.bgrx.data(), p.width, p.width * 4, p.height, TJPF_BGRX, &out,
                        &size, TJSAMP_444, 90, TJFLAG_FASTDCT | TJFLAG_NOREALLOC) != 0) {
            state.SkipWithError(tjGetErrorStr2(h.get()));
            break;
        }
        benchmark::DoNotOptimize(out);
    }
    state.counters["bytes"] = static_cast<double>(size);
}

}  // namespace frame_scenes
