// Constants of the subband-entropy detector. Every threshold lies within a few
// ten-thousandths of -8*ln(32) = -27.7258872, the value of a flat spectrum at
// the spectral floor, so they are written with all their digits.
#ifndef VAD_SUBBANDENTROPYTABLES_H
#define VAD_SUBBANDENTROPYTABLES_H

namespace sbe {

// Frames whose mean lies outside +-kDcLimit are analysed with the mean removed.
constexpr double kDcLimit = 1000.0;

// Learned threshold T -> provisional t = (T + kLearnRaise) - kLearnDrop.
constexpr double kLearnRaise = 0.0001;
constexpr double kLearnDrop = 7e-5;
constexpr double kOutBelowIn = 2e-5;

// Background classes by t (speech modes 0 and 1).
constexpr double kClass3Low = -27.72583;      // class 3: kClass3Low < t < kClass4Low
constexpr double kClass4Low = -27.7258;       // class 4: t >= kClass4Low
constexpr double kClass2Low = -27.725854555;  // class 2: kClass2Low < t <= kClass3Low
constexpr double kClass1Low = -27.72585555;   // class 1: kClass1Low < t <= kClass2Low
constexpr double kClass1LowDrc = -27.725857;  // the same with dynamic range control on

// Raises of In and Out per noise class.
constexpr double kClass3In = 0.00012;
constexpr double kClass3Out = 0.00018;
constexpr double kClass2In = 6e-5;
constexpr double kClass2Out = 6e-5;
constexpr double kClass4In = 0.00015;
constexpr double kClass4Out = 0.00015;

// Fixed thresholds of the slight-noise and silence classes.
constexpr double kClass1In = -27.725866;
constexpr double kClass1Out = -27.72588;
constexpr double kClass0In = -27.7258825;
constexpr double kClass0Out = -27.72588525;

// Speech mode 2.
constexpr double kMode2Raise = 0.00025;
constexpr double kMode2OutBelowIn = 0.0001;

// Zero-crossing check of the learning frames 3 .. nN-1.
constexpr int kZcFirstFrame = 3;
constexpr double kZcLoudFrame = 1000.0;  // mean amplitude of a frame that counts
constexpr double kZcNone = 1000.0;       // zmin when no figure applies
constexpr double kZcMin = 30.0;
constexpr double kZcMax = 130.0;

// In-speech raise of Out when a new maximum H is seen, class 0: first H bound
// that H exceeds selects the raise.
struct Raise {
    double above;
    double raise;
};
constexpr Raise kSilenceRaise[] = {
    {-27.7257, 1.225e-5}, {-27.725775, 1.1e-5}, {-27.7258, 1e-5}, {-27.72584, 1e-6}};
// Classes 1-4.
constexpr double kNoiseRaiseAbove = -27.7246;
constexpr double kNoiseRaise = 0.00018;

// Background adjustment by the learned amplitude dBasicEnergy.
constexpr double kQuietBackground = 8.0;
constexpr double kLoudBackground = 90.0;
constexpr double kQuietIn = -4.3e-6;
constexpr double kQuietOut = -1.85e-6;
constexpr double kQuietPauseMax = -27.725885;
constexpr double kQuietPauseDrop = 1.85e-6;  // pause: In follows Out minus this

// ... and by dMaxSubEntro (first bound that it is below selects the row;
// In is only assigned by the first two rows).
struct MaxAdjust {
    double below;
    double out;
    bool setIn;
    double in;
};
constexpr MaxAdjust kMaxAdjust[] = {{-27.725881, -1.85e-6, true, -3.8e-6},
                                    {-27.725873, -1.55e-6, true, -2.8e-6},
                                    {-27.72584, -1e-6, false, 0.0},
                                    {-27.72582, -5e-7, false, 0.0},
                                    {-27.7257, 0.0, false, 0.0}};

// Speech mode 0 in a noisy background (class >= 2): stay in speech.
constexpr double kNoisyStayOut = -24.0;

// Speech modes 1, 2: pause threshold relative to the segment's maximum.
constexpr double kPauseMaxAbove = -27.7246;
constexpr double kPauseMaxDivisor = 5.0;

}  // namespace sbe

#endif  // VAD_SUBBANDENTROPYTABLES_H
