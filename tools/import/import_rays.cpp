#include "import_rays.h"

#include <algorithm>
#include <cmath>

namespace
{

// Leaves hold at most this many triangles.
const unsigned kLeafSize = 4;

// The ray parameter at which o + t d meets the triangle a, b, c; not a
// number when it misses.
double hit_triangle(const Vec &o, const Vec &d, const Vec &a, const Vec &b, const Vec &c)
{
    Vec e1 = b - a, e2 = c - a;
    Vec p = d ^ e2;
    double det = e1 * p;
    if (det == 0.0) {
        return NAN;
    }
    Vec s = o - a;
    double u = (s * p) / det;
    Vec q = s ^ e1;
    double v = (d * q) / det;
    if (!(u >= 0.0 && v >= 0.0 && u + v <= 1.0)) {
        return NAN;
    }
    return (e2 * q) / det;
}

// Whether o + t d passes through the box for some t from lo to hi. A zero
// direction component gives infinite reciprocals: the slab is open, or
// (origin outside it) a not-a-number that the comparisons reject.
bool meets_box(const Vec &o, const Vec &d, double lo, double hi, const Vec &box_lo, const Vec &box_hi)
{
    const double origin[3] = {o.x, o.y, o.z}, dir[3] = {d.x, d.y, d.z};
    const double low[3] = {box_lo.x, box_lo.y, box_lo.z}, high[3] = {box_hi.x, box_hi.y, box_hi.z};
    for (int k = 0; k < 3; k++) {
        double t0 = (low[k] - origin[k]) / dir[k], t1 = (high[k] - origin[k]) / dir[k];
        if (t0 > t1) {
            std::swap(t0, t1);
        }
        lo = t0 > lo ? t0 : lo;
        hi = t1 < hi ? t1 : hi;
        if (!(lo <= hi)) {
            return false;
        }
    }
    return true;
}

Vec min_of(const Vec &a, const Vec &b)
{
    return Vec(std::min(a.x, b.x), std::min(a.y, b.y), std::min(a.z, b.z));
}

Vec max_of(const Vec &a, const Vec &b)
{
    return Vec(std::max(a.x, b.x), std::max(a.y, b.y), std::max(a.z, b.z));
}

} // namespace

FaceTree::FaceTree(const std::vector<Polygon> &faces)
{
    for (unsigned f = 0; f < faces.size(); f++) {
        const Polygon &poly = faces[f];
        for (unsigned k = 2; k < poly.count; k++) {
            triangles.push_back({poly.corner[0].pos, poly.corner[k - 1].pos, poly.corner[k].pos, f});
        }
    }
    nodes.emplace_back();
    if (!triangles.empty()) {
        build(0, static_cast<unsigned>(triangles.size()), 0);
    }
}

// Fills node index with triangles [first, first + count), split at the
// median of their middles along the widest extent of the middles.
void FaceTree::build(unsigned first, unsigned count, unsigned index)
{
    Vec lo(INFINITY, INFINITY, INFINITY), hi(-INFINITY, -INFINITY, -INFINITY);
    Vec mid_lo = lo, mid_hi = hi;
    for (unsigned i = first; i < first + count; i++) {
        const Triangle &t = triangles[i];
        lo = min_of(lo, min_of(t.a, min_of(t.b, t.c)));
        hi = max_of(hi, max_of(t.a, max_of(t.b, t.c)));
        Vec mid = (t.a + t.b + t.c) / 3.0;
        mid_lo = min_of(mid_lo, mid);
        mid_hi = max_of(mid_hi, mid);
    }
    nodes[index].lo = lo;
    nodes[index].hi = hi;
    if (count <= kLeafSize) {
        nodes[index].first = first;
        nodes[index].count = count;
        return;
    }
    Vec extent = mid_hi - mid_lo;
    int axis = extent.x >= extent.y && extent.x >= extent.z ? 0 : extent.y >= extent.z ? 1 : 2;
    auto key = [axis](const Triangle &t) {
        Vec sum = t.a + t.b + t.c;
        return axis == 0 ? sum.x : axis == 1 ? sum.y : sum.z;
    };
    unsigned half = count / 2;
    std::nth_element(triangles.begin() + first, triangles.begin() + first + half, triangles.begin() + first + count,
                     [&](const Triangle &a, const Triangle &b) { return key(a) < key(b); });
    unsigned children = static_cast<unsigned>(nodes.size());
    nodes.emplace_back();
    nodes.emplace_back();
    nodes[index].first = children;
    build(first, half, children);
    build(first + half, count - half, children + 1);
}

template <typename Stop> void FaceTree::walk(const Vec &o, const Vec &d, double lo, double *hi, Stop stop) const
{
    if (triangles.empty()) {
        return;
    }
    std::vector<unsigned> stack = {0};
    while (!stack.empty()) {
        const Node &node = nodes[stack.back()];
        stack.pop_back();
        if (!meets_box(o, d, lo, *hi, node.lo, node.hi)) {
            continue;
        }
        if (node.count == 0) {
            stack.push_back(node.first);
            stack.push_back(node.first + 1);
            continue;
        }
        for (unsigned i = node.first; i < node.first + node.count; i++) {
            const Triangle &t = triangles[i];
            double hit = hit_triangle(o, d, t.a, t.b, t.c);
            if (hit >= lo && hit <= *hi && stop(hit, t.face)) {
                return;
            }
        }
    }
}

bool FaceTree::nearest(const Vec &o, const Vec &d, double lo, double hi, Hit *hit) const
{
    bool found = false;
    walk(o, d, lo, &hi, [&](double t, unsigned face) {
        found = true;
        hit->t = t;
        hit->face = face;
        hi = t; // only nearer hits from now on
        return false;
    });
    return found;
}

bool FaceTree::any(const Vec &o, const Vec &d, double lo, double hi) const
{
    bool found = false;
    walk(o, d, lo, &hi, [&](double, unsigned) {
        found = true;
        return true;
    });
    return found;
}
