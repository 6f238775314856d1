#include "wide_tree.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

FloatBox float_box(const BBox &b)
{
    return FloatBox{{float_down(b.min.x), float_down(b.min.y), float_down(b.min.z)},
                    {float_up(b.max.x), float_up(b.max.y), float_up(b.max.z)}};
}

namespace
{

const int BINS = 16;
// Past this depth ranges are halved by count alone, which bounds the depth.
const int SAH_DEPTH = 48;

FloatBox empty_float_box()
{
    return FloatBox{{HUGE_VALF, HUGE_VALF, HUGE_VALF}, {-HUGE_VALF, -HUGE_VALF, -HUGE_VALF}};
}

inline void grow(FloatBox *b, const FloatBox &o)
{
    b->lo[0] = o.lo[0] < b->lo[0] ? o.lo[0] : b->lo[0];
    b->lo[1] = o.lo[1] < b->lo[1] ? o.lo[1] : b->lo[1];
    b->lo[2] = o.lo[2] < b->lo[2] ? o.lo[2] : b->lo[2];
    b->hi[0] = o.hi[0] > b->hi[0] ? o.hi[0] : b->hi[0];
    b->hi[1] = o.hi[1] > b->hi[1] ? o.hi[1] : b->hi[1];
    b->hi[2] = o.hi[2] > b->hi[2] ? o.hi[2] : b->hi[2];
}

// Half the surface area: the heuristic only compares ratios.
double half_area(const FloatBox &b)
{
    double dx = static_cast<double>(b.hi[0]) - b.lo[0];
    double dy = static_cast<double>(b.hi[1]) - b.lo[1];
    double dz = static_cast<double>(b.hi[2]) - b.lo[2];
    return dx * dy + dy * dz + dz * dx;
}

struct Range {
    int begin, end;
    FloatBox box;
    float clo[3], chi[3]; // bounds of the (doubled) centres
    double area;
    bool judged; // split (axis, bin) worked out
    bool leafy;  // better left as a leaf
    int axis, bin;
    int bins; // as many as items, up to BINS
    // The two sides of the judged plane as its bins hold them: boxes and
    // bounds of the centres, so that a split needs no pass of its own.
    FloatBox side[2], side_centres[2];
    int count() const { return end - begin; }
};

// An item with its box, moved about whole by the partitions, so that every
// pass reads them in sequence.
struct Ref {
    FloatBox box;
    uint32_t item;
};

struct Builder {
    std::vector<Ref> &refs;
    std::vector<WideNode> &nodes;
    int max_leaf;
    double item_cost;
    bool by_slot;
    int deepest = 0;

    // Twice the centre, in single precision: NaN for a box unbounded both
    // ways, which the bounds of the centres pass over and the bins put first.
    static float centre(const Ref &ref, int axis) { return ref.box.lo[axis] + ref.box.hi[axis]; }
    // For the median: such a box counts as centred at 0.
    static float centre_key(const Ref &ref, int axis)
    {
        float c = centre(ref, axis);
        return c == c ? c : 0.0f;
    }

    Range make_range(int begin, int end) const
    {
        FloatBox box = empty_float_box(), centres = empty_float_box();
        for (int i = begin; i < end; i++) {
            const Ref &ref = refs[i];
            grow(&box, ref.box);
            for (int a = 0; a < 3; a++) {
                float c = centre(ref, a);
                centres.lo[a] = c < centres.lo[a] ? c : centres.lo[a];
                centres.hi[a] = c > centres.hi[a] ? c : centres.hi[a];
            }
        }
        return make_range(begin, end, box, centres);
    }

    // The range with its box and the bounds of its centres known.
    static Range make_range(int begin, int end, const FloatBox &box, const FloatBox &centres)
    {
        Range r;
        r.begin = begin;
        r.end = end;
        r.box = box;
        for (int a = 0; a < 3; a++) {
            r.clo[a] = centres.lo[a];
            r.chi[a] = centres.hi[a];
        }
        r.area = half_area(r.box);
        r.judged = false;
        r.leafy = r.count() <= 1;
        r.axis = 0;
        r.bin = -1;
        r.bins = std::min(std::max(r.count(), 2), BINS);
        return r;
    }

    // The bin of a centre, in the same single-precision steps as the
    // vector form in judge: a NaN goes to bin 0.
    static int bin_of(float c, float lo, float scale, int bins)
    {
        float f = (c - lo) * scale;
        f = f > 0.0f ? f : 0.0f;
        f = f < static_cast<float>(bins - 1) ? f : static_cast<float>(bins - 1);
        return static_cast<int>(f);
    }

    // Counts the items of r into the bins of each axis and grows the bins'
    // boxes by theirs, and the bounds of the bins' centres by theirs.
    void bin_items(const Range &r, const float lo[3], const float scale[3], int counts[3][BINS],
                   FloatBox bin_box[3][BINS], FloatBox bin_centres[3][BINS]) const
    {
#if defined(__SSE2__)
        __m128 blo[3][BINS], bhi[3][BINS], clo[3][BINS], chi[3][BINS];
        for (int axis = 0; axis < 3; axis++) {
            for (int b = 0; b < r.bins; b++) {
                blo[axis][b] = clo[axis][b] = _mm_set1_ps(HUGE_VALF);
                bhi[axis][b] = chi[axis][b] = _mm_set1_ps(-HUGE_VALF);
            }
        }
        const __m128 vlo = _mm_setr_ps(lo[0], lo[1], lo[2], 0.0f);
        const __m128 vscale = _mm_setr_ps(scale[0], scale[1], scale[2], 0.0f);
        const __m128 zero = _mm_setzero_ps(), top = _mm_set1_ps(static_cast<float>(r.bins - 1));
        for (int i = r.begin; i < r.end; i++) {
            const FloatBox &box = refs[i].box;
            __m128 l = _mm_setr_ps(box.lo[0], box.lo[1], box.lo[2], 0.0f);
            __m128 h = _mm_setr_ps(box.hi[0], box.hi[1], box.hi[2], 0.0f);
            // max_ps(f, 0) is f > 0 ? f : 0 and min_ps(f, top) is f < top ?
            // f : top, as in bin_of.
            const __m128 c = _mm_add_ps(l, h);
            __m128 f = _mm_mul_ps(_mm_sub_ps(c, vlo), vscale);
            f = _mm_min_ps(_mm_max_ps(f, zero), top);
            // The bins taken out of the register, not through memory.
            const __m128i bins = _mm_cvttps_epi32(f);
            const int b[3] = {_mm_cvtsi128_si32(bins), _mm_cvtsi128_si32(_mm_shuffle_epi32(bins, 1)),
                              _mm_cvtsi128_si32(_mm_shuffle_epi32(bins, 2))};
#define RT_BIN_AXIS(axis)                                                                                              \
    counts[axis][b[axis]]++;                                                                                           \
    blo[axis][b[axis]] = _mm_min_ps(blo[axis][b[axis]], l);                                                            \
    bhi[axis][b[axis]] = _mm_max_ps(bhi[axis][b[axis]], h);                                                            \
    clo[axis][b[axis]] = _mm_min_ps(c, clo[axis][b[axis]]);                                                            \
    chi[axis][b[axis]] = _mm_max_ps(c, chi[axis][b[axis]]);
            // A NaN centre (a box unbounded both ways) keeps the bounds.
            RT_BIN_AXIS(0)
            RT_BIN_AXIS(1)
            RT_BIN_AXIS(2)
#undef RT_BIN_AXIS
        }
        for (int axis = 0; axis < 3; axis++) {
            for (int b = 0; b < r.bins; b++) {
                float l[4], h[4];
                _mm_storeu_ps(l, blo[axis][b]);
                _mm_storeu_ps(h, bhi[axis][b]);
                bin_box[axis][b] = FloatBox{{l[0], l[1], l[2]}, {h[0], h[1], h[2]}};
                _mm_storeu_ps(l, clo[axis][b]);
                _mm_storeu_ps(h, chi[axis][b]);
                bin_centres[axis][b] = FloatBox{{l[0], l[1], l[2]}, {h[0], h[1], h[2]}};
            }
        }
#else
        for (int axis = 0; axis < 3; axis++) {
            for (int b = 0; b < BINS; b++) {
                bin_box[axis][b] = bin_centres[axis][b] = empty_float_box();
            }
        }
        for (int i = r.begin; i < r.end; i++) {
            const Ref &ref = refs[i];
            float c[3] = {centre(ref, 0), centre(ref, 1), centre(ref, 2)};
            for (int axis = 0; axis < 3; axis++) {
                int b = bin_of(c[axis], lo[axis], scale[axis], r.bins);
                counts[axis][b]++;
                grow(&bin_box[axis][b], ref.box);
                FloatBox &cb = bin_centres[axis][b];
                for (int a = 0; a < 3; a++) {
                    cb.lo[a] = c[a] < cb.lo[a] ? c[a] : cb.lo[a];
                    cb.hi[a] = c[a] > cb.hi[a] ? c[a] : cb.hi[a];
                }
            }
        }
#endif
    }

    // The best binned plane, and whether splitting beats a leaf.
    void judge(Range *r, int depth) const
    {
        r->judged = true;
        r->bin = -1;
        int n = r->count();
        if (n <= 1 || (n <= max_leaf && item_cost <= 0.0)) {
            r->leafy = true; // a leaf whatever the planes
            return;
        }
        double best = HUGE_VAL;
        bool sah = depth < SAH_DEPTH && r->area > 0.0 && std::isfinite(r->area);
        float lo[3], scale[3];
        bool live[3];
        for (int axis = 0; axis < 3; axis++) {
            lo[axis] = r->clo[axis];
            float extent = r->chi[axis] - lo[axis];
            live[axis] = sah && extent > 0.0f && std::isfinite(extent);
            scale[axis] = live[axis] ? static_cast<float>(r->bins) / extent : 0.0f;
        }
        if (!(live[0] || live[1] || live[2])) {
            sah = false;
        }
        // All three axes in one pass over the items.
        int counts[3][BINS] = {{0}};
        FloatBox bin_box[3][BINS], bin_centres[3][BINS];
        if (sah) {
            bin_items(*r, lo, scale, counts, bin_box, bin_centres);
        }
        for (int axis = 0; sah && axis < 3; axis++) {
            if (!live[axis]) {
                continue;
            }
            double left_cost[BINS];
            int left_count[BINS];
            FloatBox acc = empty_float_box();
            int k = 0;
            const int nb = r->bins;
            for (int b = 0; b < nb - 1; b++) {
                grow(&acc, bin_box[axis][b]);
                k += counts[axis][b];
                left_count[b] = k;
                left_cost[b] = k > 0 ? half_area(acc) * k : 0.0;
            }
            acc = empty_float_box();
            k = 0;
            for (int b = nb - 1; b > 0; b--) {
                grow(&acc, bin_box[axis][b]);
                k += counts[axis][b];
                if (k == 0 || left_count[b - 1] == 0) {
                    continue;
                }
                double c = left_cost[b - 1] + half_area(acc) * k;
                if (c < best) {
                    best = c;
                    r->bin = b;
                    r->axis = axis;
                }
            }
        }
        if (r->bin >= 0) {
            for (int k = 0; k < 2; k++) {
                r->side[k] = r->side_centres[k] = empty_float_box();
            }
            for (int b = 0; b < r->bins; b++) {
                int k = b >= r->bin;
                grow(&r->side[k], bin_box[r->axis][b]);
                grow(&r->side_centres[k], bin_centres[r->axis][b]);
            }
        }
        if (n > max_leaf) {
            r->leafy = false;
        } else if (item_cost <= 0.0) {
            r->leafy = true;
        } else {
            // One box test for the node, then the two sides in proportion
            // to their area, against testing every item here.
            r->leafy = !(r->bin >= 0 && 1.0 + item_cost * best / r->area < item_cost * n);
        }
    }

    // Splits r in two at its judged plane, or at the median centre along
    // the widest axis (ties by index) when no plane separates the centres;
    // *by_plane tells which.
    int split(const Range &r, bool *by_plane)
    {
        int mid = r.begin;
        if (r.bin >= 0) {
            float lo = r.clo[r.axis], scale = static_cast<float>(r.bins) / (r.chi[r.axis] - lo);
            int axis = r.axis, bin = r.bin, bins = r.bins;
            mid = static_cast<int>(
                std::partition(refs.begin() + r.begin, refs.begin() + r.end,
                               [&](const Ref &ref) { return bin_of(centre(ref, axis), lo, scale, bins) < bin; }) -
                refs.begin());
        }
        *by_plane = mid != r.begin && mid != r.end;
        if (!*by_plane) {
            int axis = 0;
            double widest = -1.0;
            for (int a = 0; a < 3; a++) {
                double extent = static_cast<double>(r.chi[a]) - r.clo[a];
                if (extent > widest) {
                    widest = extent;
                    axis = a;
                }
            }
            mid = r.begin + r.count() / 2;
            std::nth_element(refs.begin() + r.begin, refs.begin() + mid, refs.begin() + r.end,
                             [&](const Ref &a, const Ref &b) {
                                 float ca = centre_key(a, axis), cb = centre_key(b, axis);
                                 return ca < cb || (ca == cb && a.item < b.item);
                             });
        }
        return mid;
    }

    uint32_t leaf(const Range &r)
    {
        if (r.count() == 1 && !by_slot) {
            return WideTree::LEAF | refs[r.begin].item;
        }
        // Ascending: the items' own storage is visited in order.
        std::sort(refs.begin() + r.begin, refs.begin() + r.end,
                  [](const Ref &a, const Ref &b) { return a.item < b.item; });
        return WideTree::LEAF | static_cast<uint32_t>(r.count() - 1) << WideTree::COUNT_SHIFT |
               static_cast<uint32_t>(r.begin);
    }

    // A reference to the subtree over r.
    uint32_t build(Range r, int depth, bool root = false)
    {
        if (!r.judged) {
            judge(&r, depth);
        }
        if (!root && (r.leafy || r.count() <= 1)) {
            return leaf(r);
        }
        deepest = std::max(deepest, depth);
        uint32_t index = static_cast<uint32_t>(nodes.size());
        nodes.push_back(WideNode());

        // Up to four children: the widest range that is better split is
        // split again.
        Range kids[4] = {r, r, r, r};
        int n = 1;
        while (n < 4) {
            int pick = -1;
            for (int k = 0; k < n; k++) {
                if (!kids[k].judged) {
                    judge(&kids[k], depth + 1);
                }
                if (!kids[k].leafy && kids[k].count() > 1 && (pick < 0 || kids[k].area > kids[pick].area)) {
                    pick = k;
                }
            }
            if (pick < 0) {
                break;
            }
            bool by_plane;
            int mid = split(kids[pick], &by_plane);
            Range right, left;
            if (by_plane) {
                const Range &k = kids[pick];
                right = make_range(mid, k.end, k.side[1], k.side_centres[1]);
                left = make_range(k.begin, mid, k.side[0], k.side_centres[0]);
            } else {
                right = make_range(mid, kids[pick].end);
                left = make_range(kids[pick].begin, mid);
            }
            kids[pick] = left;
            for (int k = n; k > pick + 1; k--) {
                kids[k] = kids[k - 1];
            }
            kids[pick + 1] = right;
            n++;
        }

        uint32_t child[4];
        FloatBox box[4];
        for (int k = 0; k < 4; k++) {
            if (k < n) {
                child[k] = build(kids[k], depth + 1);
                box[k] = kids[k].box;
            } else {
                child[k] = WideTree::EMPTY;
                box[k] = empty_float_box();
            }
        }
        WideNode &node = nodes[index];
        for (int k = 0; k < 4; k++) {
            node.child[k] = child[k];
            for (int a = 0; a < 3; a++) {
                node.lo[a][k] = box[k].lo[a];
                node.hi[a][k] = box[k].hi[a];
            }
        }
        return index;
    }
};

} // namespace

bool WideTree::build(std::vector<FloatBox> boxes, int max_leaf, double item_cost, bool slots)
{
    clear();
    by_slot = slots;
    if (boxes.empty()) {
        return true;
    }
    if (boxes.size() >= MAX_ITEMS) {
        return false;
    }
    const size_t n = boxes.size();
    std::vector<Ref> refs(n);
    for (size_t i = 0; i < n; i++) {
        refs[i] = Ref{boxes[i], static_cast<uint32_t>(i)};
    }
    std::vector<FloatBox>().swap(boxes);
    // Room for the most nodes a tree of this many items is expected to
    // need: pages not written to cost no memory, copies on growth would.
    nodes.reserve(n / 2 + 16);
    Builder b{refs, nodes, std::min(std::max(max_leaf, 1), MAX_LEAF), item_cost, by_slot};
    Range all = b.make_range(0, static_cast<int>(n));
    b.judge(&all, 0);
    all.leafy = false;     // the root is always a node, of one leaf at least
    b.build(all, 0, true); // node 0
    // A node's walk pushes at most three more than it pops.
    if (3 * (b.deepest + 1) + 4 > STACK) {
        clear();
        return false;
    }
    if (max_leaf > 1 || by_slot) {
        // Otherwise every leaf names its item.
        order.resize(n);
        for (size_t i = 0; i < n; i++) {
            order[i] = refs[i].item;
        }
    }
    return true;
}

void WideTree::rename(const std::vector<uint32_t> &names)
{
    for (WideNode &node : nodes) {
        for (uint32_t &c : node.child) {
            if (c != EMPTY && (c & LEAF) && ((c >> COUNT_SHIFT) & 7) == 0 && !by_slot) {
                c = LEAF | names[c & (MAX_ITEMS - 1)];
            }
        }
    }
    for (uint32_t &item : order) {
        item = names[item];
    }
}

void WideTree::clear()
{
    std::vector<WideNode>().swap(nodes);
    std::vector<uint32_t>().swap(order);
}

BBox WideTree::bounds() const
{
    const WideNode &root = nodes[0];
    BBox b(Vector3(HUGE_VAL, HUGE_VAL, HUGE_VAL), Vector3(-HUGE_VAL, -HUGE_VAL, -HUGE_VAL));
    for (int k = 0; k < 4; k++) {
        if (root.child[k] == EMPTY) {
            continue;
        }
        b.min = Vector3(std::min(b.min.x, static_cast<double>(root.lo[0][k])),
                        std::min(b.min.y, static_cast<double>(root.lo[1][k])),
                        std::min(b.min.z, static_cast<double>(root.lo[2][k])));
        b.max = Vector3(std::max(b.max.x, static_cast<double>(root.hi[0][k])),
                        std::max(b.max.y, static_cast<double>(root.hi[1][k])),
                        std::max(b.max.z, static_cast<double>(root.hi[2][k])));
    }
    return b;
}
