#include "wide_tree.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// A float below (above) x, a step or two away, without the comparison of
// float_down (float_up), whose answer is hard to foresee: the nearest float
// f lies within half a step of x, and |f| 2^-23 + 2^-149 is at least a step,
// so f moved by that lies beyond x whatever the roundings. Values near the
// end of the float range take float_down (float_up).
static inline float below(double x)
{
    if (!(std::fabs(x) <= 1e38)) {
        return float_down(x);
    }
    float f = static_cast<float>(x);
    return f - (std::fabs(f) * 0x1p-23f + 0x1p-149f);
}

static inline float above(double x)
{
    if (!(std::fabs(x) <= 1e38)) {
        return float_up(x);
    }
    float f = static_cast<float>(x);
    return f + (std::fabs(f) * 0x1p-23f + 0x1p-149f);
}

FloatBox float_box(const BBox &b)
{
    return FloatBox{{below(b.min.x), below(b.min.y), below(b.min.z)}, {above(b.max.x), above(b.max.y), above(b.max.z)}};
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
    int left_count;
    int count() const { return end - begin; }
};

// The builder moves the boxes about with their items (boxes[i] is the box
// of order[i]), so that every pass reads them in sequence.
struct Builder {
    std::vector<FloatBox> &boxes;
    std::vector<uint32_t> &order;
    std::vector<WideNode> &nodes;
    int max_leaf;
    double item_cost;
    bool by_slot;
    int deepest = 0;

    // Twice the centre, in single precision: NaN for a box unbounded both
    // ways, which the bounds of the centres pass over and the bins put first.
    static float centre(const FloatBox &box, int axis) { return box.lo[axis] + box.hi[axis]; }
    // For the median: such a box counts as centred at 0.
    static float centre_key(const FloatBox &box, int axis)
    {
        float c = centre(box, axis);
        return c == c ? c : 0.0f;
    }

    Range make_range(int begin, int end) const
    {
        FloatBox box = empty_float_box(), centres = empty_float_box();
        for (int i = begin; i < end; i++) {
            grow(&box, boxes[i]);
            for (int a = 0; a < 3; a++) {
                float c = centre(boxes[i], a);
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

    // How a range is binned: the bins' origin and scale per axis, and which
    // axes have room for planes.
    struct Setup {
        bool sah;
        float lo[3], scale[3];
        bool live[3];
    };

    // The bins of a range: per axis and bin, the count, the box of the
    // items and the bounds of their centres.
    struct Bins {
        int bins;
        int counts[3][BINS];
#if defined(__SSE2__)
        __m128 blo[3][BINS], bhi[3][BINS], clo[3][BINS], chi[3][BINS];
        __m128 vlo, vscale, top;
#else
        FloatBox box[3][BINS], centres[3][BINS];
        Setup setup;
#endif

        void reset(const Setup &s, int n)
        {
            bins = n;
            for (int axis = 0; axis < 3; axis++) {
                for (int b = 0; b < bins; b++) {
                    counts[axis][b] = 0;
#if defined(__SSE2__)
                    blo[axis][b] = clo[axis][b] = _mm_set1_ps(HUGE_VALF);
                    bhi[axis][b] = chi[axis][b] = _mm_set1_ps(-HUGE_VALF);
#else
                    box[axis][b] = centres[axis][b] = empty_float_box();
#endif
                }
            }
#if defined(__SSE2__)
            vlo = _mm_setr_ps(s.lo[0], s.lo[1], s.lo[2], 0.0f);
            vscale = _mm_setr_ps(s.scale[0], s.scale[1], s.scale[2], 0.0f);
            top = _mm_set1_ps(static_cast<float>(bins - 1));
#else
            setup = s;
#endif
        }

        // Counts an item into the bins of each axis, growing their boxes by
        // its box and their bounds of centres by its centre.
#if defined(__GNUC__)
        __attribute__((always_inline))
#endif
        void
        add(const FloatBox &box)
        {
#if defined(__SSE2__)
            // Two loads within the box's 24 bytes, their fourth lanes cleared.
            const __m128 xyz = _mm_castsi128_ps(_mm_setr_epi32(-1, -1, -1, 0));
            __m128 l = _mm_and_ps(_mm_loadu_ps(&box.lo[0]), xyz);
            __m128 h = _mm_loadu_ps(&box.lo[2]);
            h = _mm_and_ps(_mm_shuffle_ps(h, h, _MM_SHUFFLE(3, 3, 2, 1)), xyz);
            // max_ps(f, 0) is f > 0 ? f : 0 and min_ps(f, top) is f < top ?
            // f : top, as in bin_of.
            const __m128 c = _mm_add_ps(l, h);
            __m128 f = _mm_mul_ps(_mm_sub_ps(c, vlo), vscale);
            f = _mm_min_ps(_mm_max_ps(f, _mm_setzero_ps()), top);
            // The bins taken out of the register, not through memory.
            const __m128i in = _mm_cvttps_epi32(f);
            const int b[3] = {_mm_cvtsi128_si32(in), _mm_cvtsi128_si32(_mm_shuffle_epi32(in, 1)),
                              _mm_cvtsi128_si32(_mm_shuffle_epi32(in, 2))};
            // A NaN centre (a box unbounded both ways) keeps the bounds.
#define RT_BIN_AXIS(axis)                                                                                              \
    counts[axis][b[axis]]++;                                                                                           \
    blo[axis][b[axis]] = _mm_min_ps(blo[axis][b[axis]], l);                                                            \
    bhi[axis][b[axis]] = _mm_max_ps(bhi[axis][b[axis]], h);                                                            \
    clo[axis][b[axis]] = _mm_min_ps(c, clo[axis][b[axis]]);                                                            \
    chi[axis][b[axis]] = _mm_max_ps(c, chi[axis][b[axis]]);
            RT_BIN_AXIS(0)
            RT_BIN_AXIS(1)
            RT_BIN_AXIS(2)
#undef RT_BIN_AXIS
#else
            float c[3] = {centre(box, 0), centre(box, 1), centre(box, 2)};
            for (int axis = 0; axis < 3; axis++) {
                int b = bin_of(c[axis], setup.lo[axis], setup.scale[axis], bins);
                counts[axis][b]++;
                grow(&this->box[axis][b], box);
                FloatBox &cb = centres[axis][b];
                for (int a = 0; a < 3; a++) {
                    cb.lo[a] = c[a] < cb.lo[a] ? c[a] : cb.lo[a];
                    cb.hi[a] = c[a] > cb.hi[a] ? c[a] : cb.hi[a];
                }
            }
#endif
        }

        void get(int axis, int b, FloatBox *box_out, FloatBox *centres_out) const
        {
#if defined(__SSE2__)
            float l[4], h[4];
            _mm_storeu_ps(l, blo[axis][b]);
            _mm_storeu_ps(h, bhi[axis][b]);
            *box_out = FloatBox{{l[0], l[1], l[2]}, {h[0], h[1], h[2]}};
            _mm_storeu_ps(l, clo[axis][b]);
            _mm_storeu_ps(h, chi[axis][b]);
            *centres_out = FloatBox{{l[0], l[1], l[2]}, {h[0], h[1], h[2]}};
#else
            *box_out = box[axis][b];
            *centres_out = centres[axis][b];
#endif
        }
    };

    // The box of a run of bins, grown bin by bin.
    struct Sweep {
#if defined(__SSE2__)
        __m128 lo = _mm_set1_ps(HUGE_VALF), hi = _mm_set1_ps(-HUGE_VALF);
        void grow(const Bins &bins, int axis, int b)
        {
            lo = _mm_min_ps(lo, bins.blo[axis][b]);
            hi = _mm_max_ps(hi, bins.bhi[axis][b]);
        }
        double half_area() const
        {
            float l[4], h[4];
            _mm_storeu_ps(l, lo);
            _mm_storeu_ps(h, hi);
            return ::half_area(FloatBox{{l[0], l[1], l[2]}, {h[0], h[1], h[2]}});
        }
#else
        FloatBox box = empty_float_box();
        void grow(const Bins &bins, int axis, int b)
        {
            ::grow(&box, bins.box[axis][b]);
        }
        double half_area() const
        {
            return ::half_area(box);
        }
#endif
    };

    // Marks r judged; false (r then judged in full) when its items need no
    // binning: too few, or no room for a plane.
    bool prepare(Range *r, int depth, Setup *s) const
    {
        r->judged = true;
        r->bin = -1;
        int n = r->count();
        s->sah = false;
        if (n <= 1 || (n <= max_leaf && item_cost <= 0.0)) {
            r->leafy = true; // a leaf whatever the planes
            return false;
        }
        bool sah = depth < SAH_DEPTH && r->area > 0.0 && std::isfinite(r->area);
        for (int axis = 0; axis < 3; axis++) {
            s->lo[axis] = r->clo[axis];
            float extent = r->chi[axis] - s->lo[axis];
            s->live[axis] = sah && extent > 0.0f && std::isfinite(extent);
            s->scale[axis] = s->live[axis] ? static_cast<float>(r->bins) / extent : 0.0f;
        }
        s->sah = s->live[0] || s->live[1] || s->live[2];
        if (!s->sah) {
            choose(r, *s, nullptr);
        }
        return s->sah;
    }

    // The best binned plane, and whether splitting beats a leaf.
    void choose(Range *r, const Setup &s, const Bins *bins) const
    {
        double best = HUGE_VAL;
        const int nb = r->bins;
        for (int axis = 0; s.sah && axis < 3; axis++) {
            if (!s.live[axis]) {
                continue;
            }
            const int *counts = bins->counts[axis];
            double left_cost[BINS];
            int left_count[BINS];
            Sweep acc;
            int k = 0;
            for (int b = 0; b < nb - 1; b++) {
                acc.grow(*bins, axis, b);
                k += counts[b];
                left_count[b] = k;
                left_cost[b] = k > 0 ? acc.half_area() * k : 0.0;
            }
            acc = Sweep();
            k = 0;
            for (int b = nb - 1; b > 0; b--) {
                acc.grow(*bins, axis, b);
                k += counts[b];
                if (k == 0 || left_count[b - 1] == 0) {
                    continue;
                }
                double c = left_cost[b - 1] + acc.half_area() * k;
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
            r->left_count = 0;
            for (int b = 0; b < nb; b++) {
                int k = b >= r->bin;
                FloatBox box, centres;
                bins->get(r->axis, b, &box, &centres);
                grow(&r->side[k], box);
                grow(&r->side_centres[k], centres);
                r->left_count += k == 0 ? bins->counts[r->axis][b] : 0;
            }
        }
        int n = r->count();
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

    void judge(Range *r, int depth) const
    {
        Setup s;
        if (prepare(r, depth, &s)) {
            // All three axes in one pass over the items.
            Bins bins;
            bins.reset(s, r->bins);
            for (int i = r->begin; i < r->end; i++) {
                bins.add(boxes[i]);
            }
            choose(r, s, &bins);
        }
    }

    // Splits r in two at its judged plane into *left and *right, judged at
    // depth: each item is binned for its side as the partition passes it.
    void split_by_plane(const Range &r, int depth, Range *left, Range *right)
    {
        int mid = r.begin + r.left_count;
        *left = make_range(r.begin, mid, r.side[0], r.side_centres[0]);
        *right = make_range(mid, r.end, r.side[1], r.side_centres[1]);
        Setup sl, sr;
        bool bin_left = prepare(left, depth, &sl), bin_right = prepare(right, depth, &sr);
        // A side that is not binned counts its items into one bin of a
        // third set, never read.
        Bins bl, br, unread;
        const Setup none = {false, {0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}, {false, false, false}};
        unread.reset(none, 1);
        if (bin_left) {
            bl.reset(sl, left->bins);
        }
        if (bin_right) {
            br.reset(sr, right->bins);
        }
        Bins *to_left = bin_left ? &bl : &unread, *to_right = bin_right ? &br : &unread;
        const float lo = r.clo[r.axis], scale = static_cast<float>(r.bins) / (r.chi[r.axis] - lo);
        const int axis = r.axis, bin = r.bin, bins = r.bins;
        // Without branches on the side, which is hard to foresee: every item
        // is swapped with the first of the right side so far, which then
        // grows by one unless the item belongs on the left.
        int first_right = r.begin;
        for (int i = r.begin; i < r.end; i++) {
            // Judged and binned where it lies, then moved.
            bool on_left = bin_of(centre(boxes[i], axis), lo, scale, bins) < bin;
            (on_left ? to_left : to_right)->add(boxes[i]);
            FloatBox box = boxes[i];
            uint32_t item = order[i];
            boxes[i] = boxes[first_right];
            order[i] = order[first_right];
            boxes[first_right] = box;
            order[first_right] = item;
            first_right += on_left;
        }
        if (bin_left) {
            choose(left, sl, &bl);
        }
        if (bin_right) {
            choose(right, sr, &br);
        }
    }

    // Splits r in two at the median centre along the widest axis (ties by
    // index), for a range that no plane separates.
    int split_at_median(const Range &r)
    {
        int axis = 0;
        double widest = -1.0;
        for (int a = 0; a < 3; a++) {
            double extent = static_cast<double>(r.chi[a]) - r.clo[a];
            if (extent > widest) {
                widest = extent;
                axis = a;
            }
        }
        int mid = r.begin + r.count() / 2;
        // By a permutation of the range, applied to both arrays after.
        std::vector<uint32_t> perm(r.count());
        for (int k = 0; k < r.count(); k++) {
            perm[k] = static_cast<uint32_t>(r.begin + k);
        }
        std::nth_element(perm.begin(), perm.begin() + (mid - r.begin), perm.end(), [&](uint32_t a, uint32_t b) {
            float ca = centre_key(boxes[a], axis), cb = centre_key(boxes[b], axis);
            return ca < cb || (ca == cb && order[a] < order[b]);
        });
        std::vector<FloatBox> moved_boxes(perm.size());
        std::vector<uint32_t> moved_order(perm.size());
        for (size_t k = 0; k < perm.size(); k++) {
            moved_boxes[k] = boxes[perm[k]];
            moved_order[k] = order[perm[k]];
        }
        std::copy(moved_boxes.begin(), moved_boxes.end(), boxes.begin() + r.begin);
        std::copy(moved_order.begin(), moved_order.end(), order.begin() + r.begin);
        return mid;
    }

    uint32_t leaf(const Range &r)
    {
        if (r.count() == 1 && !by_slot) {
            return WideTree::LEAF | order[r.begin];
        }
        // Ascending: the items' own storage is visited in order. A leaf is
        // short: insertion, moving each box with its item.
        for (int i = r.begin + 1; i < r.end; i++) {
            uint32_t item = order[i];
            FloatBox box = boxes[i];
            int j = i;
            for (; j > r.begin && order[j - 1] > item; j--) {
                order[j] = order[j - 1];
                boxes[j] = boxes[j - 1];
            }
            order[j] = item;
            boxes[j] = box;
        }
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
            Range right, left;
            if (kids[pick].bin >= 0) {
                split_by_plane(kids[pick], depth + 1, &left, &right);
            } else {
                int mid = split_at_median(kids[pick]);
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
    order.resize(n);
    for (size_t i = 0; i < n; i++) {
        order[i] = static_cast<uint32_t>(i);
    }
    // Room for the most nodes a tree of this many items is expected to
    // need: pages not written to cost no memory, copies on growth would.
    nodes.reserve(n / 2 + 16);
    Builder b{boxes, order, nodes, std::min(std::max(max_leaf, 1), MAX_LEAF), item_cost, by_slot};
    Range all = b.make_range(0, static_cast<int>(n));
    b.judge(&all, 0);
    all.leafy = false;     // the root is always a node, of one leaf at least
    b.build(all, 0, true); // node 0
    // A node's walk pushes at most three more than it pops.
    if (3 * (b.deepest + 1) + 4 > STACK) {
        clear();
        return false;
    }
    if (max_leaf <= 1 && !by_slot) {
        std::vector<uint32_t>().swap(order); // every leaf names its item
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
