#include "mirot/mirot_index.h"

namespace mirot {

PageMap build_page_map(const std::vector<Page>& pages) {
    PageMap map;
    map.reserve(pages.size());
    for (std::size_t i = 0; i < pages.size(); ++i) map[pages[i].page_id()] = i;
    return map;
}

}  // namespace mirot
