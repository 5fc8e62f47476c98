// MessageBlock allocation from a process-wide pool of slabs, with the live-block count.
#include "xel/MessageBlock.h"

#include <atomic>
#include <mutex>
#include <new>

#include "osal/Memory.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define XEL_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define XEL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define XEL_POISON(p, n) ((void)(p), (void)(n))
#define XEL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace velmora::xel {

// Large messages allocate and free tens of thousands of blocks per second. Taking each block
// from malloc costs a heap search and, because freed memory goes back to the system, a page
// fault per block on the next use. Blocks therefore come from 2 MiB slabs (aligned, so a
// block finds its slab by masking its address, and backed by a huge page where the system
// offers them) and freed blocks stay in their slab for reuse.
// A slab whose blocks are all free is returned to the system only while more than
// kKeepFreeBytes of free blocks are held, which bounds the memory the pool keeps idle.
// The bound is sized so that a large file's message and the answer copied from it (a 64 MiB
// file read into an answer) are reused whole: fresh pages cost far more than the copying.
namespace {

constexpr size_t kSlabBytes = size_t{2} << 20;
constexpr size_t kKeepFreeBytes = size_t{128} << 20;

class Pool;

struct FreeBlock {
  FreeBlock* pNext;
};

struct Slab {
  // The pool the slab belongs to: a block freed through another copy of this library (a
  // plug-in linking the runtime of its own) still goes back to its own pool.
  Pool* pOwner = nullptr;
  Slab* pPrev = nullptr;  // in the list of slabs with free blocks
  Slab* pNext = nullptr;
  FreeBlock* pFree = nullptr;  // freed blocks of this slab
  uint32_t M_Fresh = 0;        // blocks never handed out yet (after M_Used ones)
  uint32_t M_InUse = 0;        // blocks handed out and not freed
  uint32_t M_Used = 0;         // blocks ever handed out (the fresh area starts here)
  bool M_bListed = false;
};

constexpr size_t kHeaderBytes = (sizeof(Slab) + 63) / 64 * 64;
constexpr uint32_t kBlocksPerSlab =
    static_cast<uint32_t>((kSlabBytes - kHeaderBytes) / sizeof(MessageBlock));
static_assert(kBlocksPerSlab >= 64, "slab too small");

inline uint8_t* BlockArea(Slab* s) { return reinterpret_cast<uint8_t*>(s) + kHeaderBytes; }

class Pool {
 public:
  void* Take() {
    std::lock_guard<std::mutex> lock(M_Mutex);
    Slab* s = M_pPartial;
    if (!s) {
      void* mem = osal::AllocateLargeRegion(kSlabBytes, kSlabBytes);
      if (!mem) return nullptr;
      s = new (mem) Slab;
      s->pOwner = this;
      s->M_Fresh = kBlocksPerSlab;
      XEL_POISON(BlockArea(s), kBlocksPerSlab * sizeof(MessageBlock));
      M_FreeBlocks += kBlocksPerSlab;
      Link(s);
    }
    void* block;
    if (s->pFree) {
      FreeBlock* f = s->pFree;
      XEL_UNPOISON(f, sizeof(MessageBlock));
      s->pFree = f->pNext;
      block = f;
    } else {
      // Hand out untouched blocks in address order: their pages are faulted in only now.
      block = BlockArea(s) + static_cast<size_t>(s->M_Used) * sizeof(MessageBlock);
      XEL_UNPOISON(block, sizeof(MessageBlock));
      ++s->M_Used;
      --s->M_Fresh;
    }
    ++s->M_InUse;
    --M_FreeBlocks;
    if (!s->pFree && s->M_Fresh == 0) Unlink(s);
    return block;
  }

  static void Give(void* block) {
    Slab* s = reinterpret_cast<Slab*>(reinterpret_cast<uintptr_t>(block) & ~(kSlabBytes - 1));
    s->pOwner->GiveToSlab(s, block);
  }

 private:
  void GiveToSlab(Slab* s, void* block) {
    Slab* release = nullptr;
    {
      std::lock_guard<std::mutex> lock(M_Mutex);
      FreeBlock* f = static_cast<FreeBlock*>(block);
      f->pNext = s->pFree;
      s->pFree = f;
      XEL_POISON(block, sizeof(MessageBlock));
      --s->M_InUse;
      ++M_FreeBlocks;
      if (!s->M_bListed) Link(s);
      if (s->M_InUse == 0 && M_FreeBlocks * sizeof(MessageBlock) > kKeepFreeBytes) {
        Unlink(s);
        M_FreeBlocks -= kBlocksPerSlab;
        release = s;
      }
    }
    if (release) {
      XEL_UNPOISON(release, kSlabBytes);
      release->~Slab();
      osal::FreeLargeRegion(release, kSlabBytes);
    }
  }

  // Slabs with free blocks, most recently freed into first: a block freed a moment ago is
  // still in the cache and its page is mapped.
  void Link(Slab* s) {
    s->pPrev = nullptr;
    s->pNext = M_pPartial;
    if (M_pPartial) M_pPartial->pPrev = s;
    M_pPartial = s;
    s->M_bListed = true;
  }
  void Unlink(Slab* s) {
    if (s->pPrev) {
      s->pPrev->pNext = s->pNext;
    } else {
      M_pPartial = s->pNext;
    }
    if (s->pNext) s->pNext->pPrev = s->pPrev;
    s->pPrev = s->pNext = nullptr;
    s->M_bListed = false;
  }

  std::mutex M_Mutex;
  Slab* M_pPartial = nullptr;
  size_t M_FreeBlocks = 0;  // free blocks in all slabs (freed and fresh)
};

// Never destroyed: blocks may be freed by static destructors and by threads still running
// while the process exits.
Pool& ThePool() {
  static Pool* pool = new Pool;
  return *pool;
}

std::atomic<int> g_LiveBlocks{0};

}  // namespace

MessageBlock* MessageBlock::Allocate() {
  void* mem = ThePool().Take();
  if (!mem) return nullptr;
  // The header is initialised; the content buffer is not cleared: every user writes M_Length
  // bytes before reading them.
  MessageBlock* block = new (mem) MessageBlock;
  g_LiveBlocks.fetch_add(1, std::memory_order_relaxed);
  return block;
}

void MessageBlock::Free(MessageBlock* block) {
  if (!block) return;
  block->~MessageBlock();
  Pool::Give(block);
  g_LiveBlocks.fetch_sub(1, std::memory_order_relaxed);
}

int MessageBlock::LiveBlocks() { return g_LiveBlocks.load(std::memory_order_relaxed); }

}  // namespace velmora::xel
