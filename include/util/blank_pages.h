// util: where the blank (all 0xFF) tail of a NAND block's data begins. Called by the DKB flash
// write, which leaves that tail out when blank pages are skipped, and by the job check, which
// reports how much of each image is blank; any thread, no state.
#pragma once

#include <cstdint>

// Leading bytes of one block's buffer chunk up to the end of its last page that is not entirely
// 0xFF (a page is page_size main bytes plus oob_size spare bytes; a short last page counts as
// far as it goes); 0 when the whole chunk is 0xFF or the sizes describe no page.
int64_t block_leading_bytes(const unsigned char *chunk, int64_t size, int page_size, int oob_size);
