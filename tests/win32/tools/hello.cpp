// A small clean console program: the host that samples are made from. Its
// output is fixed, so a repaired copy can be checked by running it.
#include <cstdio>

int main() {
    unsigned primes = 0, sum = 0;
    for (unsigned n = 2; n < 1000; ++n) {
        bool prime = true;
        for (unsigned d = 2; d * d <= n && prime; ++d) prime = n % d != 0;
        if (prime) {
            ++primes;
            sum += n;
        }
    }
    unsigned a = 0, b = 1;
    for (int i = 0; i < 30; ++i) {
        unsigned next = a + b;
        a = b;
        b = next;
    }
    std::printf("hello from the clean host\n");
    std::printf("primes below 1000: %u, their sum: %u\n", primes, sum);
    std::printf("fibonacci(30): %u\n", a);
    return 0;
}
