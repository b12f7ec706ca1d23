// Micro benchmark of the quantization front half: Rhdh::apply against the
// plain butterfly loop, Rhdh::create, and QuantPipeline transform/encode.
// Usage: bench_quantize [iterations-scale]   (prints one line per case)
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <span>
#include <vector>

#include "config.h"
#include "quantize/pipeline.h"
#include "quantize/rotation.h"

using namespace kivo;

namespace {

// The transform written as its definition reads, for comparison.
std::vector<float> plain_apply(std::span<const int8_t> signs, std::span<const float> x) {
    const std::size_t n = signs.size();
    std::vector<float> y(n, 0.0f);
    for (std::size_t i = 0; i < x.size(); ++i) y[i] = static_cast<float>(signs[i]) * x[i];
    for (std::size_t h = 1; h < n; h *= 2) {
        for (std::size_t b = 0; b < n; b += 2 * h) {
            for (std::size_t i = b; i < b + h; ++i) {
                const float u = y[i];
                const float v = y[i + h];
                y[i] = u + v;
                y[i + h] = u - v;
            }
        }
    }
    const float c = 1.0f / std::sqrt(static_cast<float>(n));
    for (float& v : y) v = v * c;
    return y;
}

template <class F>
double ns_per_call(std::size_t iters, F&& f) {
    volatile float sink = 0.0f;
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < iters; ++i) sink = sink + f();
    const auto stop = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::nano>(stop - start).count() / static_cast<double>(iters);
}

}  // namespace

int main(int argc, char** argv) {
    const double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
    std::mt19937 gen(1);
    std::normal_distribution<float> dist(0.0f, 1.0f);
    for (uint64_t dim : {128u, 768u, 1536u, 4096u, 65536u}) {
        std::vector<float> x(dim);
        for (float& v : x) v = dist(gen);
        const std::size_t iters = static_cast<std::size_t>(scale * 2e7 / static_cast<double>(dim)) + 1;

        const auto rhdh = quantize::Rhdh::create(dim, vocab::kDefaultSeed);
        const double fast = ns_per_call(iters, [&] { return rhdh.apply(x)[0]; });
        const double plain = ns_per_call(iters, [&] { return plain_apply(rhdh.signs(), x)[0]; });
        const double create = ns_per_call(iters / 8 + 1, [&] {
            return static_cast<float>(quantize::Rhdh::create(dim, vocab::kDefaultSeed).signs()[0]);
        });

        vocab::EngineConfig config;
        config.dim = dim;
        config.n4_dims = rhdh.padded_dim();
        const auto pipeline = quantize::QuantPipeline::create(config);
        if (!pipeline) return 1;
        const double transform = ns_per_call(iters, [&] { return pipeline->transform_query(x)[0]; });
        const double encode = ns_per_call(iters, [&] { return static_cast<float>(pipeline->encode(x)[0]); });

        std::printf("dim %6llu  apply %10.0f ns  plain loop %10.0f ns  create %10.0f ns  "
                    "transform_query(cosine) %10.0f ns  encode(cosine, 4-bit) %10.0f ns\n",
                    static_cast<unsigned long long>(dim), fast, plain, create, transform, encode);
    }
    return 0;
}
