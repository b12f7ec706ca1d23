// InterruptCheck: how a long core operation learns that its caller wants it
// to stop (Ctrl-C in Python), without the core knowing who asks.
#pragma once

namespace kivo {

// Polled at safe points of long operations (every few ms of work); true stops the
// operation, which then returns KivoError of kind Interrupted and leaves the index unchanged.
struct InterruptCheck {
    bool (*poll)(void* context) = nullptr;
    void* context = nullptr;
    bool requested() const { return poll != nullptr && poll(context); }
};

}  // namespace kivo
