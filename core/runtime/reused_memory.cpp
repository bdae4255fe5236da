#include "core/runtime/reused_memory.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <iterator>
#include <mutex>
#include <new>

namespace vexa {

namespace {

// Smaller blocks come and go cheaply through malloc's own free lists.
constexpr size_t kSmallest = size_t(1) << 20;
constexpr size_t kHugePage = size_t(1) << 21;

// Blocks of a huge page or more start on a huge page boundary, so that any
// of them can be asked to live on huge pages.
void* freshBlock(size_t bytes) {
    if (bytes < kHugePage) return std::malloc(bytes ? bytes : 1);
    return std::aligned_alloc(kHugePage, (bytes + kHugePage - 1) / kHugePage * kHugePage);
}

void* onHugePages(void* data, size_t bytes, bool hugePages) {
    if (hugePages && bytes >= kHugePage) madvise(data, bytes, MADV_HUGEPAGE);
    return data;
}

struct Block {
    void* data;
    size_t bytes;
};

struct Kept {
    std::mutex lock;
    std::vector<Block> blocks;  // oldest first
    size_t bytes = 0;
    const size_t limit = [] {
        const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
        return pages > 0 && pageSize > 0 ? size_t(pages) * size_t(pageSize) / 8 : size_t(1) << 30;
    }();
};

Kept& kept() {
    static Kept* instance = [] {
        Kept* made = new Kept;  // never destroyed: blocks may come back during exit
        // A process forked while another thread holds the lock (a data
        // loader's workers) must not inherit it held.
        pthread_atfork([] { kept().lock.lock(); }, [] { kept().lock.unlock(); }, [] { kept().lock.unlock(); });
        return made;
    }();
    return *instance;
}

}  // namespace

void* takeMemory(size_t bytes, bool hugePages) {
    if (bytes >= kSmallest) {
        Kept& k = kept();
        std::lock_guard<std::mutex> guard(k.lock);
        // The smallest kept block that fits without wasting more than a quarter.
        auto best = k.blocks.end();
        for (auto it = k.blocks.begin(); it != k.blocks.end(); ++it)
            if (it->bytes >= bytes && it->bytes - bytes <= bytes / 4 &&
                (best == k.blocks.end() || it->bytes < best->bytes))
                best = it;
        if (best != k.blocks.end()) {
            void* data = best->data;
            k.bytes -= best->bytes;
            k.blocks.erase(best);
            return onHugePages(data, bytes, hugePages);
        }
    }
    void* data = freshBlock(bytes);
    if (!data) throw std::bad_alloc();
    return onHugePages(data, bytes, hugePages);
}

void giveBackMemory(void* block, size_t bytes) noexcept {
    if (!block) return;
    if (bytes >= kSmallest) {
        Kept& k = kept();
        std::lock_guard<std::mutex> guard(k.lock);
        if (bytes <= k.limit) {
            while (k.bytes + bytes > k.limit) {  // the oldest go first
                std::free(k.blocks.front().data);
                k.bytes -= k.blocks.front().bytes;
                k.blocks.erase(k.blocks.begin());
            }
            try {
                k.blocks.push_back({block, bytes});
                k.bytes += bytes;
                return;
            } catch (...) {}
        }
    }
    std::free(block);
}

size_t keptMemory() {
    Kept& k = kept();
    std::lock_guard<std::mutex> guard(k.lock);
    return k.bytes;
}

void releaseKeptMemory() noexcept {
    Kept& k = kept();
    std::lock_guard<std::mutex> guard(k.lock);
    for (const Block& block : k.blocks) std::free(block.data);
    k.blocks.clear();
    k.bytes = 0;
}

}  // namespace vexa
