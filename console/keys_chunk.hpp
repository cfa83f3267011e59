#pragma once

// How the bytes of standard input become keys, the same on every platform: a chunk is what one
// read returned, so the bytes of an escape sequence are recognised by arriving together.

inline constexpr int keys_escape_grace_ms = 10;

struct KeyChunk {
    unsigned char bytes[256];
    int pos;
    int len;
};

inline bool keys_chunk_left(const KeyChunk& chunk) {
    return chunk.pos < chunk.len;
}

// The next key of a chunk with bytes left. A lone ESC at its end may be the first byte of a
// sequence that a slow terminal split: read_more is then asked to read, within
// keys_escape_grace_ms, what follows into the chunk, and returns whether anything came; what
// came belongs to the sequence.
int keys_chunk_next(KeyChunk& chunk, bool (*read_more)(KeyChunk& chunk));
