#pragma once
// The delay as a listener hears it, measured on one time base: a short burst goes into a sink,
// the program under test records that sink's monitor and plays into the same sink, so the burst
// comes back every time it has gone once round the program. One recording of the monitor holds
// them all; the distance between two echoes is the program's end-to-end delay, to the sample.
// Pure functions; safe from any thread.

#include <cstdint>
#include <vector>

namespace una::sound {

// 10 ms of windowed pseudo-random noise at the rate, interleaved stereo (the right channel is
// the left one negated). Its autocorrelation has one sharp peak, so an echo is found to the
// sample even after the sound server has resampled it.
std::vector<int16_t> echoBurst(uint32_t rate);

struct Echo {
    double frame = 0;  // where the burst starts, in frames of the recording (sub-sample)
    double match = 0;  // normalised correlation with the burst, 0..1
};

// Every copy of the burst in an interleaved stereo recording at rate (whatever rate the burst
// was played at), in order; copies that match less than minMatch are not counted.
std::vector<Echo> findEchoes(const std::vector<int16_t>& stereo, uint32_t rate,
                             double minMatch = 0.6);

// Seconds between consecutive echoes.
std::vector<double> echoIntervals(const std::vector<Echo>& echoes, uint32_t rate);

}  // namespace una::sound
