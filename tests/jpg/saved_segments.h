// A decoder-style saved-segment list built in a test: nodes linked in file
// order, their data owned by the list.
#pragma once
#include <cstdio>
#include <deque>
#include <string>

#include <jpeglib.h>

struct segment_list {
    std::deque<std::string> data;
    std::deque<jpeg_marker_struct> nodes;

    segment_list& add(int marker, const std::string& bytes) {
        data.push_back(bytes);
        jpeg_marker_struct node{};
        node.marker = static_cast<UINT8>(marker);
        node.original_length = unsigned(bytes.size());
        node.data_length = unsigned(bytes.size());
        node.data = reinterpret_cast<JOCTET*>(data.back().data());
        nodes.push_back(node);
        for (size_t i = 0; i + 1 < nodes.size(); ++i) nodes[i].next = &nodes[i + 1];
        nodes.back().next = nullptr;
        return *this;
    }
    jpeg_saved_marker_ptr head() { return nodes.empty() ? nullptr : &nodes.front(); }
};

// Data of an ICC chunk segment.
inline std::string icc_segment(int sequence, int count, const std::string& payload) {
    return std::string("ICC_PROFILE\0", 12) + char(sequence) + char(count) + payload;
}
