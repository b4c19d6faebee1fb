// Peak memory of one batch against the size of its INSERT text.
//
// Every allocation of the process made through operator new (the plugin's
// code and the host library included) is counted by the replacements below,
// using the allocator's usable size of each block. The program builds a batch,
// sends it once through a connector on a client that accepts every statement
// without executing it (this creates the tables), then measures a second send
// of the same batch: the highest number of live bytes during the send, minus
// the live bytes before it, is the batch's peak extra memory. The INSERT text
// size is the sum of the sizes of the INSERT statements the client was given
// (a table's rows are cut into INSERTs of at most maxStatementBytes each).
// Peak resident memory (VmHWM, reset through /proc/self/clear_refs) is printed
// as a cross-check; it includes the allocator's own overhead and retention.
//
// Usage: bench_peak_memory [readings [datapoints [tables]]]
// (defaults 10000 5 1). Run it under /usr/bin/time -v for the process's
// maximum resident set size as the kernel sees it.

#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string>

#include "bench_support.h"
#include "logger.h"

namespace {

std::atomic<size_t> liveBytes{0};
std::atomic<size_t> peakBytes{0};
std::atomic<size_t> allocationCount{0};

void noteAllocated(void* block) {
    const size_t size = malloc_usable_size(block);
    const size_t now = liveBytes.fetch_add(size, std::memory_order_relaxed) + size;
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    size_t peak = peakBytes.load(std::memory_order_relaxed);
    while (now > peak && !peakBytes.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
}

void noteFreed(void* block) {
    if (block)
        liveBytes.fetch_sub(malloc_usable_size(block), std::memory_order_relaxed);
}

void* allocate(size_t size) {
    void* block = std::malloc(size ? size : 1);
    if (!block)
        throw std::bad_alloc();
    noteAllocated(block);
    return block;
}

void* allocateAligned(size_t size, std::align_val_t alignment) {
    const size_t align = static_cast<size_t>(alignment);
    size = size ? size : 1;
    void* block = std::aligned_alloc(align, (size + align - 1) / align * align);
    if (!block)
        throw std::bad_alloc();
    noteAllocated(block);
    return block;
}

void release(void* block) {
    noteFreed(block);
    std::free(block);
}

}  // namespace

void* operator new(size_t size) {
    return allocate(size);
}
void* operator new[](size_t size) {
    return allocate(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(size_t size, std::align_val_t alignment) {
    return allocateAligned(size, alignment);
}
void* operator new[](size_t size, std::align_val_t alignment) {
    return allocateAligned(size, alignment);
}
void operator delete(void* block) noexcept {
    release(block);
}
void operator delete[](void* block) noexcept {
    release(block);
}
void operator delete(void* block, size_t) noexcept {
    release(block);
}
void operator delete[](void* block, size_t) noexcept {
    release(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    release(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    release(block);
}
void operator delete(void* block, std::align_val_t) noexcept {
    release(block);
}
void operator delete[](void* block, std::align_val_t) noexcept {
    release(block);
}
void operator delete(void* block, size_t, std::align_val_t) noexcept {
    release(block);
}
void operator delete[](void* block, size_t, std::align_val_t) noexcept {
    release(block);
}

namespace {

// A field of /proc/self/status in kB, or -1.
long statusKilobytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':')
            return std::strtol(line.c_str() + length + 1, nullptr, 10);
    }
    return -1;
}

// Resets VmHWM to the current resident size (Linux 4.0 and later).
bool resetPeakResident() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

}  // namespace

int main(int argc, char** argv) {
    const size_t readings = bench::argument(argc, argv, 1, 10000);
    const size_t datapoints = bench::argument(argc, argv, 2, 5);
    const size_t tables = bench::argument(argc, argv, 3, 1);

    Logger::getLogger()->setMinLevel(Logger::Level::WARNING);
    bench::SyntheticBatch batch(readings, datapoints, tables);
    auto* client = new bench::NullClient();
    auto connector = bench::makeConnector(client);
    if (!connector->send(batch.pointers())) {
        std::fprintf(stderr, "the first send failed\n");
        return 1;
    }
    client->statements = 0;
    client->bytes = 0;
    malloc_trim(0);

    const size_t liveBefore = liveBytes.load();
    peakBytes.store(liveBefore);
    const size_t allocationsBefore = allocationCount.load();
    const long residentBefore = statusKilobytes("VmRSS");
    const bool hwmReset = resetPeakResident();

    const bool sent = connector->send(batch.pointers());

    const long residentPeak = statusKilobytes("VmHWM");
    const size_t peakExtra = peakBytes.load() - liveBefore;
    const size_t liveAfter = liveBytes.load();
    const size_t allocations = allocationCount.load() - allocationsBefore;
    // Each table takes at least one INSERT; a large one is cut at the
    // statement limit into several.
    if (!sent || client->statements < tables) {
        std::fprintf(stderr, "the measured send failed\n");
        return 1;
    }

    const double insertBytes = static_cast<double>(client->bytes);
    std::printf("readings=%zu datapoints=%zu tables=%zu\n", readings, datapoints, tables);
    std::printf("insert_statements      %12zu\n", client->statements);
    std::printf("insert_text_bytes      %12zu\n", client->bytes);
    std::printf("peak_extra_heap_bytes  %12zu  (%.2f x INSERT text)\n", peakExtra,
                static_cast<double>(peakExtra) / insertBytes);
    std::printf("allocations_per_batch  %12zu  (%.1f per reading)\n", allocations,
                static_cast<double>(allocations) / static_cast<double>(readings));
    std::printf("heap_left_after_send   %12ld bytes\n",
                static_cast<long>(liveAfter) - static_cast<long>(liveBefore));
    if (hwmReset && residentPeak >= 0 && residentBefore >= 0) {
        const double extraResident = 1024.0 * static_cast<double>(residentPeak - residentBefore);
        std::printf("peak_extra_resident    %12.0f bytes  (%.2f x INSERT text)\n", extraResident,
                    extraResident / insertBytes);
    }
    return 0;
}
