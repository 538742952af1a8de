#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/chacha_block.h"
#include "base/std_rng.h"

namespace {

using qelbo::StdRng;
using qelbo::Uniform;
using json = nlohmann::json;

const json& vectors() {
    static const json data = [] {
        std::ifstream in(QEL_TEST_DATA_DIR "/rand08-vectors.json");
        if (!in) throw std::runtime_error("missing rand08-vectors.json");
        return json::parse(in);
    }();
    return data;
}

std::vector<std::uint8_t> from_hex(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::array<std::uint8_t, 32> key_from_hex(const std::string& hex) {
    const auto bytes = from_hex(hex);
    std::array<std::uint8_t, 32> key{};
    std::copy_n(bytes.begin(), 32, key.begin());
    return key;
}

std::uint64_t bits_from_hex(const std::string& hex) { return std::stoull(hex, nullptr, 16); }

// One generator source of the vector file: a u64 seed or a 32-byte key.
struct Source {
    std::string label;
    const json* entry;
    StdRng fresh() const {
        if (entry->contains("seed")) return StdRng::seed_from_u64((*entry)["seed"].get<std::uint64_t>());
        return StdRng::from_seed(key_from_hex((*entry)["key_hex"].get<std::string>()));
    }
};

std::vector<Source> sources() {
    std::vector<Source> out;
    for (const auto& e : vectors()["seed_from_u64"]) out.push_back({"seed " + e["seed"].dump(), &e});
    for (const auto& e : vectors()["from_seed"]) out.push_back({"key " + e["name"].get<std::string>(), &e});
    return out;
}

template <class T>
std::vector<T> as_vec(const json& j) {
    return j.get<std::vector<T>>();
}

// Checks the raw word that follows a test, which pins how many words it consumed.
void expect_after(StdRng& rng, const json& test) {
    if (test.contains("next_u64_after")) {
        EXPECT_EQ(rng.next_u64(), test["next_u64_after"].get<std::uint64_t>());
    } else {
        EXPECT_EQ(rng.next_u32(), test["next_u32_after"].get<std::uint32_t>());
    }
}

TEST(StdRngVectors, ChaCha20ZeroKeyGivesTheStandardKeystream) {
    std::array<std::uint32_t, 16> out{};
    qelbo::chacha_block<10>({}, 0, 0, out.data());
    const auto expected = as_vec<std::uint32_t>(vectors()["chacha20_zero_key_first16_u32"]);
    EXPECT_EQ(std::vector<std::uint32_t>(out.begin(), out.end()), expected);
}

TEST(StdRngVectors, FourBlockRefillEqualsSingleBlocksAcrossCounterCarry) {
    const std::array<std::uint32_t, 8> key = {1, 2, 3, 4, 0xdeadbeef, 6, 7, 0xffffffff};
    for (std::uint64_t counter : {std::uint64_t{0}, std::uint64_t{0xfffffffe}, ~std::uint64_t{0} - 1}) {
        std::array<std::uint32_t, 64> four{};
        std::array<std::uint32_t, 64> single{};
        qelbo::chacha_blocks4<6>(key, counter, 0, four.data());
        for (std::uint64_t j = 0; j < 4; ++j) qelbo::chacha_block<6>(key, counter + j, 0, single.data() + 16 * j);
        EXPECT_EQ(four, single) << counter;
    }
}

TEST(StdRngVectors, RawWordsMatchAcrossRefills) {
    for (const auto& src : sources()) {
        SCOPED_TRACE(src.label);
        const json& e = *src.entry;
        StdRng a = src.fresh();
        std::vector<std::uint64_t> u64s;
        for (int i = 0; i < 10; ++i) u64s.push_back(a.next_u64());
        EXPECT_EQ(u64s, as_vec<std::uint64_t>(e["next_u64_first10"]));
        StdRng b = src.fresh();
        std::vector<std::uint32_t> u32s;
        for (int i = 0; i < 136; ++i) u32s.push_back(b.next_u32());
        EXPECT_EQ(u32s, as_vec<std::uint32_t>(e["next_u32_first136"]));
        EXPECT_TRUE(std::equal(u32s.begin(), u32s.begin() + 10, as_vec<std::uint32_t>(e["next_u32_first10"]).begin()));
        if (e.contains("seed")) {
            // The seed expansion, checked through the generator it keys.
            StdRng keyed = StdRng::from_seed(key_from_hex(e["expanded_key_hex"].get<std::string>()));
            for (int i = 0; i < 136; ++i) ASSERT_EQ(keyed.next_u32(), u32s[i]) << i;
        }
    }
}

TEST(StdRngVectors, MixedWordSizesAndStraddlingU64) {
    for (const auto& src : sources()) {
        SCOPED_TRACE(src.label);
        const json& mixed = (*src.entry)["mixed_pattern"];
        StdRng rng = src.fresh();
        const auto ops = as_vec<std::string>(mixed["ops"]);
        const auto values = as_vec<std::uint64_t>(mixed["values"]);
        ASSERT_EQ(ops.size(), values.size());
        for (std::size_t i = 0; i < ops.size(); ++i) {
            const std::uint64_t got = ops[i] == "u32" ? rng.next_u32() : rng.next_u64();
            ASSERT_EQ(got, values[i]) << "op " << i;
        }
        expect_after(rng, mixed);

        const json& straddle = (*src.entry)["straddle_u32_then_40_u64"];
        StdRng s = src.fresh();
        EXPECT_EQ(s.next_u32(), straddle["first_u32"].get<std::uint32_t>());
        std::vector<std::uint64_t> u64s;
        for (int i = 0; i < 40; ++i) u64s.push_back(s.next_u64());  // word pairs (63, 64) straddle the refill
        EXPECT_EQ(u64s, as_vec<std::uint64_t>(straddle["u64s"]));
        expect_after(s, straddle);
    }
}

std::string fill_hex(StdRng& rng, std::size_t len) {
    std::vector<std::uint8_t> buf(len);
    rng.fill_bytes(buf.data(), len);
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (auto b : buf) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

TEST(StdRngVectors, FillBytesDropsTheRestOfACutWord) {
    for (const auto& src : sources()) {
        SCOPED_TRACE(src.label);
        const json& e = *src.entry;
        StdRng a = src.fresh();
        EXPECT_EQ(fill_hex(a, 13), e["fill_bytes_13_then_32"]["b13"].get<std::string>());
        EXPECT_EQ(fill_hex(a, 32), e["fill_bytes_13_then_32"]["b32"].get<std::string>());
        expect_after(a, e["fill_bytes_13_then_32"]);

        StdRng b = src.fresh();
        EXPECT_EQ(fill_hex(b, 8), e["fill_bytes_8_then_u64"]["b8"].get<std::string>());
        expect_after(b, e["fill_bytes_8_then_u64"]);

        StdRng c = src.fresh();
        for (int i = 0; i < 61; ++i) c.next_u32();
        EXPECT_EQ(fill_hex(c, 23), e["fill_bytes_23_after_61_u32"]["b23"].get<std::string>());
        expect_after(c, e["fill_bytes_23_after_61_u32"]);

        StdRng d = src.fresh();
        EXPECT_EQ(fill_hex(d, 300), e["fill_bytes_300"]["b300"].get<std::string>());
        expect_after(d, e["fill_bytes_300"]);

        const json& child = e["fill32_then_from_seed"];
        StdRng parent = src.fresh();
        std::array<std::uint8_t, 32> key{};
        parent.fill_bytes(key.data(), key.size());
        EXPECT_EQ(key, key_from_hex(child["key"].get<std::string>()));
        StdRng keyed = StdRng::from_seed(key);
        for (auto v : as_vec<std::uint64_t>(child["child_next_u64_first4"])) EXPECT_EQ(keyed.next_u64(), v);
        EXPECT_EQ(parent.next_u64(), child["parent_next_u64_after"].get<std::uint64_t>());
    }
}

TEST(StdRngVectors, StandardFloatsBoolsAndUsize) {
    for (const auto& src : sources()) {
        SCOPED_TRACE(src.label);
        const json& e = *src.entry;
        StdRng f64 = src.fresh();
        for (const auto& hex : e["standard_f64"]["bits"]) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(f64.gen_f64()), bits_from_hex(hex.get<std::string>()));
        }
        StdRng f32 = src.fresh();
        for (const auto& hex : e["standard_f32"]["bits"]) {
            EXPECT_EQ(std::bit_cast<std::uint32_t>(f32.gen_f32()), bits_from_hex(hex.get<std::string>()));
        }
        StdRng bools = src.fresh();
        for (bool expected : as_vec<bool>(e["standard_bool"])) EXPECT_EQ(bools.gen_bool(), expected);
        StdRng usize = src.fresh();
        for (auto expected : as_vec<std::uint64_t>(e["standard_usize"])) EXPECT_EQ(usize.next_u64(), expected);
    }
}

// Runs `draw` 20 times on a fresh generator and compares values and the word after.
template <class T, class Draw>
void check_twenty(const Source& src, const json& test, const char* key, Draw draw) {
    StdRng rng = src.fresh();
    std::vector<T> got;
    for (int i = 0; i < 20; ++i) got.push_back(draw(rng));
    EXPECT_EQ(got, as_vec<T>(test[key]));
    expect_after(rng, test);
}

TEST(StdRngVectors, IntegerGenRangeUsesTheShiftedZone) {
    for (const auto& src : sources()) {
        SCOPED_TRACE(src.label);
        const json& e = *src.entry;
        for (const auto& t : e["gen_range_usize_0_to_n_exclusive"]) {
            const auto n = t["n"].get<std::uint64_t>();
            SCOPED_TRACE("usize 0.." + std::to_string(n));
            check_twenty<std::uint64_t>(src, t, "values", [&](StdRng& r) { return r.gen_range_usize(0, n); });
        }
        for (const auto& t : e["gen_range_usize_0_to_i_inclusive"]) {
            const auto i = t["i"].get<std::uint64_t>();
            SCOPED_TRACE("usize 0..=" + std::to_string(i));
            check_twenty<std::uint64_t>(src, t, "values", [&](StdRng& r) { return r.gen_range_inclusive_usize(0, i); });
        }
        for (const auto& t : e["gen_range_u32_0_to_n_exclusive"]) {
            const auto n = t["n"].get<std::uint32_t>();
            SCOPED_TRACE("u32 0.." + std::to_string(n));
            check_twenty<std::uint32_t>(src, t, "values", [&](StdRng& r) { return r.gen_range_u32(0, n); });
        }
        for (const auto& t : e["gen_range_u32_0_to_i_inclusive"]) {
            const auto i = t["i"].get<std::uint32_t>();
            SCOPED_TRACE("u32 0..=" + std::to_string(i));
            check_twenty<std::uint32_t>(src, t, "values", [&](StdRng& r) { return r.gen_range_inclusive_u32(0, i); });
        }
        constexpr auto i64min = std::numeric_limits<std::int64_t>::min();
        constexpr auto i64max = std::numeric_limits<std::int64_t>::max();
        const std::map<std::string, std::function<std::int64_t(StdRng&)>> ranges = {
            {"u64 10..1000000007", [](StdRng& r) { return std::int64_t(r.gen_range_u64(10, 1000000007)); }},
            {"i64 -5..5", [](StdRng& r) { return r.gen_range_i64(-5, 5); }},
            {"i64 -1000..=1000", [](StdRng& r) { return r.gen_range_inclusive_i64(-1000, 1000); }},
            {"i64 MIN..=MAX", [](StdRng& r) { return r.gen_range_inclusive_i64(i64min, i64max); }},
            {"i32 -3..3", [](StdRng& r) { return std::int64_t(r.gen_range_i32(-3, 3)); }},
            {"i32 -100000..=100000", [](StdRng& r) { return std::int64_t(r.gen_range_inclusive_i32(-100000, 100000)); }},
        };
        for (const auto& t : e["gen_range_other_ints"]) {
            const auto name = t["range"].get<std::string>();
            SCOPED_TRACE(name);
            ASSERT_TRUE(ranges.count(name)) << "no case for " << name;
            check_twenty<std::int64_t>(src, t, "values", ranges.at(name));
        }
    }
}

TEST(StdRngVectors, UniformIntegerDistributionsUseTheModulusZone) {
    const std::map<std::string, std::function<std::function<std::int64_t(StdRng&)>()>> dists = {
        {"Uniform::new(0usize,3)", [] { return [d = Uniform<std::uint64_t>(0, 3)](StdRng& r) { return std::int64_t(d.sample(r)); }; }},
        {"Uniform::new(0usize,7)", [] { return [d = Uniform<std::uint64_t>(0, 7)](StdRng& r) { return std::int64_t(d.sample(r)); }; }},
        {"Uniform::new(0usize,1000)", [] { return [d = Uniform<std::uint64_t>(0, 1000)](StdRng& r) { return std::int64_t(d.sample(r)); }; }},
        {"Uniform::new(0usize,1099511627779)",
         [] { return [d = Uniform<std::uint64_t>(0, 1099511627779ull)](StdRng& r) { return std::int64_t(d.sample(r)); }; }},
        {"Uniform::new(0u32,3)", [] { return [d = Uniform<std::uint32_t>(0, 3)](StdRng& r) { return std::int64_t(d.sample(r)); }; }},
        {"Uniform::new(0u32,7)", [] { return [d = Uniform<std::uint32_t>(0, 7)](StdRng& r) { return std::int64_t(d.sample(r)); }; }},
        {"Uniform::new(0u32,1000)", [] { return [d = Uniform<std::uint32_t>(0, 1000)](StdRng& r) { return std::int64_t(d.sample(r)); }; }},
        {"Uniform::new(0u32,100000)", [] { return [d = Uniform<std::uint32_t>(0, 100000)](StdRng& r) { return std::int64_t(d.sample(r)); }; }},
        {"Uniform::new(0u32,2147483649)",
         [] { return [d = Uniform<std::uint32_t>(0, 2147483649u)](StdRng& r) { return std::int64_t(d.sample(r)); }; }},
        {"Uniform::new_inclusive(-1000i64,1000i64)",
         [] { return [d = Uniform<std::int64_t>::new_inclusive(-1000, 1000)](StdRng& r) { return d.sample(r); }; }},
    };
    for (const auto& src : sources()) {
        SCOPED_TRACE(src.label);
        for (const auto& t : (*src.entry)["uniform_int_distribution"]) {
            const auto name = t["dist"].get<std::string>();
            SCOPED_TRACE(name);
            if (name == "Uniform::new(0usize,9223372036854775809)") {
                // Above i64: compare as unsigned.
                const Uniform<std::uint64_t> d(0, 9223372036854775809ull);
                check_twenty<std::uint64_t>(src, t, "values", [&](StdRng& r) { return d.sample(r); });
                continue;
            }
            ASSERT_TRUE(dists.count(name)) << "no case for " << name;
            check_twenty<std::int64_t>(src, t, "values", dists.at(name)());
        }
    }
}

TEST(StdRngVectors, FloatRangesMatchEachPath) {
    for (const auto& src : sources()) {
        SCOPED_TRACE(src.label);
        for (const auto& t : (*src.entry)["uniform_f64"]) {
            SCOPED_TRACE(t["call"].get<std::string>());
            const double low = t["low"].get<double>();
            const double high = t["high"].get<double>();
            const std::string path = t["path"].get<std::string>();
            std::function<double(StdRng&)> draw;
            if (path == "sample_single") {
                draw = [=](StdRng& r) { return r.gen_range_f64(low, high); };
            } else if (path == "new_inclusive+sample") {
                draw = [=](StdRng& r) { return r.gen_range_inclusive_f64(low, high); };
            } else {
                ASSERT_EQ(path, "new+sample");
                draw = [d = Uniform<double>(low, high)](StdRng& r) { return d.sample(r); };
            }
            if (t.contains("dist_debug")) {
                const auto debug = t["dist_debug"].get<std::string>();
                const double scale = std::strtod(debug.c_str() + debug.find("scale: ") + 7, nullptr);
                const Uniform<double> d = t["inclusive"].get<bool>() ? Uniform<double>::new_inclusive(low, high)
                                                                     : Uniform<double>(low, high);
                EXPECT_EQ(d.scale(), scale);
            }
            StdRng rng = src.fresh();
            for (const auto& hex : t["samples"]["bits"]) {
                EXPECT_EQ(std::bit_cast<std::uint64_t>(draw(rng)), bits_from_hex(hex.get<std::string>()));
            }
            expect_after(rng, t);
        }
    }
}

TEST(StdRngVectors, IndexSampleInEveryAlgorithm) {
    for (const auto& src : sources()) {
        SCOPED_TRACE(src.label);
        for (const auto& t : (*src.entry)["index_sample"]) {
            const auto length = t["length"].get<std::uint64_t>();
            const auto amount = t["amount"].get<std::uint64_t>();
            SCOPED_TRACE("length " + std::to_string(length) + " amount " + std::to_string(amount));
            StdRng rng = src.fresh();
            EXPECT_EQ(qelbo::index_sample(rng, length, amount), as_vec<std::uint64_t>(t["indices"]));
            expect_after(rng, t);
        }
    }
}

TEST(StdRngVectors, ShuffleChooseAndPartialShuffle) {
    for (const auto& src : sources()) {
        SCOPED_TRACE(src.label);
        const json& e = *src.entry;
        for (const auto& t : e["shuffle_0_to_n"]) {
            std::vector<std::uint64_t> items(t["n"].get<std::size_t>());
            std::iota(items.begin(), items.end(), 0);
            StdRng rng = src.fresh();
            qelbo::shuffle(rng, std::span<std::uint64_t>(items));
            EXPECT_EQ(items, as_vec<std::uint64_t>(t["result"]));
            expect_after(rng, t);
        }
        for (const auto& t : e["choose_from_0_to_n"]) {
            std::vector<std::uint64_t> items(t["n"].get<std::size_t>());
            std::iota(items.begin(), items.end(), 0);
            check_twenty<std::uint64_t>(src, t, "chosen", [&](StdRng& r) {
                return *qelbo::choose(r, std::span<const std::uint64_t>(items));
            });
        }
        const json& p = e["partial_shuffle_10_amount_3"];
        std::vector<std::uint64_t> items(10);
        std::iota(items.begin(), items.end(), 0);
        StdRng rng = src.fresh();
        auto [chosen, rest] = qelbo::partial_shuffle(rng, std::span<std::uint64_t>(items), 3);
        EXPECT_EQ(std::vector<std::uint64_t>(chosen.begin(), chosen.end()), as_vec<std::uint64_t>(p["chosen"]));
        EXPECT_EQ(rest.size(), 7u);
        EXPECT_EQ(items, as_vec<std::uint64_t>(p["whole_after"]));
        expect_after(rng, p);
    }
}

// --- Behaviour beyond the reference vectors ---

TEST(StdRng, FillBytesEqualsWholeWordsAtEveryBufferOffset) {
    for (std::size_t offset = 0; offset <= 64; ++offset) {
        for (std::size_t len : {0, 1, 3, 4, 5, 8, 13, 255, 256, 257, 600}) {
            StdRng a = StdRng::seed_from_u64(7);
            StdRng b = StdRng::seed_from_u64(7);
            for (std::size_t i = 0; i < offset; ++i) {
                a.next_u32();
                b.next_u32();
            }
            std::vector<std::uint8_t> got(len);
            a.fill_bytes(got.data(), len);
            std::vector<std::uint8_t> expected;
            for (std::size_t w = 0; w < (len + 3) / 4; ++w) {
                const std::uint32_t word = b.next_u32();
                for (int k = 0; k < 4; ++k) expected.push_back(static_cast<std::uint8_t>(word >> (8 * k)));
            }
            expected.resize(len);
            ASSERT_EQ(got, expected) << "offset " << offset << " len " << len;
            ASSERT_EQ(a.next_u32(), b.next_u32()) << "offset " << offset << " len " << len;
        }
    }
}

// Lowering one ulp at a time, as the distribution is defined; only usable for short walks.
double step_down_scale(double scale, double low, double high, bool inclusive) {
    const double max_rand = 1.0 - 0x1.0p-52;
    for (int steps = 0; steps < 200000; ++steps) {
        const double top = scale * max_rand + low;
        if (inclusive ? !(top > high) : !(top >= high)) return scale;
        scale = std::bit_cast<double>(std::bit_cast<std::uint64_t>(scale) - 1);
    }
    return std::nan("");
}

TEST(UniformF64, ScaleSearchMatchesStepwiseLowering) {
    StdRng rng = StdRng::seed_from_u64(5);
    int checked = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        // Widths from 2^-16 to 2^6 times |low| keep the stepwise walk short.
        const double a = (rng.gen_f64() - 0.5) * std::ldexp(1.0, static_cast<int>(rng.next_u32() % 40) - 20);
        const double width = std::fabs(a) * (rng.gen_f64() + 0.5) * std::ldexp(1.0, static_cast<int>(rng.next_u32() % 22) - 16);
        const double b = a + width;
        if (!(a < b)) continue;
        const double expected = step_down_scale(b - a, a, b, false);
        const double expected_incl = step_down_scale((b - a) / (1.0 - 0x1.0p-52), a, b, true);
        if (std::isnan(expected) || std::isnan(expected_incl)) continue;
        ASSERT_EQ(Uniform<double>(a, b).scale(), expected) << a << " " << b;
        ASSERT_EQ(Uniform<double>::new_inclusive(a, b).scale(), expected_incl) << a << " " << b;
        ++checked;
    }
    EXPECT_GT(checked, 2900);
}

TEST(UniformF64, RangesAFewUlpsWideFinishAndStayInside) {
    const double cases[][2] = {{1.0, std::nextafter(1.0, 2.0)}, {0.9999999999999999, 1.0}, {1e300, std::nextafter(1e300, 2e300)},
                               {-1.0, std::nextafter(-1.0, 0.0)}};
    for (const auto& c : cases) {
        const Uniform<double> d(c[0], c[1]);
        const double top = d.scale() * (1.0 - 0x1.0p-52) + c[0];
        EXPECT_LT(top, c[1]);
        // One ulp more would reach high: the scale is the largest allowed.
        const double up = std::bit_cast<double>(std::bit_cast<std::uint64_t>(d.scale()) + 1);
        EXPECT_GE(up * (1.0 - 0x1.0p-52) + c[0], c[1]);
        StdRng rng = StdRng::seed_from_u64(1);
        for (int i = 0; i < 100; ++i) {
            const double v = d.sample(rng);
            EXPECT_TRUE(v >= c[0] && v < c[1]);
            const double w = rng.gen_range_f64(c[0], c[1]);
            EXPECT_TRUE(w >= c[0] && w < c[1]);
        }
    }
    // low == high is allowed inclusively and always returns low.
    StdRng rng = StdRng::seed_from_u64(2);
    EXPECT_EQ(rng.gen_range_inclusive_f64(2.5, 2.5), 2.5);
}

TEST(IndexSample, RandomArgumentsGiveDistinctInRangeIndices) {
    StdRng args = StdRng::seed_from_u64(9);
    for (int trial = 0; trial < 300; ++trial) {
        const std::uint64_t length = trial % 10 == 0 ? (std::uint64_t{1} << 33) + args.next_u32() : args.next_u32() % 200000;
        const std::uint64_t amount = std::min<std::uint64_t>(length, args.next_u32() % 400);
        StdRng rng = StdRng::seed_from_u64(trial);
        const auto idx = qelbo::index_sample(rng, length, amount);
        ASSERT_EQ(idx.size(), amount);
        ASSERT_EQ(std::set<std::uint64_t>(idx.begin(), idx.end()).size(), amount) << length << " " << amount;
        for (auto i : idx) ASSERT_LT(i, length);
    }
    StdRng rng = StdRng::seed_from_u64(0);
    auto all = qelbo::index_sample(rng, 300, 300);
    std::sort(all.begin(), all.end());
    for (std::uint64_t i = 0; i < 300; ++i) EXPECT_EQ(all[i], i);
}

TEST(SliceRandom, ShuffleIsAPermutationAndSmallSlicesDrawNothing) {
    StdRng rng = StdRng::seed_from_u64(4);
    std::vector<int> items(1000);
    std::iota(items.begin(), items.end(), 0);
    qelbo::shuffle(rng, std::span<int>(items));
    std::vector<int> sorted = items;
    std::sort(sorted.begin(), sorted.end());
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(sorted[i], i);

    StdRng a = StdRng::seed_from_u64(4);
    StdRng b = StdRng::seed_from_u64(4);
    std::vector<int> one{7};
    qelbo::shuffle(a, std::span<int>(one));
    qelbo::shuffle(a, std::span<int>());
    EXPECT_EQ(qelbo::choose(a, std::span<int>()), nullptr);
    EXPECT_EQ(a.next_u32(), b.next_u32());
}

TEST(SliceRandom, PartialShuffleOfWholeSliceDrawsForEntryZero) {
    StdRng a = StdRng::seed_from_u64(8);
    StdRng b = StdRng::seed_from_u64(8);
    std::vector<int> x{0, 1, 2, 3};
    std::vector<int> y{0, 1, 2, 3};
    auto [chosen, rest] = qelbo::partial_shuffle(a, std::span<int>(x), 10);
    EXPECT_EQ(chosen.size(), 4u);
    EXPECT_TRUE(rest.empty());
    qelbo::shuffle(b, std::span<int>(y));
    EXPECT_EQ(x, y);
    b.gen_range_u32(0, 1);  // the extra draw for entry 0
    EXPECT_EQ(a.next_u32(), b.next_u32());
}

TEST(RandomPanics, InvalidArgumentsThrowBeforeDrawing) {
    const double nan = std::nan("");
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<std::string, std::function<void(StdRng&)>>> cases = {
        {"u32 empty", [](StdRng& r) { r.gen_range_u32(5, 5); }},
        {"u64 reversed", [](StdRng& r) { r.gen_range_u64(6, 5); }},
        {"i32 empty", [](StdRng& r) { r.gen_range_i32(-1, -1); }},
        {"i64 reversed", [](StdRng& r) { r.gen_range_i64(0, -1); }},
        {"usize empty", [](StdRng& r) { r.gen_range_usize(0, 0); }},
        {"inclusive u32 reversed", [](StdRng& r) { r.gen_range_inclusive_u32(1, 0); }},
        {"inclusive i64 reversed", [](StdRng& r) { r.gen_range_inclusive_i64(1, -1); }},
        {"f64 empty", [](StdRng& r) { r.gen_range_f64(1.0, 1.0); }},
        {"f64 nan", [=](StdRng& r) { r.gen_range_f64(nan, 1.0); }},
        {"f64 overflow", [](StdRng& r) { r.gen_range_f64(-1e308, 1e308); }},
        {"f64 infinite", [=](StdRng& r) { r.gen_range_f64(0.0, inf); }},
        {"inclusive f64 reversed", [](StdRng& r) { r.gen_range_inclusive_f64(2.0, 1.0); }},
        {"inclusive f64 nan", [=](StdRng& r) { r.gen_range_inclusive_f64(0.0, nan); }},
        {"inclusive f64 infinite point", [=](StdRng& r) { r.gen_range_inclusive_f64(inf, inf); }},
        {"Uniform u64 empty", [](StdRng&) { Uniform<std::uint64_t>(3, 3); }},
        {"Uniform i32 reversed", [](StdRng&) { Uniform<std::int32_t>::new_inclusive(3, 2); }},
        {"Uniform f64 empty", [](StdRng&) { Uniform<double>(0.5, 0.5); }},
        {"index_sample amount above length", [](StdRng& r) { qelbo::index_sample(r, 3, 4); }},
    };
    for (const auto& [name, call] : cases) {
        StdRng a = StdRng::seed_from_u64(1);
        StdRng b = StdRng::seed_from_u64(1);
        EXPECT_THROW(call(a), qelbo::Panic) << name;
        EXPECT_EQ(a.next_u32(), b.next_u32()) << name;
    }
}

TEST(RandomPanics, MessagesNameTheProblem) {
    StdRng rng = StdRng::seed_from_u64(1);
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[&] { rng.gen_range_u32(2, 1); }, "cannot sample empty range"},
        {[&] { rng.gen_range_f64(-1e308, 1e308); }, "float range overflow: high - low is not finite"},
        {[] { Uniform<std::uint32_t>(1, 1); }, "Uniform: cannot sample empty range"},
        {[] { Uniform<double>(0.0, std::numeric_limits<double>::infinity()); },
         "Uniform: float range overflow: high - low is not finite"},
        {[&] { qelbo::index_sample(rng, 1, 2); }, "index_sample: amount must be less than or equal to length"},
    };
    for (const auto& [call, text] : cases) {
        try {
            call();
            ADD_FAILURE() << "no panic for " << text;
        } catch (const qelbo::Panic& p) {
            EXPECT_EQ(std::string(p.what()), text);
        }
    }
}

}  // namespace
