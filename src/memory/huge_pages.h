#ifndef RT_MEMORY_HUGE_PAGES_H
#define RT_MEMORY_HUGE_PAGES_H

#include <cstddef>

// Blocks at least this large ask for huge pages (2 MiB each on x86-64 and
// on most arm64 kernels): four of them at least, since a huge page that is
// written only in part costs all of its 2 MiB, and smaller blocks are more
// often arrays with room to grow than data written whole. (With every
// block of 2 MiB and more, the million-sphere scene's peak grew by 3 %.)
constexpr size_t HUGE_PAGE_LEAST_BLOCK = 8u << 20;

// Asks the kernel to back the whole pages of a freshly allocated block with
// transparent huge pages, when it is at least HUGE_PAGE_LEAST_BLOCK long and the
// system allows them. To be called before the block is first written: a
// large mesh's set-up writes hundreds of megabytes of new memory, and on
// small pages about a third of its time went to page faults; on huge pages
// there is one fault per 2 MiB. Where the data lies changes, never what it
// is. A refusal leaves the small pages.
void advise_huge_pages(void *block, size_t bytes);

#endif
