#pragma once
// Giving memory back while a large buffer is being used up.
//
// A record near the host's limit is copied from one buffer into the next (the mail's text into
// the record, the record into the parameter block). Were the source kept whole until the copy
// ends, the process would hold the record twice. A copy that walks the source from its front
// hands each piece it has passed back to the system, so source and target together stay near
// one record.
#include <cstddef>

namespace pb {

// The whole memory pages inside [Begin, Begin + Size) go back to the system; reading them
// afterwards gives zero bytes. For the consumed part of a buffer that is about to be freed.
void ReleasePages(void* Begin, std::size_t Size);

// The memory the allocator holds free goes back to the system, that of every thread's pool
// included. After work done on a thread of its own: its pool is not used by the others.
void ReleaseFreeMemory();

// How much of a buffer a consuming copy passes before it gives that part back.
inline constexpr std::size_t ReleaseStep = 4u << 20;

} // namespace pb
