#pragma once
// Byte forms of the index directory's three files: `pages.bin` (counted page
// records), `skip_edges.bin` (the skip-edge map) and `header.json` (the header).
// Readers take untrusted bytes: counts never size an allocation beyond what the
// bytes can hold.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mirot/mirot_index.h"

namespace mirot {

// u32 page count, then per page its u32 record length and the record, written with
// dim = the header's num_dim (which must fit in u32).
std::vector<std::uint8_t> pages_bin_bytes(const MirotIndex& index);

// The pages of a `pages.bin`, in file order. A file that ends early throws
// InvalidParameter "failed to fill whole buffer"; a bad record throws the record
// reader's text. Each record's dim is appended to `dims` when given. Bytes after the
// last counted record are ignored.
std::vector<Page> read_pages_bin(std::span<const std::uint8_t> bytes, std::vector<std::uint32_t>* dims = nullptr);

// u32 entry count, then per entry the u32 leaf id, u32 k and k u32 neighbour ids.
// An empty map is the four bytes 00 00 00 00.
std::vector<std::uint8_t> skip_edges_bytes(const SkipEdges& skip_edges);

// Writes skip_edges_bytes to `path` as one synced whole-file write.
void write_skip_edges_file(const std::string& path, const SkipEdges& skip_edges);

// Never fails: truncated content gives the complete entries, and a cut last list
// keeps the ids that were read.
SkipEdges read_skip_edges(std::span<const std::uint8_t> bytes);

// The header as a pretty JSON object, two-space indent, fields in declaration order,
// no final newline.
std::string header_json_text(const IndexHeader& header);

// Accepts an object (unknown keys ignored, a missing or repeated key refused) or an
// array of the five values in order. Values are non-negative integers; root_page_id
// must fit in u32. Throws InvalidParameter with the parser's message.
IndexHeader parse_index_header(std::string_view text);

}  // namespace mirot
