#include "engine/scan/staged_rows.hpp"

#include <algorithm>
#include <cmath>

#include "engine/core/checked.hpp"
#include "engine/core/fault.hpp"
#include "engine/scan/panel_layout.hpp"

namespace quorla::engine {
namespace {

constexpr std::size_t staged_group = StagedRows::group_rows;

std::size_t whole_groups(std::size_t rows) { return checked_sum(rows, staged_group - 1) / staged_group * staged_group; }

}  // namespace

void StagedRows::reserve(const CentroidPanels& source, std::size_t capacity) {
    source_ = &source;
    const bool packs = source.kernels().packs_panels;
    capacity_ = packs ? whole_groups(capacity) : capacity;
    const std::size_t dim = source.dim();
    rows_.resize(packs ? 0 : checked_product(capacity_, dim));
    values_.resize(packs ? checked_sum(checked_product(capacity_, dim), tiles::panel_width) : 0);
    norms_.resize(capacity_);
    keys_.resize(capacity_);
}

void StagedRows::stage(std::size_t slot, std::size_t cluster) {
    if (source_ == nullptr || slot >= capacity_) raise_fault("Staged row beyond the reserved slots");
    const tiles::Panels& panels = source_->panels();
    if (cluster >= panels.clusters) raise_fault("Staged cluster beyond the panels");
    const std::size_t dim = panels.dim;
    const float* row = panels.rows + cluster * dim;
    if (source_->kernels().packs_panels) {
        pack_panel_row(row, slot, dim, tiles::panel_width, values_.data());
    } else {
        std::copy(row, row + dim, rows_.begin() + static_cast<std::ptrdiff_t>(slot * dim));
    }
    if (source_->euclidean()) norms_[slot] = panels.norms[cluster];
}

std::span<const float> StagedRows::score(std::span<const float> point, float point_norm, std::size_t count) {
    if (count == 0) return {};
    if (source_ == nullptr || count > capacity_) raise_fault("Staged rows scored beyond their slots");
    if (point.size() != source_->dim()) raise_fault("Centroid and point dimensions differ");
    const tiles::TileKernels& kernels = source_->kernels();
    const std::size_t rows = kernels.packs_panels ? std::min(whole_groups(count), capacity_) : count;
    const bool euclidean = source_->euclidean();
    const tiles::Panels staged{values_.data(), rows_.data(), euclidean ? norms_.data() : nullptr, rows,
                               source_->dim(), tiles::panel_width};
    // The slots past `count` that fill a whole panel hold older rows, whose
    // keys nobody reads; only the asked-for keys can fault.
    const bool clean = kernels.point_keys(point.data(), staged, euclidean, point_norm, keys_.data());
    const std::span<const float> keys(keys_.data(), count);
    const bool compared = source_->clusters() > 1;
    if (!clean && compared && std::any_of(keys.begin(), keys.end(), [](float key) { return std::isnan(key); })) {
        raise_nan_fault();
    }
    return keys;
}

}  // namespace quorla::engine
