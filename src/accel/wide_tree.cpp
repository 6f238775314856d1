#include "accel/wide_tree.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "tasks/task_runner.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#ifdef RT_QUERY_COUNTERS
QueryCounters query_counters;
#endif

namespace
{

const int BINS = WideTree::MAX_BINS;
// Past this depth ranges are halved by count alone, which bounds the depth.
const int SAH_DEPTH = 48;
// On several threads, the subtrees left to build on their own hold at most
// the larger of this many items and a PARALLEL_SHARES-th of them all: enough
// pieces for the threads to share evenly, few enough that the top of the
// tree, built first on one thread, stays small.
const int PARALLEL_GRAIN = 4096;
const int PARALLEL_SHARES = 8;

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

// Twice the centre, in single precision: NaN for a box unbounded both ways,
// which bounds of centres pass over and the bins put first.
inline float centre(const FloatBox &box, int axis)
{
    return box.lo[axis] + box.hi[axis];
}

// How a range's items are binned: on each axis a centre c goes to bin (c -
// lo) scale, clamped to the bins (a NaN to bin 0); an axis without room for
// planes has scale 0 and puts every item in bin 0.
struct Setup {
    float lo[3], scale[3];
    bool live[3];
    int bins;
};

// The bin of a centre, in the same single-precision steps as the vector
// form in Bins::add.
inline int bin_of(float c, float lo, float scale, int bins)
{
    float f = (c - lo) * scale;
    f = f > 0.0f ? f : 0.0f;
    f = f < static_cast<float>(bins - 1) ? f : static_cast<float>(bins - 1);
    return static_cast<int>(f);
}

struct Range {
    int begin, end;
    FloatBox box;
    // Bounds the items' centres: below the root first as the bins of the
    // range above do, a little wider (its own bins are set up from that),
    // then exactly, from the partition that bins its items.
    FloatBox centres;
    double area;
    bool judged; // split (axis, bin) worked out
    bool leafy;  // better left as a leaf
    int axis, bin;
    Setup setup;
    // The two sides of the judged plane as its bins hold them, so that a
    // split needs no pass of its own.
    FloatBox side[2], side_centres[2];
    int left_count;
    int count() const { return end - begin; }
};

// An item's bounds as two vectors, their fourth lanes 0: two loads within
// its 28 bytes.
#if defined(__SSE2__)
RT_ALWAYS_INLINE void load_box(const WideTree::Item &item, __m128 *lo, __m128 *hi)
{
    static_assert(sizeof(WideTree::Item) == 28 && offsetof(WideTree::Item, box.hi) == 12, "box, then name");
    const __m128 xyz = _mm_castsi128_ps(_mm_setr_epi32(-1, -1, -1, 0));
    *lo = _mm_and_ps(_mm_loadu_ps(&item.box.lo[0]), xyz);
    *hi = _mm_and_ps(_mm_loadu_ps(&item.box.hi[0]), xyz);
}
#endif

// The bins of a range: per axis and bin, the count and the box of the items.
struct Bins {
    int bins;
    int counts[3][BINS];
#if defined(__SSE2__)
    __m128 lo[3][BINS], hi[3][BINS];
    __m128 origin, scale, top;
#else
    FloatBox box[3][BINS];
    Setup setup;
#endif

    void reset(const Setup &s)
    {
        bins = s.bins;
        for (int axis = 0; axis < 3; axis++) {
            for (int b = 0; b < bins; b++) {
                counts[axis][b] = 0;
#if defined(__SSE2__)
                lo[axis][b] = _mm_set1_ps(HUGE_VALF);
                hi[axis][b] = _mm_set1_ps(-HUGE_VALF);
#else
                box[axis][b] = empty_float_box();
#endif
            }
        }
#if defined(__SSE2__)
        origin = _mm_setr_ps(s.lo[0], s.lo[1], s.lo[2], 0.0f);
        scale = _mm_setr_ps(s.scale[0], s.scale[1], s.scale[2], 0.0f);
        top = _mm_set1_ps(static_cast<float>(bins - 1));
#else
        setup = s;
#endif
    }

    // Counts an item into the bins of each axis, growing their boxes by its
    // box: l and h from load_box, c = l + h.
#if defined(__SSE2__)
    RT_ALWAYS_INLINE void add(__m128 l, __m128 h, __m128 c)
    {
        // max_ps(f, 0) is f > 0 ? f : 0 and min_ps(f, top) is f < top ? f :
        // top, as in bin_of.
        __m128 f = _mm_mul_ps(_mm_sub_ps(c, origin), scale);
        f = _mm_min_ps(_mm_max_ps(f, _mm_setzero_ps()), top);
        // The bins taken out of the register, not through memory.
        const __m128i in = _mm_cvttps_epi32(f);
        // Unsigned: no sign extension for the addresses.
        add_to(0, static_cast<uint32_t>(_mm_cvtsi128_si32(in)), l, h);
        add_to(1, static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(in, 1))), l, h);
        add_to(2, static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(in, 2))), l, h);
    }
    RT_ALWAYS_INLINE void add_to(int axis, uint32_t b, __m128 l, __m128 h)
    {
        counts[axis][b]++;
        lo[axis][b] = _mm_min_ps(lo[axis][b], l);
        hi[axis][b] = _mm_max_ps(hi[axis][b], h);
    }
#else
    void add(const FloatBox &item, const float c[3])
    {
        for (int axis = 0; axis < 3; axis++) {
            int b = bin_of(c[axis], setup.lo[axis], setup.scale[axis], bins);
            counts[axis][b]++;
            grow(&box[axis][b], item);
        }
    }
#endif
};

// The box of a run of bins, grown bin by bin.
struct Sweep {
#if defined(__SSE2__)
    __m128 lo = _mm_set1_ps(HUGE_VALF), hi = _mm_set1_ps(-HUGE_VALF);
    void grow(const Bins &bins, int axis, int b)
    {
        lo = _mm_min_ps(lo, bins.lo[axis][b]);
        hi = _mm_max_ps(hi, bins.hi[axis][b]);
    }
    // ::half_area in the same steps, without a trip through memory.
    double half_area() const
    {
        const __m128d dxy = _mm_sub_pd(_mm_cvtps_pd(hi), _mm_cvtps_pd(lo));
        const __m128d dz = _mm_sub_sd(_mm_cvtps_pd(_mm_movehl_ps(hi, hi)), _mm_cvtps_pd(_mm_movehl_ps(lo, lo)));
        const __m128d p = _mm_mul_pd(dxy, _mm_shuffle_pd(dxy, dz, 1)); // dx dy, dy dz
        return _mm_cvtsd_f64(_mm_add_sd(_mm_add_sd(p, _mm_unpackhi_pd(p, p)), _mm_mul_sd(dz, dxy)));
    }
    FloatBox bounds() const
    {
        float l[4], h[4];
        _mm_storeu_ps(l, lo);
        _mm_storeu_ps(h, hi);
        return FloatBox{{l[0], l[1], l[2]}, {h[0], h[1], h[2]}};
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
    FloatBox bounds() const
    {
        return box;
    }
#endif
};

// A subtree left for later: its range, judged, at its depth, and the child
// slot of the node that refers to it.
struct Deferred {
    Range range;
    int depth;
    uint32_t parent;
    int slot;
};

// The builder moves the items about, so that every pass reads them in
// sequence.
struct Builder {
    std::vector<WideTree::Item> &items;
    std::vector<WideNode> &nodes;
    int max_leaf;
    double item_cost;
    int most_bins;
    bool by_slot;
    int deepest = 0;
    // When set, subtrees over at most `grain` items are not built but noted
    // here, to be built on their own (see WideTree::build).
    std::vector<Deferred> *deferred = nullptr;
    int grain = 0;

    // For the median: a box unbounded both ways counts as centred at 0.
    static float centre_key(const WideTree::Item &item, int axis)
    {
        float c = centre(item.box, axis);
        return c == c ? c : 0.0f;
    }

    // A range with its box and the exact bounds of its centres, from a pass
    // over its items.
    Range make_range(int begin, int end) const
    {
        FloatBox box = empty_float_box(), centres = empty_float_box();
        for (int i = begin; i < end; i++) {
            grow(&box, items[i].box);
            for (int a = 0; a < 3; a++) {
                float c = centre(items[i].box, a);
                centres.lo[a] = c < centres.lo[a] ? c : centres.lo[a];
                centres.hi[a] = c > centres.hi[a] ? c : centres.hi[a];
            }
        }
        return make_range(begin, end, box, centres);
    }

    Range make_range(int begin, int end, const FloatBox &box, const FloatBox &centres) const
    {
        Range r;
        r.begin = begin;
        r.end = end;
        r.box = box;
        r.centres = centres;
        r.area = half_area(r.box);
        r.judged = false;
        r.leafy = r.count() <= 1;
        r.axis = 0;
        r.bin = -1;
        // A small range is cut well enough at fewer places, and most ranges
        // are small: a bin for every two items.
        r.setup.bins = std::min(std::max(r.count() / 2, 2), most_bins);
        return r;
    }

    // Marks r judged and sets up its bins; false (r then judged in full)
    // when its items need no binning: too few, or no room for a plane.
    bool prepare(Range *r, int depth) const
    {
        r->judged = true;
        r->bin = -1;
        int n = r->count();
        if (n <= 1 || (n <= max_leaf && item_cost <= 0.0)) {
            r->leafy = true; // a leaf whatever the planes
            return false;
        }
        bool sah = depth < SAH_DEPTH && r->area > 0.0 && std::isfinite(r->area);
        Setup &s = r->setup;
        bool any = false;
        for (int axis = 0; axis < 3; axis++) {
            s.lo[axis] = r->centres.lo[axis];
            float extent = r->centres.hi[axis] - s.lo[axis];
            s.live[axis] = sah && extent > 0.0f && std::isfinite(extent);
            s.scale[axis] = s.live[axis] ? static_cast<float>(s.bins) / extent : 0.0f;
            any = any || s.live[axis];
        }
        if (!any) {
            choose(r, nullptr);
        }
        return any;
    }

    // The best binned plane, and whether splitting beats a leaf.
    void choose(Range *r, const Bins *bins) const
    {
        double best = HUGE_VAL;
        int best_bin = -1, best_axis = 0;
        const Setup &s = r->setup;
        const int nb = s.bins;
        for (int axis = 0; bins != nullptr && axis < 3; axis++) {
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
                left_cost[b] = acc.half_area() * k; // NaN while empty, not used then
            }
            acc = Sweep();
            k = 0;
            for (int b = nb - 1; b > 0; b--) {
                acc.grow(*bins, axis, b);
                k += counts[b];
                // Only planes with items on both sides. Without branches:
                // which plane wins is hard to foresee.
                double c = left_cost[b - 1] + acc.half_area() * k;
                bool better = (k > 0) & (left_count[b - 1] > 0) & (c < best);
                best = better ? c : best;
                best_bin = better ? b : best_bin;
                best_axis = better ? axis : best_axis;
            }
        }
        r->bin = best_bin;
        r->axis = best_axis;
        if (r->bin >= 0) {
            sides(r, *bins);
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

    // The two sides of r's judged plane: their boxes and counts from the
    // bins, and bounds of their centres: within r's, within twice the
    // side's box (which holds every centre of it), and on the plane's side
    // on its axis (roughly: beyond the ends the bins only clamp).
    static void sides(Range *r, const Bins &bins)
    {
        const int axis = r->axis;
        Sweep left, right;
        r->left_count = 0;
        for (int b = 0; b < r->bin; b++) {
            left.grow(bins, axis, b);
            r->left_count += bins.counts[axis][b];
        }
        for (int b = r->bin; b < r->setup.bins; b++) {
            right.grow(bins, axis, b);
        }
        r->side[0] = left.bounds();
        r->side[1] = right.bounds();
        for (int k = 0; k < 2; k++) {
            FloatBox &c = r->side_centres[k];
            for (int a = 0; a < 3; a++) {
                float lo = 2.0f * r->side[k].lo[a], hi = 2.0f * r->side[k].hi[a];
                c.lo[a] = lo > r->centres.lo[a] ? lo : r->centres.lo[a];
                c.hi[a] = hi < r->centres.hi[a] ? hi : r->centres.hi[a];
            }
        }
        float plane = r->setup.lo[axis] + static_cast<float>(r->bin) / r->setup.scale[axis];
        float &left_hi = r->side_centres[0].hi[axis], &right_lo = r->side_centres[1].lo[axis];
        left_hi = plane < left_hi ? plane : left_hi;
        right_lo = plane > right_lo ? plane : right_lo;
    }

    void judge(Range *r, int depth) const
    {
        if (prepare(r, depth)) {
            // All three axes in one pass over the items.
            Bins bins;
            bins.reset(r->setup);
            for (int i = r->begin; i < r->end; i++) {
#if defined(__SSE2__)
                __m128 l, h;
                load_box(items[i], &l, &h);
                bins.add(l, h, _mm_add_ps(l, h));
#else
                const FloatBox &box = items[i].box;
                const float c[3] = {centre(box, 0), centre(box, 1), centre(box, 2)};
                bins.add(box, c);
#endif
            }
            choose(r, &bins);
        }
    }

    // Splits r in two at its judged plane into *left and *right, judged at
    // depth: each item is binned for its side as the partition passes it.
    void split_by_plane(const Range &r, int depth, Range *left, Range *right)
    {
        int mid = r.begin + r.left_count;
        *left = make_range(r.begin, mid, r.side[0], r.side_centres[0]);
        *right = make_range(mid, r.end, r.side[1], r.side_centres[1]);
        bool bin_left = prepare(left, depth), bin_right = prepare(right, depth);
        if (!bin_left && !bin_right) {
            partition<false>(r, nullptr, nullptr, nullptr, nullptr);
            return;
        }
        // A side that is not binned counts its items into one bin of a
        // third set, never read.
        Bins bl, br, unread;
        if (bin_left) {
            bl.reset(left->setup);
        }
        if (bin_right) {
            br.reset(right->setup);
        }
        if (!bin_left || !bin_right) {
            const Setup none = {{0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}, {false, false, false}, 1};
            unread.reset(none);
        }
        partition<true>(r, bin_left ? &bl : &unread, bin_right ? &br : &unread, &left->centres, &right->centres);
        // The partition saw every centre: the bounds of each side's are
        // now exact, for the planes below.
        if (bin_left) {
            choose(left, &bl);
        }
        if (bin_right) {
            choose(right, &br);
        }
    }

    // Moves the items of r on the left of its judged plane (as its bins
    // have them) before the others; if BIN, bins each for its side and
    // bounds the centres of each side. Without branches on the side, which
    // is hard to foresee: every item is swapped with the first of the right
    // side so far, which then grows by one unless the item belongs on the
    // left.
    template <bool BIN>
    void partition(const Range &r, Bins *to_left, Bins *to_right, FloatBox *left_centres, FloatBox *right_centres)
    {
        const int axis = r.axis;
        int first_right = r.begin;
#if defined(__SSE2__)
        // Left where (c - lo) scale, not clamped, is below the plane's bin
        // or NaN: clamping to the bins would not change that.
        const __m128 origin = _mm_set1_ps(r.setup.lo[axis]), scale = _mm_set1_ps(r.setup.scale[axis]);
        const __m128 plane = _mm_set1_ps(static_cast<float>(r.bin));
        const int lane = 1 << axis;
        __m128 left_lo = _mm_set1_ps(HUGE_VALF), left_hi = _mm_set1_ps(-HUGE_VALF);
        __m128 right_lo = left_lo, right_hi = left_hi;
#else
        const float origin = r.setup.lo[axis], scale = r.setup.scale[axis], plane = static_cast<float>(r.bin);
        FloatBox centres[2] = {empty_float_box(), empty_float_box()};
#endif
        for (int i = r.begin; i < r.end; i++) {
#if defined(__SSE2__)
            __m128 l, h;
            load_box(items[i], &l, &h);
            const __m128 c = _mm_add_ps(l, h);
            int right = _mm_movemask_ps(_mm_cmpge_ps(_mm_mul_ps(_mm_sub_ps(c, origin), scale), plane)) & lane;
            bool on_left = right == 0;
            if (BIN) {
                (on_left ? to_left : to_right)->add(l, h, c);
                // The centre, and all ones (a NaN) on the other side:
                // min_ps(a, b) is a < b ? a : b and so passes over a NaN a,
                // as the bounds pass over a NaN centre.
                const __m128 not_left = _mm_castsi128_ps(_mm_set1_epi32(-(right != 0)));
                const __m128 to_l = _mm_or_ps(c, not_left),
                             to_r = _mm_or_ps(c, _mm_xor_ps(not_left, _mm_cmpeq_ps(c, c)));
                left_lo = _mm_min_ps(to_l, left_lo);
                left_hi = _mm_max_ps(to_l, left_hi);
                right_lo = _mm_min_ps(to_r, right_lo);
                right_hi = _mm_max_ps(to_r, right_hi);
            }
#else
            const FloatBox &box = items[i].box;
            const float c[3] = {centre(box, 0), centre(box, 1), centre(box, 2)};
            bool on_left = !((c[axis] - origin) * scale >= plane);
            if (BIN) {
                (on_left ? to_left : to_right)->add(box, c);
                FloatBox &cb = centres[!on_left];
                for (int a = 0; a < 3; a++) {
                    cb.lo[a] = c[a] < cb.lo[a] ? c[a] : cb.lo[a];
                    cb.hi[a] = c[a] > cb.hi[a] ? c[a] : cb.hi[a];
                }
            }
#endif
            WideTree::Item item = items[i];
            items[i] = items[first_right];
            items[first_right] = item;
            first_right += on_left;
        }
        if (BIN) {
#if defined(__SSE2__)
            float lo[4], hi[4];
            _mm_storeu_ps(lo, left_lo);
            _mm_storeu_ps(hi, left_hi);
            *left_centres = FloatBox{{lo[0], lo[1], lo[2]}, {hi[0], hi[1], hi[2]}};
            _mm_storeu_ps(lo, right_lo);
            _mm_storeu_ps(hi, right_hi);
            *right_centres = FloatBox{{lo[0], lo[1], lo[2]}, {hi[0], hi[1], hi[2]}};
#else
            *left_centres = centres[0];
            *right_centres = centres[1];
#endif
        }
    }

    // Splits r in two at the median centre along the widest axis (ties by
    // index), for a range that no plane separates.
    int split_at_median(const Range &r)
    {
        int axis = 0;
        double widest = -1.0;
        for (int a = 0; a < 3; a++) {
            double extent = static_cast<double>(r.centres.hi[a]) - r.centres.lo[a];
            if (extent > widest) {
                widest = extent;
                axis = a;
            }
        }
        int mid = r.begin + r.count() / 2;
        // By a permutation of the range, applied after.
        std::vector<uint32_t> perm(r.count());
        for (int k = 0; k < r.count(); k++) {
            perm[k] = static_cast<uint32_t>(r.begin + k);
        }
        std::nth_element(perm.begin(), perm.begin() + (mid - r.begin), perm.end(), [&](uint32_t a, uint32_t b) {
            float ca = centre_key(items[a], axis), cb = centre_key(items[b], axis);
            return ca < cb || (ca == cb && items[a].id < items[b].id);
        });
        std::vector<WideTree::Item> moved(perm.size());
        for (size_t k = 0; k < perm.size(); k++) {
            moved[k] = items[perm[k]];
        }
        std::copy(moved.begin(), moved.end(), items.begin() + r.begin);
        return mid;
    }

    uint32_t leaf(const Range &r)
    {
        if (r.count() == 1 && !by_slot) {
            return WideTree::LEAF | items[r.begin].id;
        }
        // Ascending: the items' own storage is visited in order. A leaf is
        // short: insertion.
        for (int i = r.begin + 1; i < r.end; i++) {
            WideTree::Item item = items[i];
            int j = i;
            for (; j > r.begin && items[j - 1].id > item.id; j--) {
                items[j] = items[j - 1];
            }
            items[j] = item;
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
        if (!root && deferred != nullptr && r.count() <= grain) {
            deferred->push_back(Deferred{r, depth, 0, 0});
            return WideTree::EMPTY; // the caller notes where it goes
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
                if (child[k] == WideTree::EMPTY) {
                    deferred->back().parent = index;
                    deferred->back().slot = k;
                }
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

namespace
{

inline bool is_node(uint32_t ref)
{
    return ref != WideTree::EMPTY && !(ref & WideTree::LEAF);
}

// The deferred subtrees, built each into nodes of its own, put in their
// places among the nodes built before them: in the order in which a walk
// down the first child first enters them, as the builder alone numbers its
// nodes. A reference to a node moves with it; leaves and empty slots keep
// theirs.
struct Layout {
    std::vector<WideNode> &top;
    std::vector<int32_t> pending; // per child slot of the top: its deferred subtree, or -1
    std::vector<std::vector<WideNode>> &built;
    const std::vector<uint32_t> &roots; // each subtree's reference to itself
    std::vector<uint32_t> place, base;
    uint32_t next = 0;

    // Works out place (of each top node) and base (of each subtree).
    void number(uint32_t t)
    {
        place[t] = next++;
        for (int k = 0; k < 4; k++) {
            int32_t task = pending[t * 4 + k];
            if (task >= 0) {
                base[task] = next;
                next += static_cast<uint32_t>(built[task].size());
            } else if (is_node(top[t].child[k])) {
                number(top[t].child[k]);
            }
        }
    }

    // Appends the nodes in their order, each subtree's freed once copied.
    void emit(uint32_t t, std::vector<WideNode> *out)
    {
        WideNode node = top[t];
        for (int k = 0; k < 4; k++) {
            int32_t task = pending[t * 4 + k];
            uint32_t &c = node.child[k];
            if (task >= 0) {
                c = is_node(roots[task]) ? base[task] + roots[task] : roots[task];
            } else if (is_node(c)) {
                c = place[c];
            }
        }
        out->push_back(node);
        for (int k = 0; k < 4; k++) {
            int32_t task = pending[t * 4 + k];
            if (task >= 0) {
                for (WideNode sub : built[task]) {
                    for (uint32_t &c : sub.child) {
                        c = is_node(c) ? base[task] + c : c;
                    }
                    out->push_back(sub);
                }
                std::vector<WideNode>().swap(built[task]);
            } else if (is_node(top[t].child[k])) {
                emit(top[t].child[k], out);
            }
        }
    }
};

// Builds the deferred subtrees on up to `threads` threads and lays them out
// with the top; returns the depth of the deepest node.
int build_deferred(const Builder &top, const std::vector<Deferred> &deferred, std::vector<WideNode> *nodes, int threads)
{
    const size_t count = deferred.size();
    std::vector<std::vector<WideNode>> built(count);
    std::vector<uint32_t> roots(count);
    std::vector<int> deepest(count, 0);
    // The largest first, so that no thread is left with a large one at the
    // end; the order decides nothing else.
    std::vector<size_t> by_size(count);
    for (size_t i = 0; i < count; i++) {
        by_size[i] = i;
    }
    std::stable_sort(by_size.begin(), by_size.end(),
                     [&](size_t a, size_t b) { return deferred[a].range.count() > deferred[b].range.count(); });
    run_tasks(count, threads, [&](size_t t) {
        size_t i = by_size[t];
        // A subtree has fewer nodes than items: reserved at once, its room
        // is a block of its own, given back whole when freed.
        built[i].reserve(deferred[i].range.count());
        Builder b{top.items, built[i], top.max_leaf, top.item_cost, top.most_bins, top.by_slot};
        roots[i] = b.build(deferred[i].range, deferred[i].depth);
        deepest[i] = b.deepest;
    });

    const size_t top_count = nodes->size();
    Layout layout{*nodes, std::vector<int32_t>(top_count * 4, -1), built,
                  roots,  std::vector<uint32_t>(top_count),        std::vector<uint32_t>(count)};
    for (size_t i = 0; i < count; i++) {
        layout.pending[deferred[i].parent * 4 + deferred[i].slot] = static_cast<int32_t>(i);
    }
    layout.number(0);
    std::vector<WideNode> all;
    all.reserve(layout.next);
    layout.emit(0, &all);
    nodes->swap(all);

    int most = 0;
    for (int d : deepest) {
        most = std::max(most, d);
    }
    return most;
}

} // namespace

bool WideTree::build(std::vector<Item> items, int max_leaf, double item_cost, bool slots, int bins, int threads)
{
    clear();
    by_slot = slots;
    if (items.empty()) {
        return true;
    }
    if (items.size() >= MAX_ITEMS) {
        return false;
    }
    for (const Item &item : items) {
        if (item.id >= MAX_ITEMS) {
            return false;
        }
    }
    const size_t n = items.size();
    Builder b{
        items,  nodes, std::min(std::max(max_leaf, 1), MAX_LEAF), item_cost, std::min(std::max(bins, 2), MAX_BINS),
        by_slot};
    // On several threads the top of the tree is built first, leaving the
    // subtrees below PARALLEL_GRAIN items each (at least) for later; they are
    // independent (each moves only its own run of the items) and are put in
    // place after. The nodes are those of the build on one thread.
    std::vector<Deferred> deferred;
    const bool parallel = threads > 1 && n >= static_cast<size_t>(2 * PARALLEL_GRAIN);
    if (parallel) {
        b.deferred = &deferred;
        b.grain = std::max(PARALLEL_GRAIN, static_cast<int>(n / PARALLEL_SHARES));
    } else {
        // Room for the most nodes a tree of this many items is expected to
        // need: pages not written to cost no memory, copies on growth would.
        nodes.reserve(n / 2 + 16);
    }
    Range all = b.make_range(0, static_cast<int>(n));
    b.judge(&all, 0);
    all.leafy = false;     // the root is always a node, of one leaf at least
    b.build(all, 0, true); // node 0
    if (!deferred.empty()) {
        b.deepest = std::max(b.deepest, build_deferred(b, deferred, &nodes, threads));
    }
    // A node's walk pushes at most three more than it pops.
    if (3 * (b.deepest + 1) + 4 > STACK) {
        clear();
        return false;
    }
    if (max_leaf > 1 || by_slot) { // else every leaf names its item
        order.resize(n);
        for (size_t i = 0; i < n; i++) {
            order[i] = items[i].id;
        }
    }
    return true;
}

void WideTree::clear()
{
    std::vector<WideNode>().swap(nodes);
    std::vector<WideNode8>().swap(nodes8);
    std::vector<uint32_t>().swap(order);
}

void WideTree::bounds(Vector3 *lo, Vector3 *hi) const
{
    // The root's children, in whichever form the tree is.
    const bool wide = nodes.empty();
    const int n = wide ? 8 : 4;
    const float(*los)[8] = wide ? nodes8[0].lo : nullptr;
    const float(*his)[8] = wide ? nodes8[0].hi : nullptr;
    Vector3 l(HUGE_VAL, HUGE_VAL, HUGE_VAL), h(-HUGE_VAL, -HUGE_VAL, -HUGE_VAL);
    for (int k = 0; k < n; k++) {
        if ((wide ? nodes8[0].child[k] : nodes[0].child[k]) == EMPTY) {
            continue;
        }
        double bl[3], bh[3];
        for (int a = 0; a < 3; a++) {
            bl[a] = wide ? los[a][k] : nodes[0].lo[a][k];
            bh[a] = wide ? his[a][k] : nodes[0].hi[a][k];
        }
        l = Vector3(std::min(l.x, bl[0]), std::min(l.y, bl[1]), std::min(l.z, bl[2]));
        h = Vector3(std::max(h.x, bh[0]), std::max(h.y, bh[1]), std::max(h.z, bh[2]));
    }
    *lo = l;
    *hi = h;
}
