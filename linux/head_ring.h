// Many files' first bytes brought into memory with one wait: the reads go
// to the kernel together (io_uring), so the disk gets them at once and the
// block layer can join neighbours, where one read per thread would wake a
// thread per file. Only a prefetch: what is judged is read again from memory.
#pragma once
#include <cstddef>
#include <memory>
#include <vector>

namespace native {

class HeadRing {
public:
    // nullptr where the build or the kernel has no io_uring (a container
    // may forbid it): the caller reads one file at a time instead.
    static std::unique_ptr<HeadRing> Make(unsigned depth);
    ~HeadRing();
    HeadRing(const HeadRing&) = delete;
    HeadRing& operator=(const HeadRing&) = delete;

    unsigned depth() const { return m_depth; }
    // Reads up to `head` bytes from the start of each descriptor (at most
    // depth of them) and waits for all. False once the ring has failed:
    // then nothing more is asked of it.
    bool Read(const std::vector<int>& fds, size_t head);

private:
    struct Ring;
    HeadRing(std::unique_ptr<Ring> ring, unsigned depth);
    std::unique_ptr<Ring> m_ring;
    unsigned m_depth;
    bool m_failed = false;
};

}  // namespace native
