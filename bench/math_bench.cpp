// The engine's log, log10 and pow against the system library's: median cost
// per call over typical arguments (batches of calls, system and engine
// interleaved, thread CPU time), and their ratio.

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

#include "math/correctly_rounded.h"

namespace {

double thread_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

struct Arguments {
    std::vector<double> x, y;
};

using Call = std::function<double(double, double)>;

// Median nanoseconds per call of each of the two, over `rounds` batches.
std::pair<double, double> median_costs(const Arguments& a, const Call& system, const Call& engine, int rounds) {
    std::vector<double> system_costs, engine_costs;
    volatile double sink = 0;
    for (int round = 0; round < rounds; ++round) {
        for (int which = 0; which < 2; ++which) {
            const Call& call = which == 0 ? system : engine;
            double sum = 0;
            const double start = thread_seconds();
            for (std::size_t i = 0; i < a.x.size(); ++i) sum += call(a.x[i], a.y[i]);
            const double cost = (thread_seconds() - start) * 1e9 / static_cast<double>(a.x.size());
            sink = sink + sum;
            (which == 0 ? system_costs : engine_costs).push_back(cost);
        }
    }
    const auto median = [](std::vector<double>& costs) {
        std::nth_element(costs.begin(), costs.begin() + costs.size() / 2, costs.end());
        return costs[costs.size() / 2];
    };
    return {median(system_costs), median(engine_costs)};
}

Arguments draw(int count, const std::function<std::pair<double, double>(std::mt19937_64&)>& one) {
    std::mt19937_64 random(2026);
    Arguments a;
    for (int i = 0; i < count; ++i) {
        const auto [x, y] = one(random);
        a.x.push_back(x);
        a.y.push_back(y);
    }
    return a;
}

}  // namespace

int main() {
    constexpr int batch = 20000;
    constexpr int rounds = 41;
    std::uniform_real_distribution<double> exponent(-10.0, 10.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto spread = [&](std::mt19937_64& r) { return std::pair{std::exp2(exponent(r)), 0.0}; };
    struct Case {
        const char* name;
        Arguments arguments;
        Call system, engine;
    };
    const std::vector<Case> cases = {
        {"log(x), x in [2^-10, 2^10]", draw(batch, spread), [](double x, double) { return std::log(x); },
         [](double x, double) { return qor::math::log(x); }},
        {"log10(x), x in [2^-10, 2^10]", draw(batch, spread), [](double x, double) { return std::log10(x); },
         [](double x, double) { return qor::math::log10(x); }},
        {"pow(x, y), x in [2^-10, 2^10], y in [-10, 10]",
         draw(batch, [&](std::mt19937_64& r) { return std::pair{std::exp2(exponent(r)), 20.0 * unit(r) - 10.0}; }),
         [](double x, double y) { return std::pow(x, y); }, [](double x, double y) { return qor::math::pow(x, y); }},
        {"pow(x, n), n an integer in [-8, 8]",
         draw(batch, [&](std::mt19937_64& r) { return std::pair{100.0 * unit(r), std::floor(17.0 * unit(r)) - 8.0}; }),
         [](double x, double y) { return std::pow(x, y); }, [](double x, double y) { return qor::math::pow(x, y); }},
        {"pow(x, 1/n), n in [2, 9]",
         draw(batch, [&](std::mt19937_64& r) { return std::pair{1000.0 * unit(r), 1.0 / (2 + static_cast<int>(8 * unit(r)))}; }),
         [](double x, double y) { return std::pow(x, y); }, [](double x, double y) { return qor::math::pow(x, y); }},
    };
    qor::math::log(2.0);  // the tables
    std::printf("%-48s %10s %10s %7s\n", "median ns per call", "system", "engine", "ratio");
    for (const Case& c : cases) {
        const auto [system, engine] = median_costs(c.arguments, c.system, c.engine, rounds);
        std::printf("%-48s %10.1f %10.1f %6.2fx\n", c.name, system, engine, engine / system);
    }
}
