// Random corruption of the bytes in one direction at a fixed rate: every run
// must end updated with a correct flash or with an error message, after which
// a clean re-run updates the switch. A success over a bad flash is the fault
// this matrix exists to catch.
#include <gtest/gtest.h>

#include <cstdio>

#include "app/matrix_support.h"
#include "app/program_run.h"
#include "app/switch_fixture.h"
#include "app/update_expectations.h"

namespace {

struct Noise {
    const char* name;
    int image;
    bool toHost;   // corrupt what the switch sends, else what it hears
    double rate;
};

SimOptions switchFor(int image) { return image == 0 ? imageOneSwitch() : imageTwoSwitch(); }

class NoiseMatrix : public testing::TestWithParam<Noise> {};

TEST_P(NoiseMatrix, NeverReportsSuccessOverABadFlash) {
    const Noise& noise = GetParam();
    if (!fullMatrix() && noise.rate < 1e-3) GTEST_SKIP() << "the reduced matrix runs only the highest rate";
    const std::uint32_t seeds = fullMatrix() ? 20 : 2;
    int updated = 0, errors = 0, recovered = 0, falseSuccesses = 0, hung = 0;
    for (std::uint32_t seed = 1; seed <= seeds; ++seed) {
        TempDir ports;
        SimOptions options = switchFor(noise.image);
        options.capture = false;
        (noise.toHost ? options.faults.corruptToHostRate : options.faults.corruptRate) = noise.rate;
        options.faults.corruptSeed = seed;
        SwitchHandle sim = startSwitch(options, ports, 3);
        const ProgramRun run = runProgram({"3"}, ports.path(), {{"(Y,N) ", "yyyyyyyy"}}, 180000);
        if (run.timedOut) ++hung;
        EXPECT_FALSE(run.timedOut) << "seed " << seed;
        const bool flashGood = flashHoldsImage(sim.get(), noise.image);
        if (reportedSuccess(run.output)) {
            (flashGood ? updated : falseSuccesses) += 1;
            EXPECT_TRUE(flashGood) << "seed " << seed << "\n" << run.output;
            continue;
        }
        ++errors;
        simSetFaults(sim.get(), SimFaults{});
        simReset(sim.get());
        const ProgramRun rerun = runProgram({"3"}, ports.path(), {{"(Y,N) ", "yyy"}});
        const bool fixed = reportedSuccess(rerun.output) && flashHoldsImage(sim.get(), noise.image);
        if (fixed) ++recovered;
        EXPECT_TRUE(fixed) << "seed " << seed << "\nnoisy run:\n" << run.output << "\nrerun:\n" << rerun.output;
    }
    std::printf("MATRIX noise %s: runs %u, updated %d, error %d (recovered %d), false successes %d, hung %d\n",
                noise.name, seeds, updated, errors, recovered, falseSuccesses, hung);
}

std::vector<Noise> noiseCases() {
    std::vector<Noise> cases;
    static const char* const NAMES[2][2][3] = {
        {{"ImageOneToSwitch1e5", "ImageOneToSwitch1e4", "ImageOneToSwitch1e3"},
         {"ImageOneToHost1e5", "ImageOneToHost1e4", "ImageOneToHost1e3"}},
        {{"ImageTwoToSwitch1e5", "ImageTwoToSwitch1e4", "ImageTwoToSwitch1e3"},
         {"ImageTwoToHost1e5", "ImageTwoToHost1e4", "ImageTwoToHost1e3"}}};
    const double rates[3] = {1e-5, 1e-4, 1e-3};
    for (int image = 0; image < 2; ++image)
        for (int toHost = 0; toHost < 2; ++toHost)
            for (int r = 0; r < 3; ++r)
                cases.push_back({NAMES[image][toHost][r], image, toHost == 1, rates[r]});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Rates, NoiseMatrix, testing::ValuesIn(noiseCases()),
                         [](const testing::TestParamInfo<Noise>& info) { return std::string(info.param.name); });

}  // namespace
