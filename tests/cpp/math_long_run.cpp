// The long run of the logarithms and power against MPFR: every argument
// family, COUNT arguments in all (spread evenly over the families), on
// THREADS threads; prints each family's count and misrounded results and
// exits non-zero on any misrounding.
//   qor_math_long_run COUNT [THREADS] [SEED]

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "math_oracle.h"

int main(int argc, char** argv) {
    using namespace qor::math_oracle;
    const std::int64_t total = argc > 1 ? std::atoll(argv[1]) : 1'000'000;
    const int threads = argc > 2 ? std::atoi(argv[2]) : 1;
    const std::uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1;
    const std::vector<Family> all = families();
    const std::int64_t per_family = total / static_cast<std::int64_t>(all.size());
    std::atomic<std::int64_t> misrounded{0};
    std::mutex output;
    const auto start = std::chrono::steady_clock::now();
    for (const Family& family : all) {
        std::vector<std::thread> workers;
        std::atomic<std::int64_t> family_misrounded{0};
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                std::mt19937_64 random(seed * 1000003 + std::hash<std::string>{}(family.name) + static_cast<std::uint64_t>(t));
                Oracle oracle;
                for (std::int64_t i = t; i < per_family; i += threads) {
                    const Arguments a = family.draw(random);
                    const double got = engine(family.function, a.x, a.y);
                    const double expected = oracle.nearest(family.function, a.x, a.y);
                    if (!identical(got, expected)) {
                        ++family_misrounded;
                        std::lock_guard<std::mutex> lock(output);
                        std::printf("MISROUNDED %s(%a, %a) = %a, nearest %a\n", function_name(family.function), a.x,
                                    a.y, got, expected);
                    }
                }
            });
        }
        for (auto& worker : workers) worker.join();
        misrounded += family_misrounded;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%-28s %12lld arguments %6lld misrounded  (%.0f s so far)\n", family.name.c_str(),
                    static_cast<long long>(per_family), static_cast<long long>(family_misrounded.load()), seconds);
        std::fflush(stdout);
    }
    std::printf("total %lld arguments, %lld misrounded\n", static_cast<long long>(per_family * all.size()),
                static_cast<long long>(misrounded.load()));
    return misrounded == 0 ? 0 : 1;
}
