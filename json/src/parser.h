// The push parser: JSON text into a mapped record in one pass, no document tree. Shared by
// the parse entry points, the object and array streams, the HTTP adapters and the SSE parser,
// which embed a vellum_parser_state and drive it with the functions below.
#ifndef VELLUM_PARSER_H
#define VELLUM_PARSER_H

#include "core.h"
#include "json_value.h"

namespace vellum::detail {

// Bookkeeping arena of one parse: frames from the low end, seen-sets of large maps from the
// high end, the token buffer in between.
constexpr size_t kParserWorkspaceBytes = 4103;

// One open object or array. Exactly 56 bytes, so the arena holds 73 of them.
struct ParserFrame {
    uint8_t container;     // 1 object, 2 array
    uint8_t state;         // objects: 1 key or '}', 2 ':', 3 value, 4 ',' or '}'; arrays: 5 value or ']', 6 ',' or ']'
    uint8_t after_comma;   // a ',' was consumed and no member followed yet
    uint8_t raw_value;     // a container inside a raw JSON value field
    uint32_t required_left;
    const vellum_map *map; // objects: map of `record`; NULL for unknown or syntax-only objects
    void *record;
    const vellum_field *field;  // objects: current_field; arrays: array_field (NULL when unknown)
    uint32_t seen_lo;      // fields 0..31 already assigned (maps of at most 64 fields)
    uint32_t seen_hi;      // fields 32..63
    uint32_t seen_bytes;   // arena offset of the seen-set of a larger map, 0 when none
    uint32_t seen_size;    // bytes reserved for it
    uint32_t next_hint;    // index just past the last matched field
    uint32_t key_lengths;  // objects with a map: bit n (n < 31) some key has n bytes, bit 31 some has more
};
static_assert(sizeof(ParserFrame) == 56, "parser frames are 56 bytes");

// What a parse derives once per map: the REQUIRED fields and the key lengths.
struct MapCacheSlot {
    const vellum_map *map;
    uint32_t required_count;  // REQUIRED fields in the whole map
    uint32_t key_lengths;     // as ParserFrame::key_lengths
};

}  // namespace vellum::detail

// State of one parse. Lives on the caller's stack for the one-shot entry points and inside
// the handles that embed a parser. Members are private to parser.cpp except where noted.
struct vellum_parser_state {
    // Workspace.
    unsigned char *arena;
    size_t arena_size;   // usable bytes from `arena`
    size_t top;          // lowest arena offset used from the high end
    size_t depth;        // open frames

    // Document flags.
    int syntax_only;
    int root_started;
    int root_done;
    int failed;          // sticky: every later call returns error.code

    // Lexer.
    int lex_state;       // 0 between tokens, 1 string, 2 number, 3 true, 4 false, 5 null
    int literal_pos;     // bytes of the literal matched so far
    int string_mode;     // where decoded string bytes go
    int string_is_key;
    int escape_state;    // 0 none, 1 after '\', 2 in \u digits, 3 expect '\' of a low surrogate, 4 expect 'u'
    int hex_left;
    uint32_t codepoint;
    uint32_t high_surrogate;

    // Token buffer (the free gap of the arena).
    char *token;
    size_t token_len;

    // Direct target of a FIXED string field.
    char *direct;
    size_t direct_written;
    size_t direct_capacity;
    int direct_skip;     // truncated: the rest of the string is dropped
    const vellum_field *direct_field;

    // Streamed value target (spooled, string array stream).
    const vellum_field *stream_field;
    void *stream_member;
    unsigned char quartet[4];
    int quartet_count;
    int quartet_padded;

    // A raw JSON value field being parsed: its tokens go to the value's capture.
    int value_active;
    vellum::detail::JsonValueCapture capture;

    // Per-map cache.
    vellum::detail::MapCacheSlot map_cache[8];

    // What the parse works on.
    const vellum_map *map;
    void *record;
    vellum_parse_options options;
    vellum_allocator allocator;
    vellum_error error;  // outcome of this parse; read it after feed/finish
};

// Clears `state`, copies the options (defaults when NULL), resolves the allocator, places the
// arena in `workspace` (kParserWorkspaceBytes bytes; start aligned to 8) and sets line 1.
// Does not touch the record. syntax_only: validation without a map, any root value allowed.
void vellum__parser_init_state(vellum_parser_state *state, const vellum_map *map, void *record,
                               const vellum_parse_options *options, int syntax_only, void *workspace);

// Processes bytes until they are used up, an error occurs, or (stop_after_root) the root
// value has just closed. *consumed (may be NULL) receives the bytes used. Returns 0,
// VELLUM_STATUS_TRUNCATED once anything was truncated, or the error status (also recorded in
// state->error, with the position of the byte that raised it).
vellum_status vellum__parser_feed_bytes(vellum_parser_state *state, const void *bytes, size_t length,
                                        size_t *consumed, int stop_after_root);

// The byte-at-a-time state machine behind the feed.
vellum_status vellum__parser_consume_char(vellum_parser_state *state, unsigned char byte);

// End of input: completes a pending number, then checks that the document is complete and
// every required field was seen. Returns the final status (also in state->error).
vellum_status vellum_parser_finish(vellum_parser_state *state);

// True when the root value is complete and no token is in progress.
inline bool vellum__parser_root_complete(const vellum_parser_state *state) {
    return state->root_done && state->depth == 0 && state->lex_state == 0;
}

#endif  // VELLUM_PARSER_H
