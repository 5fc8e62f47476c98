// MessageBlock allocation with the process-wide live-block count.
#include "xel/MessageBlock.h"

#include <atomic>
#include <new>

namespace velmora::xel {

namespace {
std::atomic<int> g_LiveBlocks{0};
}

MessageBlock* MessageBlock::Allocate() {
  // The content buffer is not cleared: every user writes M_Length bytes before reading them.
  MessageBlock* block = new (std::nothrow) MessageBlock;
  if (block) g_LiveBlocks.fetch_add(1, std::memory_order_relaxed);
  return block;
}

void MessageBlock::Free(MessageBlock* block) {
  if (!block) return;
  delete block;
  g_LiveBlocks.fetch_sub(1, std::memory_order_relaxed);
}

int MessageBlock::LiveBlocks() { return g_LiveBlocks.load(std::memory_order_relaxed); }

}  // namespace velmora::xel
