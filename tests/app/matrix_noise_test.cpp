// Random corruption of the bytes in one direction at a fixed rate: every run
// must end updated with a correct flash or with an error message, after which
// a clean re-run updates the switch. A success over a bad flash is the fault
// this matrix exists to catch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "app/matrix_support.h"
#include "app/program_run.h"
#include "app/switch_fixture.h"
#include "app/update_expectations.h"

namespace {

// The last two are collisions of the bootloader's byte-sum checksum, made on
// purpose: a data line whose groups were exchanged, or which lost a
// character, and still sums as sent.
enum Damage { REPLACED, BURSTS, LOST, INSERTED, EXCHANGED, LOST_UNSEEN };

struct Noise {
    std::string name;
    int image;
    bool toHost;   // damage what the switch sends, else what it hears
    Damage damage;
    double rate;
};

double& rateOf(SimFaults& faults, Damage damage, bool toHost) {
    switch (damage) {
    case BURSTS: return toHost ? faults.burstToHostRate : faults.burstRate;
    case LOST: return toHost ? faults.loseToHostRate : faults.loseRate;
    case INSERTED: return toHost ? faults.insertToHostRate : faults.insertRate;
    default: return toHost ? faults.corruptToHostRate : faults.corruptRate;
    }
}

void applyNoise(SimFaults& faults, const Noise& noise, std::uint32_t seed) {
    faults.corruptSeed = seed;
    const unsigned line = 4 + (seed - 1) * 97;   // another block for every seed
    if (noise.damage == EXCHANGED)
        faults.exchangeGroups = line;
    else if (noise.damage == LOST_UNSEEN)
        faults.loseCollision = line;
    else
        rateOf(faults, noise.damage, noise.toHost) = noise.rate;
}

SimOptions switchFor(int image) {
    return image == 0 ? imageOneSwitch() : imageTwoSwitch();
}

// The reduced form (2 seeds) updates every run at the first answer. One of
// two leaves room for chance; without the lines "0" of a resync three rows got none.
constexpr int REDUCED_FIRST_ANSWER_FLOOR = 1;

class NoiseMatrix : public testing::TestWithParam<Noise> {};

TEST_P(NoiseMatrix, NeverReportsSuccessOverABadFlash) {
    const Noise& noise = GetParam();
    if (!fullMatrix() && noise.damage == REPLACED && noise.rate < 1e-3)
        GTEST_SKIP() << "the reduced matrix runs only the highest rate";
    if (!fullMatrix() && noise.damage != REPLACED && noise.damage < EXCHANGED && noise.image != 0)
        GTEST_SKIP() << "the reduced matrix runs the other kinds of damage with one image";
    const std::uint32_t seeds = fullMatrix() ? 20 : 2;
    int updated = 0, firstAnswer = 0, errors = 0, recovered = 0, falseSuccesses = 0, hung = 0;
    unsigned slowestMs = 0, slowestAnswerMs = 0;   // a run; a run divided by the passes asked for
    for (std::uint32_t seed = 1; seed <= seeds; ++seed) {
        TempDir ports;
        SimOptions options = switchFor(noise.image);
        options.capture = false;
        applyNoise(options.faults, noise, seed);
        SwitchHandle sim = startSwitch(options, ports, 3);
        const ProgramRun run = runProgram({"3"}, ports.path(), {{"(Y,N) ", "yyyyyyyy"}}, 180000);
        if (run.timedOut) ++hung;
        slowestMs = std::max(slowestMs, run.elapsedMs);
        slowestAnswerMs = std::max(slowestAnswerMs, run.elapsedMs / std::max(1u, answersGiven(run.output)));
        EXPECT_FALSE(run.timedOut) << "seed " << seed;
        const bool flashGood = flashHoldsImage(sim.get(), noise.image);
        if (reportedSuccess(run.output)) {
            (flashGood ? updated : falseSuccesses) += 1;
            if (flashGood && answersGiven(run.output) == 1) ++firstAnswer;
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
    std::printf(
        "MATRIX noise %s: runs %u, updated %d (at the first answer %d), error %d (recovered %d), "
        "false successes %d, hung %d, slowest %u ms (per answer %u ms)\n",
        noise.name.c_str(), seeds, updated, firstAnswer, errors, recovered, falseSuccesses, hung, slowestMs,
        slowestAnswerMs);
    if (!fullMatrix()) {
        EXPECT_GE(firstAnswer, REDUCED_FIRST_ANSWER_FLOOR) << "runs updated at the first answer";
    }
    if (noise.damage >= EXCHANGED) {
        EXPECT_EQ(firstAnswer, static_cast<int>(seeds)) << "the echo shows every collision";
    }
}

// Replaced bytes at three rates; bursts, lost and inserted bytes at a rate
// that makes a few likely in a pass (the switch sends about 8 KB of a pass's
// 226 KB, so its direction gets higher rates).
std::vector<Noise> noiseCases() {
    struct Kind {
        const char* name;
        Damage damage;
        double toSwitch, toHost;
    };
    static const Kind KINDS[] = {
        {"Replaced1e5", REPLACED, 1e-5, 1e-5},
        {"Replaced1e4", REPLACED, 1e-4, 1e-4},
        {"Replaced1e3", REPLACED, 1e-3, 1e-3},
        {"Bursts", BURSTS, 1e-5, 2e-4},
        {"Lost", LOST, 1e-4, 5e-4},
        {"Inserted", INSERTED, 1e-4, 5e-4},
    };
    std::vector<Noise> cases;
    for (int image = 0; image < 2; ++image) {
        const std::string imageName = image == 0 ? "ImageOne" : "ImageTwo";
        for (int toHost = 0; toHost < 2; ++toHost)
            for (const Kind& kind : KINDS)
                cases.push_back({imageName + (toHost ? "ToHost" : "ToSwitch") + kind.name, image, toHost == 1,
                                 kind.damage, toHost ? kind.toHost : kind.toSwitch});
        cases.push_back({imageName + "ToSwitchGroupsExchanged", image, false, EXCHANGED, 0});
        cases.push_back({imageName + "ToSwitchLostUnseen", image, false, LOST_UNSEEN, 0});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Rates, NoiseMatrix, testing::ValuesIn(noiseCases()),
                         [](const testing::TestParamInfo<Noise>& info) { return info.param.name; });

}   // namespace
