#include "analysis/compute/spectrumrecord.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>

namespace {

// The plans made so far, destroyed with FFTW's own tables when the process ends.
struct PlanCache {
    std::mutex plannerMutex;
    std::map<int, fftw_plan> plans;
    ~PlanCache() {
        for (auto& [n, plan] : plans)
            if (plan) fftw_destroy_plan(plan);
        fftw_cleanup();
    }
};

} // namespace

fftw_plan realToComplexPlan(int n) {
    static PlanCache cache;
    const std::lock_guard lock(cache.plannerMutex);
    fftw_plan& plan = cache.plans[n];
    if (!plan) {
        // Estimated rather than measured: planning takes milliseconds instead of most of a
        // second, on whichever thread changes N, and the transforms cost little either way.
        FftwVector<double> in(static_cast<size_t>(n));
        FftwVector<std::complex<double>> out(static_cast<size_t>(n / 2 + 1));
        plan = fftw_plan_dft_r2c_1d(n, in.data(), reinterpret_cast<fftw_complex*>(out.data()), FFTW_ESTIMATE);
    }
    return plan;
}

bool SpectrumRecord::isFftSize(int n) {
    return n >= 512 && n <= maximumFftSize && (n & (n - 1)) == 0;
}

SpectrumRecord::SpectrumRecord()
    : frequencies(maximumFftSize / 2), powerSum(maximumFftSize / 2), spectrum(maximumFftSize / 2),
      input(maximumFftSize), output(maximumFftSize / 2 + 1) {}

bool SpectrumRecord::setOptions(int n, double seconds) {
    if (!isFftSize(n) || !(seconds > 0.0) || !std::isfinite(seconds)) return false;
    fftSize = n;
    minimumIntegrationTime = seconds;
    return true;
}

void SpectrumRecord::reset(double samplingRate, const QString& label) {
    halfSize = fftSize / 2;
    unitLabel = label;
    blocksDone = 0;
    fill = 0;
    invalidSamples = 0;
    frequencyStep = samplingRate / fftSize;
    for (int k = 1; k <= halfSize; k++)
        frequencies[size_t(k - 1)] = k * samplingRate / fftSize;
    shape = {fftSize};
    averages = std::max(1, int(std::ceil(samplingRate * minimumIntegrationTime / fftSize)));
    scale = 2.0 / ((double(fftSize) * averages - 1.0) * samplingRate);
    plan = realToComplexPlan(fftSize);
}

void SpectrumRecord::transformBlock() {
    fftw_execute_dft_r2c(plan, input.data(), reinterpret_cast<fftw_complex*>(output.data()));
    fill = 0;
    // The DC bin is left out: the density starts at fs / N.
    const std::complex<double>* bins = output.data() + 1;
    double* sums = powerSum.data();
    if (blocksDone == 0) {
        for (int i = 0; i < halfSize; i++)
            sums[i] = std::norm(bins[i]);
    } else {
        for (int i = 0; i < halfSize; i++)
            sums[i] += std::norm(bins[i]);
    }
    blocksDone++;
}

int SpectrumRecord::add(const double* samples, size_t count, size_t stride) {
    if (!plan) return 0; // not reset yet: no rate, no plan
    int published = 0;
    double* block = input.data();
    for (size_t i = 0; i < count;) {
        // A run up to the block's end, copied before it is looked at: the usual run holds
        // nothing but numbers, and this is the loop every sample goes through.
        const size_t run = std::min(count - i, size_t(fftSize - fill));
        double* to = block + fill;
        bool finite = true;
        for (size_t k = 0; k < run; k++) {
            to[k] = samples[(i + k) * stride];
            finite &= std::isfinite(to[k]);
        }
        i += run;
        fill += int(run);
        if (!finite) {
            // Filling starts again after the run's last sample that is not a number.
            int last = 0;
            for (int k = 0; k < int(run); k++)
                if (!std::isfinite(to[k])) {
                    invalidSamples++;
                    last = k + 1;
                }
            std::copy(to + last, to + run, block);
            fill = int(run) - last;
        }
        if (fill < fftSize) continue;
        transformBlock();
        if (blocksDone < averages) continue;
        for (int k = 0; k < halfSize; k++)
            spectrum[size_t(k)] = powerSum[size_t(k)] * scale;
        blocksDone = 0;
        published++;
    }
    return published;
}
