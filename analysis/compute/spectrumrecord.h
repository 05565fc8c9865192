#pragma once
// The power density over frequency (PSD) of one current channel: FFTs of consecutive blocks
// of N samples, without window and with the mean left in, averaged over M blocks and
// published as a one-sided density. The consumer holds one per channel under its result lock; the widget
// gets copies.

#include <QList>
#include <QString>

#include <fftw3.h>

#include <complex>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

// Memory as FFTW wants it (aligned for its SIMD code paths), so that every record's buffers
// share the alignment of the arrays its plans were made with.
template <typename T> struct FftwAllocator {
    using value_type = T;
    FftwAllocator() = default;
    template <typename U> FftwAllocator(const FftwAllocator<U>&) {}
    T* allocate(size_t n) {
        void* p = fftw_malloc(n * sizeof(T));
        if (!p) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t) { fftw_free(p); }
    template <typename U> bool operator==(const FftwAllocator<U>&) const { return true; }
};
template <typename T> using FftwVector = std::vector<T, FftwAllocator<T>>;

// The real-to-complex forward plan for n points, made on first use and kept for the life of
// the process. FFTW's planner is not thread-safe, so planning is serialised under one
// process-wide mutex; executing a plan on other arrays of the same alignment is safe from
// any thread.
fftw_plan realToComplexPlan(int n);

struct SpectrumRecord {
    static constexpr int maximumFftSize = 32768;
    // The block sizes offered: powers of two from 512 to 32768.
    static bool isFftSize(int n);

    double minimumIntegrationTime = 2.0; // T, seconds
    int averages = 1;                    // M = ceil(fs T / N)
    double scale = 0.0;                  // 2 / ((N M - 1) fs)
    int fftSize = 512;                   // N
    int halfSize = 256;
    double frequencyStep = 0.0;
    // Sized once for the largest N; only the first halfSize (N for input, N/2 + 1 for output)
    // entries are in use, so a change of N never allocates.
    FftwVector<double> frequencies;
    FftwVector<double> powerSum;
    FftwVector<double> spectrum;
    QList<int> shape;
    FftwVector<double> input;
    FftwVector<std::complex<double>> output;
    int blocksDone = 0;
    int fill = 0;
    QString unitLabel;
    // Samples that were not finite numbers. One would spread over every bin of its block, so
    // the block is dropped and filling starts again after the sample.
    int64_t invalidSamples = 0;

    SpectrumRecord();

    // Sets N and T; the record is to be reset afterwards. Returns false and changes nothing
    // for a size that is not offered or a time that is not positive.
    bool setOptions(int fftSize, double minimumIntegrationTime);
    // Starts a new average at sampling rate fs (Hz) and lays out the frequency axis.
    void reset(double samplingRate, const QString& unitLabel);

    // Feeds `count` consecutive samples spaced `stride` values apart; a partly filled block
    // waits for the next call. Returns how many results were published during the call.
    int add(const double* samples, size_t count, size_t stride = 1);

  private:
    void transformBlock();
    fftw_plan plan = nullptr;
};
