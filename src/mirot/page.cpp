#include "mirot/page.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "mirot/error.h"

namespace mirot {

namespace {

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                               static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    out.insert(out.end(), b, b + 4);
}

void put_f32(std::vector<std::uint8_t>& out, float f) {
    std::uint32_t v;
    std::memcpy(&v, &f, 4);
    put_u32(out, v);
}

// Exactly `dim` values: the vector's first dim entries, zero-padded when shorter.
void put_vector(std::vector<std::uint8_t>& out, const std::vector<float>* v, std::uint32_t dim) {
    const std::size_t have = v ? v->size() : 0;
    for (std::uint32_t i = 0; i < dim; ++i) put_f32(out, i < have ? (*v)[i] : 0.0f);
}

std::uint32_t get_u32_at(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

std::uint32_t read_u32(std::span<const std::uint8_t> bytes, std::size_t& cursor) {
    if (bytes.size() - cursor < 4) throw MirotError::invalid_parameter("truncated u32");
    std::uint32_t v = get_u32_at(bytes, cursor);
    cursor += 4;
    return v;
}

std::vector<float> read_f32s(std::span<const std::uint8_t> bytes, std::size_t& cursor, std::size_t n) {
    auto v = Page::read_f32_vec(bytes, cursor, n);
    if (!v) throw MirotError::invalid_parameter("truncated f32");
    return std::move(*v);
}

// A count, then that many (u32 id, dim f32s) entries: an internal page's children or a
// leaf's rows. Each entry takes at least 4 bytes, so the bytes bound every reservation.
void read_id_vector_list(std::span<const std::uint8_t> bytes, std::size_t& cursor, std::uint32_t dim,
                         std::vector<std::uint32_t>& ids, std::vector<std::vector<float>>& vectors) {
    const std::uint32_t n = read_u32(bytes, cursor);
    const std::size_t capped = std::min<std::size_t>(n, (bytes.size() - cursor) / 4);
    ids.reserve(capped);
    vectors.reserve(capped);
    for (std::uint32_t i = 0; i < n; ++i) {
        ids.push_back(read_u32(bytes, cursor));
        vectors.push_back(read_f32s(bytes, cursor, dim));
    }
}

// The mean rule shared by leaves (over vectors) and internal pages (over centroids).
void mean_into(const std::vector<std::vector<float>>& list, std::vector<float>& out) {
    if (list.empty()) {
        out.clear();
        return;
    }
    out.assign(list.front().size(), 0.0f);
    for (const auto& v : list) {
        const std::size_t m = v.size() < out.size() ? v.size() : out.size();
        for (std::size_t i = 0; i < m; ++i) out[i] += v[i];
    }
    const float count = static_cast<float>(list.size());
    for (float& x : out) x /= count;
}

}  // namespace

std::uint32_t Page::page_id() const {
    return std::visit([](const auto& p) { return p.page_id; }, node_);
}

void Page::set_page_id(std::uint32_t id) {
    std::visit([id](auto& p) { p.page_id = id; }, node_);
}

std::vector<float> Page::centroid() const {
    std::vector<float> out;
    centroid_into(out);
    return out;
}

void Page::centroid_into(std::vector<float>& out) const {
    if (const Leaf* l = leaf()) {
        if (l->centroid) {
            out.assign(l->centroid->begin(), l->centroid->end());
        } else {
            mean_into(l->vectors, out);
        }
        return;
    }
    mean_into(internal()->child_centroids, out);
}

PageKind Page::kind() const {
    const Leaf* l = leaf();
    if (!l) return PageKind::Internal;
    if (l->range) return PageKind::RangeLeaf;
    return l->vectors.empty() ? PageKind::IdLeaf : PageKind::VectorLeaf;
}

std::size_t Page::serialized_size(std::uint32_t dim) const {
    const std::size_t vec = 4 * static_cast<std::size_t>(dim);
    switch (kind()) {
        case PageKind::Internal: return 17 + internal()->children.size() * (4 + vec);
        case PageKind::VectorLeaf: return 17 + leaf()->row_ids.size() * (4 + vec);
        case PageKind::IdLeaf: return 17 + 4 * leaf()->row_ids.size() + vec;
        case PageKind::RangeLeaf: return 21 + vec;
    }
    return 0;
}

std::vector<std::uint8_t> Page::serialize(std::uint32_t dim) const {
    std::vector<std::uint8_t> out;
    out.reserve(serialized_size(dim));
    serialize_into(dim, out);
    return out;
}

void Page::serialize_into(std::uint32_t dim, std::vector<std::uint8_t>& out) const {
    const PageKind k = kind();
    put_u32(out, kPageMagic);
    out.push_back(static_cast<std::uint8_t>(k));
    put_u32(out, page_id());
    put_u32(out, dim);
    switch (k) {
        case PageKind::Internal: {
            const Internal& p = *internal();
            put_u32(out, static_cast<std::uint32_t>(p.children.size()));
            for (std::size_t i = 0; i < p.children.size(); ++i) {
                put_u32(out, p.children[i]);
                put_vector(out, i < p.child_centroids.size() ? &p.child_centroids[i] : nullptr, dim);
            }
            break;
        }
        case PageKind::VectorLeaf: {
            const Leaf& l = *leaf();
            put_u32(out, static_cast<std::uint32_t>(l.row_ids.size()));
            for (std::size_t i = 0; i < l.row_ids.size(); ++i) {
                put_u32(out, l.row_ids[i]);
                put_vector(out, i < l.vectors.size() ? &l.vectors[i] : nullptr, dim);
            }
            break;
        }
        case PageKind::IdLeaf: {
            const Leaf& l = *leaf();
            put_u32(out, static_cast<std::uint32_t>(l.row_ids.size()));
            for (std::uint32_t r : l.row_ids) put_u32(out, r);
            put_vector(out, l.centroid ? &*l.centroid : nullptr, dim);
            break;
        }
        case PageKind::RangeLeaf: {
            const Leaf& l = *leaf();
            put_u32(out, l.range->first);
            put_u32(out, l.range->second);
            put_vector(out, l.centroid ? &*l.centroid : nullptr, dim);
            break;
        }
    }
}

std::optional<std::vector<float>> Page::read_f32_vec(std::span<const std::uint8_t> bytes, std::size_t& cursor,
                                                     std::size_t n) {
    const std::size_t left = cursor <= bytes.size() ? bytes.size() - cursor : 0;
    if (n > left / 4) {
        cursor += left - left % 4;
        return std::nullopt;
    }
    std::vector<float> out(n);
    if (n) std::memcpy(out.data(), bytes.data() + cursor, 4 * n);
    if constexpr (std::endian::native != std::endian::little) {
        for (float& f : out) {
            std::uint32_t v;
            std::memcpy(&v, &f, 4);
            v = __builtin_bswap32(v);
            std::memcpy(&f, &v, 4);
        }
    }
    cursor += 4 * n;
    return out;
}

Page read_page_record(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 13) throw MirotError::invalid_parameter("page too short");
    if (get_u32_at(bytes, 0) != kPageMagic) throw MirotError::invalid_parameter("bad page magic");
    const std::uint8_t kind = bytes[4];
    const std::uint32_t id = get_u32_at(bytes, 5);
    const std::uint32_t dim = get_u32_at(bytes, 9);
    std::size_t cursor = 13;
    switch (kind) {
        case 0: {
            InternalPage p;
            p.page_id = id;
            read_id_vector_list(bytes, cursor, dim, p.children, p.child_centroids);
            return Page(std::move(p));
        }
        case 1: {
            LeafPage l;
            l.page_id = id;
            read_id_vector_list(bytes, cursor, dim, l.row_ids, l.vectors);
            return Page(std::move(l));
        }
        case 2: {
            LeafPage l;
            l.page_id = id;
            const std::uint32_t n = read_u32(bytes, cursor);
            if (n > (bytes.size() - cursor) / 4) throw MirotError::invalid_parameter("truncated u32");
            l.row_ids.resize(n);
            for (std::uint32_t i = 0; i < n; ++i) l.row_ids[i] = read_u32(bytes, cursor);
            l.centroid = read_f32s(bytes, cursor, dim);
            return Page(std::move(l));
        }
        case 3: {
            LeafPage l;
            l.page_id = id;
            const std::uint32_t start = read_u32(bytes, cursor);
            const std::uint32_t end = read_u32(bytes, cursor);
            if (start > end) {
                throw MirotError::invalid_parameter("range leaf start " + std::to_string(start) + " > end " +
                                                    std::to_string(end));
            }
            l.range = std::make_pair(start, end);
            l.centroid = read_f32s(bytes, cursor, dim);
            return Page(std::move(l));
        }
        default:
            throw MirotError::invalid_parameter("unknown page kind " + std::to_string(kind));
    }
}

}  // namespace mirot
