#include "linux/head_ring.h"

#include <cerrno>
#include <cstdint>

#if FIXQUORVIN_HAVE_URING
#include <liburing.h>
#endif

namespace native {

#if FIXQUORVIN_HAVE_URING

struct HeadRing::Ring {
    io_uring ring{};
    std::vector<uint8_t> buffer;   // depth heads; their bytes are thrown away
    bool made = false;
    bool readsLeft = false;        // a wait failed with reads still going
    ~Ring() {
        if (!made) return;
        io_uring_queue_exit(&ring);
        // The kernel may still write into the buffer: it is left to it.
        if (readsLeft) new std::vector<uint8_t>(std::move(buffer));
    }
};

std::unique_ptr<HeadRing> HeadRing::Make(unsigned depth) {
    if (depth == 0) return nullptr;
    auto ring = std::make_unique<Ring>();
    if (io_uring_queue_init(depth, &ring->ring, 0) != 0) return nullptr;
    ring->made = true;
    return std::unique_ptr<HeadRing>(new HeadRing(std::move(ring), depth));
}

bool HeadRing::Read(const std::vector<int>& fds, size_t head) {
    if (m_failed || fds.size() > m_depth) return false;
    if (fds.empty()) return true;
    if (m_ring->buffer.size() < size_t(m_depth) * head) m_ring->buffer.resize(size_t(m_depth) * head);
    for (size_t i = 0; i < fds.size(); ++i) {
        io_uring_sqe* sqe = io_uring_get_sqe(&m_ring->ring);
        if (sqe == nullptr) {   // cannot happen with room for depth: the ring is not to be trusted
            m_failed = true;
            return false;
        }
        io_uring_prep_read(sqe, fds[i], m_ring->buffer.data() + i * head, static_cast<unsigned>(head), 0);
    }
    // All are submitted or none (the kernel takes what fits); what was
    // submitted is waited for, whatever fails.
    size_t submitted = 0;
    while (submitted < fds.size()) {
        const int n = io_uring_submit(&m_ring->ring);
        if (n == -EINTR || n == -EAGAIN || n == -EBUSY) continue;
        if (n <= 0) {
            m_failed = true;
            break;
        }
        submitted += static_cast<size_t>(n);
    }
    for (size_t done = 0; done < submitted;) {
        io_uring_cqe* cqe = nullptr;
        const int r = io_uring_wait_cqe(&m_ring->ring, &cqe);
        if (r == -EINTR) continue;
        if (r < 0) {
            m_failed = true;
            m_ring->readsLeft = true;
            return false;
        }
        io_uring_cqe_seen(&m_ring->ring, cqe);
        ++done;
    }
    return !m_failed;
}

#else

struct HeadRing::Ring {};

std::unique_ptr<HeadRing> HeadRing::Make(unsigned) { return nullptr; }

bool HeadRing::Read(const std::vector<int>&, size_t) { return false; }

#endif

HeadRing::HeadRing(std::unique_ptr<Ring> ring, unsigned depth) : m_ring(std::move(ring)), m_depth(depth) {}

HeadRing::~HeadRing() = default;

}  // namespace native
