#include <OstralShellKit/RingTone.h>

#include <cmath>
#include <limits>

namespace ostral {

float RingPattern::sample(double t, double volume) const {
    const double phase = std::fmod(t, period);
    if (!(phase < burst) || !(volume > 0)) {
        return 0.0f;
    }
    const double envelope = gain * (1.0 - phase / burst);
    double sum = 0.0;
    for (const double frequency : frequencies) {
        sum += std::sin(6.283185307179586 * frequency * phase);
    }
    const double value = volume * (envelope * sum);
    // Converting a double beyond the float range is undefined, and an absurd volume must not
    // produce one: such a sample is held at the largest float of its sign.
    constexpr double largest = std::numeric_limits<float>::max();
    if (value > largest) {
        return std::numeric_limits<float>::max();
    }
    if (value < -largest) {
        return std::numeric_limits<float>::lowest();
    }
    if (std::isnan(value)) {
        return 0.0f;
    }
    return static_cast<float>(value);
}

std::optional<RingTone> RingTone::fromRawValue(std::string_view text) {
    for (const RingTone tone : allCases) {
        if (tone.rawValue() == text) {
            return tone;
        }
    }
    return std::nullopt;
}

std::string_view RingTone::rawValue() const {
    switch (value_) {
    case recruiting:
        return "recruiting";
    case fleet:
        return "fleet";
    }
    return "recruiting";
}

RingPattern RingTone::pattern() const {
    switch (value_) {
    case recruiting:
        return RingPattern{{440.0, 480.0}, 0.25};
    case fleet:
        return RingPattern{{520.0, 580.0}, 0.22};
    }
    return RingPattern{{440.0, 480.0}, 0.25};
}

} // namespace ostral
