// Received messages on their way back to libnats, in batches.
//
// libnats frees a message in its cleanup thread, and every natsMsg_Destroy
// wakes that thread: a context switch per message. A spent message is
// therefore kept here until 64 have gathered, and they go together; the
// last ones go when their owner calls releaseAll (the idle service's tick,
// the end of the connection).
//
// Not locked: every release happens under the connection's call lock.
#ifndef XOSYS_NET_SPENTMESSAGES_H
#define XOSYS_NET_SPENTMESSAGES_H

#include <nats/nats.h>

#include <array>
#include <cstddef>
#include <memory>

namespace xosys {

class SpentMessages {
  public:
    static const size_t kBatch = 64;

    SpentMessages() = default;
    ~SpentMessages() { releaseAll(); }
    SpentMessages(const SpentMessages&) = delete;
    SpentMessages& operator=(const SpentMessages&) = delete;

    // Takes m, which must not be used afterwards; destroys the batch once it
    // is full. A fixed array: releasing never allocates.
    void release(natsMsg* m) {
        m_held[m_count++] = m;
        if (m_count == kBatch) {
            releaseAll();
        }
    }
    // Destroys every message held.
    void releaseAll() {
        for (size_t i = 0; i < m_count; ++i) {
            natsMsg_Destroy(m_held[i]);
        }
        m_count = 0;
    }

  private:
    std::array<natsMsg*, kBatch> m_held{};
    size_t m_count = 0;
};

// Hands a message to its batch; without one (a default-made holder) the
// message is destroyed at once.
struct ReleaseTo {
    SpentMessages* batch = nullptr;
    void operator()(natsMsg* m) const {
        if (batch != nullptr) {
            batch->release(m);
        } else {
            natsMsg_Destroy(m);
        }
    }
};

// A received message, owned by the caller until it goes back to the batch of
// its connection; it must go (under the call lock) before the connection.
using HeldMsg = std::unique_ptr<natsMsg, ReleaseTo>;

}  // namespace xosys

#endif  // XOSYS_NET_SPENTMESSAGES_H
