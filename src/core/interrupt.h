// InterruptCheck: how a long operation asks its caller whether to stop.
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
