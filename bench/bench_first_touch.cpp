// What the machine charges for memory the process has not touched yet: the
// time of the first write to each 4 KiB page of a fresh anonymous mapping
// (one page fault each). On a virtual machine this can be far more than the
// work a batch does per page of its text, which is why the benchmarks' wall
// times depend on how much fresh memory a batch touches.
//
// Usage: bench_first_touch [megabytes] (default 64); prints the best of five
// rounds.

#include <sys/mman.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const long megabytes = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 64;
    const size_t size = static_cast<size_t>(megabytes > 0 ? megabytes : 64) << 20;
    const size_t page = 4096;
    double best = 1e30;
    for (int round = 0; round < 5; ++round) {
        void* mapping =
            mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED) {
            std::perror("mmap");
            return 1;
        }
        volatile char* bytes = static_cast<volatile char*>(mapping);
        const auto start = std::chrono::steady_clock::now();
        for (size_t offset = 0; offset < size; offset += page)
            bytes[offset] = 1;
        const double micros =
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count();
        munmap(mapping, size);
        if (micros < best)
            best = micros;
    }
    const double pages = static_cast<double>(size / page);
    std::printf(
        "first write to a fresh 4 KiB page: %.2f us (%.2f ns per byte), best of 5 "
        "rounds of %.0f pages\n",
        best / pages, 1000.0 * best / pages / static_cast<double>(page), pages);
    return 0;
}
