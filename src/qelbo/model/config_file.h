#pragma once
// The per-user configuration file, by default ~/.qelbo/config.toml: the only way to
// change the index library's tuning. Its [mirot] table holds the tuning keys; it is
// created with the defaults when missing and never rewritten once it exists. Every
// failure here is silent: the built-in defaults apply.

#include <cstdint>
#include <optional>
#include <string>

#include "mirot/tuning.h"

namespace qelbo {

// The [mirot] table: the tuning values with the two that may stay unset.
struct MirotConfig {
    std::uint64_t index_compact_rows_per_fragment = 10000;
    std::uint64_t index_compact_fragment_max = 32;
    std::uint64_t search_rows_per_fragment = 80000;
    std::uint64_t small_fragment_merge_rows = 15000;
    std::uint64_t search_fragment_budget_max = 1;
    std::optional<std::uint64_t> build_seed;
    std::uint64_t pending_flush_threshold = 250;
    std::optional<std::uint64_t> pending_hard_flush_threshold;
    std::uint64_t structured_build_row_limit = 1024;
    std::uint64_t search_beam_width = 1;
    std::uint64_t exhaustive_search_row_limit = 2500;
    std::uint64_t skip_refinement_row_limit = 150000;

    // An unset hard threshold is the larger of the soft one and 3000.
    mirot::MirotTuning to_tuning() const;

    bool operator==(const MirotConfig&) const = default;
};

// The text written into a missing file: the [mirot] header and eleven key lines.
const std::string& default_config_text();

struct Config {
    // The override when set, else $HOME (even empty), else $USERPROFILE, else ".",
    // joined with .qelbo/config.toml.
    static std::string path();
    // The file's values merged over the defaults; the defaults (hard threshold 3000)
    // when the file is unreadable, broken, ill-typed or invalid. Creates the file
    // with the default text only when it does not exist.
    static MirotConfig load(const std::string& path);
};

// Sets (or clears, with nothing) the process-wide path override, kept verbatim.
void set_config_path_override(std::optional<std::string> path);

// Reads the file now and installs its tuning as the process-wide provider.
void install_mirot_tuning_from_config();

}  // namespace qelbo
