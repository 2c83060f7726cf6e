#pragma once
// Pacing of the stream worker's receive calls while a stream flows. Waking for every arriving
// datagram costs a thread wake-up and a system call or two per datagram; pausing between calls
// lets datagrams gather in the socket so that one call takes many. The pause adapts to what the
// previous one gathered: it halves when the socket filled past a quarter of its buffer, so a
// burst never comes near overrunning it, and grows back towards the maximum when little came.
#include <chrono>
#include <cstddef>

namespace korvalite::gige::stream {

class ReceivePacer {
public:
    // `max_pause` zero or less: no pausing. `socket_buffer`: the bytes the kernel lets queue.
    ReceivePacer(std::chrono::nanoseconds max_pause, std::size_t socket_buffer);

    // The pause before the next receive call; zero: receive at once.
    std::chrono::nanoseconds pause() const { return pause_; }
    // The receive that followed a pause took `bytes`.
    void gathered(std::size_t bytes);

private:
    std::chrono::nanoseconds max_pause_;
    std::size_t budget_;  // queued bytes a pause may let gather
    std::chrono::nanoseconds pause_;
};

}  // namespace korvalite::gige::stream
