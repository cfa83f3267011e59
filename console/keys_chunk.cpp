#include "keys_chunk.hpp"

#include "keys.hpp"

int keys_chunk_next(KeyChunk& chunk, bool (*read_more)(KeyChunk& chunk)) {
    const int byte = chunk.bytes[chunk.pos];
    if (byte != key_escape) {
        ++chunk.pos;
        return byte;
    }
    const bool alone = chunk.pos + 1 == chunk.len;
    chunk.pos = chunk.len;
    if (!alone) return key_sequence;
    if (!read_more(chunk)) return key_escape;
    chunk.pos = chunk.len;
    return key_sequence;
}
