#include "Printers.h"

#include <OstralShellKit/RingTone.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace ostral {
namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kSampleRate = 48000.0;

TEST(RingTone, ReadsAndWritesItsRawValues) {
    EXPECT_EQ(RingTone(RingTone::recruiting).rawValue(), "recruiting");
    EXPECT_EQ(RingTone(RingTone::fleet).rawValue(), "fleet");
    for (const RingTone tone : RingTone::allCases) {
        EXPECT_EQ(RingTone::fromRawValue(tone.rawValue()), tone);
    }
    for (const char* text : {"", "Fleet", "fleet ", "ring", "recruit"}) {
        EXPECT_EQ(RingTone::fromRawValue(text), std::nullopt) << text;
    }
}

TEST(RingTone, EachToneHasItsOwnChord) {
    EXPECT_EQ(RingTone(RingTone::recruiting).pattern(), (RingPattern{{440.0, 480.0}, 0.25}));
    EXPECT_EQ(RingTone(RingTone::fleet).pattern(), (RingPattern{{520.0, 580.0}, 0.22}));
}

TEST(RingPattern, SamplesTheDecayingChordInsideTheBurst) {
    struct Case {
        std::string name;
        RingTone tone;
        double t;
        double volume;
        double firstFrequency;
        double secondFrequency;
        double gain;
    };
    const std::vector<Case> cases = {
        {"recruiting early in the burst", RingTone::recruiting, 0.0123, 1.0, 440, 480, 0.25},
        {"recruiting mid burst at half volume", RingTone::recruiting, 0.61, 0.5, 440, 480, 0.25},
        {"recruiting just before the burst ends", RingTone::recruiting, 1.1999, 1.0, 440, 480,
         0.25},
        {"fleet early in the burst", RingTone::fleet, 0.0457, 1.0, 520, 580, 0.22},
        {"fleet in the second cycle", RingTone::fleet, 3.3, 0.8, 520, 580, 0.22},
        {"fleet many cycles later", RingTone::fleet, 3000.9, 1.0, 520, 580, 0.22},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const double phase = std::fmod(c.t, 3.0);
        const double expected = c.volume * c.gain * (1.0 - phase / 1.2) *
                                (std::sin(kTwoPi * c.firstFrequency * phase) +
                                 std::sin(kTwoPi * c.secondFrequency * phase));
        const float sample = c.tone.pattern().sample(c.t, c.volume);
        EXPECT_NEAR(sample, expected, 1e-6);
        EXPECT_NE(sample, 0.0f);
    }
}

TEST(RingPattern, IsSilentWhereNoSoundIsDue) {
    struct Case {
        std::string name;
        double t;
        double volume;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    const std::vector<Case> cases = {
        {"the start, where every sine is at phase zero", 0.0, 1.0},
        {"the end of the burst", 1.2, 1.0},
        {"inside the pause", 2.0, 1.0},
        {"late in the pause", 2.9, 1.0},
        {"the start of the next cycle", 3.0, 1.0},
        {"the end of a later burst", 4.2, 1.0},
        {"volume zero", 0.3, 0.0},
        {"negative volume", 0.3, -1.0},
        {"volume not a number", 0.3, nan},
        {"time not a number", nan, 1.0},
        {"infinite time", infinity, 1.0},
    };
    for (const RingTone tone : RingTone::allCases) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(tone.rawValue()) + ": " + c.name);
            EXPECT_EQ(tone.pattern().sample(c.t, c.volume), 0.0f);
        }
    }
}

TEST(RingPattern, RepeatsEveryPeriodAndScalesWithVolume) {
    const RingPattern pattern = RingTone(RingTone::recruiting).pattern();
    EXPECT_EQ(pattern.sample(3.0, 1.0), pattern.sample(0.0, 1.0));
    for (const double t : {0.05, 0.33, 0.9, 1.15}) {
        SCOPED_TRACE(t);
        const float first = pattern.sample(t, 1.0);
        EXPECT_NEAR(pattern.sample(t + 3.0, 1.0), first, 1e-5);
        EXPECT_NEAR(pattern.sample(t + 30.0, 1.0), first, 1e-5);
        EXPECT_NEAR(pattern.sample(t, 0.25), first * 0.25, 1e-7);
    }
}

TEST(RingPattern, AnAbsurdVolumeStaysWithinTheFloatRange) {
    const RingPattern pattern = RingTone(RingTone::fleet).pattern();
    for (const double volume : {1e300, std::numeric_limits<double>::infinity()}) {
        const float sample = pattern.sample(0.01, volume);
        EXPECT_TRUE(std::isfinite(sample)) << volume;
        EXPECT_EQ(std::fabs(sample), std::numeric_limits<float>::max()) << volume;
    }
}

std::vector<float> render(const RingPattern& pattern, double seconds, double volume) {
    std::vector<float> samples;
    const auto frames = static_cast<std::size_t>(seconds * kSampleRate);
    samples.reserve(frames);
    for (std::size_t frame = 0; frame < frames; ++frame) {
        samples.push_back(pattern.sample(static_cast<double>(frame) / kSampleRate, volume));
    }
    return samples;
}

// The largest magnitude of the samples between `from` and `to` seconds.
float peak(const std::vector<float>& samples, double from, double to) {
    float largest = 0.0f;
    for (auto frame = static_cast<std::size_t>(from * kSampleRate);
         frame < static_cast<std::size_t>(to * kSampleRate); ++frame) {
        largest = std::max(largest, std::fabs(samples[frame]));
    }
    return largest;
}

// The power of one frequency in the samples between `from` and `to` seconds (Goertzel).
double power(const std::vector<float>& samples, double from, double to, double frequency) {
    const double coefficient = 2.0 * std::cos(kTwoPi * frequency / kSampleRate);
    double previous = 0.0;
    double beforePrevious = 0.0;
    for (auto frame = static_cast<std::size_t>(from * kSampleRate);
         frame < static_cast<std::size_t>(to * kSampleRate); ++frame) {
        const double current = samples[frame] + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    return previous * previous + beforePrevious * beforePrevious -
           coefficient * previous * beforePrevious;
}

TEST(RingPattern, RendersBurstsOfTheChordFollowedBySilence) {
    for (const RingTone tone : RingTone::allCases) {
        SCOPED_TRACE(std::string(tone.rawValue()));
        const RingPattern pattern = tone.pattern();
        const std::vector<float> samples = render(pattern, 6.0, 1.0);

        for (std::size_t frame = 0; frame < samples.size(); ++frame) {
            const double phase = std::fmod(static_cast<double>(frame) / kSampleRate, 3.0);
            if (phase >= 1.2) {
                ASSERT_EQ(samples[frame], 0.0f) << "frame " << frame;
            }
        }

        // Both bursts sound, starting near the full gain of the two summed sines and fading.
        for (const double cycle : {0.0, 3.0}) {
            SCOPED_TRACE(cycle);
            const float early = peak(samples, cycle, cycle + 0.1);
            EXPECT_GT(early, 1.8 * pattern.gain);
            EXPECT_LE(early, 2.0 * pattern.gain);
            EXPECT_GT(early, peak(samples, cycle + 0.4, cycle + 0.5));
            EXPECT_GT(peak(samples, cycle + 0.4, cycle + 0.5),
                      peak(samples, cycle + 0.8, cycle + 0.9));
            EXPECT_GT(peak(samples, cycle + 0.8, cycle + 0.9),
                      peak(samples, cycle + 1.1, cycle + 1.2));
            EXPECT_LT(peak(samples, cycle + 1.19, cycle + 1.2), 0.02 * pattern.gain);
        }

        // The burst holds its own two frequencies and not the other tone's.
        const double own = std::min(power(samples, 0.0, 1.2, pattern.frequencies[0]),
                                    power(samples, 0.0, 1.2, pattern.frequencies[1]));
        for (const RingTone other : RingTone::allCases) {
            if (other == tone) {
                continue;
            }
            for (const double frequency : other.pattern().frequencies) {
                EXPECT_GT(own, 100.0 * power(samples, 0.0, 1.2, frequency)) << frequency;
            }
        }
        EXPECT_GT(own, 100.0 * power(samples, 0.0, 1.2, 1000.0));
    }
}

TEST(RingPattern, HalfVolumeRendersHalfTheSignal) {
    const RingPattern pattern = RingTone(RingTone::recruiting).pattern();
    const std::vector<float> full = render(pattern, 3.0, 1.0);
    const std::vector<float> half = render(pattern, 3.0, 0.5);
    EXPECT_NEAR(peak(half, 0.0, 3.0), 0.5f * peak(full, 0.0, 3.0), 1e-6);
}

} // namespace
} // namespace ostral
