// The work directory's bookkeeping files as someone else left them: the loaders
// must read any metadata.json, num_obs.bin and indexed_rows.bin without failing.
#include <cstdint>
#include <cstdlib>
#include <filesystem>

#include "fuzz_support.h"
#include "mirot/observation.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& dir = fuzz::scratch_dir();
    // First byte: which counter files exist and how many bytes each takes.
    std::uint8_t mode = size > 0 ? data[0] : 0;
    const std::uint8_t* rest = size > 0 ? data + 1 : data;
    std::size_t left = size > 0 ? size - 1 : 0;

    std::size_t take = std::min<std::size_t>(left, mode & 0x0F);
    std::error_code ec;
    std::filesystem::remove(dir + "/num_obs.bin", ec);
    std::filesystem::remove(dir + "/indexed_rows.bin", ec);
    if (mode & 0x10) fuzz::put_file(dir + "/num_obs.bin", rest, take);
    if (mode & 0x20) fuzz::put_file(dir + "/indexed_rows.bin", rest, take);
    fuzz::put_file(dir + "/metadata.json", rest + take, left - take);

    auto num_obs = mirot::mirot_load_num_obs(dir);
    auto indexed = mirot::mirot_load_indexed_rows(dir);
    // Without any counter file both come from the metadata text alone.
    if (!(mode & 0x30)) {
        std::string_view text(reinterpret_cast<const char*>(rest + take), left - take);
        bool utf8 = mirot::is_valid_utf8(text);
        if (num_obs != (utf8 ? mirot::parse_json_usize_field(text, "num_obs") : std::nullopt)) std::abort();
        if (indexed != (utf8 ? mirot::parse_json_usize_field(text, "indexed_rows") : std::nullopt)) std::abort();
    }
    return 0;
}
