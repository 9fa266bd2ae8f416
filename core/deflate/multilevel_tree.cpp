// Near-optimal levels of the multi-level compressor. A binary-tree match
// finder (one tree per four-byte hash, ordered by the bytes that follow)
// collects every useful match at every position of a block into a cache;
// the parser then chooses the cheapest path of literals and matches through
// the block backwards, pricing symbols in eighths of a bit, and re-prices them
// from the Huffman codes its own path would get, once per pass.
#include <algorithm>
#include <iterator>

#include "core/deflate/multilevel_encoder.h"

namespace mlevel {
namespace {

constexpr uint32_t kWindowMask = kWindowSize - 1;
constexpr uint32_t kInfiniteCost = 1u << 31;

struct TreeCursor {
  TreeFinder& f;
  const uint8_t* base;
  uint32_t hash3;  // hashes of the next position, carried one step ahead
  uint32_t hash4;
};

inline int16_t slid(int16_t pos) { return pos >= 0 ? static_cast<int16_t>(pos - 32768) : kNoPos; }

void tree_slide(TreeCursor& c, const uint8_t* new_base) {
  for (auto& pair : c.f.hash3_heads) {
    pair[0] = slid(pair[0]);
    pair[1] = slid(pair[1]);
  }
  for (int16_t& v : c.f.hash4_roots) v = slid(v);
  for (int16_t& v : c.f.children) v = slid(v);
  c.base = new_base;
}

inline void advance_hashes(TreeCursor& c, const uint8_t* next_pos) {
  uint32_t seq = load_le32(next_pos);
  c.hash3 = hash_bytes(seq & 0xFFFFFF, kTreeHashBits);
  c.hash4 = hash_bytes(seq, kTreeHashBits);
}

// Inserts p into its tree and, unless kSkip, records the matches found on the
// way down in strictly increasing length. Returns the best length (3 when
// nothing longer was found).
template <bool kSkip>
uint32_t tree_search(TreeCursor& c, const uint8_t* p, uint32_t max_len, uint32_t nice,
                     uint32_t depth, CacheEntry*& matches) {
  const int32_t rel = static_cast<int32_t>(p - c.base);
  const int32_t cutoff = rel - static_cast<int32_t>(kWindowSize);
  const uint32_t h3 = c.hash3;
  const uint32_t h4 = c.hash4;
  advance_hashes(c, p + 1);

  int16_t* head3 = c.f.hash3_heads[h3];
  const int32_t a = head3[0];
  const int32_t b = head3[1];
  head3[1] = static_cast<int16_t>(a);
  head3[0] = static_cast<int16_t>(rel);
  if (!kSkip && a > cutoff) {
    const uint32_t first3 = load_le32(p) & 0xFFFFFF;
    if ((load_le32(c.base + a) & 0xFFFFFF) == first3) {
      *matches++ = CacheEntry{3, static_cast<uint16_t>(rel - a)};
    } else if (b > cutoff && (load_le32(c.base + b) & 0xFFFFFF) == first3) {
      *matches++ = CacheEntry{3, static_cast<uint16_t>(rel - b)};
    }
  }

  int32_t node = c.f.hash4_roots[h4];
  c.f.hash4_roots[h4] = static_cast<int16_t>(rel);
  int16_t* smaller_slot = &c.f.children[2 * (rel & kWindowMask)];
  int16_t* larger_slot = smaller_slot + 1;
  uint32_t best = 3;
  if (node <= cutoff) {
    *smaller_slot = kNoPos;
    *larger_slot = kNoPos;
    return best;
  }

  uint32_t len = 0, smaller_len = 0, larger_len = 0;
  for (uint32_t steps = 0;;) {
    const uint8_t* q = c.base + node;
    int16_t* node_children = &c.f.children[2 * (node & kWindowMask)];
    if (q[len] == p[len]) {
      len = extend_match(q, p, len + 1, max_len);
      if (kSkip ? len >= nice : len > best) {
        if (!kSkip) {
          best = len;
          *matches++ = CacheEntry{static_cast<uint16_t>(len), static_cast<uint16_t>(rel - node)};
        }
        if (len >= nice) {
          *smaller_slot = node_children[0];
          *larger_slot = node_children[1];
          return best;
        }
      }
    }
    if (q[len] < p[len]) {
      *smaller_slot = static_cast<int16_t>(node);
      smaller_slot = &node_children[1];
      node = *smaller_slot;
      smaller_len = len;
      len = std::min(len, larger_len);
    } else {
      *larger_slot = static_cast<int16_t>(node);
      larger_slot = &node_children[0];
      node = *larger_slot;
      larger_len = len;
      len = std::min(len, smaller_len);
    }
    if (node <= cutoff || ++steps == depth) {
      *smaller_slot = kNoPos;
      *larger_slot = kNoPos;
      return best;
    }
  }
}

void set_default_costs(CostModel& costs) {
  for (uint32_t& c : costs.literal) c = 66;
  for (unsigned n = kMinMatch; n <= kMaxMatch; n++) costs.length[n] = 60 + 8 * kLengthExtra[kLengthCodeOf[n]];
  for (unsigned d = 0; d < 30; d++) costs.distance[d] = 39 + 8 * kDistExtra[d];
}

// Moves every cost halfway back towards its default.
void blend_costs_towards_defaults(CostModel& costs) {
  CostModel defaults;
  set_default_costs(defaults);
  auto blend = [](uint32_t& cost, uint32_t def) {
    int32_t diff = static_cast<int32_t>(def) - static_cast<int32_t>(cost);
    cost = static_cast<uint32_t>(static_cast<int32_t>(cost) + (diff >> 1));
  };
  for (unsigned i = 0; i < 256; i++) blend(costs.literal[i], defaults.literal[i]);
  for (unsigned n = kMinMatch; n <= kMaxMatch; n++) blend(costs.length[n], defaults.length[n]);
  for (unsigned d = 0; d < 30; d++) blend(costs.distance[d], defaults.distance[d]);
}

void costs_from_codes(CostModel& costs, const HuffmanCodes& codes) {
  for (unsigned i = 0; i < 256; i++) {
    unsigned len = codes.litlen_lens[i];
    costs.literal[i] = 8 * (len != 0 ? len : 13);
  }
  for (unsigned n = kMinMatch; n <= kMaxMatch; n++) {
    unsigned lc = kLengthCodeOf[n];
    unsigned len = codes.litlen_lens[257 + lc];
    costs.length[n] = 8 * (len != 0 ? len : 13) + 8 * kLengthExtra[lc];
  }
  for (unsigned d = 0; d < 30; d++) {
    unsigned len = codes.dist_lens[d];
    costs.distance[d] = 8 * (len != 0 ? len : 10) + 8 * kDistExtra[d];
  }
}

// Cheapest path through a block of block_length positions whose matches sit
// in the cache up to cache_end; leaves the path in the nodes and its symbol
// counts in the encoder's frequencies.
void choose_path(DeflateEncoder& enc, uint32_t block_length, const CacheEntry* cache_end,
                 bool first_block) {
  TreeArea& area = enc.area.tree;
  PathNode* nodes = area.nodes;
  CostModel& costs = area.costs;
  for (uint32_t i = block_length + 1; i <= block_length + kMaxMatch - 1; i++)
    nodes[i].cost_to_end = kInfiniteCost;
  if (first_block) {
    set_default_costs(costs);
  } else {
    blend_costs_towards_defaults(costs);
  }

  for (uint32_t pass = 0; pass < enc.passes; pass++) {
    nodes[block_length].cost_to_end = 0;
    const CacheEntry* entry = cache_end;
    for (uint32_t p = block_length; p-- > 0;) {
      --entry;
      const uint32_t num_matches = entry->length;
      const uint8_t byte = static_cast<uint8_t>(entry->distance);
      uint32_t best_cost = costs.literal[byte] + nodes[p + 1].cost_to_end;
      uint32_t best_item = (static_cast<uint32_t>(byte) << 9) | 1;
      entry -= num_matches;
      uint32_t len = kMinMatch;
      for (uint32_t i = 0; i < num_matches; i++) {
        const uint32_t distance = entry[i].distance;
        const uint32_t match_len = entry[i].length;
        const uint32_t dist_cost = costs.distance[enc.distance_code_of[distance]];
        for (; len <= match_len; len++) {
          uint32_t cost = dist_cost + costs.length[len] + nodes[p + len].cost_to_end;
          if (cost < best_cost) {
            best_cost = cost;
            best_item = (distance << 9) | len;
          }
        }
      }
      nodes[p].cost_to_end = best_cost;
      nodes[p].item = best_item;
    }

    std::memset(&enc.freqs, 0, sizeof enc.freqs);
    for (uint32_t p = 0; p < block_length;) {
      const uint32_t item = nodes[p].item;
      const uint32_t length = item & 511;
      if (length == 1) {
        enc.freqs.litlen[item >> 9]++;
      } else {
        enc.freqs.litlen[257 + kLengthCodeOf[length]]++;
        enc.freqs.dist[enc.distance_code_of[item >> 9]]++;
      }
      p += length;
    }
    if (pass + 1 < enc.passes) {
      make_block_codes(enc.freqs, enc.codes);
      costs_from_codes(costs, enc.codes);
    }
  }
}

}  // namespace

uint64_t near_optimal_encoder(DeflateEncoder& enc, const uint8_t* in, uint64_t in_len, uint8_t* out,
                              uint64_t out_avail) {
  BitWriter w;
  init_bit_writer(w, out, out_avail);
  TreeArea& area = enc.area.tree;
  for (auto& pair : area.finder.hash3_heads) pair[0] = pair[1] = kNoPos;
  std::fill(std::begin(area.finder.hash4_roots), std::end(area.finder.hash4_roots), kNoPos);
  TreeCursor cursor{area.finder, in, 0, 0};
  const uint8_t* const in_end = in + in_len;
  const uint8_t* slide_point = in + std::min<uint64_t>(in_len, kWindowSize);
  uint32_t max_len = kMaxMatch;
  uint32_t nice = std::min<uint32_t>(enc.nice_len, kMaxMatch);
  const uint32_t depth = enc.search_depth;

  // Slides the window when p reaches the slide point and shortens the
  // limits near the end of the input.
  auto prepare_position = [&](const uint8_t* p) {
    if (p == slide_point) {
      tree_slide(cursor, p);
      slide_point = p + std::min<uint64_t>(static_cast<uint64_t>(in_end - p), kWindowSize);
    }
    uint64_t remaining = static_cast<uint64_t>(in_end - p);
    if (remaining < max_len) {
      max_len = static_cast<uint32_t>(remaining);
      nice = std::min(nice, max_len);
    }
  };

  const uint8_t* p = in;
  while (p < in_end) {
    const uint8_t* const block_start = p;
    const uint8_t* const soft_limit =
        p + std::min<uint64_t>(static_cast<uint64_t>(in_end - p), kSoftBlockLimit);
    CacheEntry* cache = area.cache;
    reset_split_stats(enc.split_stats);
    const uint8_t* next_observation = block_start;
    for (;;) {
      prepare_position(p);
      uint32_t best = 0;
      CacheEntry* matches = cache;
      if (max_len >= 5) best = tree_search<false>(cursor, p, max_len, nice, depth, cache);
      if (p >= next_observation) {
        if (best >= 4) {
          observe_match(enc.split_stats, best);
          next_observation = p + best;
        } else {
          observe_literal(enc.split_stats, *p);
          next_observation = p + 1;
        }
      }
      const uint16_t num_matches = static_cast<uint16_t>(cache - matches);
      *cache++ = CacheEntry{num_matches, *p};
      p++;
      if (best >= kMinMatch && best >= nice) {
        for (const uint8_t* skip_end = p + best - 1; p < skip_end; p++) {
          prepare_position(p);
          if (max_len >= 5) tree_search<true>(cursor, p, max_len, nice, depth, cache);
          *cache++ = CacheEntry{0, *p};
        }
      }
      if (p >= soft_limit || cache >= area.cache + kMatchCacheLimit) break;
      const uint64_t block_length = static_cast<uint64_t>(p - block_start);
      if (split_check_due(enc.split_stats, block_length, static_cast<uint64_t>(in_end - p)) &&
          block_split_check(enc.split_stats, static_cast<uint32_t>(block_length)))
        break;
    }
    const uint32_t block_length = static_cast<uint32_t>(p - block_start);
    choose_path(enc, block_length, cache, block_start == in);
    flush_encoder_block(enc, w, block_start, block_length, p == in_end, true);
  }
  return finish_bit_writer(w);
}

}  // namespace mlevel
