// Hnsw::remove: takes a batch of nodes out of the graph, relinks the nodes
// that linked to them, renumbers the rest, moves the entry point and makes
// sure every remaining node can still be reached on layer 0.
#include <algorithm>
#include <cmath>
#include <limits>

#include "search/hnsw.h"
#include "search/hnsw_layer.h"
#include "simd/dispatch.h"
#include "simd/dot_rows.h"

namespace kivo::search {

namespace {

constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

// Scratch of the relinking, reused from one repaired list to the next.
struct RelinkScratch {
    detail::VisitedSet seen;
    std::vector<uint32_t> candidates;
    std::vector<uint32_t> gone_queue;
    std::vector<const float*> rows;
    std::vector<float> dots;
    std::vector<Candidate> scored;
    std::vector<Neighbour> sorted;
    std::vector<Neighbour> chosen;
};

// Construction scores of `count` nodes seen from `base` (base as the query),
// as Hnsw::construction_score gives them.
void score_from(const Hnsw& graph, uint32_t base, const uint32_t* nodes, std::size_t count,
                engine::Metric metric, RelinkScratch& s, float* out) {
    const std::span<const float> q = graph.vector_of(base);
    const bool cached_sq = graph.vector_sq_sums.size() == graph.vector_count();
    if (!cached_sq) {
        for (std::size_t i = 0; i < count; ++i) out[i] = Hnsw::construction_score(q, graph.vector_of(nodes[i]), metric);
        return;
    }
    s.rows.resize(count);
    for (std::size_t i = 0; i < count; ++i) s.rows[i] = graph.vector_of(nodes[i]).data();
    simd::dot_rows(q.data(), q.size(), s.rows.data(), count, out, simd::features());
    if (metric == engine::Metric::L2) {
        for (std::size_t i = 0; i < count; ++i) {
            const float half = 0.5f * graph.vector_sq_sums[nodes[i]];
            out[i] = out[i] - half;
        }
    }
}

// Sorts candidates best first (score, then the higher node index, as the
// layer search orders them) and chooses the links with the construction's
// selection and budget.
void choose_links(const Hnsw& graph, uint32_t base, uint64_t budget, engine::Metric metric,
                  RelinkScratch& s) {
    for (Candidate& c : s.scored) {
        // A NaN would make the order inconsistent; it ranks last instead.
        if (std::isnan(c.score)) c.score = -std::numeric_limits<float>::infinity();
    }
    std::sort(s.scored.begin(), s.scored.end(), [](const Candidate& a, const Candidate& b) { return candidate_less(b, a); });
    s.sorted.clear();
    for (const Candidate& c : s.scored) s.sorted.push_back({c.node, c.score});
    (void)base;
    (void)metric;
    s.chosen.assign(s.sorted.begin(), s.sorted.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(budget, s.sorted.size())));
}

// Relinks node u on `layer`, whose list holds at least one removed node: its
// new links are chosen from its remaining links and the links of the removed
// nodes it linked to. A removed node's link to another removed node is
// followed in turn (at most `budget` removed nodes per list), so that runs of
// removed nodes do not cut u off from what lay behind them.
void relink(Hnsw& graph, uint32_t u, uint64_t layer, const std::vector<uint8_t>& gone,
            engine::Metric metric, RelinkScratch& s) {
    const uint64_t budget = graph.layer_budget(layer);
    s.seen.reset();
    s.seen.insert(u);
    s.candidates.clear();
    s.gone_queue.clear();
    auto take = [&](const std::vector<Neighbour>& links) {
        for (const Neighbour& link : links) {
            const uint32_t v = link.node;
            if (v >= graph.nodes.size() || layer >= graph.nodes[v].neighbours.size()) continue;
            if (!s.seen.insert(v)) continue;
            if (gone[v]) {
                s.gone_queue.push_back(v);
            } else {
                s.candidates.push_back(v);
            }
        }
    };
    take(graph.nodes[u].neighbours[layer]);
    for (std::size_t i = 0; i < s.gone_queue.size() && i < budget; ++i) {
        take(graph.nodes[s.gone_queue[i]].neighbours[layer]);
    }

    std::vector<Neighbour>& list = graph.nodes[u].neighbours[layer];
    list.clear();
    if (s.candidates.empty()) return;
    s.dots.resize(s.candidates.size());
    score_from(graph, u, s.candidates.data(), s.candidates.size(), metric, s, s.dots.data());
    s.scored.clear();
    for (std::size_t i = 0; i < s.candidates.size(); ++i) s.scored.push_back({s.dots[i], s.candidates[i]});
    choose_links(graph, u, budget, metric, s);
    list.assign(s.chosen.begin(), s.chosen.end());
}

bool links_to_gone(const std::vector<Neighbour>& links, const std::vector<uint8_t>& gone) {
    return std::any_of(links.begin(), links.end(),
                       [&](const Neighbour& e) { return e.node < gone.size() && gone[e.node]; });
}

// Drops the removed nodes and their construction vectors, keeping the order
// of the rest, and rewrites every link to the new node indexes.
void renumber(Hnsw& graph, const std::vector<uint8_t>& gone, std::vector<uint32_t>& new_index) {
    const std::size_t n = graph.nodes.size();
    new_index.assign(n, kNone);
    uint32_t next = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!gone[i]) new_index[i] = next++;
    }
    const bool with_vectors = graph.vector_dim > 0 && graph.vector_count() >= n;
    const bool with_sq = graph.vector_sq_sums.size() >= n;
    const std::size_t dim = static_cast<std::size_t>(graph.vector_dim);
    for (std::size_t i = 0; i < n; ++i) {
        const uint32_t to = new_index[i];
        if (to == kNone) continue;
        for (auto& links : graph.nodes[i].neighbours) {
            // Links that cannot be followed (a damaged file) are dropped with
            // the removed nodes.
            std::erase_if(links, [&](const Neighbour& e) { return e.node >= n || new_index[e.node] == kNone; });
            for (Neighbour& e : links) e.node = new_index[e.node];
        }
        if (to == i) continue;
        graph.nodes[to] = std::move(graph.nodes[i]);
        if (with_vectors) {
            std::copy_n(graph.vectors.begin() + static_cast<std::ptrdiff_t>(i * dim), dim,
                        graph.vectors.begin() + static_cast<std::ptrdiff_t>(to * dim));
        }
        if (with_sq) graph.vector_sq_sums[to] = graph.vector_sq_sums[i];
    }
    const std::size_t kept = next;
    graph.nodes.resize(kept);
    graph.nodes.shrink_to_fit();
    if (with_vectors) {
        graph.vectors.resize(kept * dim);
        graph.vectors.shrink_to_fit();
    }
    if (with_sq) {
        graph.vector_sq_sums.resize(kept);
        graph.vector_sq_sums.shrink_to_fit();
    }
}

// Nodes reachable from the entry point on layer 0, marked in `reached`.
void mark_reachable(const Hnsw& graph, uint32_t from, std::vector<uint8_t>& reached,
                    std::vector<uint32_t>& stack) {
    if (reached[from]) return;
    reached[from] = 1;
    stack.assign(1, from);
    while (!stack.empty()) {
        const uint32_t v = stack.back();
        stack.pop_back();
        for (const Neighbour& e : graph.nodes[v].neighbours[0]) {
            if (e.node < reached.size() && !reached[e.node]) {
                reached[e.node] = 1;
                stack.push_back(e.node);
            }
        }
    }
}

// Links every node the entry point no longer reaches on layer 0 from a
// reached node close to it: the best result of a layer search for it that
// has room for one more link, or else whose weakest link leads to a node
// with another way in. Lists never grow beyond their budget.
void reconnect(Hnsw& graph, engine::Metric metric) {
    const std::size_t n = graph.nodes.size();
    std::vector<uint8_t> reached(n, 0);
    std::vector<uint32_t> stack;
    mark_reachable(graph, *graph.entry_point, reached, stack);
    if (std::all_of(reached.begin(), reached.end(), [](uint8_t r) { return r != 0; })) return;

    std::vector<uint32_t> in_degree(n, 0);
    for (const HnswNode& node : graph.nodes) {
        for (const Neighbour& e : node.neighbours[0]) ++in_degree[e.node];
    }
    const uint64_t budget = graph.layer_budget(0);
    const uint64_t ef = std::max<uint64_t>(graph.ef_construction, 1);
    detail::VisitedSet visited;
    for (uint32_t x = 0; x < n; ++x) {
        if (reached[x]) continue;
        const std::vector<Candidate> near =
            graph.search_layer_build(graph.vector_of(x), *graph.entry_point, ef, 0, metric, visited);
        for (const Candidate& c : near) {
            if (c.node == x || !reached[c.node]) continue;
            std::vector<Neighbour>& list = graph.nodes[c.node].neighbours[0];
            const float score = Hnsw::construction_score(graph.vector_of(c.node), graph.vector_of(x), metric);
            if (list.size() < budget) {
                list.push_back({x, score});
            } else {
                // Stored scores rank the links; the weakest one that is not
                // some node's only way in gives way.
                std::size_t weakest = list.size();
                for (std::size_t i = 0; i < list.size(); ++i) {
                    if (in_degree[list[i].node] < 2) continue;
                    if (weakest == list.size() || !(list[i].score >= list[weakest].score)) weakest = i;
                }
                if (weakest == list.size()) continue;
                --in_degree[list[weakest].node];
                list[weakest] = {x, score};
            }
            ++in_degree[x];
            mark_reachable(graph, x, reached, stack);
            break;
        }
    }
}

}  // namespace

uint64_t Hnsw::remove(const Allowlist& doomed, const quantize::QuantPipeline& pipeline, engine::Metric metric) {
    const std::size_t n = nodes.size();
    std::vector<uint8_t> gone(n, 0);
    uint64_t removed = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (doomed.contains(nodes[i].id)) {
            gone[i] = 1;
            ++removed;
        }
    }
    if (removed == 0) return 0;
    if (removed == n) {
        std::vector<HnswNode>().swap(nodes);
        release_vectors();
        entry_point.reset();
        max_level = 0;
        return removed;
    }

    // Relinking scores construction vectors; where build() released them they
    // are rebuilt from the codes for the repair and released again after.
    const bool had_vectors = has_all_vectors();
    if (!had_vectors) restore_vectors(pipeline);

    // Each remaining list that links to a removed node is chosen anew once.
    // A repair reads only its own list and the lists of removed nodes, which
    // no repair changes, so the result does not depend on the order.
    RelinkScratch scratch;
    for (std::size_t u = 0; u < n; ++u) {
        if (gone[u]) continue;
        for (uint64_t layer = 0; layer < nodes[u].neighbours.size(); ++layer) {
            if (links_to_gone(nodes[u].neighbours[layer], gone)) {
                relink(*this, static_cast<uint32_t>(u), layer, gone, metric, scratch);
            }
        }
    }

    std::vector<uint32_t> new_index;
    const std::optional<uint32_t> old_entry = entry_point;
    renumber(*this, gone, new_index);

    // The entry point stays when it remains; otherwise it moves to the
    // remaining node of the highest level, the lowest node index among equals.
    if (old_entry && *old_entry < n && new_index[*old_entry] != kNone) {
        entry_point = new_index[*old_entry];
    } else {
        uint32_t best = 0;
        for (uint32_t i = 1; i < nodes.size(); ++i) {
            if (nodes[i].level() > nodes[best].level()) best = i;
        }
        entry_point = best;
    }
    max_level = nodes[*entry_point].level();

    reconnect(*this, metric);
    if (!had_vectors) release_vectors();
    return removed;
}

}  // namespace kivo::search
